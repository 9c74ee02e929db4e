// The configuration block as the stub's start-up reads it: a self-extracting file is written
// to disk, its parameter block loaded into the stub's own, and LoadStubData run on the
// POSIX stand-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "posix/standin.h"
#include "startup/startup.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"

using namespace sfxtest;

namespace {

struct Loaded {
    int code = -1;
    std::string about, command, text, caption;
    bool icon = false;
    std::vector<ShownMessageBox> boxes;
    std::vector<std::string> tempLeft;  // files left in the temporary folder
};

// Builds the file, starts the stub's loading on it and collects what ReadConfiguration left.
Loaded Load(const SfxParts& parts, const std::string& tempFolder = "") {
    TempDir dir;
    std::string self = dir / "setup.exe";
    std::string bytes = BuildSfx(parts);
    EXPECT_TRUE(WriteFile(self, bytes));
    std::string temp = tempFolder.empty() ? dir / "tmp" : tempFolder;
    WriteFile(temp + "/.keep", "");
    ResetStubState(self);
    standin::SetTempPath(temp);
    EXPECT_TRUE(LoadStubParams(bytes));
    Loaded r;
    r.code = RunUnderCheckpoint(LoadStubData);
    r.about = state.aboutText;
    r.command = state.command;
    r.text = state.messageText;
    r.caption = state.customCaption;
    r.icon = state.appIcon != 0;
    r.boxes = standin::MessageBoxes();
    for (const std::string& name : ListFolder(temp))
        if (name != ".keep") r.tempLeft.push_back(name);
    ReleaseStubState();
    return r;
}

SfxParts WithConfig(const std::string& inflated, uint32_t flags = 0x02) {
    SfxParts p;
    p.config = inflated;
    p.optionFlags = flags;
    p.members = {{"a.txt", "alpha"}};
    return p;
}

TEST(ReadConfiguration, TakesEachStringIntoItsField) {
    const std::string icon = SampleIcon();
    ConfigFields plain;
    plain.about = "\xDC" "ber dieses Paket";  // Windows-1252 bytes pass unchanged
    plain.command = "setup.exe /q";
    plain.text = "Willkommen";
    ConfigFields third = plain;
    third.third = "not used";
    ConfigFields caption = plain;
    caption.hasCaption = true;
    caption.caption = "Mein Setup";
    ConfigFields iconOnly = plain;
    iconOnly.hasIcon = true;
    iconOnly.icon = icon;
    ConfigFields both = caption;
    both.hasIcon = true;
    both.icon = icon;
    ConfigFields markerCaption = plain;  // a caption that starts like the icon marker
    markerCaption.hasCaption = true;
    markerCaption.caption = "\x1F\x1Fxyz";

    struct Case {
        const char* what;
        std::string inflated;
        uint32_t flags;
        const char* caption;
        bool icon;
    } cases[] = {
        {"four strings and two zeros", ConfigText(plain), 0x02, "", false},
        {"a non-empty third string is skipped", ConfigText(third), 0x02, "", false},
        {"caption with its option bit", ConfigText(caption), 0x12, "Mein Setup", false},
        {"caption without its option bit is not taken", ConfigText(caption), 0x02, "", false},
        {"icon after the message text", ConfigText(iconOnly), 0x02, "", true},
        {"icon after the caption", ConfigText(both), 0x12, "Mein Setup", true},
        {"caption read as an icon marker without the bit", ConfigText(markerCaption), 0x02, "", false},
        {"data ends right after the last string", ConfigText(plain).substr(0, ConfigText(plain).size() - 2),
         0x02, "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Loaded r = Load(WithConfig(c.inflated, c.flags));
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.boxes.empty());
        EXPECT_EQ(r.about, plain.about);
        EXPECT_EQ(r.command, plain.command);
        EXPECT_EQ(r.text, plain.text);
        EXPECT_EQ(r.caption, c.caption);
        EXPECT_EQ(r.icon, c.icon);
        EXPECT_TRUE(r.tempLeft.empty()) << r.tempLeft.front();
    }
}

TEST(ReadConfiguration, NoBlockLeavesEverythingEmpty) {
    SfxParts p;
    p.hasConfig = false;
    p.members = {{"a.txt", "alpha"}};
    Loaded r = Load(p);
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.boxes.empty());
    EXPECT_EQ(r.about + r.command + r.text + r.caption, "");
    EXPECT_FALSE(r.icon);
}

TEST(ReadConfiguration, CutsStringsToTheirFields) {
    ConfigFields f;
    f.about = std::string(600, 'a');
    f.command = std::string(150, 'c');
    f.text = std::string(300, 't');
    f.hasCaption = true;
    f.caption = std::string(100, 'k');
    Loaded r = Load(WithConfig(ConfigText(f), 0x12));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.about, std::string(515, 'a'));
    EXPECT_EQ(r.command, std::string(99, 'c'));
    EXPECT_EQ(r.text, std::string(255, 't'));
    EXPECT_EQ(r.caption, std::string(64, 'k'));
}

