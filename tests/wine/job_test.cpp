// Whole jobs of the real stub under Wine, through every state of a run. The command is
// tests/windows/probe.c; "..\record.txt" in its arguments lands beside the extraction folder.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"
#include "tests/wine/support/wine.h"

namespace {

using namespace wine;
namespace fs = std::filesystem;

const std::map<std::string, std::string> kFiles = {
    {"probe.exe", "@probe"},
    {"liesmich.txt", "Bitte lesen.\r\n"},
    {"daten/werte.csv", "a;b\r\n1;2\r\n"},
};

std::string StillRunning(const std::string& command) {
    return command + " ist immer noch aktiv; wenn Sie jetzt abbrechen werden temoräre Dateien nicht "
                     "gelöscht. Trotzdem abbrechen?";
}
const char kDeleting[] = "set_window_text L\"Deleting temporary files\"";  // status line, trace+win

// "ran code=0" when the path exists at this point of the script.
std::string ExistsNow(const std::string& windowsPath) {
    return "run " + Quote("cmd /c if exist " + windowsPath + " (exit 0) else (exit 1)");
}

// Renames a member in the archive after the build (local header and central directory).
void Rename(const Package& p, const std::string& from, const std::string& to) {
    std::string bytes = sfxtest::ReadFile(p.exe);
    size_t renamed = 0;
    for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at), ++renamed)
        bytes.replace(at, from.size(), to);
    ASSERT_EQ(renamed, 2u);
    ASSERT_TRUE(sfxtest::WriteFile(p.exe, bytes));
}

struct Box {
    std::string text, icon;
    std::vector<int> buttons;
    int defaultButton;
};
struct ControlState {  // of a dialog in the script's dumps
    size_t dump;
    int id;
    std::string text;  // "" when any
    int enabled, isDefault;  // -1 when any
};

// One job: a package of `files`, started with `switches` after the leading setenv steps.
struct Flow {
    const char* name;
    std::vector<std::string> options;
    std::string switches;
    std::vector<std::string> steps;
    std::vector<Box> boxes;  // the message boxes among the dumps, in order
    std::vector<ControlState> controls;
    std::vector<long> ran;  // the codes of the script's run lines
    std::string ranIn;  // the folder, under the one for temporary files, the command ran in
    int filesLeft = 0;  // the extraction folder stays: 1, 0, or -1: either (files still held)
    std::vector<std::string> traced;  // in Wine's trace
    double minSeconds = 0, maxSeconds = 1e9;
    std::string stampLater;  // a file the command's programs write after the run
    std::map<std::string, std::string> files = kFiles;
    std::function<void(const Package&)> prepare = nullptr;
    std::function<void(const Package&, const DriverRun&)> check = nullptr;
    long code = 0;        // the run's exit code
    bool detach = false;  // started without the driver's console, as from Explorer
};

// The folder for temporary files as Windows names it.
std::string WinTemp() { return "C:\\users\\" + fs::path(TempFolder()).parent_path().filename().string() + "\\Temp"; }

// The console windows that the driver listed with "list all=1".
size_t ConsoleWindows(const DriverRun& run) {
    size_t n = 0;
    for (const Observation& o : run.All("window")) n += o.Get("by") == "list" && o.Get("class") == "WineConsoleClass";
    return n;
}

// The extract-only package whose command line names none; built as extract-only, its bit then
// cleared and the header sealed again: a file as earlier builders made without --command.
void ClearExtractOnly(const Package& p) {
    std::string bytes = sfxtest::ReadFile(p.exe);
    size_t block = sfxtest::FindBlock(bytes);
    sfxtest::SetLe32(&bytes, block + 28, sfxtest::Le32(bytes, block + 28) & ~0x200u);
    sfxtest::ResealHeader(&bytes);
    ASSERT_TRUE(sfxtest::WriteFile(p.exe, bytes));
}

