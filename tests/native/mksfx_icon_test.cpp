// The dialog's icon: icon files and PNG images of several sizes and depths, made here from
// pixels, become one small sound icon that fits the room given, shows the picture the right
// way round in the right colours, and comes out the same on every run; malformed input is
// refused with a message that says what is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "startup/startup.h"
#include "tests/support/sfx_files.h"
#include "tools/mksfx/icon.h"

using namespace sfx;
using namespace std::string_literals;

namespace {

using sfxtest::kFlat;
using sfxtest::kFull;
using sfxtest::kMono;
using sfxtest::kRich;
using sfxtest::PngImage;

std::string Ico(const std::vector<sfxtest::IconImage>& images) { return sfxtest::IconFile(images); }

std::string Patch32(std::string b, size_t at, uint32_t v) {
    SetLe32(&b, at, v);
    return b;
}

struct Case {
    const char* name;
    std::string input;
    size_t room, fitsUpTo;  // fitsUpTo: what the packed-size check lets through (0: not asked)
    int side, depth;        // of the stored icon; 0 when refused
    char probe;             // 'q' quarters, 'F' quarters on an opaque square, 'm' white above
                            // black, '-' the mask only
    const char* expected;   // in the description, or in the error
};

}  // namespace

TEST(Icon, PicksConvertsOrRefusesEachInput) {
    std::string one = Ico({{48, 32, kRich}});
    std::string png = PngImage(256, 256, kRich), badPng = png;
    badPng[badPng.size() / 2] ^= 0x55;
    std::string fourBitColour = png;
    fourBitColour[24] = 4;  // RGBA takes 8 or 16 bits a channel only
    const Case cases[] = {
        {"hand-drawn 32x32", Ico({{256, 0, kRich}, {32, 4, kFlat}}), 2012, 0, 32, 4, 'q',
         "icon: 32x32, 16 colours, 766 bytes, taken as it is from image 2 of 2 (32x32, 16 "
         "colours)"},
        {"nearest from above",
         Ico({{16, 32, kRich}, {256, 0, kRich}, {48, 32, kRich}, {48, 8, kFlat}}), 2012, 0, 32, 4,
         'q', "converted from image 3 of 4 (48x48, 32-bit)"},
        {"PNG entry", Ico({{256, 0, kRich}}), 2012, 0, 32, 4, 'q',
         "converted from image 1 of 1 (256x256 PNG)"},
        {"plain PNG, not square", PngImage(300, 200, kRich), 2012, 0, 32, 4, '-',
         "converted from a 300x200 PNG"},
        {"256 colours", Ico({{32, 8, kFlat}}), 2012, 0, 32, 4, 'q', "(32x32, 256 colours)"},
        {"full square", Ico({{48, 32, kFull}}), 2012, 0, 32, 4, 'F', "converted from image 1 of 1 (48x48, 32-bit)"},
        {"24 bits", Ico({{40, 24, kRich}}), 2012, 0, 32, 4, 'q', "(40x40, 24-bit)"},
        {"2 colours", Ico({{32, 1, kMono}}), 2012, 0, 32, 4, 'm', "(32x32, 2 colours)"},
        {"only 16x16", Ico({{16, 4, kFlat}}), 2012, 0, 16, 4, 'q',
         "icon: 16x16, 16 colours, 318 bytes, taken as it is"},
        {"tiny, enlarged", Ico({{8, 32, kFlat}}), 2012, 0, 16, 4, 'q',
         "converted from image 1 of 1 (8x8, 32-bit)"},
        {"little room", one, 700, 0, 16, 4, 'q',
         "318 bytes, converted from image 1 of 1 (48x48, 32-bit) (32x32, 16 colours takes 766 "
         "bytes, 700 are left)"},
        {"less room", one, 300, 0, 16, 1, '-', "icon: 16x16, 2 colours, 198 bytes"},
        {"packs too large", one, 2012, 400, 16, 4, 'q',
         "(32x32, 16 colours makes the configuration too large)"},
        {"no room", one, 197, 0, 0, 0, 0,
         "no form of the icon fits: even 16x16, 2 colours takes 198 bytes, 197 are left"},
        {"empty", "", 2012, 0, 0, 0, 0, "the file is empty"},
        {"not an icon", "GIF89a....", 2012, 0, 0, 0, 0, "neither an icon file nor a PNG image"},
        {"cursor", "\0\0\2\0\1\0"s, 2012, 0, 0, 0, 0, "a cursor, not an icon"},
        {"no image", "\0\0\1\0\0\0"s, 2012, 0, 0, 0, 0, "the icon directory lists no image"},
        {"directory cut", one.substr(0, 20), 2012, 0, 0, 0, 0,
         "the icon directory is truncated: it ends at byte 22, the file has 20"},
        {"zero bytes", Patch32(one, 14, 0), 2012, 0, 0, 0, 0, "image 1 of 1 is empty (0 bytes)"},
        {"outside", Patch32(one, 18, (uint32_t)one.size()), 2012, 0, 0, 0, 0,
         "image 1 of 1 lies outside the file"},
        {"in the directory", Patch32(one, 18, 6), 2012, 0, 0, 0, 0,
         "image 1 of 1 starts inside the icon directory"},
        {"zero width", Patch32(one, 26, 0), 2012, 0, 0, 0, 0,
         "image 1 of 1: zero or negative size"},
        {"16 bits", Patch32(one, 34, 0x100001), 2012, 0, 0, 0, 0, "image 1 of 1: 16 bits a pixel"},
        {"palette past 256", Patch32(one, 54, 257), 2012, 0, 0, 0, 0, "image 1 of 1: a palette of 257 colours"},
        {"pixels cut", Patch32(one, 14, 1000), 2012, 0, 0, 0, 0,
         "image 1 of 1: truncated: its 48x48 pixels need 9256 bytes, it has 1000"},
        {"bad PNG", badPng, 2012, 0, 0, 0, 0, "bad PNG: "},
        {"PNG cut", png.substr(0, 30), 2012, 0, 0, 0, 0, "bad PNG: "},
        {"PNG depth", fourBitColour, 2012, 0, 0, 0, 0, "bad PNG: colour type 6 with depth 4"},
        {"huge PNG", Patch32(png, 16, 0x00200000), 2012, 0, 0, 0, 0, "larger than 4096x4096"},
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
        EXPECT_EQ(std::vector<uint32_t>({Le16(b, 0), Le16(b, 2), Le16(b, 4), Le32(b, 14), Le32(b, 18)}),
                  std::vector<uint32_t>({0, 1, 1, (uint32_t)b.size() - 22, 22}));
        EXPECT_EQ(std::vector<uint32_t>({Le32(b, 22), Le32(b, 26), Le32(b, 30), Le16(b, 34), Le16(b, 36)}),
                  std::vector<uint32_t>({40, (uint32_t)c.side, 2u * c.side, 1, (uint32_t)c.depth}));

        // The pixel at a fraction of the width and height, read from the bytes as the
        // platform reads them: {red, green, blue, mask bit}.
        auto at = [&](double fx, double fy) {
            int x = (int)(fx * c.side), row = c.side - 1 - (int)(fy * c.side), bits = c.depth;
            size_t colours = 62 + 4 * (1 << bits), rowBytes = (c.side * bits + 31) / 32 * 4;
            size_t mask = colours + rowBytes * c.side + row * ((c.side + 31) / 32 * 4);
            int i =
                (uint8_t)b[colours + row * rowBytes + x * bits / 8] >> (8 - bits - x * bits % 8) &
                ((1 << bits) - 1);
            return std::vector<int>{(uint8_t)b[64 + 4 * i], (uint8_t)b[63 + 4 * i],
                                    (uint8_t)b[62 + 4 * i],
                                    (uint8_t)b[mask + x / 8] >> (7 - x % 8) & 1};
        };
        // Black under the mask (the screen shows), or opaque near-black for a full square.
        for (const std::vector<int>& corner : {at(0, 0), at(0.99, 0.99)}) {
            EXPECT_LT(corner[0] + corner[1] + corner[2], c.probe == 'F' ? 30 : 1);
            EXPECT_EQ(corner[3], c.probe == 'F' ? 0 : 1);
        }
        EXPECT_EQ(at(0.5, 0.5)[3], 0);
        std::vector<int> tl = at(0.3, 0.3), tr = at(0.7, 0.3), bl = at(0.3, 0.7), br = at(0.7, 0.7);
        // Red, green and blue quarters above a yellow one: each leads the others by 60.
        auto above = [](const std::vector<int>& p, int a, int b) { return p[a] > p[b] + 60; };
        if (c.probe == 'q' || c.probe == 'F') {
            EXPECT_TRUE(above(tl, 0, 1) && above(tl, 0, 2) && above(tr, 1, 0) && above(tr, 1, 2));
            EXPECT_TRUE(above(bl, 2, 0) && above(bl, 2, 1) && above(br, 0, 2) && above(br, 1, 2));
        } else if (c.probe == 'm') {
            EXPECT_TRUE(tl[0] > 200 && tr[2] > 200 && bl[1] < 50 && br[0] < 50);
        }
    }
}

