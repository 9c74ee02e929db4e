// The stub image check and the added resources, read back by icoutils and our own reader;
// broken images, sections and inputs refused with their own line. And the dialog's icon: icon
// files and PNG images become one small sound icon that fits its room, shows the picture the
// right way round in the right colours, and comes out the same on every run.
#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "startup/startup.h"
#include "tests/support/inflate_support.h"
#include "tests/support/sfx_files.h"
#include "tools/mksfx/icon/icon.h"
#include "tools/mksfx/pe/resources.h"

using namespace sfxtest;
using namespace std::string_literals;

namespace {

std::string Widen(const std::string& ascii) {
    std::string w;
    for (char c : ascii) w += std::string(1, c) + '\0';
    return w;
}

sfx::IconImage ImageOf(const std::string& ico, int width, int height, uint16_t bits) {
    sfx::IconImage i;
    i.width = width, i.height = height, i.planes = 1, i.bitCount = bits;
    i.bytes = ico.substr(Le32(ico, 18), Le32(ico, 14));  // the first image of an .ico file
    return i;
}

TEST(MksfxResources, AddedSectionReadsBackInIcoutilsAndOurReader) {
    ASSERT_TRUE(HaveProgram("wrestool") && HaveProgram("icotool")) << "run scripts/setup.sh (icoutils)";
    TempDir dir;
    ASSERT_EQ(RunProgram({"convert", "-size", "256x256", "xc:#3080C0", "png32:" + dir / "big.png"}).exitCode, 0);
    sfx::IconImage small = ImageOf(SampleIcon(), 16, 16, 4), big;
    big.width = big.height = 256, big.planes = 1, big.bitCount = 32, big.bytes = ReadFile(dir / "big.png");
    std::string pe = SyntheticStub(0x600, 0x400);  // in the file, sections end at 0x600; .data's
    SetLe32(&pe, 0x138 + 40 + 8, 0x1001), SetLe32(&pe, 0x58 + 56, 0x4000);  // memory ends 1 byte into a page
    SetLe32(&pe, 0x58 + 16, 0x11FF);  // the entry point on the last byte of .text
    SetLe32(&pe, 0x58 + 8, 0x400);    // .data's size as initialised data

    struct Row {
        sfx::ResourceInputs in;
        std::vector<std::string> lines;         // what our reader says
        std::vector<std::string> icotoolSizes;  // "--width=W --height=H"
        std::vector<std::string> versionTexts;  // found as UTF-16 in wrestool's copy of the data
    } rows[3];
    rows[0].lines = {"manifest: asInvoker", "icon: none", "file version: 1.0.0.0", "product version: 1.0.0.0",
                     "FileDescription: setup", "ProductName: setup", "OriginalFilename: setup.exe"};
    rows[0].versionTexts = {"setup.exe", "1.0", "000004B0"};  // the texts' table: neutral language, UTF-16
    sfx::ResourceInputs& in = rows[1].in;
    in.elevation = sfx::Elevation::Highest;
    in.icons = {small, big};
    // The copyright ends in U+1F600, U+10000 and U+10FFFF: surrogate pairs up to the last one.
    in.version = {"2.1.65535.300", "2.1", "Hallo", "Gr\xC3\xBC\xC3\x9F" "e GmbH", "", "\xC2\xA9 2024 \xE2\x82\xAC \xF0\x9F\x98\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "hallo-setup.exe"};
    rows[1].lines = {"manifest: highestAvailable", "icon: 16x16 4-bit, 256x256 PNG", "file version: 2.1.65535.300",
                     "product version: 2.1.0.0", "CompanyName: Gr\xC3\xBC\xC3\x9F" "e GmbH",
                     "FileDescription: Hallo", "LegalCopyright: \xC2\xA9 2024 \xE2\x82\xAC \xF0\x9F\x98\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "InternalName: hallo-setup"};
    rows[1].icotoolSizes = {"--width=16 --height=16", "--width=256 --height=256"};
    rows[1].versionTexts = {"2.1.65535.300", "Hallo", "hallo-setup.exe", std::string("G\0r\0\xFC\0\xDF\0e\0", 10)};
    rows[2].in.elevation = sfx::Elevation::Admin;
    rows[2].in.commonControls6 = false;
    rows[2].in.icons = {ImageOf(IconFile({{1, 4, kFlat}}), 1, 1, 4)};  // the smallest icon there is
    rows[2].lines = {"manifest: requireAdministrator", "icon: 1x1 4-bit"};
    rows[2].icotoolSizes = {"--width=1 --height=1"};

    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines[0]);
        std::string image = pe, error;
        ASSERT_TRUE(sfx::AddResources(&image, row.in, &error)) << error;
        sfx::PeImage layout;
        EXPECT_TRUE(sfx::CheckPeImage(image, image.size(), &layout, &error)) << error;
        EXPECT_EQ(image.compare(0x200, pe.size() - 0x200, pe, 0x200), 0) << "existing bytes moved";
        EXPECT_EQ(Le32(image, layout.ChecksumOffset()), 0u);
        EXPECT_EQ(layout.sections.back().virtualAddress, 0x4000u);  // after .data's last page
        EXPECT_EQ(Le32(image, 0x58 + 8), Le32(pe, 0x58 + 8) + layout.sections.back().rawSize);  // initialised data
        std::string again = pe;
        sfx::AddResources(&again, row.in, &error);
        EXPECT_EQ(again, image) << "not reproducible";

        sfx::ResourceSummary summary;
        EXPECT_TRUE(sfx::ReadResources(image, layout, &summary, &error)) << error;
        std::vector<std::string> lines = sfx::ResourceLines(summary);
        for (const std::string& line : row.lines)
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;

        WriteFile(dir / "f.exe", image);
        RunResult manifest = RunProgram({"wrestool", "-x", "--raw", "-t24", "-n1", dir / "f.exe"});
        EXPECT_EQ(manifest.out, sfx::ManifestText(row.in));
        EXPECT_NE(manifest.out.find("level=\"" + std::string(sfx::ElevationLevel(row.in.elevation)) + "\""),
                  std::string::npos);
        EXPECT_EQ(manifest.out.find("Common-Controls") != std::string::npos, row.in.commonControls6);
        if (!row.icotoolSizes.empty()) {
            ASSERT_EQ(RunProgram({"wrestool", "-x", "-t14", "-o", dir / "f.ico", dir / "f.exe"}).exitCode, 0);
            RunResult icons = RunProgram({"icotool", "-l", dir / "f.ico"});
            for (const std::string& size : row.icotoolSizes)
                EXPECT_NE(icons.out.find(size), std::string::npos) << size << "\n" << icons.out;
        }
        std::string version = RunProgram({"wrestool", "-x", "--raw", "-t16", dir / "f.exe"}).out;
        for (const std::string& text : row.versionTexts) {
            std::string utf16 = text.find('\0') != std::string::npos ? text : Widen(text) + std::string(2, '\0');
            EXPECT_NE(version.find(utf16), std::string::npos) << text;
        }
    }
}

TEST(MksfxResources, RefusesBrokenImagesSectionsAndInputs) {
    const std::string pe = SyntheticStub(0x600, 0x400);  // sections end at 0x600
    std::string withResources = pe, error;
    sfx::ResourceInputs iconInputs;
    iconInputs.icons = {ImageOf(SampleIcon(), 16, 16, 4)};
    ASSERT_TRUE(sfx::AddResources(&withResources, iconInputs, &error)) << error;
    const size_t rsrc = 0x600;  // the new section's data follows .data
    size_t dataEntry = 0;       // the first leaf (the icon image), three levels down
    for (int level = 0; level < 3; ++level) dataEntry = Le32(withResources, rsrc + dataEntry + 20) & 0x7FFFFFFF;

    using Change = std::function<void(std::string*)>;
    struct Case {
        const char* what;
        const std::string& base;
        Change change;
        const char* fault;
    } cases[] = {
        {"cut short", pe, [](std::string* b) { b->resize(0x500); }, "runs past the end of the image"},
        {"last section padded with code", pe, [](std::string* b) { SetLe32(b, 0x138 + 40 + 16, 0x1F0), (*b)[0x5FF] = 1; },
         "16 bytes follow the last section (0x5F0)"},
        {"MZ overwritten", pe, [](std::string* b) { (*b)[0] = 'X'; }, "no MZ signature"},
        {"finished setup file", pe, [](std::string* b) { *b += "PK\5\6"; }, "4 bytes follow the last section"},
        {"x64", pe, [](std::string* b) { sfx::SetLe16(b, 0x44, 0x8664); }, "not i386"},
        // The COFF header and the least optional header end at the image's last byte: read, and
        // then the section table after them is outside.
        {"headers at the image's end", pe,
         [](std::string* b) { b->replace(b->size() - 120, 120, b->substr(0x40, 120)), SetLe32(b, 0x3C, 0x600 - 120); },
         "the section table (to 0x"},
        {"DLL", pe, [](std::string* b) { sfx::SetLe16(b, 0x56, 0x2102); }, "not an executable program"},
        {"PE32+", pe, [](std::string* b) { sfx::SetLe16(b, 0x58, 0x20B); }, "not PE32"},
        {"console", pe, [](std::string* b) { sfx::SetLe16(b, 0x58 + 68, 3); }, "subsystem 3"},
        {"section table past the headers", pe, [](std::string* b) { sfx::SetLe16(b, 0x46, 20); }, "section table"},
        {"97 sections", pe, [](std::string* b) { sfx::SetLe16(b, 0x46, 97); }, "97 sections (a program has 1 to 96)"},
        {"overlap in memory", pe, [](std::string* b) { SetLe32(b, 0x138 + 40 + 12, 0x1000); }, "overlaps"},
        {"imports outside", pe, [](std::string* b) { SetLe32(b, 0x58 + 104, 0x7000); }, "imports directory"},
        {"certificates inside", pe, [](std::string* b) { SetLe32(b, 0x58 + 128, 0x100), SetLe32(b, 0x58 + 132, 8); },
         "certificates directory"},
        {"resources of no size", withResources, [](std::string* b) { SetLe32(b, 0x58 + 116, 0); },
         "the resource table at 0x0 lies outside the resource directory"},
        {"loop", withResources, [](std::string* b) { SetLe32(b, rsrc + 20, 0x80000000); }, "reached twice (a loop)"},
        {"ids out of order", withResources, [](std::string* b) { SetLe32(b, rsrc + 16, 20); }, "ids do not ascend"},
        // The first entry made a named one: its name an id, then one of 0x8000 characters.
        {"named entry without a name", withResources,
         [](std::string* b) { sfx::SetLe16(b, rsrc + 12, 1), sfx::SetLe16(b, rsrc + 14, Le16(*b, rsrc + 14) - 1); },
         "entry 1's name lies outside the resource directory"},
        {"named entry with a long name", withResources,
         [](std::string* b) {
             sfx::SetLe16(b, rsrc + 12, 1), sfx::SetLe16(b, rsrc + 14, Le16(*b, rsrc + 14) - 1);
             SetLe32(b, rsrc + 16, 0x80000000 | 22);  // the high half of the entry's target: 0x8000
         },
         "entry 1's name lies outside the resource directory"},
        {"data outside", withResources,
         [&](std::string* b) { SetLe32(b, rsrc + dataEntry, 0x9000); }, "lies outside the resource section"},
        {"icon size", withResources,
         [&](std::string* b) { SetLe32(b, rsrc + dataEntry + 4, Le32(*b, rsrc + dataEntry + 4) - 1); },
         "the group says"},
        {"version key", withResources, [](std::string* b) { (*b)[b->find(Widen("VS_VERSION"))] = 'X'; },
         "version information is malformed"},
        {"version node shorter than its own header", withResources,
         [](std::string* b) { sfx::SetLe16(b, b->find(Widen("VS_VERSION")) - 6, 4); },
         "version information is malformed: a node runs past its parent"},
        {"version node that ends inside its name", withResources,
         [](std::string* b) { sfx::SetLe16(b, b->find(Widen("StringFileInfo")) - 6, 6 + 2 * 14); },
         "version information is malformed: a node's name has no end"},
        // The first child's header of 6 bytes fills its parent's last bytes to the byte.
        {"version node of its header alone at its parent's end", withResources,
         [](std::string* b) {
             size_t root = b->find(Widen("VS_VERSION")) - 6, child = b->find(Widen("StringFileInfo")) - 6;
             sfx::SetLe16(b, root, (uint16_t)(child - root + 6)), sfx::SetLe16(b, child, 6);
         },
         "version information is malformed: a node's name has no end"},
        {"icon group of cursors", withResources,
         [](std::string* b) { (*b)[b->find(std::string("\0\0\1\0\1\0\x10\x10", 8)) + 2] = 2; },
         "icon group 1 is not an icon directory"},
        {"manifest level", withResources, [](std::string* b) { b->replace(b->find("asInvoker"), 9, "asInvoked"); },
         "unknown execution level 'asInvoked'"},
        {"file alignment 0x300", pe, [](std::string* b) { SetLe32(b, 0x58 + 36, 0x300); }, "not powers of two"},
        {"memory alignment below the file's", pe, [](std::string* b) { SetLe32(b, 0x58 + 32, 0x100); },
         "alignments 0x200 (file) and 0x100 (memory)"},
        {"file alignment 0x100", pe, [](std::string* b) { SetLe32(b, 0x58 + 36, 0x100); }, "alignments 0x100 (file)"},
        {"16 data directories in 200 bytes", pe, [](std::string* b) { sfx::SetLe16(b, 0x54, 200); },
         "16 data directories do not fit the optional header"},
        {"17 data directories, room for them", pe,
         [](std::string* b) { sfx::SetLe16(b, 0x54, 240), SetLe32(b, 0x58 + 92, 17); },
         "17 data directories do not fit the optional header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = c.base;
        c.change(&bytes);
        sfx::PeImage layout;
        sfx::ResourceSummary summary;
        std::string fault;
        EXPECT_FALSE(sfx::CheckPeImage(bytes, bytes.size(), &layout, &fault) &&
                     sfx::ReadResources(bytes, layout, &summary, &fault));
        EXPECT_NE(fault.find(c.fault), std::string::npos) << fault;
        EXPECT_EQ(fault.find('\n'), std::string::npos);
    }

    // Zeros up to the file alignment after the last section's data belong to that section.
    {
        std::string bytes = pe, fault;
        SetLe32(&bytes, 0x138 + 40 + 16, 0x1F0);
        std::fill(bytes.begin() + 0x5F0, bytes.end(), '\0');
        sfx::PeImage layout;
        EXPECT_TRUE(sfx::CheckPeImage(bytes, bytes.size(), &layout, &fault)) << fault;
    }

    // A manifest that names no execution level is read as it stands, as the loader takes it; a
    // version text's lone surrogate (the last there is) as U+FFFD.
    {
        std::string bytes = withResources, fault;
        bytes.replace(bytes.find("<requestedExecutionLevel"), 24, "<requestedExecutionLeveL");
        bytes.replace(bytes.find(Widen("setup.exe")), 2, "\xFF\xDF");
        sfx::PeImage layout;
        sfx::ResourceSummary summary;
        EXPECT_TRUE(sfx::CheckPeImage(bytes, bytes.size(), &layout, &fault) && sfx::ReadResources(bytes, layout, &summary, &fault))
            << fault;
        EXPECT_EQ(summary.level, "");
        const std::vector<std::string> lines = sfx::ResourceLines(summary);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "OriginalFilename: \xEF\xBF\xBD" "etup.exe"), lines.end());
    }