void RunFlow(const Flow& f) {
    SCOPED_TRACE(f.name);
    Package p = Pack(std::string("job-") + f.name, f.files, f.options);  // Temp emptied
    if (f.prepare) f.prepare(p);

    std::vector<std::string> script = f.steps;
    auto first = std::find_if(script.begin(), script.end(), [](const std::string& s) { return s.rfind("setenv", 0); });
    // A switch outside the ANSI code page goes to the program in UTF-8, through the wide call.
    bool wide = std::any_of(f.switches.begin(), f.switches.end(), [](char c) { return c & 0x80; });
    script.insert(first, StartLine(p, f.switches) + (wide ? " utf8=1" : "") + (f.detach ? " detach=1" : ""));
    double start = Seconds();
    DriverRun run = Wine().Drive(script);
    // Wine's picker now and then leaves its root selected although the program asked for its
    // folder (seen under load): that run says nothing about the program, so it goes once more.
    if (!run.Ok() && run.Describe().find("a selection below the tree's root") != std::string::npos) {
        p = Pack(std::string("job-") + f.name, f.files, f.options);
        if (f.prepare) f.prepare(p);
        start = Seconds();
        run = Wine().Drive(script);
    }
    double took = Seconds() - start;
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), f.code);

    std::vector<Window> dumps;
    for (size_t i = 0; !run.Dump(i).hwnd.empty(); ++i) dumps.push_back(run.Dump(i));
    size_t box = 0;
    for (const Window& w : dumps) {
        if (w.kind != "msgbox") continue;
        ASSERT_LT(box, f.boxes.size()) << "one more box: " << w.text;
        const Box& b = f.boxes[box++];
        ExpectBox(w, b.text, b.icon, b.buttons, b.defaultButton);
    }
    EXPECT_EQ(box, f.boxes.size());
    for (const ControlState& c : f.controls) {
        ASSERT_LT(c.dump, dumps.size());
        const Control& control = dumps[c.dump].Find(c.id);
        EXPECT_TRUE(c.text.empty() || control.text == c.text) << c.id << ": " << control.text;
        EXPECT_TRUE(c.enabled < 0 || control.enabled == (c.enabled == 1)) << c.id;
        EXPECT_TRUE(c.isDefault < 0 || control.IsDefault() == (c.isDefault == 1)) << c.id;
    }
    EXPECT_EQ(run.Codes(), f.ran);
    for (const std::string& t : f.traced) EXPECT_NE(run.diagnostics.find(t), std::string::npos) << t;
    EXPECT_GE(took, f.minSeconds);
    EXPECT_LT(took, f.maxSeconds);
    if (!f.ranIn.empty()) {
        const std::string folder = TempFolder() + "/" + f.ranIn;
        EXPECT_EQ(UnixPath(Field(ReadRecord(TempFolder() + "/record.txt"), "folder")), folder);
        EXPECT_FALSE(Exists(folder)) << "removed at the end";
    }
    EXPECT_TRUE(f.filesLeft < 0 || Exists(ExtractFolder()) == (f.filesLeft == 1));
    if (f.check) f.check(p, run);
    EXPECT_TRUE(f.stampLater.empty() || AwaitFile(TempFolder() + "/" + f.stampLater, 15)) << f.stampLater;
}

