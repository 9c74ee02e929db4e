// The main dialog of the real stub under Wine: what it shows before a run (caption, text,
// icon, buttons, footer, position), the About box, and the progress meter during a long
// extraction. The screenshots of the README come from these runs.
#include "tests/wine/scenario.h"

namespace {

using namespace scenario;

const char kBody[] = "Willkommen! Dieses Paket installiert das Beispielprogramm.";
const char kAbout[] = "Beispielprogramm 2.1 für Tests.";
const char kBanner[] =
    "Tessly Self-Extractor, Version 1.0\n"
    "Selbstentpackendes Setup-Archiv für Windows.\n"
    "Copyright (C) 2026 Tessly. Alle Rechte vorbehalten.\n"
    "Weitere Informationen finden Sie in der Dokumentation zu mksfx.";

const wine::Control& ControlOf(const wine::Window& w, int id) {
    static const wine::Control none;
    const wine::Control* c = w.FindControl(id);
    EXPECT_NE(c, nullptr) << "no control " << id;
    return c ? *c : none;
}

// The strings that the program drew, from Wine's trace of text output: L"..." of every
// ExtTextOutW call, with the trace's \NNNN escapes (four hex digits) turned back into ANSI
// bytes.
bool IsHex(const std::string& s) {
    return s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::vector<std::string> DrawnTexts(const std::string& trace) {
    std::vector<std::string> texts;
    size_t at = 0;
    while ((at = trace.find("ExtTextOutW", at)) != std::string::npos) {
        size_t end = trace.find('\n', at);
        std::string line = trace.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end;
        size_t open = line.find("L\"");
        if (open == std::string::npos) continue;
        std::string text;
        for (size_t i = open + 2; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && i + 4 < line.size() && IsHex(line.substr(i + 1, 4))) {
                text += (char)std::stoi(line.substr(i + 1, 4), nullptr, 16);
                i += 4;
            } else if (line[i] == '\\' && i + 1 < line.size()) {
                text += line[++i];
            } else {
                text += line[i];
            }
        }
        texts.push_back(text);
    }
    return texts;
}

TEST(Dialog, IdleShowsTextsIconButtonsFooterCentredWithHiddenMeter) {
    Package p = Pack("dialog-idle", {{"probe.exe", "@probe"}, {"liesmich.txt", "Hallo\r\n"}},
                     {"--command", "probe.exe", "--text", kBody, "--about", kAbout, "--icon", "@icon"},
                     "Beispiel-Setup.exe");
    wine::DriverRun run = Wine().Drive({
        "setenv WINEDEBUG=-all,trace+font",
        Start(p),
        "wait kind=dialog timeout=30000",
        "dump",
        "shot file=" + wine::Quote(Wine().WinPath(ShotBmp("dialog-idle"))),
        "click id=2",
        "exit timeout=15000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    const wine::Window dialog = run.Dump(0);
    EXPECT_EQ(dialog.caption, "Tessly Self-Extractor [Beispiel-Setup.exe]");
    EXPECT_EQ(ControlOf(dialog, 101).text, Text(kBody));
    EXPECT_EQ(ControlOf(dialog, 120).icon, "other");  // the parcel, not a stock icon

    struct { int id; const char* text; } buttons[] = {
        {1, "&Setup"}, {2, "Sch&ließen"}, {112, "&Info"}};
    for (const auto& b : buttons) {
        const wine::Control& c = ControlOf(dialog, b.id);
        EXPECT_EQ(c.text, Text(b.text)) << b.id;
        EXPECT_TRUE(c.visible && c.enabled) << b.id;
        EXPECT_EQ(c.style & 0xF, b.id == 1 ? 1u : 0u) << "only Setup is the default button";
    }
    EXPECT_FALSE(ControlOf(dialog, 201).visible) << "the meter waits for a long extraction";
    EXPECT_TRUE(ControlOf(dialog, 109).visible);
    EXPECT_EQ(ControlOf(dialog, 109).text, "");

    // Centred on the 1024x768 desktop, frame included, halves truncated.
    EXPECT_EQ(dialog.rect.left, (1024 - dialog.rect.Width()) / 2);
    EXPECT_EQ(dialog.rect.top, (768 - dialog.rect.Height()) / 2);

    // The footer is drawn with the registered and copyright signs in place of '*' and '$'.
    std::vector<std::string> drawn = DrawnTexts(run.diagnostics);
    const std::string footer = "Tessly Self-Extractor\xAE 1.0  \xA9 2026 Tessly";
    EXPECT_NE(std::find(drawn.begin(), drawn.end(), footer), drawn.end())
        << "drawn: " << ::testing::PrintToString(drawn);
    for (const std::string& t : drawn) EXPECT_EQ(t.find("Extractor*"), std::string::npos) << t;

    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(ExtractFolder())) << "Close before Setup extracts nothing";
    EXPECT_TRUE(SavePng("dialog-idle"));
}

// The caption: the title with the program's file name, or the configured caption, or
// "Setup" for an empty one. The About box: the about text, a blank line and the banner, or
// the banner alone after two blanks.
TEST(Dialog, CaptionAndAboutBoxFollowTheConfiguration) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string caption, about;
        bool screenshot;
    } cases[] = {
        {"custom", {"--caption", "Mein Setup", "--about", kAbout, "--icon", "@icon"}, "Mein Setup",
         Text(std::string(kAbout) + " \n\n " + kBanner), true},
        {"empty", {"--caption", ""}, "Setup", Text(std::string("  ") + kBanner), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = {"--command", "probe.exe", "--text", kBody};
        options.insert(options.end(), c.options.begin(), c.options.end());
        Package p = Pack(std::string("dialog-caption-") + c.name, {{"probe.exe", "@probe"}}, options);
        std::vector<std::string> script = {
            Start(p),
            "wait kind=dialog timeout=30000",
            "dump",
            "click id=112",
            "wait kind=msgbox owner=previous",
            "dump",
        };
        if (c.screenshot) {
            script.push_back("sleep ms=300");  // a screen capture does not wait for painting
            script.push_back("shot screen=1 file=" +
                             wine::Quote(Wine().WinPath(ShotBmp("dialog-about"))));
        }
        script.insert(script.end(), {"click id=1", "gone", "wait kind=dialog", "dump", "click id=2",
                                     "exit timeout=15000"});
        wine::DriverRun run = Wine().Drive(script);
        ASSERT_TRUE(run.Ok()) << run.Describe();
        const wine::Window dialog = run.Dump(0), about = run.Dump(1), after = run.Dump(2);
        EXPECT_EQ(dialog.caption, c.caption);
        EXPECT_EQ(about.kind, "msgbox");
        EXPECT_EQ(about.caption, "Tessly Self-Extractor");
        EXPECT_EQ(about.text, c.about);
        EXPECT_EQ(about.icon, "none");
        EXPECT_EQ(about.buttons, std::vector<int>{1});
        EXPECT_EQ(about.owner, dialog.hwnd);
        // The dialog is as it was: Info does not start anything.
        EXPECT_EQ(ControlOf(after, 1).text, "&Setup");
        EXPECT_TRUE(ControlOf(after, 1).enabled);
        EXPECT_EQ(run.ExitCode(), 0);
        if (c.screenshot) {
            wine::Rect crop = Around(dialog.rect, about.rect);
            EXPECT_TRUE(SavePng("dialog-about", &crop));
        }
    }
}

// A large archive: the 10 ms timer finds little done and reveals the meter in place of the
// status line; the meter's position grows as the data is written. A small one that is a
// third done with its first buffer never shows the meter. (No icon here: the driver takes
// two seconds to look at a custom icon, longer than the dump may take during extraction.)
TEST(Dialog, MeterAppearsOnlyForALongExtraction) {
    const size_t big = 64u << 20;
    // A name too long for the meter's caption, which keeps 99 characters.
    const std::string longName =
        "Beispielprogramm-Benutzerhandbuch-Ausgabe-2026-mit-allen-Anhaengen-Beispielen-und-"
        "Tabellen.txt";
    Package p = Pack("dialog-meter",
                     {{"probe.exe", "@probe"}, {longName, zipcraft::SampleText(big, 7)}},
                     {"--command", "probe.exe", "--text", kBody, "--level", "4", "--wait"});
    std::vector<std::string> script = {
        "setenv WINEDEBUG=-all,trace+font",
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "sleep ms=150",
        "send id=201 msg=1027",
        "dump",
        "shot file=" + wine::Quote(Wine().WinPath(ShotBmp("dialog-extracting"))),
        "send id=201 msg=1027",
        "sleep ms=300",
        "send id=201 msg=1027",
        "send id=201 msg=1025",
        "wait_text id=1 text=&Done timeout=60000",
        "dump",
        "click id=1",
        "wait kind=msgbox",
        "click id=6",
        "exit timeout=30000",
    };
    wine::DriverRun run = Wine().Drive(script, 180);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    const wine::Window during = run.Dump(0), after = run.Dump(1);
    EXPECT_TRUE(ControlOf(during, 201).visible);
    EXPECT_FALSE(ControlOf(during, 109).visible) << "the meter takes the status line's place";
    std::vector<long> positions;
    for (const wine::Observation& o : run.All("result")) positions.push_back(o.Number("value"));
    ASSERT_EQ(positions.size(), 4u);
    EXPECT_EQ(positions[3], 100) << "range";
    EXPECT_GT(positions[0], 0);
    EXPECT_LT(positions[0], 100) << "sampled while extracting";
    EXPECT_GT(positions[2], positions[0]) << "the bar moves";
    EXPECT_LE(positions[2], 100);
    // The caption across the bar, cut to its 99 characters, drawn twice per paint: over the
    // filled part and over the rest.
    const std::string caption = ("Unzip von " + longName).substr(0, 99);
    std::vector<std::string> drawn = DrawnTexts(run.diagnostics);
    EXPECT_GE(std::count(drawn.begin(), drawn.end(), caption), 2);
    for (const std::string& t : drawn)
        if (t.compare(0, 10, "Unzip von ") == 0) {
            EXPECT_LE(t.size(), 99u) << t;
        }
    // After the extraction the meter is hidden again, and the status line stays hidden.
    EXPECT_FALSE(ControlOf(after, 201).visible);
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(ExtractFolder()));
    EXPECT_TRUE(SavePng("dialog-extracting"));

    Package small = Pack("dialog-no-meter",
                         {{"probe.exe", "@probe"}, {"klein.bin", std::string(5000, 'k')}},
                         {"--command", "probe.exe klein.bin", "--wait"});
    run = Wine().Drive({
        "setenv WINEDEBUG=-all,trace+message",
        Start(small),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "wait_text id=1 text=&Done timeout=30000",
        "sleep ms=200",
        "dump",
        "click id=1",
        "wait kind=msgbox",
        "click id=6",
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_FALSE(ControlOf(run.Dump(0), 201).visible);
    EXPECT_EQ(run.ExitCode(), 0);
    // The timer fires once, although the platform answers a substitute for the id 0 that
    // Setup asks for.
    size_t fired = 0;
    for (size_t at = 0; (at = run.diagnostics.find("WM_TIMER dispatched", at)) != std::string::npos; ++at)
        ++fired;
    EXPECT_EQ(fired, 1u);
}

}  // namespace