TEST(ReadConfiguration, StopsWhereTheDataEnds) {
    // No NUL after the command: it is taken as far as it goes, nothing after it.
    Loaded cut = Load(WithConfig(std::string("about\0comm", 10), 0x12));
    EXPECT_EQ(cut.code, 0);
    EXPECT_EQ(cut.about, "about");
    EXPECT_EQ(cut.command, "comm");
    EXPECT_EQ(cut.text, "");
    EXPECT_FALSE(cut.icon);

    // More than the 2012 bytes the block may inflate to: nothing is written past the area
    // and the block reads as empty. At exactly 2012 bytes everything is taken.
    std::string head = std::string("about") + '\0' + "cmd" + '\0' + '\0' + "text" + '\0';
    std::string full = head + std::string(2012 - head.size(), '\0');
    Loaded at2012 = Load(WithConfig(full));
    EXPECT_EQ(at2012.code, 0);
    EXPECT_EQ(at2012.text, "text");
    Loaded over = Load(WithConfig(full + '\0'));
    EXPECT_EQ(over.code, 0);
    EXPECT_EQ(over.about + over.command + over.text, "");
    EXPECT_FALSE(over.icon);
}

TEST(ReadConfiguration, RefusesBlocksOfImpossibleLength) {
    // A stored DEFLATE block of n bytes is n + 5 bytes long.
    auto storedStream = [](const std::string& data) {
        std::string s = "\x01";
        s += (char)(data.size() & 0xFF);
        s += (char)(data.size() >> 8);
        s += (char)(~data.size() & 0xFF);
        s += (char)((~data.size() >> 8) & 0xFF);
        return s + data;
    };
    ConfigFields f;
    f.about = "about";
    f.command = "run.exe";
    std::string text = ConfigText(f);
    std::string at1500 = storedStream(text + std::string(1495 - text.size(), '\0'));
    std::string at1501 = storedStream(text + std::string(1496 - text.size(), '\0'));
    ASSERT_EQ(at1500.size(), 1500u);

    SfxParts fits = WithConfig("");
    fits.packedConfig = at1500;
    fits.headerCheck = false;
    Loaded ok = Load(fits);
    EXPECT_EQ(ok.code, 0);
    EXPECT_EQ(ok.command, "run.exe");

    struct Case {
        const char* what;
        SfxParts parts;
    };
    SfxParts tooLong = fits;
    tooLong.packedConfig = at1501;
    SfxParts empty = fits;  // configuration offset equal to the archive offset
    empty.configOffset = 8192 + (int64_t)at1500.size();
    SfxParts negative = fits;
    negative.configOffset = 8192 + (int64_t)at1500.size() + 10;
    SfxParts cut = fits;    // the file ends inside the block
    cut.members.clear();
    cut.archiveOffset = 8192 + 1500;
    cut.packedConfig = at1500.substr(0, 700);
    for (const Case& c : {Case{"1501 bytes", tooLong}, Case{"0 bytes", empty},
                          Case{"archive before configuration", negative}, Case{"short file", cut}}) {
        SCOPED_TRACE(c.what);
        Loaded r = Load(c.parts);
        EXPECT_EQ(r.code, ABORT_FAILED);
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].text, HEADER_INVALID_TEXT);
        EXPECT_EQ(r.command, "");
    }
}

// A read that fails is the own file that cannot be read, not a damaged one.
TEST(ReadConfiguration, FailedReadIsAReadError) {
    SfxParts p = WithConfig(ConfigText(ConfigFields{}));
    p.headerCheck = false;  // the configuration read is then the first read of the file
    TempDir dir;
    std::string self = dir / "setup.exe";
    std::string bytes = BuildSfx(p);
    WriteFile(self, bytes);
    ResetStubState(self);
    LoadStubParams(bytes);
    standin::FailRead(1);
    EXPECT_EQ(RunUnderCheckpoint(LoadStubData), ABORT_FAILED);
    ASSERT_EQ(standin::MessageBoxes().size(), 1u);
    EXPECT_EQ(standin::MessageBoxes()[0].text, zipcraft::Formatted(MSG_READ_FAILED, self.c_str()));
    ReleaseStubState();
}

TEST(ReadConfiguration, IconStepFailuresOnlyLoseTheIcon) {
    ConfigFields f;
    f.command = "run.exe";
    f.hasIcon = true;
    f.icon = "not an icon file at all";
    Loaded notIcon = Load(WithConfig(ConfigText(f)));
    EXPECT_EQ(notIcon.code, 0);
    EXPECT_FALSE(notIcon.icon);
    EXPECT_TRUE(notIcon.tempLeft.empty());

    // A temporary folder longer than 144 characters is not used at all.
    TempDir dir;
    std::string longFolder = dir / std::string(150, 'd');
    f.icon = SampleIcon();
    Loaded longTemp = Load(WithConfig(ConfigText(f)), longFolder);
    EXPECT_EQ(longTemp.code, 0);
    EXPECT_EQ(longTemp.command, "run.exe");
    EXPECT_FALSE(longTemp.icon);
    EXPECT_TRUE(longTemp.tempLeft.empty());
    EXPECT_TRUE(longTemp.boxes.empty());
}

}  // namespace