    // A directory of an empty root table alone, 16 bytes to its last byte, holds nothing and is read.
    {
        std::string bytes = withResources, fault;
        SetLe32(&bytes, 0x58 + 116, 16), SetLe32(&bytes, rsrc + 12, 0);
        sfx::PeImage layout;
        sfx::ResourceSummary summary;
        EXPECT_TRUE(sfx::CheckPeImage(bytes, bytes.size(), &layout, &fault) && sfx::ReadResources(bytes, layout, &summary, &fault))
            << fault;
    }

    // A named entry is taken, its name reaching the directory's last byte: the icon's language
    // made a named one, whose name of one character or none takes the manifest's last bytes.
    for (uint32_t back : {4, 2}) {
        std::string bytes = withResources, fault;
        size_t languages = 0, size = Le32(bytes, 0x58 + 116);
        for (int level = 0; level < 2; ++level) languages = Le32(bytes, rsrc + languages + 20) & 0x7FFFFFFF;
        sfx::SetLe16(&bytes, rsrc + languages + 12, 1), sfx::SetLe16(&bytes, rsrc + languages + 14, 0);
        SetLe32(&bytes, rsrc + languages + 16, 0x80000000 | (uint32_t)(size - back));
        sfx::SetLe16(&bytes, rsrc + size - back, back / 2 - 1);
        sfx::PeImage layout;
        sfx::ResourceSummary summary;
        EXPECT_TRUE(sfx::CheckPeImage(bytes, bytes.size(), &layout, &fault) && sfx::ReadResources(bytes, layout, &summary, &fault))
            << back << ": " << fault;
        EXPECT_EQ(summary.icons.size(), 1u);
    }