const std::vector<std::string> kDoneThenYes = {"click id=1", "wait kind=msgbox", "click id=6",
                                                "exit timeout=30000"};
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Job, FlowsThroughEveryStateOfTheRun) {
    const std::string record = "probe.exe record=..\\record.txt";
    const std::string running = "probe.exe sleep=8000 stamp=..\\stamp.txt";
    const std::string spawnShort = "probe.exe spawn=\"helper.exe hold=3000 stamp=..\\helper.txt\"";
    std::map<std::string, std::string> helper = kFiles;
    helper["helper.exe"] = "@probe";
    const std::vector<std::string> vanish = {  // the folder goes during the overwrite question
        "wait kind=msgbox text=bereits timeout=30000", "run " + Quote("cmd /c rmdir /s /q %TEMP%\\QVS1.tmp"),
        "click id=7", "wait kind=msgbox text=Unzip-Verzeichnis timeout=30000", "dump", "click id=1"};
    const Box message15 = {"Fehler beim Wechseln in das \"Unzip-Verzeichnis\"", "none", {1}, 0};
    auto rename = [](const Package& p) { Rename(p, "b.txt", "a.txt"); };
    const std::map<std::string, std::string> two = {{"a.txt", std::string(3000, 'a')},
                                                     {"b.txt", std::string(3000, 'b')}};
    const Flow flows[] = {
        {.name = "setup",
         .options = {"--command", record + " eins \"zwei drei\""},
         .steps = {"wait kind=dialog timeout=30000", "click id=1", "exit timeout=30000"},
         .ranIn = "QVS1.tmp",
         .check = [](const Package&, const DriverRun& run) {
             auto r = ReadRecord(TempFolder() + "/record.txt");
             EXPECT_EQ(Field(r, "commandline"), "probe.exe record=..\\record.txt eins \"zwei drei\"");
             std::vector<std::string> names;
             std::istringstream list(Field(r, "files"));
             for (std::string name; std::getline(list, name, ',');) names.push_back(name);
             std::sort(names.begin(), names.end());
             EXPECT_EQ(names, (std::vector<std::string>{"daten", "liesmich.txt", "probe.exe"}))
                 << "everything is extracted before the command starts";
             EXPECT_EQ(run.All("window").size(), 1u) << "no message box on the way";
         }},
        // "&Done" after the command; No keeps files and wait (Setup stays default), Yes cleans up.
        {.name = "wait-mode",
         .options = {"--command", "probe.exe", "--wait"},
         .switches = "/AUTO",
         .steps = {"wait kind=dialog timeout=30000", "wait kind=dialog text=&Done enabled=1 timeout=30000",
                   "dump", "click id=1", "wait kind=msgbox", "dump", "click id=7", "gone",
                   "wait kind=dialog", "dump", ExistsNow("%TEMP%\\QVS1.tmp\\liesmich.txt"), "click id=1",
                   "wait kind=msgbox", "click id=6", "exit timeout=30000"},
         .boxes = {{"Are you sure that the SETUP program has completed?  Click Yes exit, or Cancel to "
                    "continue waiting.", "question", {6, 7}, 6}},
         .controls = {{0, 1, "", 1, 1}, {2, 1, "&Done", -1, -1}},
         .ran = {0}},
        // Close while "&Done" is awaited: No keeps waiting, Yes ends leaving the files.
        {.name = "wait-switch-close",
         .options = {"--command", "probe.exe"},
         .switches = "-wait",
         .steps = {"wait kind=dialog timeout=30000", "click id=1", "wait kind=dialog text=&Done timeout=30000",
                   "click id=2", "wait kind=msgbox", "dump", "click id=7", "gone",
                   "wait kind=dialog", "dump", "click id=2", "wait kind=msgbox", "click id=6",
                   "exit timeout=30000"},
         .boxes = {{"If you Cancel now, temporary files will not be deleted.  Are you sure you want to "
                    "Cancel now?", "question", {6, 7}, 7}},
         .controls = {{1, 1, "&Done", -1, -1}},
         .filesLeft = 1,
         .check = [](const Package&, const DriverRun&) {
             EXPECT_TRUE(Exists(ExtractFolder() + "/daten/werte.csv"));
         }},
        // Close while the command runs: No keeps waiting, Yes cleans up at once.
        {.name = "close-while-running",
         .options = {"--command", running},
         .steps = {"setenv WINEDEBUG=-all,trace+win", "wait kind=dialog timeout=30000", "click id=1",
                   "sleep ms=1200", "click id=2", "wait kind=msgbox", "dump", "click id=7",
                   "gone", "wait kind=dialog", "click id=2", "wait kind=msgbox", "click id=6",
                   "exit timeout=5000"},
         .boxes = {{StillRunning(running), "question", {6, 7}, 7}},
         .filesLeft = -1,
         .traced = {kDeleting},
         .stampLater = "stamp.txt",
         .check = [](const Package&, const DriverRun&) {
             EXPECT_FALSE(Exists(TempFolder() + "/stamp.txt")) << "the program ended before the command";
         },
         .code = 1602},
        // The same with /AUTO, and a Close before Setup: the user gave the run up.
        {.name = "auto-close-while-running",
         .options = {"--command", running},
         .switches = "/AUTO",
         .steps = {"wait kind=dialog timeout=30000", "sleep ms=1200", "click id=2", "wait kind=msgbox", "click id=6",
                   "exit timeout=5000"},
         .filesLeft = -1,
         .stampLater = "stamp.txt",
         .code = 1602},
        {.name = "close-without-setup",
         .options = {"--command", record},
         .steps = {"wait kind=dialog timeout=30000", "click id=2", "exit timeout=5000"},
         .code = 1602},
        // --wait-for: a program outliving the command (found in the process list) is waited
        // for past ten seconds; one that never starts, ten seconds; Close then asks, cleans up.
        {.name = "wait-for",
         .options = {"--command", "probe.exe spawn=\"helper.exe sleep=12500 stamp=..\\helper.txt\"",
                     "--wait-for", "helper"},
         .switches = "/AUTO",
         .steps = {"exit timeout=40000"},
         .minSeconds = 12.5,
         .maxSeconds = 22,
         .stampLater = "helper.txt",
         .files = helper},
        {.name = "wait-for-none",
         .options = {"--command", "probe.exe", "--wait-for", "nirgends"},
         .switches = "/AUTO",
         .steps = {"exit timeout=30000"},
         .minSeconds = 10,
         .maxSeconds = 16},
        {.name = "wait-for-close",
         .options = {"--command", spawnShort, "--wait-for", "helper"},
         .steps = {"setenv WINEDEBUG=-all,trace+win", "wait kind=dialog timeout=30000", "click id=1",
                   "sleep ms=1500", "click id=2", "wait kind=msgbox", "dump", "click id=6",
                   "exit timeout=5000"},
         .boxes = {{StillRunning(spawnShort), "question", {6, 7}, 7}},
         .filesLeft = -1,
         .traced = {kDeleting},
         .maxSeconds = 10,
         .stampLater = "helper.txt",
         .files = helper},
        // No command, or one that cannot start: the message after the extraction, then cleanup.
        {.name = "command-none",
         .options = {"--extract-only"},
         .steps = {"wait kind=dialog timeout=30000", "click id=1", "wait kind=msgbox timeout=30000",
                   "dump", ExistsNow("%TEMP%\\QVS1.tmp\\daten\\werte.csv"), "click id=1", "exit timeout=30000"},
         .boxes = {{"Fehler: es wurde kein Folgekommando definiert.", "error", {1}, 0}},
         .ran = {0},
         .prepare = ClearExtractOnly,
         .code = 2},
        {.name = "command-missing",
         .options = {"--command", "fehlt.exe /x"},
         .steps = {"wait kind=dialog timeout=30000", "click id=1", "wait kind=msgbox timeout=30000",
                   "dump", ExistsNow("%TEMP%\\QVS1.tmp\\daten\\werte.csv"), "click id=1", "exit timeout=30000"},
         .boxes = {{"fehlt.exe /x konnte nicht ausgeführt werden", "error", {1}, 0}},
         .ran = {0},
         .code = 2},
        {.name = "command-missing-auto",
         .options = {"--command", "fehlt.exe /x"},
         .switches = "/AUTO",
         .steps = {"wait kind=msgbox timeout=30000", "dump", "click id=1", "exit timeout=30000"},
         .boxes = {{"fehlt.exe /x konnte nicht ausgeführt werden", "error", {1}, 0}},
         .code = 2},
        // Names taken by an old folder and a read-only file are left alone: QVS3.tmp is used.
        {.name = "taken",
         .options = {"--command", record},
         .switches = "/AUTO",
         .steps = {"exit timeout=30000"},
         .ranIn = "QVS3.tmp",
         .filesLeft = 1,
         .prepare = [](const Package&) {
             ASSERT_TRUE(sfxtest::WriteFile(ExtractFolder() + "/alt.txt", "vom letzten Mal"));
             ASSERT_TRUE(sfxtest::WriteFile(TempFolder() + "/QVS2.tmp", "alt"));
             chmod((TempFolder() + "/QVS2.tmp").c_str(), 0444);
         },
         .check = [](const Package&, const DriverRun&) {
             EXPECT_EQ(sfxtest::ReadFile(ExtractFolder() + "/alt.txt"), "vom letzten Mal");
             EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/QVS2.tmp"), "alt");
         }},
        // No folder can be made: Setup disabled and Close the default, so Enter ends the program.
        {.name = "no-folder",
         .options = {"--command", "probe.exe"},
         .steps = {"setenv TEMP=C:\\fehlt TMP=C:\\fehlt", "wait kind=dialog timeout=30000", "click id=1", "wait kind=msgbox timeout=30000", "dump",
                   "click id=1", "gone", "wait kind=dialog", "dump",
                   "post id=2 msg=0x100 wparam=13", "exit timeout=15000"},  // Enter (WM_KEYDOWN)
         .boxes = {{"Unable to Create a temporary directory to extract to.", "error", {1}, 0}},
         .controls = {{1, 1, "", 0, 0}, {1, 2, "", 1, 1}, {1, 112, "", 1, -1}},
         .prepare = [](const Package&) {
             for (int n = 0; n < 100; ++n) {
                 char name[16];
                 std::snprintf(name, sizeof name, "/QVT%05d", n);
                 ASSERT_TRUE(sfxtest::WriteFile(WindowsFolder() + name, ""));
             }
         },
         .code = 82},
        // The folder vanishes during an overwrite question: the dialog stays, or with AUTO closes.
        {.name = "enter-click",
         .options = {"--command", "probe.exe", "--level", "0"},
         .steps = std::vector<std::string>{"wait kind=dialog timeout=30000", "click id=1"} + vanish +
                  std::vector<std::string>{"gone", "wait kind=dialog text=&Setup enabled=1", "dump", "click id=2",
                                           "exit timeout=15000"},
         .boxes = {message15},
         .controls = {{1, 1, "", 1, -1}},
         .ran = {0},
         .files = two,
         .prepare = rename,
         .code = 82},
        {.name = "enter-auto",
         .options = {"--command", "probe.exe", "--level", "0"},
         .switches = "/AUTO",
         .steps = std::vector<std::string>{"wait kind=dialog timeout=30000"} + vanish +
                  std::vector<std::string>{"exit timeout=15000"},
         .boxes = {message15},
         .ran = {0},
         .files = two,
         .prepare = rename,
         .code = 82},
        // A target folder: made with the folders on the way, filled, the command run there, and
        // kept with what it held before.
        {.name = "target",
         .options = {"--command", record, "--target", "%TEMP%\\Ziel\\Neu"},
         .switches = "/AUTO",
         .steps = {"exit timeout=30000"},
         .prepare = [](const Package&) { ASSERT_TRUE(sfxtest::WriteFile(TempFolder() + "/Ziel/alt.txt", "alt")); },
         .check = [](const Package&, const DriverRun&) {
             const std::string target = TempFolder() + "/Ziel/Neu";
             EXPECT_EQ(UnixPath(Field(ReadRecord(TempFolder() + "/Ziel/record.txt"), "folder")), target);
             EXPECT_EQ(sfxtest::ReadFile(target + "/daten/werte.csv"), "a;b\r\n1;2\r\n");
             EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/Ziel/alt.txt"), "alt");
             EXPECT_EQ(sfxtest::ListFolder(TempFolder()), (std::vector<std::string>{"Ziel"})) << "nothing elsewhere";
         }},
        // The administrator's folder wins over the package's: blanks and letters outside the
        // ANSI code page, environment variables expanded.
        {.name = "target-switch",
         .options = {"--command", "probe.exe", "--target", "%TEMP%\\Ziel"},
         .switches = "/AUTO \"/D=%TEMP%\\Mein Ziel \xC5\x81\xC3\xB3" "d\xC5\xBA\"",
         .steps = {"exit timeout=30000"},
         .check = [](const Package&, const DriverRun&) {
             EXPECT_EQ(sfxtest::ListFolder(TempFolder()), (std::vector<std::string>{"Mein Ziel \xC5\x81\xC3\xB3" "d\xC5\xBA"}));
             EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/Mein Ziel \xC5\x81\xC3\xB3" "d\xC5\xBA/liesmich.txt"),
                       "Bitte lesen.\r\n");
         }},
        // A folder that cannot be made (a file is in its way): its own message and code 82.
        {.name = "target-unmakeable",
         .options = {"--command", "probe.exe", "--target", "%TEMP%\\datei.txt\\Ziel"},
         .switches = "/AUTO",
         .steps = {"wait kind=msgbox timeout=30000", "dump", "click id=1", "gone", "wait kind=dialog",
                   "click id=2", "exit timeout=15000"},
         .boxes = {{"Zielordner " + WinTemp() + "\\datei.txt\\Ziel kann nicht erstellt werden.", "error", {1}, 0}},
         .prepare = [](const Package&) { ASSERT_TRUE(sfxtest::WriteFile(TempFolder() + "/datei.txt", "x")); },
         .check = [](const Package&, const DriverRun&) {
             EXPECT_EQ(sfxtest::ListFolder(TempFolder()), (std::vector<std::string>{"datei.txt"}));
         },
         .code = 82},
        // Arguments after "--" reach the command as given: quotes, blanks, an empty one.
        {.name = "arguments",
         .options = {"--command", record},
         .switches = "/AUTO -- eins \"zwei drei\" \"\" \"vier\\\"f\"",
         .steps = {"exit timeout=30000"},
         .ranIn = "QVS1.tmp",
         .check = [](const Package&, const DriverRun&) {
             auto r = ReadRecord(TempFolder() + "/record.txt");
             EXPECT_EQ(Field(r, "commandline"), "probe.exe record=..\\record.txt eins \"zwei drei\" \"\" \"vier\\\"f\"");
             EXPECT_EQ(Field(r, "argv"), "[record=..\\record.txt][eins][zwei drei][][vier\"f]");
         }},
        // Extract only: the picker opens on the package's folder; OK there, then the note.
        {.name = "extract-only",
         .options = {"--extract-only", "--target", "%TEMP%\\Auspacken"},
         // Wine's picker fills its tree (control 14145) after it shows; OK before the package's
         // folder is selected would answer its root.
         .steps = {"wait kind=dialog timeout=30000", "click id=1", "wait kind=dialog text=OK timeout=30000", "dump",
                   "picked id=14145 timeout=30000", "click id=1", "wait kind=msgbox timeout=30000", "dump", "click id=1",
                   "exit timeout=30000"},
         .boxes = {{"Die Dateien wurden nach " + WinTemp() + "\\Auspacken entpackt.", "information", {1}, 0}},
         // Wine's picker shows the title in its control 14146.
         .controls = {{0, 14146, Ansi("Wählen Sie den Ordner, in den die Dateien entpackt werden:"), 1, -1}},
         .check = [](const Package&, const DriverRun&) {
             EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/Auspacken/daten/werte.csv"), "a;b\r\n1;2\r\n");
             EXPECT_TRUE(Exists(TempFolder() + "/Auspacken/probe.exe"));
         }},
        // Cancelling the picker: nothing extracted, the run's folder gone, the user's code.
        {.name = "extract-only-cancel",
         .options = {"--extract-only"},
         .steps = {"wait kind=dialog timeout=30000", "click id=1", "wait kind=dialog text=OK timeout=30000",
                   "click id=2", "exit timeout=30000"},
         .check = [](const Package&, const DriverRun&) { EXPECT_EQ(sfxtest::ListFolder(TempFolder()), std::vector<std::string>{}); },
         .code = 1602},
        // A console command shows its window in an interactive run, but not in a silent one nor
        // with --hide-console.
        {.name = "console-shown",
         .options = {"--command", "cmd /c ping -n 4 127.0.0.1"},
         .switches = "/AUTO",
         .steps = {"sleep ms=1500", "list all=1", "exit timeout=30000"},
         .check = [](const Package&, const DriverRun& run) { EXPECT_EQ(ConsoleWindows(run), 1u); },
         .detach = true},
        {.name = "console-silent",
         .options = {"--command", "cmd /c ping -n 4 127.0.0.1"},
         .switches = "/S",
         .steps = {"sleep ms=1500", "list all=1", "exit timeout=30000"},
         .check = [](const Package&, const DriverRun& run) { EXPECT_EQ(run.First("listed")->Number("count"), 0); },
         .detach = true},
        {.name = "console-hidden",
         .options = {"--command", "cmd /c ping -n 4 127.0.0.1", "--hide-console"},
         .switches = "/AUTO",
         .steps = {"sleep ms=1500", "list all=1", "exit timeout=30000"},
         .check = [](const Package&, const DriverRun& run) { EXPECT_EQ(ConsoleWindows(run), 0u); },
         .detach = true},
    };
    for (const Flow& f : flows) RunFlow(f);
}

