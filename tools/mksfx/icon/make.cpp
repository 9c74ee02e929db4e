// Making the dialog's icon.
//
// The stub writes the icon file from the configuration block to a temporary file and asks
// the platform for its first icon, which the dialog shows at 32x32. The block holds 2012
// bytes with the texts (1500 once packed), so a stored icon is small: one bitmap image of
// 16 or 2 colours. Whatever the input offers, the first of these forms that fits wins:
//
//   1. 32x32, 16 colours (766 bytes): what the dialog shows without stretching;
//   2. 16x16, 16 colours (318 bytes): colour carries an icon further than detail, and the
//      platform doubles it to 32x32;
//   3. 32x32, 2 colours (326 bytes): larger unpacked than the 16x16, but it may pack
//      smaller, so it is there for when the packed size is what does not fit;
//   4. 16x16, 2 colours (198 bytes).
//
// A form is taken from the input as it is when the input has a bitmap of exactly that size
// and depth (it is rewritten with a fresh directory and header, pixels, palette and mask
// unchanged: hand-drawn small images beat anything converted). Otherwise it is converted
// from the best source: the smallest image at least as large as the form (the one drawn
// for small sizes), of the highest depth; when none is that large, the largest. 32x32
// forms are made only from inputs that have an image of at least 32x32, so only images
// below 16x16 are ever enlarged (by repeating whole pixels when the factor is whole).
//
// Conversion:
//   - Scaling works on premultiplied alpha in linear light (sRGB decoded), so that edges
//     neither darken nor take the colour of transparent pixels, with a Catmull-Rom cubic
//     widened by the reduction factor (every source pixel counts). Non-square images are
//     fitted and centred on a transparent square.
//   - Pixels of alpha 128 or more are opaque; the rest are set in the AND mask and drawn
//     black (so the screen shows through unchanged).
//   - The palette is chosen for the image by libimagequant from the opaque pixels only;
//     when there are transparent pixels black is made one of its colours, for them and for
//     the outlines that most icons have. Remapping dithers lightly: enough for gradients,
//     not so much that flat areas speckle at this size.
// Every step is deterministic: the same input gives the same bytes (the quantiser's too,
// whatever number of threads it runs on).
#include <libimagequant.h>
#include <math.h>
#include <png.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "tools/common/bytes.h"
#include "tools/mksfx/icon/icon.h"

