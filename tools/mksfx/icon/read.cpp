// Reading icon files and PNG images.
//
// An icon file is a 6-byte header (0, type 1, image count), one 16-byte directory entry per
// image (width, height, colour count, reserved, planes, bit count, byte count, offset), and
// the images. An image is either a PNG stream or a bitmap without its file header: a
// BITMAPINFOHEADER whose height counts the colour rows and the mask rows together, the
// palette (for 8 bits or fewer), the colour rows and the AND mask rows, both bottom-up and
// each row padded to 4 bytes. A mask bit of 1 lets the screen show through.
//
// Nothing in the file is trusted: every offset and size is checked against the bytes there
// are before anything is read, pixel counts are bounded before anything is allocated, and a
// palette index past the palette reads as black.
#include <png.h>
#include <string.h>

#include "tools/common/bytes.h"
#include "tools/mksfx/icon/icon.h"
#include "tools/mksfx/report.h"

namespace sfx {
namespace {

const int kIcoSideMax = 256;   // the most an icon directory can state
const int kPngSideMax = 4096;  // a PNG image given on its own
const size_t kPngSigSize = 8;
const unsigned char kPngSig[kPngSigSize] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool IsPng(const std::string& b) {
    return b.size() >= kPngSigSize && memcmp(b.data(), kPngSig, kPngSigSize) == 0;
}

// What the bitmap header of an image says, and where its parts lie.
struct BitmapLayout {
    int width = 0, height = 0, bitCount = 0;
    size_t paletteAt = 0, paletteCount = 0, colourAt = 0, colourRow = 0, maskAt = 0, maskRow = 0;
    bool hasMask = false;
};

bool ReadBitmapLayout(const std::string& b, BitmapLayout* l, std::string* error) {
    if (b.size() < 40) return Refuse(error, "too short for a bitmap header");
    uint32_t headerSize = Le32(b, 0);
    int32_t width = (int32_t)Le32(b, 4), fullHeight = (int32_t)Le32(b, 8);
    uint32_t planes = Le16(b, 12), bits = Le16(b, 14), compression = Le32(b, 16),
             coloursUsed = Le32(b, 32);
    if (headerSize < 40 || headerSize > b.size())
        return Refuse(error, "bitmap header size " + std::to_string(headerSize) + " is unusable");
    if (width <= 0 || fullHeight <= 1)
        return Refuse(error, "zero or negative size (" + std::to_string(width) + "x" +
                                 std::to_string(fullHeight / 2) + ")");
    if (width > kIcoSideMax || fullHeight / 2 > kIcoSideMax)
        return Refuse(error, "larger than 256x256");
    if (planes != 1) return Refuse(error, std::to_string(planes) + " colour planes (1 expected)");
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)
        return Refuse(error, std::to_string(bits) + " bits a pixel (1, 4, 8, 24 or 32 expected)");
    if (compression != 0) return Refuse(error, "a compressed bitmap");
    if (bits <= 8 && coloursUsed > (1u << bits))
        return Refuse(error, "a palette of " + std::to_string(coloursUsed) + " colours");
    if (coloursUsed > 256)
        return Refuse(error, "a palette of " + std::to_string(coloursUsed) + " colours");

