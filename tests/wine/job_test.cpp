// Whole jobs of the real stub under Wine: the temporary folder and its fallbacks, the
// extraction, the command launched in the folder, the waits ("AUTO", "WAIT", "&Done", the
// program to wait for), the clean-up, Close and cancel in every state of the run, and the
// unattended runs (/SILENT, exit codes, the log).
//
// The command is the probe program (tests/windows/probe.c), packed into the archive and
// told on its command line what to record and how long to run. Paths in its arguments are
// relative to the folder it runs in, so "..\record.txt" lands in the folder for temporary
// files, next to the extraction folder.
#include "tests/wine/scenario.h"

#include <regex>
#include <set>
#include <thread>

namespace {

using namespace scenario;

const std::map<std::string, std::string> kFiles = {
    {"probe.exe", "@probe"},
    {"liesmich.txt", "Bitte lesen.\r\n"},
    {"daten/werte.csv", "a;b\r\n1;2\r\n"},
};

// Wine's trace of a status-line text (with WINEDEBUG=trace+win for the stub).
const char kDeleting[] = "set_window_text L\"Deleting temporary files\"";

std::string TempRecord() { return TempFolder() + "/record.txt"; }

// A script line that asks cmd whether a path exists right now: "ran code=0" when it does.
std::string ExistsNow(const std::string& windowsPath) {
    return "run " + wine::Quote("cmd /c if exist " + windowsPath + " (exit 0) else (exit 1)");
}

std::vector<long> RanCodes(const wine::DriverRun& run) {
    std::vector<long> codes;
    for (const wine::Observation& o : run.All("ran")) codes.push_back(o.Number("code"));
    return codes;
}

void ExpectBox(const wine::Window& box, const std::string& text, const std::string& icon,
               std::vector<int> buttons, int defaultButton) {
    EXPECT_EQ(box.kind, "msgbox");
    EXPECT_EQ(box.caption, "Tessly Self-Extractor");
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.icon, icon);
    EXPECT_EQ(box.buttons, buttons);
    if (defaultButton) {
        EXPECT_EQ(box.defaultButton, defaultButton);
    }
}