namespace sfx {
namespace {

struct Form {
    int size, bitCount;
};
const Form kForms[] = {{32, 4}, {16, 4}, {32, 1}, {16, 1}};
const float kDithering = 0.5f;

size_t RowBytes(int width, int bitCount) {
    return ((size_t)width * bitCount + 31) / 32 * 4;
}

size_t IconBytes(Form f) {
    return 22 + 40 + 4 * ((size_t)1 << f.bitCount) +
           (RowBytes(f.size, f.bitCount) + RowBytes(f.size, 1)) * f.size;
}

std::string FormName(Form f) {
    return std::to_string(f.size) + "x" + std::to_string(f.size) + ", " +
           std::to_string(1 << f.bitCount) + " colours";
}

// ---- scaling ---------------------------------------------------------------------------

float SrgbToLinear(int v) {
    double c = v / 255.0;
    return (float)(c <= 0.04045 ? c / 12.92 : pow((c + 0.055) / 1.055, 2.4));
}
uint8_t LinearToSrgb(float v) {
    double c = std::min(std::max((double)v, 0.0), 1.0);
    c = c <= 0.0031308 ? c * 12.92 : 1.055 * pow(c, 1 / 2.4) - 0.055;
    return (uint8_t)lround(c * 255);
}

double CatmullRom(double x) {
    x = fabs(x);
    if (x < 1) return (1.5 * x - 2.5) * x * x + 1;
    if (x < 2) return ((-0.5 * x + 2.5) * x - 4) * x + 2;
    return 0;
}

// For each of `out` pixels along one axis: the source pixels (clamped to the edge) and their
// weights, which add up to 1.
struct Taps {
    std::vector<int> first, count, index;
    std::vector<float> weight;
};
Taps AxisTaps(int in, int out) {
    Taps t;
    double scale = (double)in / out, stretch = std::max(scale, 1.0);
    for (int o = 0; o < out; ++o) {
        double centre = (o + 0.5) * scale;
        int lo = (int)floor(centre - 2 * stretch), hi = (int)ceil(centre + 2 * stretch);
        t.first.push_back((int)t.index.size());
        double sum = 0;
        size_t start = t.weight.size();
        for (int i = lo; i <= hi; ++i) {
            double w = CatmullRom((i + 0.5 - centre) / stretch);
            if (w == 0) continue;
            t.index.push_back(std::min(std::max(i, 0), in - 1));
            t.weight.push_back((float)w);
            sum += w;
        }
        for (size_t k = start; k < t.weight.size(); ++k) t.weight[k] = (float)(t.weight[k] / sum);
        t.count.push_back((int)(t.weight.size() - start));
    }
    return t;
}

// Resamples premultiplied linear pixels (4 floats each) along one axis: `lines` lines of
// `in` pixels, either rows (pixels adjacent) or columns (pixels `lines` apart), into `dst`.
void Resample(const float* src, int in, int out, int lines, bool alongRows, const Taps& t,
              float* dst) {
    for (int line = 0; line < lines; ++line)
        for (int o = 0; o < out; ++o) {
            float acc[4] = {0, 0, 0, 0};
            for (int k = 0; k < t.count[o]; ++k) {
                int i = t.index[t.first[o] + k];
                size_t at =
                    alongRows ? ((size_t)line * in + i) * 4 : ((size_t)i * lines + line) * 4;
                for (int c = 0; c < 4; ++c) acc[c] += t.weight[t.first[o] + k] * src[at + c];
            }
            size_t at = alongRows ? ((size_t)line * out + o) * 4 : ((size_t)o * lines + line) * 4;
            for (int c = 0; c < 4; ++c) dst[at + c] = acc[c];
        }
}

// Fits `src` into a size x size square, centred on transparent margins.
RgbaImage Scale(const RgbaImage& src, int size) {
    int side = std::max(src.width, src.height);
    int w = std::max(1, (int)lround((double)src.width * size / side));
    int h = std::max(1, (int)lround((double)src.height * size / side));
    RgbaImage dst;
    dst.width = dst.height = size;
    dst.pixels.assign((size_t)size * size * 4, 0);
    int left = (size - w) / 2, top = (size - h) / 2;
    auto put = [&](int x, int y, const uint8_t* rgba) {
        std::copy(rgba, rgba + 4, &dst.pixels[((size_t)(top + y) * size + left + x) * 4]);
    };
    if (w % src.width == 0 && h % src.height == 0) {  // the same size, or whole pixels repeated
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                put(x, y,
                    &src.pixels[((size_t)(y * src.height / h) * src.width + x * src.width / w) *
                                4]);
        return dst;
    }
    float lut[256];
    for (int v = 0; v < 256; ++v) lut[v] = SrgbToLinear(v);
    // Rows first, one at a time, so that only the narrowed image is held as floats.
    Taps across = AxisTaps(src.width, w), down = AxisTaps(src.height, h);
    std::vector<float> line((size_t)src.width * 4), rows((size_t)w * src.height * 4),
        out((size_t)w * h * 4);
    for (int y = 0; y < src.height; ++y) {
        const uint8_t* px = &src.pixels[(size_t)y * src.width * 4];
        for (size_t p = 0; p < line.size(); p += 4) {
            float a = px[p + 3] / 255.0f;
            for (int c = 0; c < 3; ++c) line[p + c] = lut[px[p + c]] * a;
            line[p + 3] = a;
        }
        Resample(line.data(), src.width, w, 1, true, across, &rows[(size_t)y * w * 4]);
    }
    Resample(rows.data(), src.height, h, w, false, down, out.data());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float* p = &out[((size_t)y * w + x) * 4];
            float a = std::min(std::max(p[3], 0.0f), 1.0f);
            uint8_t rgba[] = {0, 0, 0, (uint8_t)lround(a * 255)};
            for (int c = 0; a > 0 && c < 3; ++c) rgba[c] = LinearToSrgb(p[c] / a);
            put(x, y, rgba);
        }
    return dst;
}

// ---- colours ---------------------------------------------------------------------------

bool Quantise(const RgbaImage& img, int bitCount, IndexedImage* out, std::string* error) {
    size_t n = (size_t)img.width * img.height;
    out->width = img.width;
    out->height = img.height;
    out->bitCount = bitCount;
    out->index.assign(n, 0);
    out->masked.resize(n);
    std::map<uint32_t, unsigned> counts;  // ordered, so the histogram's order is fixed
    std::vector<uint8_t> opaque(img.pixels);
    bool anyMasked = false;
    for (size_t p = 0; p < n; ++p) {
        uint8_t* px = &opaque[p * 4];
        out->masked[p] = px[3] < 128;
        anyMasked |= out->masked[p] != 0;
        if (out->masked[p])
            px[0] = px[1] = px[2] = 0;
        else
            ++counts[(uint32_t)px[0] << 16 | px[1] << 8 | px[2]];
        px[3] = 255;
    }
    // Wholly transparent: no palette (WriteSmallIcon writes its colours black) under a full mask.
    if (counts.empty()) return true;

    std::vector<liq_histogram_entry> entries;
    for (const auto& [rgb, count] : counts)
        entries.push_back(
            {{(unsigned char)(rgb >> 16), (unsigned char)(rgb >> 8), (unsigned char)rgb, 255},
             count});
    liq_attr* attr = liq_attr_create();
    liq_histogram* hist = attr ? liq_histogram_create(attr) : nullptr;
    liq_image* image =
        attr ? liq_image_create_rgba(attr, opaque.data(), img.width, img.height, 0) : nullptr;
    liq_result* result = nullptr;
    bool ok =
        hist && image && liq_set_max_colors(attr, 1 << bitCount) == LIQ_OK &&
        liq_set_speed(attr, 1) == LIQ_OK &&
        liq_histogram_add_colors(hist, attr, entries.data(), (int)entries.size(), 0) == LIQ_OK &&
        (!anyMasked || liq_histogram_add_fixed_color(hist, {0, 0, 0, 255}, 0) == LIQ_OK) &&
        liq_histogram_quantize(hist, attr, &result) == LIQ_OK &&
        liq_set_dithering_level(result, kDithering) == LIQ_OK &&
        liq_write_remapped_image(result, image, out->index.data(), n) == LIQ_OK;
    if (ok) {
        const liq_palette* pal = liq_get_palette(result);
        out->palette.clear();
        int black = -1;
        for (unsigned i = 0; i < pal->count; ++i) {
            const liq_color& c = pal->entries[i];
            out->palette.push_back((uint32_t)c.r << 16 | c.g << 8 | c.b);
            if (black < 0 && out->palette.back() == 0) black = (int)i;
        }
        ok = !anyMasked || black >= 0;
        for (size_t p = 0; ok && p < n; ++p)
            if (out->masked[p]) out->index[p] = (uint8_t)black;
    }
    if (result) liq_result_destroy(result);
    if (image) liq_image_destroy(image);
    if (hist) liq_histogram_destroy(hist);
    if (attr) liq_attr_destroy(attr);
    if (!ok) *error = "reducing the colours failed";
    return ok;
}

// ---- choosing --------------------------------------------------------------------------

int Side(const IconEntry& e) {
    return std::max(e.width, e.height);
}

// The image to convert into a `size` square: the smallest at least that large, else the
// largest; the deeper one among equals, the first among the same.
size_t BestSource(const std::vector<IconEntry>& entries, int size) {
    size_t best = 0;
    auto key = [size](const IconEntry& e) {
        return Side(e) >= size ? std::make_tuple(0, Side(e), -e.bitCount)
                               : std::make_tuple(1, -Side(e), -e.bitCount);
    };
    for (size_t i = 1; i < entries.size(); ++i)
        if (key(entries[i]) < key(entries[best])) best = i;
    return best;
}

std::string SourceName(const IconFile& file, size_t i) {
    const IconEntry& e = file.entries[i];
    std::string size = std::to_string(e.width) + "x" + std::to_string(e.height);
    if (file.plainPng) return "a " + size + " PNG";
    std::string kind = e.png             ? " PNG"
                       : e.bitCount <= 8 ? ", " + std::to_string(1 << e.bitCount) + " colours"
                                         : ", " + std::to_string(e.bitCount) + "-bit";
    return "image " + std::to_string(i + 1) + " of " + std::to_string(file.entries.size()) + " (" +
           size + kind + ")";
}

// Makes the icon in form `f`; `how` says where it came from.
bool MakeForm(const IconFile& file, Form f, std::string* ico, std::string* how,
              std::string* error) {
    RgbaImage rgba;
    IndexedImage indexed;
    for (size_t i = 0; i < file.entries.size(); ++i) {
        const IconEntry& e = file.entries[i];
        if (e.png || e.width != f.size || e.height != f.size || e.bitCount != f.bitCount) continue;
        if (!DecodeIconImage(e, &rgba, &indexed, error)) return false;
        *ico = WriteSmallIcon(indexed);
        *how = "taken as it is from " + SourceName(file, i);
        return true;
    }
    size_t source = BestSource(file.entries, f.size);
    if (!DecodeIconImage(file.entries[source], &rgba, nullptr, error)) {
        if (!file.plainPng)
            *error = "image " + std::to_string(source + 1) + " of " +
                     std::to_string(file.entries.size()) + ": " + *error;
        return false;
    }
    if (!Quantise(Scale(rgba, f.size), f.bitCount, &indexed, error)) return false;
    *ico = WriteSmallIcon(indexed);
    *how = "converted from " + SourceName(file, source);
    return true;
}

}  // namespace