    l->width = width;
    l->height = fullHeight / 2;
    l->bitCount = (int)bits;
    l->paletteAt = headerSize;
    l->paletteCount = coloursUsed ? coloursUsed : bits <= 8 ? (1u << bits) : 0;
    l->colourAt = l->paletteAt + 4 * l->paletteCount;
    l->colourRow = ((size_t)width * bits + 31) / 32 * 4;
    l->maskAt = l->colourAt + l->colourRow * l->height;
    l->maskRow = ((size_t)width + 31) / 32 * 4;
    size_t end = l->maskAt + l->maskRow * l->height;
    l->hasMask = end <= b.size();
    // Images of 32 bits carry their transparency in the alpha channel; some writers leave
    // their mask out.
    size_t needed = bits == 32 ? l->maskAt : end;
    if (needed > b.size())
        return Refuse(error, "truncated: its " + std::to_string(width) + "x" +
                                 std::to_string(l->height) + " pixels need " +
                                 std::to_string(needed) + " bytes, it has " +
                                 std::to_string(b.size()));
    return true;
}

// Checks a PNG stream's IHDR (the first chunk): size within `sideMax`, a valid depth for its
// colour type. Sets the entry's size and bits a pixel.
bool ReadPngHeader(const std::string& b, int sideMax, IconEntry* e, std::string* error) {
    if (b.size() < kPngSigSize + 8 + 13 || Be32(b, 8) != 13 || b.compare(12, 4, "IHDR") != 0)
        return Refuse(error, "bad PNG: no image header");
    uint32_t width = Be32(b, 16), height = Be32(b, 20);
    int depth = (unsigned char)b[24], type = (unsigned char)b[25];
    static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};  // by colour type; 0: none such
    int channels = type <= 6 ? kChannels[type] : 0;
    bool depthOk = type == 3 ? (depth == 1 || depth == 2 || depth == 4 || depth == 8)
                   : type == 0
                       ? (depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16)
                       : (depth == 8 || depth == 16);
    if (channels == 0 || !depthOk)
        return Refuse(error, "bad PNG: colour type " + std::to_string(type) + " with depth " +
                                 std::to_string(depth));
    if (width == 0 || height == 0)
        return Refuse(error,
                      "zero size (" + std::to_string(width) + "x" + std::to_string(height) + ")");
    if (width > (uint32_t)sideMax || height > (uint32_t)sideMax)
        return Refuse(error,
                      "larger than " + std::to_string(sideMax) + "x" + std::to_string(sideMax));
    e->png = true;
    e->width = (int)width;
    e->height = (int)height;
    e->bitCount = channels * depth;
    return true;
}

std::string ImageName(size_t i, size_t count) {
    return "image " + std::to_string(i + 1) + " of " + std::to_string(count);
}

}  // namespace

bool ReadIconFile(const std::string& b, IconFile* file, std::string* error) {
    *file = IconFile();
    if (b.empty()) return Refuse(error, "the file is empty");
    if (IsPng(b)) {
        IconEntry e;
        if (!ReadPngHeader(b, kPngSideMax, &e, error)) return false;
        e.bytes = b;
        file->plainPng = true;
        file->entries.push_back(e);
        return true;
    }
    if (b.size() < 6) return Refuse(error, "too short for an icon directory");
    if (Le16(b, 0) == 0 && Le16(b, 2) == 2) return Refuse(error, "a cursor, not an icon");
    if (Le16(b, 0) != 0 || Le16(b, 2) != 1)
        return Refuse(error, "neither an icon file nor a PNG image");
    size_t count = Le16(b, 4), directoryEnd = 6 + 16 * count;
    if (count == 0) return Refuse(error, "the icon directory lists no image");
    if (directoryEnd > b.size())
        return Refuse(error, "the icon directory is truncated: it ends at byte " +
                                 std::to_string(directoryEnd) + ", the file has " +
                                 std::to_string(b.size()));
    for (size_t i = 0; i < count; ++i) {
        size_t at = 6 + 16 * i;
        IconEntry e;
        uint64_t size = Le32(b, at + 8), offset = Le32(b, at + 12);
        std::string name = ImageName(i, count);
        if (size == 0) return Refuse(error, name + " is empty (0 bytes)");
        if (offset < directoryEnd) return Refuse(error, name + " starts inside the icon directory");
        if (offset + size > b.size())
            return Refuse(error, name + " lies outside the file (bytes " + std::to_string(offset) +
                                     " to " + std::to_string(offset + size) + " of " +
                                     std::to_string(b.size()) + ")");
        e.bytes = b.substr(offset, size);
        std::string why;
        if (IsPng(e.bytes)) {
            if (!ReadPngHeader(e.bytes, kIcoSideMax, &e, &why))
                return Refuse(error, name + ": " + why);
        } else {
            BitmapLayout l;
            if (!ReadBitmapLayout(e.bytes, &l, &why)) return Refuse(error, name + ": " + why);
            e.width = l.width;
            e.height = l.height;
            e.bitCount = l.bitCount;
        }
        file->entries.push_back(e);
    }
    return true;
}

