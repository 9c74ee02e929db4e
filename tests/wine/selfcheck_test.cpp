// The real stub under Wine with files built by mksfx: a sound file starts, passes its own
// header check and shows its configured text, caption and icon; a file changed after the
// build, or one whose end record is not where the block says, stops with its error box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sfx_files.h"
#include "tests/wine/support/wine.h"

using namespace sfxtest;

namespace {

// Builds a self-extracting file from the real stub into a fresh Wine work folder.
std::string BuildWithStub(const std::string& name, const std::vector<std::string>& options) {
    wine::Session& s = wine::Session::Get();
    std::string work = s.WorkDir("selfcheck-" + name);
    WriteFile(work + "/payload/readme.txt", "hello from the archive\n");
    WriteFile(work + "/app.ico", SampleIcon());
    std::string out = work + "/" + name + ".exe";
    std::vector<std::string> args{"build", "-o", out, "--stub", wine::Stub(), "--icon", work + "/app.ico"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(work + "/payload");
    RunResult r = RunMksfx(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return out;
}

// `held`: another program holds the file open for deleting, which process creation shares
// and the stub's own open (others may read, nothing else) does not.
wine::DriverRun Start(const std::string& exe, const std::vector<std::string>& then,
                      bool held = false) {
    wine::Session& s = wine::Session::Get();
    std::vector<std::string> script{"cd " + wine::Quote(s.WinPath(exe.substr(0, exe.rfind('/'))))};
    if (held) script.push_back("hold " + wine::Quote(s.WinPath(exe)) + " access=0x10000 share=7");
    script.push_back("start " + wine::Quote(s.WinPath(exe)));
    script.insert(script.end(), then.begin(), then.end());
    return s.Drive(script);
}

TEST(SelfCheck, SoundFileShowsItsDialog) {
    std::string exe = BuildWithStub("sound", {"--text", "Willkommen zum Setup – bitte klicken.",
                                              "--caption", "Mein Setup", "--command", "cmd /c exit"});
    wine::DriverRun run = Start(exe, {"wait kind=dialog timeout=30000", "dump", "click id=2", "exit"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    for (const wine::Window& w : run.Windows()) EXPECT_NE(w.kind, "msgbox") << w.text;
    const wine::Window dialog = run.Dumps().at(0);
    EXPECT_EQ(dialog.caption, "Mein Setup");
    ASSERT_NE(dialog.FindControl(101), nullptr);
    EXPECT_EQ(dialog.FindControl(101)->text, wine::Ansi("Willkommen zum Setup – bitte klicken."));
    ASSERT_NE(dialog.FindControl(120), nullptr);
    EXPECT_NE(dialog.FindControl(120)->icon, "none");
    EXPECT_EQ(run.ExitCode(), 0);
}

TEST(SelfCheck, DamagedFilesStopWithTheirErrorBox) {
    std::string exe = BuildWithStub("damaged", {"--text", "x"});
    std::string sound = ReadFile(exe);
    size_t block = FindBlock(sound);
    ASSERT_NE(block, std::string::npos);
    uint32_t configOffset = Le32(sound, block + 16), archiveOffset = Le32(sound, block + 12);

    std::string changed = sound;  // one byte of the configuration block
    changed[configOffset + (archiveOffset - configOffset) / 2] ^= 0x20;
    std::string moved = sound;    // the end record is not where the block says
    SetLe32(&moved, block + 20, Le32(sound, block + 20) - 2);
    ResealHeader(&moved);

    struct Case {
        const char* what;
        std::string bytes;
        std::string text;
        bool held = false;
    } cases[] = {
        {"changed after the build", changed,
         wine::Ansi("Tessly Self-Extractor-Dateikopf ungültig. Mögliche Ursache: Fehlerhafter "
                    "Datenträger oder Dateiübertragungsfehler.")},
        {"end record moved", moved,
         wine::Ansi("ZIP ist beschädigt oder wurde seit Erstellung der EXE Datei verändert")},
        {"held by another program", sound,
         wine::Ansi("Fehler beim Lesen von " + wine::Session::Get().WinPath(exe) +
                    ". Mögliche Ursache: Fehlerhafter Datenträger oder Dateiübertragungsfehler."),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteFile(exe, c.bytes));
        wine::DriverRun run =
            Start(exe, {"wait kind=msgbox timeout=30000", "dump", "click id=1", "exit"}, c.held);
        ASSERT_TRUE(run.Ok()) << run.Describe();
        const wine::Window box = run.Dumps().at(0);
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.caption, "Tessly Self-Extractor");
        EXPECT_EQ(box.icon, "error");
        EXPECT_EQ(box.owner, "0x0");
        EXPECT_EQ(run.ExitCode(), 0);
    }
}

}  // namespace