    // Inputs the section cannot be made from, and images that have no room for it.
    using Input = std::function<void(sfx::ResourceInputs*, std::string*)>;
    struct Refusal {
        const char* what;
        Input change;
        const char* fault;
    } refusals[] = {
        {"overlong UTF-8", [](sfx::ResourceInputs* r, std::string*) { r->version.productName = "a\xC0\xAF" "b"; },
         "the product name is not valid UTF-8"},
        {"lead byte without its continuation",
         [](sfx::ResourceInputs* r, std::string*) { r->version.productName = "a\xC3(b"; },
         "the product name is not valid UTF-8"},
        {"first surrogate", [](sfx::ResourceInputs* r, std::string*) { r->version.productName = "\xED\xA0\x80"; },
         "the product name is not valid UTF-8"},
        {"last surrogate", [](sfx::ResourceInputs* r, std::string*) { r->version.productName = "\xED\xBF\xBF"; },
         "the product name is not valid UTF-8"},
        {"past U+10FFFF", [](sfx::ResourceInputs* r, std::string*) { r->version.productName = "\xF4\x90\x80\x80"; },
         "the product name is not valid UTF-8"},
        {"stray continuation bytes",
         [](sfx::ResourceInputs* r, std::string*) { r->version.productName = std::string(10, '\xBF'); },
         "the product name is not valid UTF-8"},
        {"five numbers", [](sfx::ResourceInputs* r, std::string*) { r->version.productVersion = "1.2.3.4.5"; },
         "product version '1.2.3.4.5'"},
        {"number too large", [](sfx::ResourceInputs* r, std::string*) { r->version.fileVersion = "1.65536"; },
         "file version '1.65536'"},
        {"icon size differs", [](sfx::ResourceInputs* r, std::string*) { r->icons[0].width = 32; },
         "icon image 1: its bitmap's size differs"},
        {"icon wider than 256", [](sfx::ResourceInputs* r, std::string*) { r->icons[0].width = 257; },
         "icon image 1: its size is not 1 to 256 pixels"},
        {"icon taller than 256", [](sfx::ResourceInputs* r, std::string*) { r->icons[0].height = 257; },
         "icon image 1: its size is not 1 to 256 pixels"},
        {"icon of a later bitmap header", [](sfx::ResourceInputs* r, std::string*) { SetLe32(&r->icons[0].bytes, 0, 108); },
         "icon image 1: neither a PNG file nor a BITMAPINFOHEADER image"},
        {"PNG height differs",
         [](sfx::ResourceInputs* r, std::string*) {
             r->icons[0].bytes = PngImage(48, 48, kFlat), r->icons[0].width = 48, r->icons[0].height = 32;
         },
         "icon image 1: its PNG image's size differs"},
        {"twice", [&](sfx::ResourceInputs*, std::string* image) { *image = withResources; }, "has resources already"},
        {"a resources entry of a size alone", [](sfx::ResourceInputs*, std::string* image) { SetLe32(image, 0x58 + 96 + 2 * 8 + 4, 8); },
         "has resources already"},
        {"no header room", [](sfx::ResourceInputs*, std::string* image) { (*image)[0x188] = 1; }, "no free room"},
        {"headers that end 20 bytes after the section table",
         [](sfx::ResourceInputs*, std::string* image) { SetLe32(image, 0x58 + 60, 0x188 + 20); }, "no free room"},
        {"not a program", [](sfx::ResourceInputs*, std::string* image) { image->resize(0x300); }, "stub image: "},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        sfx::ResourceInputs in = iconInputs;
        std::string image = pe;
        r.change(&in, &image);
        std::string before = image;
        std::string fault;
        EXPECT_FALSE(sfx::AddResources(&image, in, &fault));
        EXPECT_NE(fault.find(r.fault), std::string::npos) << fault;
        EXPECT_EQ(image, before) << "changed although refused";
    }
    // An icon group holds at most 255 images.
    for (size_t n : {255, 256}) {
        sfx::ResourceInputs in = iconInputs;
        in.icons.assign(n, iconInputs.icons[0]);
        std::string image = pe, fault;
        EXPECT_EQ(sfx::AddResources(&image, in, &fault), n == 255) << fault;
        EXPECT_EQ(fault.find("256 icon images (at most 255)") != std::string::npos, n == 256) << fault;
    }
}