// The stub's check before it uses an icon (CheckIconFile, which mksfx build and verify share)
// takes every sound bitmap icon and names each fault.
TEST(Icon, TheStubsCheckTakesSoundBitmapsOnly) {
    auto check = [](const std::string& ico) {
        return CheckIconFile((const unsigned char*)ico.data(), (DWORD)ico.size());
    };
    for (int depth : {1, 4, 8, 24, 32})
        for (int side : {1, 16, 33, 256})
            EXPECT_EQ(check(Ico({{side, depth, depth == 1 ? kMono : kFlat}, {16, 4, kFlat}})),
                      ICON_SOUND) << side << " pixels of " << depth << " bits";
    std::string one = Ico({{48, 32, kRich}}), four = Ico({{32, 4, kFlat}});
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
        {Ico({{32, 0, kFlat}}), ICON_NOT_BITMAP},
        {Patch32(one, 22, 108), ICON_NOT_BITMAP},
        {Patch32(one, 26, 0x7FFFFFFF), ICON_BAD_SIZE},
        {Patch32(one, 26, 257), ICON_BAD_SIZE},
        {Patch32(one, 30, 97), ICON_BAD_SIZE},
        {Patch32(one, 30, 0), ICON_BAD_SIZE},
        {Patch32(one, 34, 0x200002), ICON_BAD_FORMAT},
        {Patch32(one, 34, 0x100001), ICON_BAD_FORMAT},
        {Patch32(one, 38, 1), ICON_BAD_FORMAT},
        {Patch32(four, 54, 17), ICON_BAD_FORMAT},
        {Patch32(one, 14, (uint32_t)one.size() - 23), ICON_IMAGE_CUT},  // a byte of the mask
    };
    for (const auto& f : faults) EXPECT_EQ(check(f.ico), f.fault) << f.fault;
}
