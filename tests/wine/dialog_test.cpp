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

const char kBannerEnglish[] =
    "Tessly Self-Extractor, Version 1.0\n"
    "Self-extracting setup archive for Windows.\n"
    "Copyright (C) 2026 Tessly. All rights reserved.\n"
    "For more information see the documentation of mksfx.";

// Each row opens the About box, closes it and ends with Close: nothing is started or extracted.
// Wine takes the user's UI language from the locale: de_DE.UTF-8 as the harness runs, or the
// row's own.
TEST(Dialog, IdleShowsTextsIconButtonsFooterCentredAndTheAboutBox) {
    const std::string french = Wine().WorkDir("dialog-tables") + "/fr.txt";
    ASSERT_TRUE(sfxtest::WriteFile(french, sfxtest::FrenchTable()));
    const std::vector<std::string> english = {"&Setup", "&Close", "&Info"};
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::string caption, about;
        bool icon = false;
        std::string locale = "";  // the row's locale, when not the harness's
        std::vector<std::string> buttons = {"&Setup", "Sch&ließen", "&Info"};
        std::string footer = "L\"Tessly Self-Extractor\\00ae 1.0  \\00a9 2026 Tessly\"";  // as Wine traces it; "": none
    } cases[] = {
        {"idle", {"--about", kAbout, "--icon", "@icon"}, "Tessly Self-Extractor [Beispiel-Setup.exe]",
         std::string(kAbout) + " \n\n " + kBanner, true},
        {"caption", {"--caption", "Mein Setup"}, "Mein Setup", std::string("  ") + kBanner},
        {"empty-caption", {"--caption", ""}, "Setup", std::string("  ") + kBanner},
        {"auto-german", {"--language", "auto"}, "Tessly Self-Extractor [Beispiel-Setup.exe]", std::string("  ") + kBanner},
        {"auto-english", {"--language", "auto", "--about", kAbout}, "Tessly Self-Extractor [Beispiel-Setup.exe]",
         std::string(kAbout) + " \n\n " + kBannerEnglish, false, "C.UTF-8", english},
        {"own-footer-and-banner", {"--caption", "Mein Setup", "--footer", "Beispiel GmbH 2026", "--banner",
                                   "Ein Beispiel f\xC3\xBCr alle.", "--about", kAbout},
         "Mein Setup", std::string(kAbout) + "\n\nEin Beispiel f\xC3\xBCr alle.", false, "", {"&Setup", "Sch&ließen", "&Info"},
         "L\"Beispiel GmbH 2026\""},
        {"no-footer-no-banner", {"--no-footer", "--no-banner", "--about", kAbout}, "Tessly Self-Extractor [Beispiel-Setup.exe]",
         kAbout, false, "", {"&Setup", "Sch&ließen", "&Info"}, ""},
        {"french", {"--language", french}, "Tessly Self-Extractor [Beispiel-Setup.exe]",
         std::string("  ") + kBannerEnglish, false, "", {"&Installer", "&Fermer", "&Info"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = {"--command", "probe.exe", "--text", kBody};
        options.insert(options.end(), c.options.begin(), c.options.end());
        Package p = Pack(std::string("dialog-") + c.name, {{"probe.exe", "@probe"}, {"liesmich.txt", "Hallo\r\n"}},
                         options, "Beispiel-Setup.exe");
        const std::string locale = c.locale.empty() ? "" : "setenv LC_ALL=" + c.locale;
        DriverRun run = Wine().Drive({locale, "setenv WINEDEBUG=-all,trace+font", StartLine(p),
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
            // taken from the file's own icon at the size of the screen's scaling (100%: 32x32)
            EXPECT_NE(run.diagnostics.find(",00000001,00000001,00000020,00000020,00000000) ret="), std::string::npos)
                << run.diagnostics;
        }

        struct { int id; std::string text; } buttons[] = {{1, c.buttons[0]}, {2, c.buttons[1]}, {112, c.buttons[2]}};
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

        if (!c.footer.empty()) {
            EXPECT_NE(run.diagnostics.find(c.footer), std::string::npos)
                << "the footer's '*' and '$' drawn as the registered and copyright signs";
        } else {
            EXPECT_EQ(run.diagnostics.find("Tessly Self-Extractor\\00ae"), std::string::npos) << "no footer";
        }
        EXPECT_EQ(run.diagnostics.find("Extractor*"), std::string::npos);

        // The Info box has the dialog's caption when the packager gave one.
        ExpectBox(about, c.about, "none", {1}, 0, c.caption.rfind("Tessly", 0) == 0 ? "Tessly Self-Extractor" : c.caption);
        EXPECT_EQ(about.owner, dialog.hwnd);
        EXPECT_EQ(run.ExitCode(), 1602) << "closed without Setup";
        EXPECT_FALSE(Exists(ExtractFolder()));
    }
}

// A package in Polish, Greek, Russian and Japanese, run from a folder named in Japanese: the
// dialog and the Info box show its texts as given (read back by the wide calls), its files
// keep their names, its command runs, and its log holds the real paths. In both forms: the
// solid one holds the names in UTF-16 in its 7z header.
TEST(Dialog, AnyScriptShowsItsTextsKeepsItsNamesAndLogsItsPaths) {
    const std::string polish = "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85",
                      greek = "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1",
                      russian = "\xD0\xA3\xD1\x81\xD1\x82\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBA\xD0\xB0",
                      japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
    for (bool solid : {false, true}) {
        SCOPED_TRACE(solid ? "solid" : "ZIP");
        const std::string name = "dialog-" + japanese + (solid ? "-solid" : ""), folder = Wine().WorkDir(name);
        const std::string target = Wine().WinPath(folder) + "\\" + russian;
        std::vector<std::string> options{"--command", japanese + ".exe record=@record", "--text", polish + " " + greek,
                                         "--caption", japanese + " " + greek, "--about", russian, "--target", target};
        if (solid) options.insert(options.end(), {"--compression", "solid", "--stub", SolidStub()});
        Package p = Pack(name, {{japanese + ".exe", "@probe"}, {greek + "/" + polish + ".txt", russian}}, options,
                         japanese + ".exe");
        EXPECT_EQ(sfxtest::ReadFile(p.exe).find("7z\xBC\xAF\x27\x1C") != std::string::npos, solid);
        const std::string log = folder + "/" + greek + ".log";
        DriverRun run = Wine().Drive({"start " + Quote(p.Win() + " \"/LOG=" + Wine().WinPath(log) + "\"") + " utf8=1",
                                      "wide", "wait kind=dialog timeout=30000", "dump", "click id=112", "wait kind=msgbox",
                                      "dump", "click id=1", "gone", "wait kind=dialog", "click id=1", "exit timeout=60000"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        const Window dialog = run.Dump(0), about = run.Dump(1);
        EXPECT_EQ(dialog.caption, japanese + " " + greek);
        EXPECT_EQ(dialog.Find(101).text, polish + " " + greek);
        EXPECT_EQ(dialog.Find(2).text, "Sch&lie\xC3\x9F" "en") << "the stub's own words in a UTF-8 file";
        EXPECT_EQ(about.caption, japanese + " " + greek);
        EXPECT_EQ(about.text.compare(0, russian.size() + 15, russian + " \n\n Tessly Self"), 0) << about.text;
        EXPECT_EQ(about.icon, "none");
        EXPECT_EQ(run.ExitCode(), 0) << "the command's own code";
        EXPECT_EQ(sfxtest::ListFolder(folder + "/" + russian), (std::vector<std::string>{greek, japanese + ".exe"}));
        EXPECT_EQ(sfxtest::ListFolder(folder + "/" + russian + "/" + greek), std::vector<std::string>{polish + ".txt"});
        EXPECT_EQ(sfxtest::ReadFile(folder + "/" + russian + "/" + greek + "/" + polish + ".txt"), russian);
        const std::string written = sfxtest::ReadFile(log);
        for (const std::string& line : {"start interactive " + p.Win() + "\r\n", "folder " + target + "\r\n",
                                        "command " + japanese + ".exe record=" + Wine().WinPath(p.Record()) + "\r\n"})
            EXPECT_NE(written.find(line), std::string::npos) << line << "\n" << written;
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