using sfx::DialogIcon;
using sfx::MakeDialogIcon;

// A 32x32 PNG, white from a quarter to half its height and black elsewhere: a palette of
// `colours` (2: 1 bit a pixel, 4: 2 bits), or with `grey` the same bits as grey levels (its
// palette dropped, colour type 0); `colours` 0 makes 16-bit grey.
std::string BandPng(int colours, bool grey) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION, png.width = png.height = 32, png.colormap_entries = colours;
    png.format = colours ? PNG_FORMAT_RGB | PNG_FORMAT_FLAG_COLORMAP : PNG_FORMAT_LINEAR_Y;
    std::vector<uint8_t> pixels(32 * 32 * 2), map;
    for (int i = 0; i < colours; ++i) map.insert(map.end(), 3, (uint8_t)(255 * i / (colours - 1)));
    for (int p = 8 * 32; p < 16 * 32; ++p) {
        if (colours) pixels[p] = (uint8_t)(colours - 1);  // one index a byte
        else pixels[2 * p] = pixels[2 * p + 1] = 0xFF;    // 16-bit white
    }
    std::string out(4096, '\0');
    png_alloc_size_t size = out.size();
    if (!png_image_write_to_memory(&png, &out[0], &size, 0, pixels.data(), 0, map.data())) abort();
    out.resize(size);
    if (grey) {
        size_t plte = out.find("PLTE") - 4;
        out.erase(plte, 12 + sfx::Be32(out, plte));
        out[25] = 0;
        uint32_t crc = ZlibCrc(out.substr(12, 17));  // of IHDR's type and data
        for (int k = 0; k < 4; ++k) out[29 + k] = (char)(crc >> (24 - 8 * k));
    }
    return out;
}