std::string WriteSmallIcon(const IndexedImage& img) {
    int w = img.width, h = img.height, bits = img.bitCount;
    size_t colourRow = RowBytes(w, bits), maskRow = RowBytes(w, 1);
    std::string bitmap;
    PutLe32(&bitmap, 40);
    PutLe32(&bitmap, (uint32_t)w);
    PutLe32(&bitmap, (uint32_t)h * 2);  // colour rows and mask rows
    PutLe16(&bitmap, 1);
    PutLe16(&bitmap, (uint32_t)bits);
    PutLe32(&bitmap, 0);
    PutLe32(&bitmap, (uint32_t)((colourRow + maskRow) * h));
    for (int i = 0; i < 4; ++i) PutLe32(&bitmap, 0);
    for (size_t i = 0; i < ((size_t)1 << bits); ++i)
        PutLe32(&bitmap, i < img.palette.size() ? img.palette[i] : 0);
    for (int pass = 0; pass < 2; ++pass)
        for (int y = h - 1; y >= 0; --y) {  // bottom-up
            std::string row(pass ? maskRow : colourRow, '\0');
            for (int x = 0; x < w; ++x) {
                size_t p = (size_t)y * w + x;
                if (pass)
                    row[x / 8] = (char)(row[x / 8] | (img.masked[p] ? 0x80 >> (x % 8) : 0));
                else
                    row[x * bits / 8] =
                        (char)(row[x * bits / 8] | img.index[p] << (8 - bits - x * bits % 8));
            }
            bitmap += row;
        }
    std::string ico;
    PutLe16(&ico, 0);
    PutLe16(&ico, 1);
    PutLe16(&ico, 1);
    ico += (char)(w & 0xFF);  // 256 is stored as 0
    ico += (char)(h & 0xFF);
    ico += (char)(bits < 8 ? 1 << bits : 0);
    ico += '\0';
    PutLe16(&ico, 1);
    PutLe16(&ico, (uint32_t)bits);
    PutLe32(&ico, (uint32_t)bitmap.size());
    PutLe32(&ico, 22);
    return ico + bitmap;
}