// Twenty runs of a command that ends at once leave nothing (its console host may linger), and
// a run started while another's command runs takes QVS2.tmp; each removes its own.
TEST(Job, RunsLeaveNothingAndRunsAtTheSameTimeKeepApart) {
    Package quick = Pack("job-quick", {{"a.txt", "a"}}, {"--command", "cmd /c exit"});
    Package slow = Pack("job-slow", kFiles, {"--command", "probe.exe record=..\\record.txt hold=4000"});
    Package fast = Pack("job-fast", kFiles, {"--command", "probe.exe record=..\\record.txt"});
    const std::vector<std::string> windows = sfxtest::ListFolder(WindowsFolder());
    std::vector<std::string> script(20, "run " + Quote(quick.Win() + " /AUTO") + " timeout=60000");
    script.insert(script.end(), {StartLine(slow, "/AUTO"), "sleep ms=1500",
                                 "run " + Quote(fast.Win() + " /AUTO") + " timeout=60000", "exit timeout=60000"});
    DriverRun run = Wine().Drive(script);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.Codes(), std::vector<long>(21, 0));
    EXPECT_EQ(run.ExitCode(), 0);
    std::vector<std::string> folders;
    const auto recorded = ReadRecord(TempFolder() + "/record.txt");
    for (auto [it, end] = recorded.equal_range("folder"); it != end; ++it) folders.push_back(UnixPath(it->second));
    EXPECT_EQ(folders, (std::vector<std::string>{ExtractFolder(), TempFolder() + "/QVS2.tmp"}));
    EXPECT_EQ(sfxtest::ListFolder(TempFolder()), std::vector<std::string>{"record.txt"}) << "emptied by Pack";
    EXPECT_EQ(sfxtest::ListFolder(WindowsFolder()), windows);
}