// Waits (up to `seconds`) for a file that a program still running writes at its end.
bool AwaitFile(const std::string& path, double seconds) {
    double until = Seconds() + seconds;
    while (!Exists(path) && Seconds() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return Exists(path);
}

TEST(Job, SetupExtractsRunsTheCommandInTheFolderAndRemovesIt) {
    std::map<std::string, std::string> files = kFiles;
    Package p = Pack("job-setup", files,
                     {"--command", "probe.exe record=..\\record.txt eins \"zwei drei\""});
    std::error_code ec;
    fs::remove(TempRecord(), ec);

    wine::DriverRun run = Wine().Drive({
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), 0);
    auto record = ReadRecord(TempRecord());
    EXPECT_EQ(Field(record, "commandline"), "probe.exe record=..\\record.txt eins \"zwei drei\"");
    EXPECT_EQ(UnixPath(Field(record, "folder")), ExtractFolder());
    EXPECT_EQ(SortedList(Field(record, "files")),
              (std::vector<std::string>{"daten", "liesmich.txt", "probe.exe"}))
        << "everything is extracted before the command starts";
    EXPECT_FALSE(Exists(ExtractFolder())) << "the folder is removed at the end";
    EXPECT_EQ(run.All("window").size(), 1u) << "no message box on the way";
    fs::remove(TempRecord(), ec);
}

TEST(Job, AutoRunsWithoutAClickAndEnds) {
    Package p = Pack("job-auto", kFiles, {"--command", "probe.exe record=..\\record.txt"});
    std::error_code ec;
    fs::remove(TempRecord(), ec);
    wine::DriverRun run = Wine().Drive({Start(p, "/AUTO"), "exit timeout=30000"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_EQ(UnixPath(Field(ReadRecord(TempRecord()), "folder")), ExtractFolder());
    EXPECT_FALSE(Exists(ExtractFolder()));
    fs::remove(TempRecord(), ec);
}

// Wait mode from the package, started with /AUTO: after the command, "&Done" appears; No to
// the question keeps the files and the wait, Yes cleans up and ends.
TEST(Job, WaitModeAsksBeforeCleaningUp) {
    Package p = Pack("job-wait-mode", kFiles, {"--command", "probe.exe", "--wait"});
    wine::DriverRun run = Wine().Drive({
        Start(p, "/AUTO"),
        "wait kind=dialog timeout=30000",
        "wait_text id=1 text=&Done timeout=30000",
        "dump",
        "click id=1",
        "wait kind=msgbox owner=previous",
        "dump",
        "click id=7",
        "gone",
        "wait kind=dialog",
        "dump",
        ExistsNow("%TEMP%\\QVS1.tmp\\liesmich.txt"),
        "click id=1",
        "wait kind=msgbox",
        "click id=6",
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    const wine::Window waiting = run.Dump(0), question = run.Dump(1), still = run.Dump(2);
    const wine::Control* done = waiting.FindControl(1);
    ASSERT_NE(done, nullptr);
    EXPECT_TRUE(done->enabled);
    EXPECT_EQ(done->style & 0xF, 1u) << "in wait mode Setup stays the default button";
    ExpectBox(question,
              "Are you sure that the SETUP program has completed?  Click Yes exit, or Cancel to "
              "continue waiting.",
              "question", {6, 7}, 6);
    ASSERT_NE(still.FindControl(1), nullptr);
    EXPECT_EQ(still.FindControl(1)->text, "&Done");
    EXPECT_EQ(RanCodes(run), std::vector<long>{0}) << "the files are still there after No";
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(ExtractFolder()));
}

// The WAIT switch on a package without wait mode; Close while "&Done" is awaited asks
// message 4, and Yes ends the program leaving the files behind, as the question says.
TEST(Job, WaitSwitchThenCloseWhileAwaitingDoneLeavesTheFiles) {
    Package p = Pack("job-wait-switch", kFiles, {"--command", "probe.exe"});
    const std::string leave =
        "If you Cancel now, temporary files will not be deleted.  Are you sure you want to "
        "Cancel now?";
    wine::DriverRun run = Wine().Drive({
        Start(p, "-wait"),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "wait_text id=1 text=&Done timeout=30000",
        "click id=2",
        "wait kind=msgbox owner=previous",
        "dump",
        "click id=7",
        "gone",
        "wait kind=dialog",
        "dump",
        "click id=2",
        "wait kind=msgbox",
        "click id=6",
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    ExpectBox(run.Dump(0), leave, "question", {6, 7}, 7);
    ASSERT_NE(run.Dump(1).FindControl(1), nullptr);
    EXPECT_EQ(run.Dump(1).FindControl(1)->text, "&Done") << "No keeps waiting";
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_TRUE(Exists(ExtractFolder() + "/liesmich.txt"));
    EXPECT_TRUE(Exists(ExtractFolder() + "/daten/werte.csv"));
}

// Close while the command runs asks message 8 with the command; No keeps waiting, Yes stops
// waiting at once and cleans up while the command still runs.
TEST(Job, CloseWhileTheCommandRunsAsksThenStopsWaiting) {
    const std::string command = "probe.exe sleep=8000 stamp=..\\stamp.txt";
    Package p = Pack("job-running", kFiles, {"--command", command});
    const std::string stamp = TempFolder() + "/stamp.txt";
    std::error_code ec;
    fs::remove(stamp, ec);
    wine::DriverRun run = Wine().Drive({
        "setenv WINEDEBUG=-all,trace+win",
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "sleep ms=1200",
        "click id=2",
        "wait kind=msgbox owner=previous",
        "dump",
        "click id=7",
        "gone",
        "wait kind=dialog",
        "click id=2",
        "wait kind=msgbox",
        "click id=6",
        "exit timeout=5000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    ExpectBox(run.Dump(0),
              Text(command + " ist immer noch aktiv; wenn Sie jetzt abbrechen werden temoräre "
                             "Dateien nicht gelöscht. Trotzdem abbrechen?"),
              "question", {6, 7}, 7);
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(stamp)) << "the program ended before the command did";
    // (Files the running command holds stay behind, so only the start of the clean-up is
    // certain.)
    EXPECT_NE(run.diagnostics.find(kDeleting), std::string::npos) << "clean-up still runs";
    EXPECT_TRUE(AwaitFile(stamp, 15));
    fs::remove(stamp, ec);
}

// Without a wait for a program: AUTO and --wait-for with a program that outlives the
// command (the wait goes on until it ends), with one that never starts (ten seconds), and
// Close during that wait (message 8, then clean-up).
TEST(Job, WaitForANamedProgram) {
    std::map<std::string, std::string> files = kFiles;
    files["helper.exe"] = "@probe";
    const std::string helperStamp = TempFolder() + "/helper.txt";
    std::error_code ec;

    {
        // It does not hold its own file open (as under Wine): the process list tells.
        SCOPED_TRACE("the program outlives the command");
        Package p = Pack("job-wait-for", files,
                         {"--command", "probe.exe spawn=\"helper.exe sleep=12500 stamp=..\\helper.txt\"",
                          "--wait-for", "helper"});
        fs::remove(helperStamp, ec);
        double start = Seconds();
        wine::DriverRun run = Wine().Drive({Start(p, "/AUTO"), "exit timeout=40000"});
        double took = Seconds() - start;
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_GE(took, 12.5) << "ten seconds, then as long as helper.exe is held";
        EXPECT_LT(took, 22);
        EXPECT_TRUE(AwaitFile(helperStamp, 5));
        EXPECT_FALSE(Exists(ExtractFolder()));
        fs::remove(helperStamp, ec);
    }
    {
        SCOPED_TRACE("the program never starts");
        Package p = Pack("job-wait-for-none", kFiles,
                         {"--command", "probe.exe", "--wait-for", "nirgends"});
        double start = Seconds();
        wine::DriverRun run = Wine().Drive({Start(p, "/AUTO"), "exit timeout=30000"});
        double took = Seconds() - start;
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_GE(took, 10.0);
        EXPECT_LT(took, 16);
        EXPECT_FALSE(Exists(ExtractFolder()));
    }
    {
        SCOPED_TRACE("Close during the wait");
        const std::string command = "probe.exe spawn=\"helper.exe hold=3000 stamp=..\\helper.txt\"";
        Package p = Pack("job-wait-for-close", files, {"--command", command, "--wait-for", "helper"});
        fs::remove(helperStamp, ec);
        double start = Seconds();
        wine::DriverRun run = Wine().Drive({
            "setenv WINEDEBUG=-all,trace+win",
            Start(p),
            "wait kind=dialog timeout=30000",
            "click id=1",
            "sleep ms=1500",
            "click id=2",
            "wait kind=msgbox owner=previous",
            "dump",
            "click id=6",
            "exit timeout=5000",
        });
        double took = Seconds() - start;
        ASSERT_TRUE(run.Ok()) << run.Describe();
        ExpectBox(run.Dump(0),
                  Text(command + " ist immer noch aktiv; wenn Sie jetzt abbrechen werden temoräre "
                                 "Dateien nicht gelöscht. Trotzdem abbrechen?"),
                  "question", {6, 7}, 7);
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_LT(took, 10.0) << "the ten seconds are cut short";
        EXPECT_NE(run.diagnostics.find(kDeleting), std::string::npos) << "clean-up runs";
        EXPECT_TRUE(AwaitFile(helperStamp, 10));
        fs::remove(helperStamp, ec);
    }
}

// A long extraction: a click on Close asks message 11 (No goes on, Yes cancels: the folder
// is deleted and the status line says so); the system close asks nothing, and the run
// then launches nothing and removes what it extracted.
TEST(Job, CloseAndCancelDuringExtraction) {
    std::map<std::string, std::string> files = kFiles;
    files["gross.txt"] = zipcraft::SampleText(64u << 20, 3);
    const std::string cancel = Text("Unzip-Vorgang abbrechen ?");
    std::error_code ec;

    Package p = Pack("job-extracting", files,
                     {"--command", "probe.exe record=..\\record.txt", "--level", "4"});
    fs::remove(TempRecord(), ec);
    wine::DriverRun run = Wine().Drive({
        "setenv WINEDEBUG=-all,trace+win",
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "sleep ms=300",
        "click id=2 via=mouse",
        "wait kind=msgbox owner=previous",
        "dump",
        "click id=7",
        "gone",
        "wait kind=dialog",
        "key vk=32 id=2",
        "wait kind=msgbox owner=previous",
        "dump",
        "click id=6",
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    ExpectBox(run.Dump(0), cancel, "question", {6, 7}, 7);
    ExpectBox(run.Dump(1), cancel, "question", {6, 7}, 7);
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(TempRecord())) << "nothing is launched after a cancel";
    EXPECT_FALSE(Exists(ExtractFolder()));
    EXPECT_NE(run.diagnostics.find("set_window_text L\"Unzip-Vorgang abgebrochen\""),
              std::string::npos)
        << "message 13 in the status line";

    p = Pack("job-extracting-close", files,
             {"--command", "probe.exe record=..\\record.txt", "--level", "4"});
    run = Wine().Drive({
        "setenv WINEDEBUG=-all,trace+win",
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "sleep ms=300",
        "close",
        "gone",
        "list",
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.First("listed")->Number("count"), 0) << "no question, the dialog goes";
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(TempRecord())) << "the command is not started";
    EXPECT_FALSE(Exists(ExtractFolder()));
    EXPECT_NE(run.diagnostics.find(kDeleting), std::string::npos);
    EXPECT_EQ(run.diagnostics.find("Unzip-Vorgang abgebrochen"), std::string::npos);
}

// No command, or one that cannot be started: the message, then the extracted files are
// removed again.
TEST(Job, MissingOrFailingCommandIsReportedAndCleanedUp) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string text;
    } cases[] = {
        {"none", {}, "Fehler: es wurde kein Folgekommando definiert."},
        {"missing", {"--command", "fehlt.exe /x"}, Text("fehlt.exe /x konnte nicht ausgeführt werden")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Package p = Pack(std::string("job-command-") + c.name, kFiles, c.options);
        wine::DriverRun run = Wine().Drive({
            Start(p),
            "wait kind=dialog timeout=30000",
            "click id=1",
            "wait kind=msgbox owner=previous timeout=30000",
            "dump",
            ExistsNow("%TEMP%\\QVS1.tmp\\daten\\werte.csv"),
            "click id=1",
            "exit timeout=30000",
        });
        ASSERT_TRUE(run.Ok()) << run.Describe();
        ExpectBox(run.Dump(0), c.text, "error", {1}, 0);
        EXPECT_EQ(RanCodes(run), std::vector<long>{0}) << "extracted before the message";
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_FALSE(Exists(ExtractFolder()));
    }
}

// Names that are taken, by a folder left from an earlier run and by someone else's read-only
// file, are passed over and left alone: the run makes the next name, QVS3.tmp, and removes
// only that.
TEST(Job, TakenNamesMakeTheRunUseTheNextOne) {
    Package p = Pack("job-taken", kFiles, {"--command", "probe.exe record=..\\record.txt"});
    const std::string second = TempFolder() + "/QVS2.tmp";
    ASSERT_TRUE(sfxtest::WriteFile(ExtractFolder() + "/alt.txt", "vom letzten Mal"));
    ASSERT_TRUE(sfxtest::WriteFile(second, "alt"));
    chmod(second.c_str(), 0444);
    std::error_code ec;
    fs::remove(TempRecord(), ec);

    wine::DriverRun run = Wine().Drive({Start(p, "/AUTO"), "exit timeout=30000"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_EQ(UnixPath(Field(ReadRecord(TempRecord()), "folder")), TempFolder() + "/QVS3.tmp");
    EXPECT_FALSE(Exists(TempFolder() + "/QVS3.tmp"));
    EXPECT_EQ(sfxtest::ReadFile(ExtractFolder() + "/alt.txt"), "vom letzten Mal");
    EXPECT_EQ(sfxtest::ReadFile(second), "alt");
    fs::remove(TempRecord(), ec);
    ClearLeftovers();
}

// Twenty runs of a command that ends at once leave nothing behind (its console host may
// still be in the folder when it ends), and two runs at the same time each make and remove
// their own folder: the second, started while the first one's command runs, takes QVS2.tmp.
TEST(Job, RunsLeaveNothingAndRunsAtTheSameTimeKeepApart) {
    Package quick = Pack("job-quick", {{"a.txt", "a"}}, {"--command", "cmd /c exit"});
    Package slow = Pack("job-slow", kFiles, {"--command", "probe.exe record=..\\record.txt hold=4000"});
    Package fast = Pack("job-fast", kFiles, {"--command", "probe.exe record=..\\record.txt"});
    std::error_code ec;
    fs::remove(TempRecord(), ec);
    const std::vector<std::string> temp = sfxtest::ListFolder(TempFolder());
    const std::vector<std::string> windows = sfxtest::ListFolder(WindowsFolder());
    std::vector<std::string> script;
    for (int i = 0; i < 20; ++i)
        script.push_back("run " + wine::Quote(quick.Win() + " /AUTO") + " timeout=60000");
    script.insert(script.end(), {Start(slow, "/AUTO"), "sleep ms=1500",
                                 "run " + wine::Quote(fast.Win() + " /AUTO") + " timeout=60000",
                                 "exit timeout=60000"});
    wine::DriverRun run = Wine().Drive(script);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(RanCodes(run), std::vector<long>(21, 0));
    EXPECT_EQ(run.ExitCode(), 0);
    auto record = ReadRecord(TempRecord());
    std::vector<std::string> folders;
    for (auto [it, end] = record.equal_range("folder"); it != end; ++it)
        folders.push_back(UnixPath(it->second));
    EXPECT_EQ(folders, (std::vector<std::string>{ExtractFolder(), TempFolder() + "/QVS2.tmp"}));
    fs::remove(TempRecord(), ec);
    EXPECT_EQ(sfxtest::ListFolder(TempFolder()), temp);
    EXPECT_EQ(sfxtest::ListFolder(WindowsFolder()), windows);
}

// No folder can be made at all: message 6, and the dialog stays with Setup disabled and
// Close as the default button, so that Enter ends the program.
TEST(Job, NoFolderAtAllShowsMessage6AndEnterCloses) {
    Package p = Pack("job-no-folder", kFiles, {"--command", "probe.exe"});
    for (int n = 0; n < 100; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "/QVT%05d", n);
        ASSERT_TRUE(sfxtest::WriteFile(WindowsFolder() + name, ""));
    }
    // The folder for temporary files does not exist, and the Windows folder is full.
    wine::DriverRun run = Wine().Drive({
        "setenv TEMP=C:\\fehlt TMP=C:\\fehlt",
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "wait kind=msgbox timeout=30000",
        "dump",
        "click id=1",
        "gone",
        "wait kind=dialog",
        "dump",
        "input keys=enter",
        "exit timeout=15000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    ExpectBox(run.Dump(0), "Unable to Create a temporary directory to extract to.", "error", {1}, 0);
    const wine::Window halted = run.Dump(1);
    ASSERT_NE(halted.FindControl(1), nullptr);
    ASSERT_NE(halted.FindControl(2), nullptr);
    EXPECT_FALSE(halted.FindControl(1)->enabled);
    EXPECT_EQ(halted.FindControl(1)->style & 0xF, 0u);
    EXPECT_EQ(halted.FindControl(2)->style & 0xF, 1u) << "Close is the default button now";
    EXPECT_TRUE(halted.FindControl(112)->enabled);
    EXPECT_EQ(run.ExitCode(), 0);
    ClearLeftovers();
}

// The folder disappears while an overwrite question is open, so the run cannot change into
// it: message 15, after which the dialog stays (Setup enabled again) or, with AUTO, closes.
TEST(Job, FolderThatCannotBeEnteredShowsMessage15) {
    for (bool autoMode : {false, true}) {
        SCOPED_TRACE(autoMode ? "AUTO" : "click");
        Package p = Pack(autoMode ? "job-enter-auto" : "job-enter",
                         {{"a.txt", std::string(3000, 'a')}, {"b.txt", std::string(3000, 'b')}},
                         {"--command", "probe.exe", "--level", "0"});
        // Rename b.txt to a.txt in the archive (local header and central directory): the
        // second member then meets the first one's file.
        std::string bytes = sfxtest::ReadFile(p.exe);
        size_t renamed = 0;
        for (size_t at = bytes.find("b.txt"); at != std::string::npos; at = bytes.find("b.txt", at)) {
            bytes[at] = 'a';
            ++renamed;
        }
        ASSERT_EQ(renamed, 2u);
        ASSERT_TRUE(sfxtest::WriteFile(p.exe, bytes));

        std::vector<std::string> script = {Start(p, autoMode ? "/AUTO" : ""),
                                           "wait kind=dialog timeout=30000"};
        if (!autoMode) script.push_back("click id=1");
        script.insert(script.end(), {
            "wait kind=msgbox text~=bereits timeout=30000",
            "run " + wine::Quote("cmd /c rmdir /s /q %TEMP%\\QVS1.tmp"),
            "click id=7",
            "wait kind=msgbox text~=Unzip-Verzeichnis timeout=30000",
            "dump",
            "click id=1",
        });
        if (!autoMode) script.insert(script.end(), {"gone", "wait kind=dialog", "dump", "click id=2"});
        script.push_back("exit timeout=15000");
        wine::DriverRun run = Wine().Drive(script);
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(RanCodes(run), std::vector<long>{0});
        ExpectBox(run.Dump(0), "Fehler beim Wechseln in das \"Unzip-Verzeichnis\"", "none", {1}, 0);
        if (!autoMode) {
            ASSERT_NE(run.Dump(1).FindControl(1), nullptr);
            EXPECT_TRUE(run.Dump(1).FindControl(1)->enabled) << "Setup can be tried again";
        }
        EXPECT_EQ(run.ExitCode(), 0);
    }
}

// Silent runs: no window at any time, the folder gone afterwards, the exit code of what
// happened, and one log line per event (UTF-8, timestamped, one process id); the last row
// runs a package interactively, which still ends with 0 and logs too.
TEST(Job, SilentRunsEndWithTheirCodeAndLogEachEvent) {
    const std::string headerInvalid =
        "Tessly Self-Extractor-Dateikopf ungültig. Mögliche Ursache: Fehlerhafter Datenträger "
        "oder Dateiübertragungsfehler.";
    struct Row {
        const char* name;
        std::string command;
        std::string damage;  // "config": a byte of the configuration block; else "FROM>TO":
                             // a member renamed in the archive after the build
        std::string switches;
        long code;
        std::vector<std::string> log;  // each line's event, up to the length given here
    } rows[] = {
        {"sound", "probe.exe", "", "/SILENT", 0,
         {"start silent ", "folder C:\\", "command probe.exe", "command-exit 0",
          "cleanup removed C:\\", "end 0"}},
        {"damaged", "probe.exe", "config", "-s", 1392,
         {"start silent ", "error " + headerInvalid, "end 1392"}},
        {"unsafe-name", "probe.exe", "nux.txt>nul.txt", "x /silent", 1603,
         {"start silent ", "folder ", "error Ungültiger ZIP-Dateikopf.", "cleanup removed ",
          "end 1603"}},
        {"unstartable", "fehlt.exe /x", "", "/S", 2,
         {"start silent ", "folder ", "command fehlt.exe /x",
          "error fehlt.exe /x konnte nicht ausgeführt werden", "cleanup removed ", "end 2"}},
        {"reboot", "cmd.exe /c exit 3010", "", "/WAIT /SILENT", 3010,
         {"start silent ", "folder ", "command cmd.exe", "command-exit 3010", "cleanup removed ",
          "end 3010"}},
        {"in-the-way", "probe.exe", "zwei.txt>eins.txt", "/Silent", 0,
         {"start silent ", "folder ", "question Yes Datei C:\\", "command probe.exe",
          "command-exit 0", "cleanup removed ", "end 0"}},
        {"interactive", "cmd.exe /c exit 3010", "", "/AUTO", 0,
         {"start interactive ", "folder ", "command cmd.exe", "command-exit 3010",
          "cleanup removed ", "end 0"}},
    };
    const std::regex line("(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) \\[(\\d+)\\] (.*)\r");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::map<std::string, std::string> files = kFiles;
        files["eins.txt"] = files["zwei.txt"] = files["nux.txt"] = "x";
        // The dialog shows once the extraction has lasted past the meter's first tick.
        if (row.switches == "/AUTO") files["gross.txt"] = zipcraft::SampleText(8u << 20, 3);
        Package p = Pack(std::string("job-silent-") + row.name, files, {"--command", row.command});
        std::string bytes = sfxtest::ReadFile(p.exe);
        if (row.damage == "config") {
            size_t block = sfxtest::FindBlock(bytes);
            uint32_t config = sfxtest::Le32(bytes, block + 16);
            bytes[config + (sfxtest::Le32(bytes, block + 12) - config) / 2] ^= 0x20;
        } else if (!row.damage.empty()) {
            size_t cut = row.damage.find('>'), renamed = 0;
            std::string from = row.damage.substr(0, cut), to = row.damage.substr(cut + 1);
            for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at)) {
                bytes.replace(at, from.size(), to);
                ++renamed;
            }
            ASSERT_EQ(renamed, 2u) << "local header and central directory";
        }
        ASSERT_TRUE(sfxtest::WriteFile(p.exe, bytes));
        // A blank in the log's path: the switch is quoted as a whole.
        const std::string log = p.folder + "/mein log.txt";
        const std::string logSwitch = "\"/LOG=" + Wine().WinPath(log) + "\"";
        wine::DriverRun run =
            Wine().Drive({Start(p, row.switches + " " + logSwitch), "exit watch=1 timeout=60000"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.ExitCode(), row.code);
        EXPECT_EQ(run.All("window").empty(), row.switches != "/AUTO") << run.Describe();
        EXPECT_FALSE(Exists(ExtractFolder()));

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
        for (size_t i = 0; i < events.size(); ++i)
            EXPECT_EQ(events[i].substr(0, row.log[i].size()), row.log[i]);
    }
}

}  // namespace
