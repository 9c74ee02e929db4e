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
    int code = 0;
    std::string about, command, text, caption;
    bool icon = false;
};

std::string Shown(const Loaded& l) {
    return std::to_string(l.code) + "|" + l.about + "|" + l.command + "|" + l.text + "|" + l.caption + "|" +
           (l.icon ? "icon" : "");
}

SfxParts WithConfig(const std::string& inflated, uint32_t flags = 0x02) {
    SfxParts p;
    p.config = inflated;
    p.optionFlags = flags;
    p.members = {{"a.txt", "alpha"}};
    return p;
}

// A stored DEFLATE block of n bytes is n + 5 bytes long.
std::string StoredStream(const std::string& data) {
    StreamWriter w;
    w.Stored(data, true);
    return w.Finish();
}

TEST(ReadConfiguration, TakesWhatTheBlockHoldsAndRefusesImpossibleBlocks) {
    const std::string icon = SampleIcon();
    ConfigFields plain;
    plain.about = "\xDC" "ber dieses Paket";  // Windows-1252 bytes pass unchanged
    plain.command = "setup.exe /q";
    plain.text = "Willkommen";
    ConfigFields third = plain, caption = plain, iconOnly = plain, markerCaption = plain, notIcon = plain, longest;
    third.third = "not used";
    caption.hasCaption = true;
    caption.caption = "Mein Setup";
    iconOnly.hasIcon = notIcon.hasIcon = true;
    iconOnly.icon = icon;
    notIcon.icon = "not an icon file at all";
    ConfigFields both = caption;
    both.hasIcon = true;
    both.icon = icon;
    markerCaption.hasCaption = true;  // a caption that starts like the icon marker
    markerCaption.caption = "\x1F\x1Fxyz";
    longest.about = std::string(600, 'a');
    longest.command = std::string(150, 'c');
    longest.text = std::string(300, 't');
    longest.hasCaption = true;
    longest.caption = std::string(100, 'k');
    // The icon marker is two bytes: one of them alone is no marker.
    std::string firstMarker = ConfigText(iconOnly), secondMarker = firstMarker;
    firstMarker[firstMarker.find("\x1F\x1F") + 1] = 'x';
    secondMarker[secondMarker.find("\x1F\x1F")] = 'x';
    // More than the 2012 bytes the block may inflate to: nothing is written past the area and
    // the block reads as empty. At exactly 2012 bytes everything is taken.
    std::string head = std::string("about") + '\0' + "cmd" + '\0' + '\0' + "text" + '\0';
    std::string full = head + std::string(2012 - head.size(), '\0');

    ConfigFields run;
    run.about = "about";
    run.command = "run.exe";
    std::string text = ConfigText(run);
    SfxParts fits = WithConfig("");
    fits.packedConfig = StoredStream(text + std::string(1495 - text.size(), '\0'));  // 1500 bytes
    fits.headerCheck = false;  // the configuration read is then the first read of the file
    SfxParts tooLong = fits, empty = fits, negative = fits, cut = fits, noBlock = WithConfig("");
    tooLong.packedConfig = StoredStream(text + std::string(1496 - text.size(), '\0'));
    empty.configOffset = 8192 + 1500;  // configuration offset equal to the archive offset
    negative.configOffset = 8192 + 1500 + 10;
    cut.members.clear();  // the file ends inside the block
    cut.archiveOffset = 8192 + 1500;
    cut.packedConfig = fits.packedConfig.substr(0, 700);
    noBlock.hasConfig = false;
    SfxParts unseekable = fits;  // a negative offset to the seek: nothing is read elsewhere instead
    unseekable.configOffset = 0x80000000u, unseekable.archiveOffset = 0x80000000u + 1500;

    TempDir dir;
    const std::string longTemp = dir / std::string(150, 'd');  // longer than 144: not used
    const Loaded taken{0, plain.about, plain.command, plain.text, "", false};
    Loaded withCaption = taken, withIcon = taken, withBoth = taken;
    withCaption.caption = withBoth.caption = "Mein Setup";
    withIcon.icon = withBoth.icon = true;
    const Loaded refused{ABORT_FAILED, "", "", "", "", false};
    struct Case {
        const char* what;
        SfxParts parts;
        Loaded want;
        int failRead = 0;
        std::string temp = "";
    } cases[] = {
        {"four strings and two zeros", WithConfig(ConfigText(plain)), taken},
        {"a non-empty third string is skipped", WithConfig(ConfigText(third)), taken},
        {"caption with its option bit", WithConfig(ConfigText(caption), 0x12), withCaption},
        {"caption without its option bit is not taken", WithConfig(ConfigText(caption)), taken},
        {"icon after the message text", WithConfig(ConfigText(iconOnly)), withIcon},
        {"icon after the caption", WithConfig(ConfigText(both), 0x12), withBoth},
        {"caption read as an icon marker without the bit", WithConfig(ConfigText(markerCaption)), taken},
        {"first marker byte alone", WithConfig(firstMarker), taken},
        {"second marker byte alone", WithConfig(secondMarker), taken},
        {"not an icon", WithConfig(ConfigText(notIcon)), taken},
        {"temporary folder too long for the icon", WithConfig(ConfigText(iconOnly)), taken, 0, longTemp},
        {"data ends right after the last string", WithConfig(ConfigText(plain).substr(0, ConfigText(plain).size() - 2)),
         taken},
        {"no block", noBlock, {}},
        {"strings cut to their fields", WithConfig(ConfigText(longest), 0x12),
         {0, std::string(515, 'a'), std::string(99, 'c'), std::string(255, 't'), std::string(64, 'k'), false}},
        {"no NUL after the command", WithConfig(std::string("about\0comm", 10), 0x12), {0, "about", "comm"}},
        {"2012 bytes", WithConfig(full), {0, "about", "cmd", "text"}},
        {"2013 bytes", WithConfig(full + '\0'), {}},
        {"1500 bytes", fits, {0, "about", "run.exe"}},
        {"1501 bytes", tooLong, refused},
        {"0 bytes", empty, refused},
        {"archive before configuration", negative, refused},
        {"short file", cut, refused},
        {"failed read", fits, refused, 1},
        {"configuration offset the file cannot seek to", unseekable, refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string self = dir / "setup.exe", bytes = BuildSfx(c.parts);
        std::string temp = c.temp.empty() ? dir / "tmp" : c.temp;
        WriteFile(self, bytes);
        WriteFile(temp + "/.keep", "");
        ResetStubState(self);
        standin::SetTempPath(temp);
        ASSERT_TRUE(LoadStubParams(bytes));
        standin::FailRead(c.failRead);
        Loaded r;
        r.code = RunUnderCheckpoint(LoadStubData);
        r.about = state.aboutText, r.command = state.command, r.text = state.messageText;
        r.caption = state.customCaption, r.icon = state.appIcon != 0;
        EXPECT_EQ(Shown(c.want), Shown(r));
        std::vector<ShownMessageBox> boxes = standin::MessageBoxes();
        ASSERT_EQ(boxes.size(), r.code ? 1u : 0u);
        // A read that fails is the own file that cannot be read, not a damaged one.
        if (r.code) {
            EXPECT_EQ(boxes[0].text, c.failRead ? zipcraft::Formatted(MSG_READ_FAILED, self.c_str())
                                                : std::string(HEADER_INVALID_TEXT));
        }
        EXPECT_EQ(ListFolder(temp), std::vector<std::string>{".keep"});  // no icon file left
        ReleaseStubState();
    }
}

}  // namespace