// A long extraction shows a growing meter with the file name cut to 99 characters; Close asks,
// the system close does not, and nothing is launched after either. A small archive: no meter.
TEST(Job, LongExtractionShowsTheMeterAndCanBeCancelled) {
    const std::string longName =
        "Beispielprogramm-Benutzerhandbuch-Ausgabe-2026-mit-allen-Anhaengen-Beispielen-und-Tabellen.txt";
    std::map<std::string, std::string> files = kFiles;
    files[longName] = zipcraft::SampleText(64u << 20, 7);
    Package p = Pack("job-long", files, {"--command", "probe.exe record=..\\record.txt", "--level", "4", "--wait"});
    const std::string record = TempFolder() + "/record.txt";
    std::error_code ec;

    DriverRun run = Wine().Drive(std::vector<std::string>{"setenv WINEDEBUG=-all,trace+font", StartLine(p), "wait kind=dialog timeout=30000",
                                  "click id=1", "sleep ms=150", "send id=201 msg=1027", "dump", "sleep ms=300",
                                  "send id=201 msg=1027", "send id=201 msg=1025",
                                  "wait kind=dialog text=&Done enabled=1 timeout=60000", "dump"} + kDoneThenYes,
                                 180);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    const Window during = run.Dump(0), after = run.Dump(1);
    EXPECT_TRUE(during.Find(201).visible);
    EXPECT_FALSE(during.Find(109).visible) << "the meter takes the status line's place";
    EXPECT_FALSE(after.Find(201).visible) << "and goes again after the extraction";
    std::vector<long> positions;
    for (const Observation& o : run.All("result")) positions.push_back(o.Number("value"));
    ASSERT_EQ(positions.size(), 3u);
    EXPECT_LT(positions[0], 100) << "sampled while extracting";
    EXPECT_GT(positions[1], positions[0]) << "the bar moves";
    EXPECT_LE(positions[1], 100);
    EXPECT_EQ(positions[2], 100) << "range";
    // Wine's trace of ExtTextOutW: drawn twice per paint, over the filled part and the rest.
    const std::string caption = "L\"" + ("Unzip von " + longName).substr(0, 99) + "\"";
    size_t drawn = 0;
    for (size_t at = 0; (at = run.diagnostics.find(caption, at)) != std::string::npos; ++at) ++drawn;
    EXPECT_GE(drawn, 2u);
    EXPECT_EQ(run.diagnostics.find("L\"" + ("Unzip von " + longName).substr(0, 100)), std::string::npos);
    EXPECT_FALSE(Exists(ExtractFolder()));
    fs::remove(record, ec);

    run = Wine().Drive({"setenv WINEDEBUG=-all,trace+win", StartLine(p), "wait kind=dialog timeout=30000",
                        "click id=1", "sleep ms=300", "post id=2 msg=0x201", "wait kind=msgbox",  // a click
                        "dump", "click id=7", "gone", "wait kind=dialog", "post id=2 msg=0x100 wparam=32",  // Space
                        "wait kind=msgbox", "dump", "click id=6", "exit timeout=30000"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    for (size_t i : {0, 1}) ExpectBox(run.Dump(i), "Unzip-Vorgang abbrechen ?", "question", {6, 7}, 7);
    EXPECT_EQ(run.ExitCode(), 1602) << "cancelled";
    EXPECT_NE(run.diagnostics.find("set_window_text L\"Unzip-Vorgang abgebrochen\""), std::string::npos)
        << "message 13 in the status line";

    run = Wine().Drive({"setenv WINEDEBUG=-all,trace+win", StartLine(p), "wait kind=dialog timeout=30000",
                        "click id=1", "sleep ms=300", "post msg=0x112 wparam=0xF060", "gone", "list",  // SC_CLOSE
                        "exit timeout=30000"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.First("listed")->Number("count"), 0) << "no question, the dialog goes";
    EXPECT_EQ(run.ExitCode(), 1602) << "closed before the command";
    EXPECT_NE(run.diagnostics.find(kDeleting), std::string::npos);
    EXPECT_EQ(run.diagnostics.find("Unzip-Vorgang abgebrochen"), std::string::npos);
    EXPECT_FALSE(Exists(record)) << "the command is not started after a cancel or a close";
    EXPECT_FALSE(Exists(ExtractFolder()));

    // The timer fires once, although the system answers another id for the 0 asked for.
    Package small = Pack("job-short", {{"probe.exe", "@probe"}, {"klein.bin", std::string(5000, 'k')}},
                         {"--command", "probe.exe klein.bin", "--wait"});
    run = Wine().Drive(std::vector<std::string>{"setenv WINEDEBUG=-all,trace+message", StartLine(small), "wait kind=dialog timeout=30000",
                        "click id=1", "wait kind=dialog text=&Done enabled=1 timeout=30000", "sleep ms=200", "dump"} +
                       kDoneThenYes);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_FALSE(run.Dump(0).Find(201).visible);
    EXPECT_EQ(run.ExitCode(), 0);
    size_t fired = 0;
    for (size_t at = 0; (at = run.diagnostics.find("WM_TIMER dispatched", at)) != std::string::npos; ++at) ++fired;
    EXPECT_EQ(fired, 1u);
}

// Silent runs: no window or folder left, their exit code, one timestamped log line per event.
TEST(Job, SilentRunsEndWithTheirCodeAndLogEachEvent) {
    struct Row {
        const char* name;
        std::string command;
        std::string damage;  // "config": a configuration byte; "FROM>TO": a member renamed;
                             // "blocked": a file %TEMP%\datei.txt in the target's way;
                             // "occupied": a file %TEMP%\Ziel\daten where a folder must go
        std::string switches;
        long code;
        std::vector<std::string> log;  // each line's event, up to the length given
        bool deep = false;             // the file lies in a folder whose path passes MAX_PATH
        std::vector<std::string> options = {};  // more build options (no --command when empty)
        std::string kept = "";         // the folder, under the one for temporary files, that stays
        bool solid = false;            // the solid form, probe.exe in its x86 folder
    } rows[] = {
        {"sound", "probe.exe", "", "/SILENT", 0,
         {"start silent ", "folder C:\\", "command probe.exe", "command-exit 0", "cleanup removed C:\\", "end 0"}},
        {"damaged", "probe.exe", "config", "-s", 1392, {"start silent ", std::string("error ") + kHeaderInvalid, "end 1392"}},
        {"unsafe-name", "probe.exe", "nux.txt>nul.txt", "x /silent", 1603,
         {"start silent ", "folder ", "error Ungültiger ZIP-Dateikopf.", "cleanup removed ", "end 1603"}},
        {"unstartable", "fehlt.exe /x", "", "/S", 2,
         {"start silent ", "folder ", "command fehlt.exe /x", "error fehlt.exe /x konnte nicht ausgeführt werden",
          "cleanup removed ", "end 2"}},
        {"reboot", "cmd.exe /c exit 3010", "", "/WAIT /SILENT", 3010,
         {"start silent ", "folder ", "command cmd.exe", "command-exit 3010", "cleanup removed ", "end 3010"}},
        {"in-the-way", "probe.exe", "zwei.txt>eins.txt", "/Silent", 0,
         {"start silent ", "folder ", "question Yes Datei C:\\", "command probe.exe", "command-exit 0",
          "cleanup removed ", "end 0"}},
        {"interactive", "probe.exe sleep=2000", "", "/AUTO", 0,
         {"start interactive ", "folder ", "command probe.exe", "command-exit 0", "cleanup removed ", "end 0"}},
        {"deep", "probe.exe", "", "/SILENT", 0,
         {"start silent ", "folder C:\\", "command probe.exe", "command-exit 0", "cleanup removed C:\\", "end 0"}, true},
        // The silent command instead of the interactive one, with its own code.
        {"silent-command", "probe.exe sleep=60000", "", "/S", 7,
         {"start silent ", "folder ", "command cmd.exe /c exit 7", "command-exit 7", "cleanup removed ", "end 7"}, false,
         {"--silent-command", "cmd.exe /c exit 7"}},
        // Extract only: by the switch (any package; the temporary folder stays), or as built.
        {"extract-switch", "probe.exe record=..\\record.txt", "", "/S /X", 0, {"start silent ", "folder C:\\", "cleanup left C:\\", "end 0"},
         false, {}, "QVS1.tmp"},
        {"extract-only", "", "", "/S", 0, {"start silent ", "folder C:\\", "cleanup left C:\\", "end 0"}, false,
         {"--extract-only", "--target", "%TEMP%\\Still"}, "Still"},
        {"extract-to", "", "", "/S \"/X:%TEMP%\\Still 2\"", 0, {"start silent ", "folder C:\\", "cleanup left C:\\", "end 0"},
         false, {"--extract-only", "--target", "%TEMP%\\Still"}, "Still 2"},
        // A name leading out of the target stops the run there: what came before stays, nothing
        // lands outside.
        {"target-escape", "probe.exe", "nux.txt>../a.tx", "/S", 1603,
         {"start silent ", "folder C:\\", "error Ungültiger ZIP-Dateikopf.", "cleanup left C:\\", "end 1603"}, false,
         {"--target", "%TEMP%\\Ziel"}, "Ziel"},
        // A target that cannot take the files (a file where a folder must go): the failure's
        // code and text, and the folder with what it held stays.
        {"target-occupied", "probe.exe", "occupied", "/S", 1603,
         {"start silent ", "folder C:\\", "error Ausgabe-Datei kann nicht erstellt werden: C:\\", "cleanup left C:\\",
          "end 1603"}, false, {"--target", "%TEMP%\\Ziel"}},
        {"target-unmakeable", "probe.exe", "blocked", "/S", 82,
         {"start silent ", "error Zielordner C:\\", "end 82"}, false, {"--target", "%TEMP%\\datei.txt\\Ziel"}},
        {"solid", "probe.exe", "", "/SILENT", 0,
         {"start silent ", "folder C:\\", "command probe.exe", "command-exit 0", "cleanup removed C:\\", "end 0"}, false,
         {}, "", true},
        {"solid-interactive", "probe.exe sleep=500", "", "/AUTO", 0,
         {"start interactive ", "folder ", "command probe.exe", "command-exit 0", "cleanup removed ", "end 0"}, false, {}, "", true},
    };
    const std::regex line("(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) \\[(\\d+)\\] (.*)\r");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::map<std::string, std::string> files = kFiles;
        files["eins.txt"] = files["zwei.txt"] = files["nux.txt"] = "x";
        std::vector<std::string> options = row.options;
        if (!row.command.empty()) options.insert(options.end(), {"--command", row.command});
        Package p = Pack(std::string("job-silent-") + row.name, files, options);
        if (row.solid) MakeSolid(p, files);
        if (row.damage == "blocked") {
            ASSERT_TRUE(sfxtest::WriteFile(TempFolder() + "/datei.txt", "x"));
        } else if (row.damage == "occupied") {
            ASSERT_TRUE(sfxtest::WriteFile(TempFolder() + "/Ziel/daten", "eigene Datei"));
        } else if (row.damage == "config") {
            std::string bytes = sfxtest::ReadFile(p.exe);
            size_t block = sfxtest::FindBlock(bytes);
            uint32_t config = sfxtest::Le32(bytes, block + 16);
            bytes[config + (sfxtest::Le32(bytes, block + 12) - config) / 2] ^= 0x20;
            ASSERT_TRUE(sfxtest::WriteFile(p.exe, bytes));
        } else if (!row.damage.empty()) {
            Rename(p, row.damage.substr(0, row.damage.find('>')), row.damage.substr(row.damage.find('>') + 1));
        }
        // A blank in the log's path: the switch is quoted as a whole.
        const std::string log = p.folder + "/mein log.txt";
        if (row.deep) {
            // The driver cannot start a program from such a path under Wine; wine itself can.
            const std::string deep = p.folder + "/" + std::string(110, 'l') + "/" + std::string(110, 'l') + "/setup.exe";
            ASSERT_TRUE(sfxtest::WriteFile(deep, sfxtest::ReadFile(p.exe)));
            ProgramRun run = Wine().Run(deep, {row.switches, "/LOG=" + Wine().WinPath(log)});
            EXPECT_EQ(run.exitCode, row.code) << run.err;
        } else {
            DriverRun run = Wine().Drive(
                {StartLine(p, row.switches + " \"/LOG=" + Wine().WinPath(log) + "\""), "exit watch=1 timeout=60000"});
            ASSERT_TRUE(run.Ok()) << run.Describe();
            EXPECT_EQ(run.ExitCode(), row.code);
            EXPECT_EQ(run.All("window").empty(), row.switches != "/AUTO") << run.Describe();
        }
        if (row.damage == "occupied") EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/Ziel/daten"), "eigene Datei");
        if (row.kept.empty()) {
            EXPECT_FALSE(Exists(ExtractFolder()));
        } else {
            EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/" + row.kept + "/daten/werte.csv"), "a;b\r\n1;2\r\n");
            EXPECT_EQ(sfxtest::ListFolder(TempFolder()), std::vector<std::string>{row.kept}) << "nothing elsewhere";
        }

        std::vector<std::string> events;
        std::set<std::string> pids;
        std::string text = sfxtest::ReadFile(log);
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            std::smatch m;
            std::string one = text.substr(at, end - at);
            ASSERT_TRUE(std::regex_match(one, m, line)) << one;
            pids.insert(m[2]);
            events.push_back(m[3]);
        }
        EXPECT_EQ(pids.size(), 1u);
        ASSERT_EQ(events.size(), row.log.size()) << text;
        for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].substr(0, row.log[i].size()), row.log[i]);
    }
}

}  // namespace
