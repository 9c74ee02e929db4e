// Extraction by the real stub under Wine: the files it writes (against Info-ZIP unzip's
// result for the same file), the command it starts, the running-program probe, the
// removal of a folder with a locked file, and the cancel question during a long run.
#include <utime.h>

#include "tests/support/hostile.h"
#include "tests/wine/scenario.h"

namespace {

using namespace scenario;

// Packs the folder `in` (name -> contents, '/' for sub-folders) with `options`, in which
// "@record" stands for the Windows path of the package's record file; the members get
// fixed modification times, a different one each.
Package PackFolder(const std::string& name, const std::map<std::string, std::string>& files,
                   const std::vector<std::string>& options) {
    Package p;
    p.folder = Wine().WorkDir(name);
    p.exe = p.folder + "/setup.exe";
    time_t stamp = 1600000000;  // 2020-09-13, spread by odd seconds and hours below
    for (const auto& [file, contents] : files) {
        std::string path = p.folder + "/in/" + file;
        EXPECT_TRUE(sfxtest::WriteFile(path, contents)) << path;
        struct utimbuf times = {stamp, stamp};
        utime(path.c_str(), &times);
        stamp += 3 * 3600 + 17 * 60 + 41;
    }
    std::vector<std::string> args = {"build", "-o", p.exe, "--stub", wine::Stub()};
    for (std::string option : options) {
        size_t at = option.find("@record");
        if (at != std::string::npos) option.replace(at, 7, p.RecordWin());
        args.push_back(option);
    }
    args.push_back(p.folder + "/in");
    sfxtest::RunResult r = sfxtest::RunMksfx(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ClearLeftovers();
    return p;
}

std::string Program(const std::string& name) { return sfxtest::ReadFile(wine::TestProgram(name)); }

// The stub extracts, runs the command and, in wait mode, offers "&Done": the script stops
// there, so that the extracted files can be compared before the clean-up.
TEST(Extraction, FilesMatchUnzipAndTheCommandStartsInTheFolder) {
    std::map<std::string, std::string> files = {
        {"showprobe.exe", Program("showprobe")},
        {"readme.txt", zipcraft::SampleText(150000, 1)},
        {"data/random.bin", zipcraft::RandomBytes(70000, 2)},
        {"data/empty.txt", ""},
        {"data/deep/er/notes.txt", zipcraft::SampleText(2049, 3)},
        {"exact.bin", zipcraft::RandomBytes(2048, 4)},
        {"\xC3\x84nderungen.txt", "umlaut"},  // "Änderungen.txt"
    };
    Package p = PackFolder("extract-files", files,
                           {"--command", "showprobe.exe @record eins  zwei", "--wait"});
    std::string command = "showprobe.exe " + p.RecordWin() + " eins  zwei";
    wine::DriverRun run = Wine().Drive({
        Start(p),
        "wait kind=dialog timeout=30000",
        "click id=1",
        "wait_text id=1 text=&Done timeout=60000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();

    std::string ours = ExtractFolder();
    ASSERT_TRUE(Exists(ours));
    std::string peer = p.folder + "/unzip";
    sfxtest::RunResult u =
        sfxtest::RunProgram({"unzip", "-qq", "-o", "-d", peer, p.exe}, {"TZ=UTC"});
    ASSERT_LE(u.exitCode, 1) << u.err;  // 1: a warning about the stub in front
    for (const auto& [file, contents] : files) {
        if (file[0] == '\xC3') continue;  // unzip names it by its own code-page rules
        SCOPED_TRACE(file);
        EXPECT_EQ(sfxtest::ReadFile(ours + "/" + file), contents);
        EXPECT_EQ(sfxtest::ReadFile(peer + "/" + file), contents);
        struct stat a, b;
        ASSERT_EQ(stat((ours + "/" + file).c_str(), &a), 0);
        ASSERT_EQ(stat((peer + "/" + file).c_str(), &b), 0);
        EXPECT_EQ(a.st_mtime, b.st_mtime);  // the DOS date and time, taken as they stand
    }
    EXPECT_EQ(sfxtest::ReadFile(ours + "/\xC3\x84nderungen.txt"), "umlaut");

    auto record = ReadRecord(p.Record());
    EXPECT_EQ(Field(record, "commandline"), command);
    EXPECT_EQ(UnixPath(Field(record, "folder")), ours);
    EXPECT_EQ(Field(record, "useshowwindow"), "1");
    EXPECT_EQ(Field(record, "showwindow"), "10");  // SW_SHOWDEFAULT
    ClearLeftovers();
}

// The command's program is taken from the current folder or the system's folders, never from
// beside the program that launches it, where testprogs/ holds a showprobe.exe too.
TEST(Extraction, LaunchCommandUsesShowDefaultAndTheCurrentFolder) {
    std::string folder = Wine().WorkDir("extract-launch"), here = folder + "/here";
    ASSERT_TRUE(sfxtest::WriteFile(here + "/showprobe.exe", Program("showprobe")));
    ASSERT_TRUE(sfxtest::WriteFile(here + "/show probe.exe", Program("showprobe")));
    ASSERT_TRUE(sfxtest::WriteFile(here + "/five.bat", "@exit 5\r\n"));
    std::string record = Wine().WinPath(folder + "/record.txt");
    auto launch = [&](const std::string& in, std::vector<std::string> words) {
        words.insert(words.begin(), {"launch", Wine().WinPath(in)});
        return Wine().Run(wine::TestProgram("pumpcheck"), words).status;
    };
    EXPECT_EQ(launch(here, {"showprobe.exe", record, "a", "b"}), 0);
    auto fields = ReadRecord(folder + "/record.txt");
    EXPECT_EQ(Field(fields, "commandline"), "showprobe.exe " + record + " a b");
    EXPECT_EQ(Field(fields, "showwindow"), "10");
    EXPECT_EQ(Field(fields, "useshowwindow"), "1");
    EXPECT_EQ(UnixPath(Field(fields, "program")), here + "/showprobe.exe");

    EXPECT_EQ(launch(folder, {"showprobe.exe", record}), 255) << "not from beside pumpcheck";
    EXPECT_EQ(launch(here, {"no-such-program.exe"}), 255);
    EXPECT_EQ(launch(folder, {"cmd", "/c", "exit", "7"}), 7) << "from the system folder";
    EXPECT_EQ(launch(here, {"show probe", record}), 0) << "quoted (by wine), .exe implied";
    EXPECT_EQ(launch(here, {"show", "probe.exe", record}), 0) << "up to each blank in turn";
    EXPECT_EQ(launch(here, {"five.bat"}), 5) << "a batch file, through the command processor";
}

// A program of the command's name beside the setup file (say, in the user's download folder)
// never runs in place of the packed one, and a cmd.exe there never in place of the system's.
TEST(Extraction, ProgramsBesideTheSetupFileNeverRun) {
    for (const char* command : {"payload.exe @record", "cmd /c payload @record"}) {
        SCOPED_TRACE(command);
        Package p = PackFolder(command[0] == 'p' ? "extract-planted" : "extract-planted-cmd",
                               {{"payload.exe", Program("showprobe")}}, {"--command", command});
        ASSERT_TRUE(sfxtest::WriteFile(p.folder + "/payload.exe", Program("showprobe")));
        ASSERT_TRUE(sfxtest::WriteFile(p.folder + "/cmd.exe", Program("showprobe")));
        wine::DriverRun run = Wine().Drive({Start(p, "/AUTO"), "exit timeout=30000"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.ExitCode(), 0);
        auto record = ReadRecord(p.Record());
        EXPECT_EQ(record.count("program"), 1u);
        EXPECT_EQ(UnixPath(Field(record, "program")), ExtractFolder() + "/payload.exe");
        EXPECT_FALSE(Exists(ExtractFolder()));
    }
}

// The rows of the hostile suite marked for Wine, on the real stub with /AUTO: each run ends
// with its message box (message 9, no command, when the extraction goes through), and after
// OK nothing is left: no extraction folder, no temporary icon file, nothing beside the file,
// and the exit code is 0.
TEST(Extraction, HostileFilesEndWithTheirMessage) {
    std::string stub = sfxtest::ReadFile(wine::Stub());
    std::string noCommand = Text("Fehler: es wurde kein Folgekommando definiert.");
    for (const hostile::Case& c : hostile::Cases()) {
        if (!c.wine) continue;
        SCOPED_TRACE(c.what);
        Package p;
        p.folder = Wine().WorkDir("extract-hostile");
        p.exe = p.folder + "/setup.exe";
        ASSERT_TRUE(sfxtest::WriteFile(p.exe, hostile::File(c, stub)));
        ClearLeftovers();
        std::vector<std::string> temp = sfxtest::ListFolder(TempFolder());
        wine::DriverRun run = Wine().Drive(
            {Start(p, "/AUTO"), "wait kind=msgbox timeout=30000", "dump", "click id=1",
             "exit timeout=30000"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        std::string text = run.Dump(0).text;
        EXPECT_TRUE(c.completes ? text == noCommand : hostile::EndsWith(c, text)) << text;
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_EQ(sfxtest::ListFolder(TempFolder()), temp);
        EXPECT_EQ(sfxtest::ListFolder(p.folder), std::vector<std::string>{"setup.exe"});
        EXPECT_FALSE(Exists(ExtractFolder()));
        for (const std::string& name : sfxtest::ListFolder(WindowsFolder()))
            EXPECT_NE(name.compare(0, 3, "QVT"), 0) << name;
    }
}

// Trees and folders that the paths and the removal must take whole: deepest paths of 257
// and 258 characters, two names that share a short alias, and the setup file or the folder
// for temporary files under a name outside the ANSI code page. Each run extracts (with /AUTO
// an error box would stop it), runs its command in the folder, and leaves nothing behind: no
// folder, no icon file.
TEST(Extraction, AnyFolderAndAnyTreeIsExtractedAndRemoved) {
    const std::string lodz = "\xC5\x81\xC3\xB3" "d\xC5\xBA";  // "Łódź", not in Windows-1252
    const std::string user = fs::path(TempFolder()).parent_path().filename().string();
    const std::string tempWin = "C:\\users\\" + user + "\\Temp";
    // Member names have at most 200 bytes: a long name of the temporary folder makes up the
    // rest of the deepest paths.
    const std::string longTemp(40, 't');
    auto deep = [&](size_t total) {  // a member whose full path has `total` characters
        size_t base = tempWin.size() + 1 + longTemp.size() + std::string("\\QVS1.tmp\\").size();
        std::string name;
        while (base + name.size() + 60 < total) name += std::string(50, 'd') + "/";
        return name + std::string(total - base - name.size(), 'f');
    };
    struct Row {
        const char* what;
        std::vector<std::string> members;
        std::string setupFolder, tempFolder;  // beside the package / under Temp, when given
    } rows[] = {
        {"deepest paths", {deep(257), deep(258)}, "", longTemp},
        {"short-name clash", {"abcdefghij0180/a.txt", "abcdefghij0820"}, "", ""},
        {"setup file in Lodz", {"a.txt"}, lodz, ""},
        {"temporary folder in Lodz", {"a.txt"}, "", lodz},
    };
    std::string work = Wine().WorkDir("extract-anywhere");
    std::string record = work + "/record.txt", icon = work + "/parcel.ico";
    ASSERT_TRUE(sfxtest::WriteFile(icon, ParcelIcon()));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::map<std::string, std::string> files = {{"showprobe.exe", Program("showprobe")}};
        for (const std::string& member : row.members) files[member] = member;
        Package p = PackFolder("extract-anywhere-pack", files,
                               {"--command", "showprobe.exe " + Wine().WinPath(record), "--icon", icon});
        std::string exe = p.exe, temp = TempFolder();
        std::vector<std::string> script;
        if (!row.setupFolder.empty()) {
            exe = p.folder + "/" + row.setupFolder + "/setup.exe";
            ASSERT_TRUE(sfxtest::WriteFile(exe, sfxtest::ReadFile(p.exe)));
        }
        if (!row.tempFolder.empty()) {
            temp += "/" + row.tempFolder;
            fs::create_directories(temp);
            std::string value = wine::Quote(tempWin + "\\" + row.tempFolder);
            script.push_back("setenv utf8=1 TEMP=" + value + " TMP=" + value);
        }
        std::error_code ec;
        fs::remove(record, ec);
        std::vector<std::string> before = sfxtest::ListFolder(temp);
        script.insert(script.end(), {"start " + wine::Quote(Wine().WinPath(exe) + " /AUTO") + " utf8=1",
                                     "exit timeout=60000"});
        wine::DriverRun run = Wine().Drive(script);
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.ExitCode(), 0);
        std::string program = Field(ReadRecord(record), "program");
        EXPECT_TRUE(program.size() > 23 &&
                    program.compare(program.size() - 23, 23, "\\QVS1.tmp\\showprobe.exe") == 0)
            << program;
        EXPECT_EQ(sfxtest::ListFolder(temp), before);
        if (!row.tempFolder.empty()) fs::remove_all(temp, ec);
    }
}

TEST(Extraction, ProgramCountsAsRunningWhileItsFileIsHeld) {
    std::string folder = Wine().WorkDir("extract-running");
    ASSERT_TRUE(sfxtest::WriteFile(folder + "/holder.exe", Program("probe")));
    std::string win = Wine().WinPath(folder);
    auto check = [&](const std::string& name) {
        return "run " + wine::Quote(Wine().WinPath(wine::TestProgram("pumpcheck")) + " running " +
                                    win + " " + name);
    };
    wine::DriverRun run = Wine().Drive({
        "cd " + wine::Quote(win),
        "start " + wine::Quote(win + "\\holder.exe hold=6000"),
        "sleep ms=1500",
        check("holder"),
        check("missing"),
        "exit timeout=30000",
        check("holder"),
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    std::vector<wine::Observation> ran = run.All("ran");
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[0].Number("code"), 1) << "held open by the running program";
    EXPECT_EQ(ran[1].Number("code"), 0) << "found nowhere";
    EXPECT_EQ(ran[2].Number("code"), 0) << "no longer held";
}

TEST(Extraction, LockedFileCostsASecondAndKeepsItsFolders) {
    std::string folder = Wine().WorkDir("extract-deltree");
    std::string tree = folder + "/tree";
    ASSERT_TRUE(sfxtest::WriteFile(tree + "/a.txt", "a"));
    ASSERT_TRUE(sfxtest::WriteFile(tree + "/sub/holder.exe", Program("probe")));
    ASSERT_TRUE(sfxtest::WriteFile(tree + "/sub/b.txt", "b"));
    ASSERT_TRUE(sfxtest::WriteFile(tree + "/other/c.txt", "c"));
    std::string win = Wine().WinPath(tree);
    std::string deltree =
        "run " + wine::Quote(Wine().WinPath(wine::TestProgram("pumpcheck")) + " deltree " + win);
    wine::DriverRun run = Wine().Drive({
        "start " + wine::Quote(win + "\\sub\\holder.exe hold=8000"),
        "sleep ms=1500",
        deltree,
        "exit timeout=30000",
    });
    ASSERT_TRUE(run.Ok()) << run.Describe();
    std::vector<wine::Observation> ran = run.All("ran");
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].Number("code"), 2) << "not removed, after a second of retries";
    EXPECT_TRUE(Exists(tree + "/sub/holder.exe"));
    EXPECT_FALSE(Exists(tree + "/other"));
    EXPECT_FALSE(Exists(tree + "/a.txt"));

    run = Wine().Drive({deltree});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.All("ran").at(0).Number("code"), 1);
    EXPECT_FALSE(Exists(tree));
}

// A click on Close during a long extraction is not delivered: it asks message 11, and Yes
// ends the run; the folder is removed and the program ends.
TEST(Extraction, ClickDuringALongExtractionAsksWhetherToCancel) {
    Package p = PackFolder("extract-cancel",
                           {{"probe.exe", Program("probe")},
                            {"big.bin", zipcraft::RandomBytes(64u << 20, 9)}},
                           {"--command", "probe.exe", "--level", "0", "--wait"});
    wine::DriverRun run = Wine().Drive(
        {
            Start(p),
            "wait kind=dialog timeout=30000",
            "click id=1",
            "sleep ms=200",
            "click id=2 via=mouse",
            "wait kind=msgbox timeout=30000",
            "dump",
            "click id=6",
            "exit timeout=60000",
        },
        180);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    wine::Window box = run.Dump(0);
    EXPECT_EQ(box.text, Text("Unzip-Vorgang abbrechen ?"));
    EXPECT_EQ(box.icon, "question");
    EXPECT_EQ(box.buttons, (std::vector<int>{6, 7}));
    EXPECT_EQ(box.defaultButton, 7);
    EXPECT_EQ(box.caption, "Tessly Self-Extractor");
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_FALSE(Exists(ExtractFolder()));
}

}  // namespace
