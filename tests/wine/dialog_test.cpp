// The main dialog of the real stub under Wine before a run: caption, text, icon, buttons,
// footer, position, and the About box.
#include "tests/wine/support/wine.h"

namespace {

using namespace wine;

const char kBody[] = "Willkommen! Dieses Paket installiert das Beispielprogramm.";
const char kAbout[] = "Beispielprogramm 2.1 für Tests.";
const char kBanner[] =
    "Tessly Self-Extractor, Version 1.0\n"
    "Selbstentpackendes Setup-Archiv für Windows.\n"
    "Copyright (C) 2026 Tessly. Alle Rechte vorbehalten.\n"
    "Weitere Informationen finden Sie in der Dokumentation zu mksfx.";

// Each row starts the dialog, opens the About box, closes it and ends with Close. The caption
// is the title with the program's file name, or "Setup" for an empty configured one; the About
// box holds the about text, a blank line and the banner, or the banner alone after two blanks;
// Info starts nothing and Close before Setup extracts nothing.
TEST(Dialog, IdleShowsTextsIconButtonsFooterCentredAndTheAboutBox) {
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::string caption, about;
        bool icon = false;
    } cases[] = {
        {"idle", {"--about", kAbout, "--icon", "@icon"}, "Tessly Self-Extractor [Beispiel-Setup.exe]",
         std::string(kAbout) + " \n\n " + kBanner, true},
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

        // Centred on the 1024x768 desktop, frame included, halves truncated.
        EXPECT_EQ(dialog.rect.left, (1024 - dialog.rect.Width()) / 2);
        EXPECT_EQ(dialog.rect.top, (768 - dialog.rect.Height()) / 2);

        // The footer is drawn with the registered and copyright signs in place of '*' and '$'
        // (Wine's trace of text output writes other than ASCII as \XXXX).
        EXPECT_NE(run.diagnostics.find("L\"Tessly Self-Extractor\\00ae 1.0  \\00a9 2026 Tessly\""),
                  std::string::npos);
        EXPECT_EQ(run.diagnostics.find("Extractor*"), std::string::npos);

        ExpectBox(about, c.about, "none", {1});
        EXPECT_EQ(about.owner, dialog.hwnd);
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_FALSE(Exists(ExtractFolder()));
    }
}

}  // namespace