struct Case {
    const char* name;
    std::string input;
    size_t room, fitsUpTo;  // fitsUpTo: what the packed-size check lets through (0: not asked)
    int side, depth;        // of the stored icon; 0 when refused
    char probe;  // 'q' quarters, 'F' on an opaque square ('D' doubled), 'm' white above black ('M'
                 // opaque), '-' mask, 't' clear in the middle, 'b' quarters above clear rows, 'K'
                 // opaque black
    const char* expected;   // in the description, or in the error
    bool ringInside = true;  // 'q' and 'm': the square shows right of the ring (not so when a
                             // disc of 8 pixels is enlarged)
};

}  // namespace

TEST(Icon, PicksConvertsOrRefusesEachInput) {
    std::string one = IconFile({{48, 32, kRich}});
    std::string png = PngImage(256, 256, kRich), badPng = png;
    badPng[badPng.size() / 2] ^= 0x55;
    std::string fourBitColour = png;
    fourBitColour[24] = 4;  // RGBA takes 8 or 16 bits a channel only
    std::string clear = IconFile({{8, 24, kFlat}});
    clear.replace(clear.size() - 32, 32, 32, '\xFF');  // every bit of the mask set
    // A width whose mask rows take two words, and the lowest 14 of its 33 rows clear.
    std::string lowClear = IconFile({{33, 24, kRich}});
    lowClear.replace(lowClear.size() - 8 * 33, 8 * 14, 8 * 14, '\xFF');
    // A palette of one colour and every pixel's index past it: black, as the platform shows it.
    std::string pastPalette = IconFile({{32, 4, kFull}});
    pastPalette.replace(22 + 44, 60 + 512, 512, '\xFF');
    pastPalette = Patch32(Patch32(pastPalette, 54, 1), 14, Le32(pastPalette, 14) - 60);
    const Case cases[] = {
        {"hand-drawn 32x32", IconFile({{256, 0, kRich}, {32, 4, kFlat}}), 2012, 0, 32, 4, 'q',
         "icon: 32x32, 16 colours, 766 bytes, taken as it is from image 2 of 2 (32x32, 16 colours)"},
        {"nearest from above", IconFile({{16, 32, kRich}, {48, 32, kRich}, {256, 0, kRich}, {48, 8, kFlat}}), 2012, 0,
         32, 4, 'q', "converted from image 2 of 4 (48x48, 32-bit)"},
        {"PNG entry", IconFile({{256, 0, kRich}}), 2012, 0, 32, 4, 'q', "converted from image 1 of 1 (256x256 PNG)"},
        {"plain PNG, not square", PngImage(300, 200, kRich), 2012, 0, 32, 4, '-', "converted from a 300x200 PNG"},
        {"256 colours", IconFile({{32, 8, kFlat}}), 2012, 0, 32, 4, 'q', "(32x32, 256 colours)"},
        {"a palette of every colour the depth has", Patch32(IconFile({{32, 4, kFlat}}), 54, 16), 2012, 0, 32, 4, 'q',
         "taken as it is from image 1 of 1 (32x32, 16 colours)"},
        {"indices past the palette", pastPalette, 2012, 0, 32, 4, 'K', "taken as it is from image 1 of 1 (32x32, 16 colours)"},
        {"full square", IconFile({{48, 32, kFull}}), 2012, 0, 32, 4, 'F', "converted from image 1 of 1 (48x48, 32-bit)"},
        {"full square, doubled", IconFile({{8, 32, kFull}}), 2012, 0, 16, 4, 'D', "converted from image 1 of 1 (8x8, 32-bit)"},
        {"24 bits", IconFile({{40, 24, kRich}}), 2012, 0, 32, 4, 'q', "(40x40, 24-bit)"},
        {"24 bits, odd width, lower rows clear", lowClear, 2012, 0, 32, 4, 'b', "(33x33, 24-bit)"},
        {"2 colours", IconFile({{32, 1, kMono}}), 2012, 0, 32, 4, 'm', "(32x32, 2 colours)"},
        {"only 16x16", IconFile({{16, 4, kFlat}}), 2012, 0, 16, 4, 'q',
         "icon: 16x16, 16 colours, 318 bytes, taken as it is"},
        {"tiny, enlarged", IconFile({{8, 32, kFlat}}), 2012, 0, 16, 4, 'q', "converted from image 1 of 1 (8x8, 32-bit)",
         false},
        {"little room", one, 700, 0, 16, 4, 'q',
         "318 bytes, converted from image 1 of 1 (48x48, 32-bit) (32x32, 16 colours takes 766 bytes, 700 are left)"},
        {"less room", one, 300, 0, 16, 1, '-', "icon: 16x16, 2 colours, 198 bytes"},
        {"packs too large", one, 2012, 400, 16, 4, 'q', "(32x32, 16 colours makes the configuration too large)"},
        {"no room", one, 197, 0, 0, 0, 0,
         "no form of the icon fits: even 16x16, 2 colours takes 198 bytes, 197 are left"},
        {"empty", "", 2012, 0, 0, 0, 0, "the file is empty"},
        {"not an icon", "GIF89a....", 2012, 0, 0, 0, 0, "neither an icon file nor a PNG image"},
        {"cursor", "\0\0\2\0\1\0"s, 2012, 0, 0, 0, 0, "a cursor, not an icon"},
        {"reserved word set", Patch32(one, 0, 0x00010001), 2012, 0, 0, 0, 0, "neither an icon file nor a PNG image"},
        {"no image", "\0\0\1\0\0\0"s, 2012, 0, 0, 0, 0, "the icon directory lists no image"},
        {"directory cut", one.substr(0, 20), 2012, 0, 0, 0, 0,
         "the icon directory is truncated: it ends at byte 22, the file has 20"},
        {"zero bytes", Patch32(one, 14, 0), 2012, 0, 0, 0, 0, "image 1 of 1 is empty (0 bytes)"},
        {"outside", Patch32(one, 18, (uint32_t)one.size()), 2012, 0, 0, 0, 0, "image 1 of 1 lies outside the file"},
        {"in the directory", Patch32(one, 18, 6), 2012, 0, 0, 0, 0, "image 1 of 1 starts inside the icon directory"},
        {"taller than 256", Patch32(one, 30, 2 * 257), 2012, 0, 0, 0, 0, "image 1 of 1: larger than 256x256"},
        {"zero width", Patch32(one, 26, 0), 2012, 0, 0, 0, 0, "image 1 of 1: zero or negative size"},
        {"16 bits", Patch32(one, 34, 0x100001), 2012, 0, 0, 0, 0, "image 1 of 1: 16 bits a pixel"},
        {"palette past 256", Patch32(one, 54, 257), 2012, 0, 0, 0, 0, "image 1 of 1: a palette of 257 colours"},
        {"pixels cut", Patch32(one, 14, 1000), 2012, 0, 0, 0, 0,
         "image 1 of 1: truncated: its 48x48 pixels need 9256 bytes, it has 1000"},
        {"bad PNG", badPng, 2012, 0, 0, 0, 0, "bad PNG: "},
        {"PNG cut", png.substr(0, 30), 2012, 0, 0, 0, 0, "bad PNG: "},
        {"PNG depth", fourBitColour, 2012, 0, 0, 0, 0, "bad PNG: colour type 6 with depth 4"},
        {"huge PNG", Patch32(png, 16, 0x00200000), 2012, 0, 0, 0, 0, "larger than 4096x4096"},
        {"wholly transparent", clear, 2012, 0, 16, 4, 't', "converted from image 1 of 1 (8x8, 24-bit)"},
        {"grey PNG depth", Patch32(png, 24, 3), 2012, 0, 0, 0, 0, "bad PNG: colour type 0 with depth 3"},
        {"PNG colour type 7", Patch32(png, 24, 0x0708), 2012, 0, 0, 0, 0, "bad PNG: colour type 7 with depth 8"},
        {"257 rows", Patch32(one, 30, 2 * 257), 2012, 0, 0, 0, 0, "image 1 of 1: larger than 256x256"},
        {"palette PNG depth", Patch32(png, 24, 0x0310), 2012, 0, 0, 0, 0, "bad PNG: colour type 3 with depth 16"},
        {"palette PNG, 1 bit", BandPng(2, false), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"palette PNG, 2 bits", BandPng(4, false), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"palette PNG, 4 bits", BandPng(16, false), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"grey PNG, 4 bits", BandPng(16, true), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"palette PNG, 8 bits", BandPng(256, false), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"grey PNG, 8 bits", BandPng(256, true), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"grey PNG, 1 bit", BandPng(2, true), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"grey PNG, 2 bits", BandPng(4, true), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"grey PNG, 16 bits", BandPng(0, false), 2012, 0, 32, 4, 'M', "converted from a 32x32 PNG"},
        {"a line one pixel wide", PngImage(1, 64, kFull), 2012, 0, 32, 4, 't', "converted from a 1x64 PNG"},
        {"the first of equals", IconFile({{48, 32, kRich}, {48, 32, kRich}}), 2012, 0, 32, 4, 'q',
         "converted from image 1 of 2 (48x48, 32-bit)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::function<bool(const std::string&)> fits;
        if (c.fitsUpTo) fits = [&c](const std::string& ico) { return ico.size() <= c.fitsUpTo; };
        DialogIcon icon, again;
        std::string error;
        bool ok = MakeDialogIcon(c.input, c.room, &icon, &error, fits);
        if (!c.side) {
            EXPECT_FALSE(ok);
            EXPECT_NE(error.find(c.expected), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_NE(icon.description.find(c.expected), std::string::npos) << icon.description;
        ASSERT_TRUE(MakeDialogIcon(c.input, c.room, &again, &error, fits));
        EXPECT_EQ(again.ico, icon.ico);

        // What the stub checks: one image, inside the file, a plain bitmap header.
        const std::string& b = icon.ico;
        ASSERT_LE(b.size(), c.room);
        EXPECT_EQ(std::vector<uint32_t>({Le16(b, 0), Le16(b, 2), Le16(b, 4), Le16(b, 10), Le16(b, 12), Le32(b, 14), Le32(b, 18)}),
                  std::vector<uint32_t>({0, 1, 1, 1, (uint32_t)c.depth, (uint32_t)b.size() - 22, 22}));
        EXPECT_EQ(std::vector<uint32_t>({Le32(b, 22), Le32(b, 26), Le32(b, 30), Le16(b, 34), Le16(b, 36)}),
                  std::vector<uint32_t>({40, (uint32_t)c.side, 2u * c.side, 1, (uint32_t)c.depth}));

        // The pixel at a fraction of width and height, as the platform reads it: {red, green, blue, mask bit}.
        auto at = [&](double fx, double fy) {
            int x = (int)(fx * c.side), row = c.side - 1 - (int)(fy * c.side), bits = c.depth;
            size_t colours = 62 + 4 * (1 << bits), rowBytes = (c.side * bits + 31) / 32 * 4;
            size_t mask = colours + rowBytes * c.side + row * ((c.side + 31) / 32 * 4);
            int i = (uint8_t)b[colours + row * rowBytes + x * bits / 8] >> (8 - bits - x * bits % 8) & ((1 << bits) - 1);
            return std::vector<int>{(uint8_t)b[64 + 4 * i], (uint8_t)b[63 + 4 * i], (uint8_t)b[62 + 4 * i],
                                    (uint8_t)b[mask + x / 8] >> (7 - x % 8) & 1};
        };
        // Black under the mask (the screen shows), or opaque near-black for a full square.
        const bool opaque = c.probe == 'F' || c.probe == 'D' || c.probe == 'M' || c.probe == 'K';
        for (const std::vector<int>& corner : {at(0, 0), at(0.99, 0.99)}) {
            EXPECT_LT(corner[0] + corner[1] + corner[2], opaque ? 30 : 1);
            EXPECT_EQ(corner[3], opaque ? 0 : 1);
        }
        EXPECT_EQ(at(0.5, 0.5)[3], c.probe == 't' ? 1 : 0);
        // Just outside the ring the screen shows, however the edge was resampled.
        if ((c.probe == 'q' || c.probe == 'm') && c.ringInside) EXPECT_EQ(at(0.98, 0.5)[3], 1);
        std::vector<int> tl = at(0.3, 0.3), tr = at(0.7, 0.3), bl = at(0.3, 0.7), br = at(0.7, 0.7);
        // Red, green and blue quarters above a yellow one: each leads the others by 60.
        auto above = [](const std::vector<int>& p, int a, int b) { return p[a] > p[b] + 60; };
        if (c.probe == 'q' || c.probe == 'F' || c.probe == 'D') {
            EXPECT_TRUE(above(tl, 0, 1) && above(tl, 0, 2) && above(tr, 1, 0) && above(tr, 1, 2));
            EXPECT_TRUE(above(bl, 2, 0) && above(bl, 2, 1) && above(br, 0, 2) && above(br, 1, 2));
            // Beside the edge between two quarters each keeps its own: no tap past the filter's reach.
            if (c.probe == 'q') EXPECT_TRUE(above(at(0.45, 0.3), 0, 1) && above(at(0.55, 0.3), 1, 0));
        } else if (c.probe == 'b') {
            EXPECT_TRUE(above(tl, 0, 1) && above(tl, 0, 2) && above(tr, 1, 0) && above(tr, 1, 2));
            EXPECT_EQ(std::vector<int>({bl[3], br[3]}), std::vector<int>({1, 1}));
        } else if (c.probe == 'm' || c.probe == 'M') {
            EXPECT_TRUE(tl[0] > 200 && tr[2] > 200 && bl[1] < 50 && br[0] < 50);
        }
        // Whole pixels repeated, not resampled: both halves of a doubled pixel are one colour,
        // beside a quarter's edge too.
        if (c.probe == 'D') EXPECT_TRUE(at(6.5 / 16, 0.3) == at(7.5 / 16, 0.3) && at(8.5 / 16, 0.3) == at(9.5 / 16, 0.3));
    }
    // An entry that did not come through the file's reader is checked all the same.
    sfx::IconEntry bogus;
    bogus.width = bogus.height = 16, bogus.bitCount = 8, bogus.bytes = std::string(40, '\x01');
    sfx::RgbaImage pixels;
    std::string why;
    EXPECT_FALSE(sfx::DecodeIconImage(bogus, &pixels, nullptr, &why));
    EXPECT_NE(why, "");
    std::string made;
    EXPECT_FALSE(sfx::MakePngIcon(bogus, 32, &made, &why));
    EXPECT_EQ(made, "");
}

// The stub's check before it uses an icon (CheckIconFile, which mksfx build and verify share)
// takes every sound bitmap icon and names each fault.
TEST(Icon, TheStubsCheckTakesSoundBitmapsOnly) {
    auto check = [](const std::string& ico) {
        return CheckIconFile((const unsigned char*)ico.data(), (DWORD)ico.size());
    };
    for (int depth : {1, 4, 8, 24, 32})
        for (int side : {1, 16, 33, 256})
            EXPECT_EQ(check(IconFile({{side, depth, depth == 1 ? kMono : kFlat}, {16, 4, kFlat}})), ICON_SOUND)
                << side << " pixels of " << depth << " bits";
    std::string one = IconFile({{48, 32, kRich}}), four = IconFile({{32, 4, kFlat}});
    const struct {
        std::string ico;
        int fault;
    } faults[] = {
        {"\0\0\1\0"s, ICON_NO_DIRECTORY},
        {"\0\0\2\0\1\0"s, ICON_NO_DIRECTORY},
        {"\0\0\1\0\0\0"s, ICON_NO_IMAGE},
        {"\0\0\1\0\xFF\xFF"s, ICON_DIRECTORY_CUT},
        {Patch32(one, 18, 6), ICON_IMAGE_OUTSIDE},
        {Patch32(one, 18, 0x7FFFFFF0), ICON_IMAGE_OUTSIDE},
        {Patch32(one, 14, 0xFFFFFFF0), ICON_IMAGE_OUTSIDE},
        {IconFile({{32, 0, kFlat}}), ICON_NOT_BITMAP},
        {Patch32(one, 22, 108), ICON_NOT_BITMAP},
        {Patch32(one, 26, 0x7FFFFFFF), ICON_BAD_SIZE},
        {Patch32(one, 26, 257), ICON_BAD_SIZE},
        {Patch32(one, 30, 97), ICON_BAD_SIZE},
        {Patch32(one, 30, 0), ICON_BAD_SIZE},
        {Patch32(one, 34, 0x200002), ICON_BAD_FORMAT},
        {Patch32(one, 34, 0x100001), ICON_BAD_FORMAT},
        {Patch32(one, 38, 1), ICON_BAD_FORMAT},
        {Patch32(four, 54, 17), ICON_BAD_FORMAT},
        {Patch32(four, 54, 16), ICON_SOUND},  // a palette of every colour the depth has
        {Patch32(one, 14, (uint32_t)one.size() - 23), ICON_IMAGE_CUT},  // a byte of the mask
        {Patch32(Patch32(one.substr(0, 22), 14, 0), 18, 22), ICON_NOT_BITMAP},  // an empty image at the end
    };
    for (const auto& f : faults) EXPECT_EQ(check(f.ico), f.fault) << f.fault;
}
