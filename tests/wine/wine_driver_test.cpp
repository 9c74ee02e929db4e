// The test driver against boxdemo.exe, whose windows are known: what it reads from message
// boxes and dialogs, and that its ways of pressing buttons and keys reach the program.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/wine/support/wine.h"

namespace {

std::vector<std::string> StartBoxDemo(const std::string& mode) {
    wine::Session& s = wine::Session::Get();
    return {"cd " + wine::Quote(s.WinPath(s.Root())),
            "start " + wine::Quote(s.WinPath(wine::TestProgram("boxdemo")) + " " + mode)};
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Driver, ReadsAnErrorBoxAndPressesItsButton) {
    wine::DriverRun run = wine::Session::Get().Drive(
        StartBoxDemo("error") + std::vector<std::string>{"wait kind=msgbox timeout=30000", "dump",
                                                         "list", "click text=OK", "exit"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    ASSERT_EQ(run.Dumps().size(), 1u);
    const wine::Window box = run.Dump(0);
    EXPECT_EQ(box.caption, "Box Demo");
    EXPECT_EQ(box.text, wine::Ansi("Fehler in Grüße.\nZweite Zeile."));
    EXPECT_EQ(box.icon, "error");
    EXPECT_EQ(box.owner, "0x0");
    EXPECT_EQ(box.buttons, std::vector<int>{1});
    EXPECT_EQ(box.defaultButton, 1);
    EXPECT_EQ(run.First("listed")->Number("count"), 1);
    EXPECT_EQ(run.ExitCode(), 1);  // IDOK
}

TEST(Driver, AnswersQuestionBoxesByButtonAndByKey) {
    struct Case {
        const char* action;
        int answer;
    };
    const Case cases[] = {
        {"click id=6", 6},             // Yes
        {"click id=7 via=command", 7}, // No
        {"key vk=13", 7},              // Enter takes the default button, No
    };
    for (const Case& c : cases) {
        wine::DriverRun run = wine::Session::Get().Drive(
            StartBoxDemo("question") +
            std::vector<std::string>{"wait kind=msgbox timeout=30000", "dump", c.action, "exit"});
        ASSERT_TRUE(run.Ok()) << c.action << "\n" << run.Describe();
        const wine::Window box = run.Dump(0);
        EXPECT_EQ(box.icon, "question") << c.action;
        EXPECT_EQ(box.buttons, (std::vector<int>{6, 7})) << c.action;
        EXPECT_EQ(box.defaultButton, 7) << c.action;
        EXPECT_EQ(run.ExitCode(), c.answer) << c.action;
    }
}

TEST(Driver, ReadsADialogAndFollowsItToAnOwnedBox) {
    wine::Session& s = wine::Session::Get();
    // a path with a blank and an umlaut: quoted, in ANSI for the script, UTF-8 on Linux
    std::string bmp = s.WorkDir("driver") + "/Bild \u00FC.bmp";
    wine::DriverRun run = s.Drive(
        StartBoxDemo("dialog") +
        std::vector<std::string>{"wait kind=dialog caption=\"Box Demo\" timeout=30000",
                                 "wait_text id=101 text~=Go", "dump", "send msg=0x403 wparam=20",
                                 "shot file=" + wine::Quote(wine::Ansi(s.WinPath(bmp))), "click text=&Go",
                                 "wait kind=msgbox owner=current", "dump", "click id=2", "gone",
                                 "exit"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    ASSERT_EQ(run.Dumps().size(), 2u);
    const wine::Window dialog = run.Dump(0);
    EXPECT_EQ(dialog.kind, "dialog");
    ASSERT_EQ(dialog.controls.size(), 4u);
    const wine::Control* go = dialog.FindControl(1);
    ASSERT_NE(go, nullptr);
    EXPECT_EQ(go->cls, "Button");
    EXPECT_EQ(go->text, "&Go");
    EXPECT_EQ(go->style & 0xF, 1u);  // the default push button
    EXPECT_EQ(dialog.FindControl(101)->text, "Press Go.");
    EXPECT_EQ(dialog.FindControl(120)->icon, "question");
    EXPECT_EQ(run.First("result")->Number("value"), 41);  // 20 * 2 + 1
    EXPECT_EQ(run.First("text")->Get("value"), "Press Go.");

    const wine::Window box = run.Dump(1);
    EXPECT_EQ(box.owner, dialog.hwnd);
    EXPECT_EQ(box.icon, "warning");
    EXPECT_EQ(box.text, "Continue?");
    EXPECT_EQ(box.buttons, (std::vector<int>{1, 2}));
    EXPECT_EQ(run.ExitCode(), 12);  // 10 + IDCANCEL

    const wine::Observation* shot = run.First("shot");
    ASSERT_NE(shot, nullptr);
    EXPECT_EQ(shot->Number("width"), dialog.rect.Width());
    EXPECT_EQ(shot->Number("height"), dialog.rect.Height());
    ASSERT_TRUE(s.ToPng(bmp, s.Root() + "/work/driver/dialog.png"));
}

TEST(Driver, ClosesADialogLikeAUser) {
    const char* actions[] = {"input keys=alt+f4", "input keys=esc", "close", "click id=2 via=mouse"};
    for (const char* action : actions) {
        wine::DriverRun run = wine::Session::Get().Drive(
            StartBoxDemo("dialog") +
            std::vector<std::string>{"wait kind=dialog timeout=30000", action, "exit"});
        ASSERT_TRUE(run.Ok()) << action << "\n" << run.Describe();
        EXPECT_EQ(run.ExitCode(), 100) << action;
    }
}

TEST(Driver, ReportsAFailedWaitAndStopsTheScript) {
    wine::DriverRun run = wine::Session::Get().Drive(
        StartBoxDemo("error") +
        std::vector<std::string>{"wait caption=\"no such window\" timeout=500", "exit"});
    EXPECT_FALSE(run.Ok());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.Error().find("timeout"), std::string::npos) << run.Describe();
    EXPECT_EQ(run.First("exit"), nullptr);  // the script stopped at the failure
}

// The harness's side: reading the driver's report and writing texts for it.
TEST(DriverReport, UnescapesFieldsAndGroupsControlsUnderTheirDump) {
    const std::vector<std::string> script = {"start x", "  dump", "wait kind=msgbox"};
    const std::string report =
        "started\tline=1\tpid=7\n"
        "window\tline=2\thwnd=0x10\tkind=dialog\tcaption=A\\tB\\nC\\\\D\\xFCE\trect=1,2,31,42\n"
        "control\tline=2\tparent=0x10\tid=101\ttext=x=y\tvisible=1\n"
        "control\tline=2\tparent=0x99\tid=5\n"
        "window\tline=3\thwnd=0x20\tkind=msgbox\tbuttons=6,7\tdefault=7\n"
        "control\tline=2\tparent=0x20\tid=1\n";
    wine::DriverRun run;
    run.observations = wine::ParseReport(report, script);
    ASSERT_EQ(run.observations.size(), 6u);
    EXPECT_EQ(run.observations[0].command, "start");
    EXPECT_EQ(run.observations[0].Number("pid"), 7);
    EXPECT_EQ(run.observations[1].command, "dump");
    std::vector<wine::Window> windows = run.Windows();
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].caption, "A\tB\nC\\D\xFC" "E");
    EXPECT_EQ(windows[0].rect.Width(), 30);
    EXPECT_EQ(windows[0].rect.Height(), 40);
    // only the control of this window and this line belongs to it
    ASSERT_EQ(windows[0].controls.size(), 1u);
    EXPECT_EQ(windows[0].controls[0].text, "x=y");
    EXPECT_TRUE(windows[0].controls[0].visible);
    EXPECT_TRUE(windows[1].controls.empty());
    EXPECT_EQ(windows[1].buttons, (std::vector<int>{6, 7}));
    EXPECT_EQ(windows[1].defaultButton, 7);
    EXPECT_EQ(run.Dumps().size(), 1u);
    EXPECT_EQ(run.Dump(1).hwnd, "");
}

TEST(DriverReport, AnsiAndQuote) {
    struct Case {
        std::string utf8, ansi;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"\u00FC\u00DF\u00C4", "\xFC\xDF\xC4"},
        {"\u20AC \u2026 \u0178", "\x80 \x85 \x9F"},  // the 0x80..0x9F range of 1252
        {"\u2500\U0001F600", "??"},                    // not in 1252
    };
    for (const Case& c : cases) EXPECT_EQ(wine::Ansi(c.utf8), c.ansi) << c.utf8;
    EXPECT_EQ(wine::Quote("a \"b\"\\c\td\n\x01\xFC"), "\"a \\\"b\\\"\\\\c\\td\\n\\x01\xFC\"");
}

}  // namespace