bool MakePngIcon(const IconEntry& entry, int side, std::string* png, std::string* error) {
    RgbaImage source;
    if (!DecodeIconImage(entry, &source, nullptr, error)) return false;
    RgbaImage square = Scale(source, side);
    png_image out;
    memset(&out, 0, sizeof out);
    out.version = PNG_IMAGE_VERSION;
    out.width = out.height = (png_uint_32)side;
    out.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (png_image_write_to_memory(&out, nullptr, &size, 0, square.pixels.data(), 0, nullptr)) {
        png->resize(size);
        if (png_image_write_to_memory(&out, &(*png)[0], &size, 0, square.pixels.data(), 0, nullptr)) {
            png->resize(size);
            return true;
        }
    }
    *error = std::string("cannot write a PNG image: ") + out.message;
    png_image_free(&out);
    return false;
}

bool MakeDialogIcon(const std::string& input, size_t room, DialogIcon* icon, std::string* error,
                    const std::function<bool(const std::string& ico)>& fits) {
    IconFile file;
    if (!ReadIconFile(input, &file, error)) return false;
    int largest = 0;
    for (const IconEntry& e : file.entries) largest = std::max(largest, Side(e));
    std::string declined, why;  // the first form that did not fit; why the last did not
    for (Form f : kForms) {
        if (f.size == 32 && largest < 32) continue;
        size_t bytes = IconBytes(f);
        std::string ico, how;
        if (bytes > room) {
            why = FormName(f) + " takes " + std::to_string(bytes) + " bytes, " +
                  std::to_string(room) + " are left";
        } else if (!MakeForm(file, f, &ico, &how, error)) {
            return false;
        } else if (fits && !fits(ico)) {
            why = FormName(f) + " makes the configuration too large";
        } else {
            icon->ico = ico;
            icon->description = "icon: " + FormName(f) + ", " + std::to_string(ico.size()) +
                                " bytes, " + how + (declined.empty() ? "" : " (" + declined + ")");
            return true;
        }
        if (declined.empty()) declined = why;
    }
    *error = "no form of the icon fits: even " + why;
    return false;
}

}  // namespace sfx