bool DecodeIconImage(const IconEntry& e, RgbaImage* image, IndexedImage* indexed,
                     std::string* error) {
    *image = RgbaImage();
    if (e.png) {
        png_image png;
        memset(&png, 0, sizeof png);
        png.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&png, e.bytes.data(), e.bytes.size()))
            return Refuse(error, std::string("bad PNG: ") + png.message);
        png.format = PNG_FORMAT_RGBA;
        image->pixels.resize(PNG_IMAGE_SIZE(png));
        if (!png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr))
            return Refuse(error, std::string("bad PNG: ") + png.message);
        image->width = (int)png.width;  // as the entry says: both read the same header
        image->height = (int)png.height;
        return true;
    }

    BitmapLayout l;
    if (!ReadBitmapLayout(e.bytes, &l, error)) return false;
    const std::string& b = e.bytes;
    int w = l.width, h = l.height;
    // Indices past a short palette read black.
    std::vector<uint32_t> palette(l.bitCount <= 8 ? (size_t)1 << l.bitCount : 0, 0);
    for (size_t i = 0; i < l.paletteCount && i < palette.size(); ++i)
        palette[i] = Le32(b, l.paletteAt + 4 * i) & 0xFFFFFF;
    image->width = w;
    image->height = h;
    image->pixels.assign((size_t)w * h * 4, 0);
    std::vector<uint8_t> index((size_t)w * h), masked((size_t)w * h);
    bool anyAlpha = false;
    for (int y = 0; y < h; ++y) {
        size_t row = l.colourAt + (size_t)(h - 1 - y) * l.colourRow;
        size_t maskRow = l.maskAt + (size_t)(h - 1 - y) * l.maskRow;
        for (int x = 0; x < w; ++x) {
            size_t p = (size_t)y * w + x;
            uint8_t* out = &image->pixels[p * 4];
            uint32_t rgb;
            if (l.bitCount <= 8) {
                int perByte = 8 / l.bitCount, shift = 8 - l.bitCount * (x % perByte + 1);
                index[p] = (uint8_t)(((unsigned char)b[row + x / perByte] >> shift) &
                                     ((1 << l.bitCount) - 1));
                rgb = palette[index[p]];
            } else {
                size_t at = row + (size_t)x * (l.bitCount / 8);
                rgb = Le16(b, at) | ((uint32_t)(unsigned char)b[at + 2] << 16);
                if (l.bitCount == 32) {
                    out[3] = (uint8_t)b[at + 3];
                    anyAlpha |= out[3] != 0;
                }
            }
            out[0] = (uint8_t)(rgb >> 16);
            out[1] = (uint8_t)(rgb >> 8);
            out[2] = (uint8_t)rgb;
            masked[p] = l.hasMask && (((unsigned char)b[maskRow + x / 8] >> (7 - x % 8)) & 1);
        }
    }
    // Without alpha (fewer than 32 bits, or an alpha channel left all zero) the mask decides.
    if (!anyAlpha)
        for (size_t p = 0; p < masked.size(); ++p) image->pixels[p * 4 + 3] = masked[p] ? 0 : 255;
    if (indexed && l.bitCount <= 8) {
        indexed->width = w;
        indexed->height = h;
        indexed->bitCount = l.bitCount;
        indexed->palette = palette;
        indexed->index = std::move(index);
        indexed->masked = std::move(masked);
    }
    return true;
}

}  // namespace sfx
