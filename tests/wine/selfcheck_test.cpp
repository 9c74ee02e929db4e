// The real stub under Wine with files built by mksfx: a sound file starts, passes its own
// header check and shows its configured text, caption and icon; a file changed after the
// build, one whose end record is not where the block says, or one that another program holds
// open for deleting (which process creation shares and the stub's own open, others may read
// and nothing else, does not) stops with its error box alone and ends with 0.
#include "tests/support/sfx_files.h"
#include "tests/wine/support/wine.h"

namespace {

using namespace wine;

TEST(SelfCheck, SoundFilesShowTheirDialogAndDamagedOnesTheirErrorBox) {
    Package p = Pack("selfcheck", {{"readme.txt", "hello from the archive\n"}},
                     {"--text", "Willkommen zum Setup – bitte klicken.", "--caption", "Mein Setup", "--command",
                      "cmd /c exit", "--icon", "@icon"});
    const std::string sound = sfxtest::ReadFile(p.exe);
    size_t block = sfxtest::FindBlock(sound);
    ASSERT_NE(block, std::string::npos);
    uint32_t configOffset = sfxtest::Le32(sound, block + 16), archiveOffset = sfxtest::Le32(sound, block + 12);
    std::string changed = sound;  // one byte of the configuration block
    changed[configOffset + (archiveOffset - configOffset) / 2] ^= 0x20;
    std::string moved = sound;  // the end record is not where the block says
    sfxtest::SetLe32(&moved, block + 20, sfxtest::Le32(sound, block + 20) - 2);
    sfxtest::ResealHeader(&moved);

    const struct {
        const char* what;
        std::string bytes;
        std::string box;  // "" for the dialog
        bool held = false;
    } cases[] = {
        {"sound", sound, ""},
        {"changed after the build", changed, kHeaderInvalid},
        {"end record moved", moved, "ZIP ist beschädigt oder wurde seit Erstellung der EXE Datei verändert"},
        {"held by another program", sound,
         "Fehler beim Lesen von " + p.Win() + ". Mögliche Ursache: Fehlerhafter Datenträger oder "
         "Dateiübertragungsfehler.", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(sfxtest::WriteFile(p.exe, c.bytes));
        DriverRun run = Wine().Drive({c.held ? "hold " + Quote(p.Win()) + " access=0x10000 share=7" : "",
                                              StartLine(p), "wait timeout=30000", "dump", "list",
                                              c.box.empty() ? "click id=2" : "click id=1", "exit"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        const Window w = run.Dump(0);
        EXPECT_EQ(run.First("listed")->Number("count"), 1) << "one window alone";
        EXPECT_EQ(run.ExitCode(), 0);
        if (!c.box.empty()) {
            ExpectBox(w, c.box, "error", {1});
            EXPECT_EQ(w.owner, "0x0");
            continue;
        }
        EXPECT_EQ(w.kind, "dialog");
        EXPECT_EQ(w.caption, "Mein Setup");
        EXPECT_EQ(w.Find(101).text, Ansi("Willkommen zum Setup – bitte klicken."));
        EXPECT_EQ(w.Find(120).icon, run.ConfiguredIcon());
        EXPECT_NE(run.ConfiguredIcon(), 0u);
    }
}

}  // namespace
