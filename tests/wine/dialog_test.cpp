// The first window of the real stub under Wine: the idle dialog, or a damaged file's box.
#include "tests/support/sfx_files.h"
#include "tests/wine/support/wine.h"

namespace {

using namespace wine;

const char kBody[] = "Willkommen – dieses Paket installiert das Beispielprogramm.";
const char kAbout[] = "Beispielprogramm 2.1 für Tests.";
const char kBanner[] =
    "Tessly Self-Extractor, Version 1.0\n"
    "Selbstentpackendes Setup-Archiv für Windows.\n"
    "Copyright (C) 2026 Tessly. Alle Rechte vorbehalten.\n"
    "Weitere Informationen finden Sie in der Dokumentation zu mksfx.";

// Each row opens the About box, closes it and ends with Close: nothing is started or extracted.
TEST(Dialog, IdleShowsTextsIconButtonsFooterCentredAndTheAboutBox) {
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::string caption, about;
        bool icon = false;
    } cases[] = {
        {"idle", {"--about", kAbout, "--icon", "@icon"}, "Tessly Self-Extractor [Beispiel-Setup.exe]",
         std::string(kAbout) + " \n\n " + kBanner, true},
        {"caption", {"--caption", "Mein Setup"}, "Mein Setup", std::string("  ") + kBanner},
        {"empty-caption", {"--caption", ""}, "Setup", std::string("  ") + kBanner},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = {"--command", "probe.exe", "--text", kBody};
        options.insert(options.end(), c.options.begin(), c.options.end());
        Package p = Pack(std::string("dialog-") + c.name, {{"probe.exe", "@probe"}, {"liesmich.txt", "Hallo\r\n"}},
                         options, "Beispiel-Setup.exe");
        DriverRun run = Wine().Drive({"setenv WINEDEBUG=-all,trace+font", StartLine(p),
                                      "wait kind=dialog timeout=30000", "dump", "click id=112", "wait kind=msgbox",
                                      "dump", "click id=1", "gone", "wait kind=dialog", "dump", "click id=2",
                                      "exit timeout=15000"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        const Window dialog = run.Dump(0), about = run.Dump(1), after = run.Dump(2);
        EXPECT_EQ(dialog.caption, c.caption);
        EXPECT_EQ(dialog.Find(101).text, Ansi(kBody));
        if (c.icon) {
            EXPECT_NE(run.ConfiguredIcon(), 0u);
            EXPECT_EQ(dialog.Find(120).icon, run.ConfiguredIcon()) << "the configured icon";
        }

        struct { int id; const char* text; } buttons[] = {{1, "&Setup"}, {2, "Sch&ließen"}, {112, "&Info"}};
        for (const auto& b : buttons) {
            for (const Window* w : {&dialog, &after}) {
                const Control& control = w->Find(b.id);
                EXPECT_EQ(control.text, Ansi(b.text)) << b.id;
                EXPECT_TRUE(control.visible && control.enabled) << b.id;
                EXPECT_EQ(control.IsDefault(), b.id == 1) << "only Setup is the default button";
            }
        }
        EXPECT_FALSE(dialog.Find(201).visible) << "the meter waits for a long extraction";
        EXPECT_TRUE(dialog.Find(109).visible);
        EXPECT_EQ(dialog.Find(109).text, "");

        EXPECT_EQ(dialog.rect.left, (1024 - dialog.rect.Width()) / 2) << "centred, halves truncated";
        EXPECT_EQ(dialog.rect.top, (768 - dialog.rect.Height()) / 2);

        EXPECT_NE(run.diagnostics.find("L\"Tessly Self-Extractor\\00ae 1.0  \\00a9 2026 Tessly\""),
                  std::string::npos) << "the footer's '*' and '$' drawn as the registered and copyright signs";
        EXPECT_EQ(run.diagnostics.find("Extractor*"), std::string::npos);

        ExpectBox(about, c.about, "none", {1});
        EXPECT_EQ(about.owner, dialog.hwnd);
        EXPECT_EQ(run.ExitCode(), 1602) << "closed without Setup";
        EXPECT_FALSE(Exists(ExtractFolder()));
    }
}

// A changed file, a moved end record, or a file held open for deleting (which process
// creation shares and the stub's own open does not) stop with an unowned error box alone, and
// with the code of a damaged file although the run is interactive.
TEST(SelfCheck, DamagedOrHeldFilesShowTheirErrorBoxAlone) {
    Package p = Pack("selfcheck", {{"readme.txt", "hello from the archive\n"}}, {"--command", "cmd /c exit"});
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
        std::string box;
        bool held = false;
    } cases[] = {
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
                                      StartLine(p), "wait timeout=30000", "dump", "list", "click id=1", "exit"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.First("listed")->Number("count"), 1) << "one window alone";
        EXPECT_EQ(run.ExitCode(), 1392) << "a file that cannot be read is a damaged one";
        ExpectBox(run.Dump(0), c.box, "error", {1});
        EXPECT_EQ(run.Dump(0).owner, "0x0");
    }
}

}  // namespace
