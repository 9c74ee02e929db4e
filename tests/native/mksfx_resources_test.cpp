// The stub image check and the finished file's resources: images with a resource section
// added are read back by wrestool and icotool (Debian's icoutils) and by our own reader;
// broken images, resource sections and inputs are each refused with their own line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/sfx_files.h"
#include "tools/mksfx/resources.h"

using namespace sfxtest;

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
    const std::string pe = SyntheticStub(0x600, 0x400);  // sections end at 0x600

    struct Row {
        sfx::ResourceInputs in;
        std::vector<std::string> lines;         // what our reader says
        std::vector<std::string> icotoolSizes;  // "--width=W --height=H"
        std::vector<std::string> versionTexts;  // found as UTF-16 in wrestool's copy of the data
    } rows[3];
    rows[0].lines = {"manifest: asInvoker", "icon: none", "file version: 1.0.0.0", "product version: 1.0.0.0",
                     "FileDescription: setup", "ProductName: setup", "OriginalFilename: setup.exe"};
    rows[0].versionTexts = {"setup.exe", "1.0"};
    sfx::ResourceInputs& in = rows[1].in;
    in.elevation = sfx::Elevation::Highest;
    in.icons = {small, big};
    in.version = {"2.1.7.300", "2.1", "Hallo", "Gr\xC3\xBC\xC3\x9F" "e GmbH", "", "\xC2\xA9 2024 \xF0\x9F\x98\x80", "hallo-setup.exe"};
    rows[1].lines = {"manifest: highestAvailable", "icon: 16x16 4-bit, 256x256 PNG", "file version: 2.1.7.300",
                     "product version: 2.1.0.0", "CompanyName: Gr\xC3\xBC\xC3\x9F" "e GmbH",
                     "FileDescription: Hallo", "LegalCopyright: \xC2\xA9 2024 \xF0\x9F\x98\x80", "InternalName: hallo-setup"};
    rows[1].icotoolSizes = {"--width=16 --height=16", "--width=256 --height=256"};
    rows[1].versionTexts = {"2.1.7.300", "Hallo", "hallo-setup.exe", std::string("G\0r\0\xFC\0\xDF\0e\0", 10)};
    rows[2].in.elevation = sfx::Elevation::Admin;
    rows[2].in.commonControls6 = false;
    rows[2].lines = {"manifest: requireAdministrator"};

    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines[0]);
        std::string image = pe;
        ASSERT_EQ(sfx::AddResources(&image, row.in), "");
        sfx::PeImage layout;
        EXPECT_EQ(sfx::CheckPeImage(image, image.size(), &layout), "");
        EXPECT_EQ(image.compare(0x200, pe.size() - 0x200, pe, 0x200), 0) << "existing bytes moved";
        EXPECT_EQ(Le32(image, layout.ChecksumOffset()), 0u);
        std::string again = pe;
        sfx::AddResources(&again, row.in);
        EXPECT_EQ(again, image) << "not reproducible";

        sfx::ResourceSummary summary;
        EXPECT_EQ(sfx::ReadResources(image, layout, &summary), "");
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
    std::string withResources = pe;
    sfx::ResourceInputs iconInputs;
    iconInputs.icons = {ImageOf(SampleIcon(), 16, 16, 4)};
    ASSERT_EQ(sfx::AddResources(&withResources, iconInputs), "");
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
        {"MZ overwritten", pe, [](std::string* b) { (*b)[0] = 'X'; }, "no MZ signature"},
        {"finished setup file", pe, [](std::string* b) { *b += "PK\5\6"; }, "4 bytes follow the last section"},
        {"x64", pe, [](std::string* b) { sfx::SetLe16(b, 0x44, 0x8664); }, "not i386"},
        {"DLL", pe, [](std::string* b) { sfx::SetLe16(b, 0x56, 0x2102); }, "not an executable program"},
        {"PE32+", pe, [](std::string* b) { sfx::SetLe16(b, 0x58, 0x20B); }, "not PE32"},
        {"console", pe, [](std::string* b) { sfx::SetLe16(b, 0x58 + 68, 3); }, "subsystem 3"},
        {"section table past the headers", pe, [](std::string* b) { sfx::SetLe16(b, 0x46, 20); }, "section table"},
        {"overlap in memory", pe, [](std::string* b) { SetLe32(b, 0x138 + 40 + 12, 0x1000); }, "overlaps"},
        {"imports outside", pe, [](std::string* b) { SetLe32(b, 0x58 + 104, 0x7000); }, "imports directory"},
        {"certificates inside", pe, [](std::string* b) { SetLe32(b, 0x58 + 128, 0x100), SetLe32(b, 0x58 + 132, 8); },
         "certificates directory"},
        {"loop", withResources, [](std::string* b) { SetLe32(b, rsrc + 20, 0x80000000); }, "reached twice (a loop)"},
        {"ids out of order", withResources, [](std::string* b) { SetLe32(b, rsrc + 16, 20); }, "ids do not ascend"},
        {"data outside", withResources,
         [&](std::string* b) { SetLe32(b, rsrc + dataEntry, 0x9000); }, "lies outside the resource section"},
        {"icon size", withResources,
         [&](std::string* b) { SetLe32(b, rsrc + dataEntry + 4, Le32(*b, rsrc + dataEntry + 4) - 1); },
         "the group says"},
        {"version key", withResources, [](std::string* b) { (*b)[b->find(Widen("VS_VERSION"))] = 'X'; },
         "version information is malformed"},
        {"manifest level", withResources, [](std::string* b) { b->replace(b->find("asInvoker"), 9, "asInvoked"); },
         "unknown execution level 'asInvoked'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string bytes = c.base;
        c.change(&bytes);
        sfx::PeImage layout;
        std::string fault = sfx::CheckPeImage(bytes, bytes.size(), &layout);
        sfx::ResourceSummary summary;
        if (fault.empty()) fault = sfx::ReadResources(bytes, layout, &summary);
        EXPECT_NE(fault.find(c.fault), std::string::npos) << fault;
        EXPECT_EQ(fault.find('\n'), std::string::npos);
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
        {"five numbers", [](sfx::ResourceInputs* r, std::string*) { r->version.productVersion = "1.2.3.4.5"; },
         "product version '1.2.3.4.5'"},
        {"number too large", [](sfx::ResourceInputs* r, std::string*) { r->version.fileVersion = "1.65536"; },
         "file version '1.65536'"},
        {"icon size differs", [](sfx::ResourceInputs* r, std::string*) { r->icons[0].width = 32; },
         "icon image 1: its bitmap's size differs"},
        {"twice", [&](sfx::ResourceInputs*, std::string* image) { *image = withResources; }, "has resources already"},
        {"no header room", [](sfx::ResourceInputs*, std::string* image) { (*image)[0x188] = 1; }, "no free room"},
        {"not a program", [](sfx::ResourceInputs*, std::string* image) { image->resize(0x300); }, "stub image: "},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        sfx::ResourceInputs in = iconInputs;
        std::string image = pe;
        r.change(&in, &image);
        std::string before = image;
        std::string fault = sfx::AddResources(&image, in);
        EXPECT_NE(fault.find(r.fault), std::string::npos) << fault;
        EXPECT_EQ(image, before) << "changed although refused";
    }
}

}  // namespace
