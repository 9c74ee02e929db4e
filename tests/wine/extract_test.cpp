// Extraction by the real stub under Wine: its files against Info-ZIP unzip's, the command,
// hostile files, and the stub's launch and removal code run by pumpcheck.exe.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/hostile.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"
#include "tests/wine/support/wine.h"

namespace {

using namespace wine;
namespace fs = std::filesystem;

// The script stops at "&Done" (wait mode), before the clean-up. The stub and unzip run in a
// time zone that is neither UTC nor has daylight saving time (Windows converts the archive's
// local times with the bias in force now): both read the members' times as its local times.
TEST(Extraction, FilesMatchUnzipAndTheCommandStartsInTheFolder) {
    std::map<std::string, std::string> files = {
        {"probe.exe", "@probe"},
        {"readme.txt", zipcraft::SampleText(150000, 1)},
        {"data/random.bin", zipcraft::RandomBytes(70000, 2)},
        {"data/empty.txt", ""},
        {"data/deep/er/notes.txt", zipcraft::SampleText(2049, 3)},
        {"exact.bin", zipcraft::RandomBytes(2048, 4)},
        {"\xC3\x84nderungen.txt", "umlaut"},  // "Änderungen.txt"
    };
    Package p = Pack("extract-files", files, {"--command", "probe.exe record=@record eins  zwei", "--wait"});
    const char kZone[] = "TZ=Asia/Kolkata";  // UTC+05:30
    DriverRun run = Wine().Drive({std::string("setenv ") + kZone, StartLine(p), "wait kind=dialog timeout=30000",
                                  "click id=1", "wait kind=dialog text=&Done timeout=60000"});
    ASSERT_TRUE(run.Ok()) << run.Describe();

    std::string ours = ExtractFolder(), peer = p.folder + "/unzip", native = p.folder + "/mksfx";
    ASSERT_TRUE(Exists(ours));
    sfxtest::RunResult x = sfxtest::RunMksfx({"extract", p.exe, native}, {kZone});
    ASSERT_EQ(x.exitCode, 0) << x.err;
    sfxtest::RunResult u = sfxtest::RunProgram({"unzip", "-qq", "-o", "-d", peer, p.exe}, {kZone});
    ASSERT_LE(u.exitCode, 1) << u.err;  // 1: a warning about the stub in front
    files["probe.exe"] = sfxtest::ReadFile(TestProgram("probe"));
    for (const auto& [file, contents] : files) {
        SCOPED_TRACE(file);
        EXPECT_EQ(sfxtest::ReadFile(ours + "/" + file), contents);
        if (file[0] == '\xC3') continue;  // unzip names it by its own code-page rules
        EXPECT_EQ(sfxtest::ReadFile(peer + "/" + file), contents);
        EXPECT_EQ(fs::last_write_time(ours + "/" + file), fs::last_write_time(peer + "/" + file));
        // mksfx extract, in the same zone, agrees
        EXPECT_EQ(fs::last_write_time(ours + "/" + file), fs::last_write_time(native + "/" + file));
    }
    auto record = ReadRecord(p.Record());
    EXPECT_EQ(Field(record, "commandline"), "probe.exe record=" + Wine().WinPath(p.Record()) + " eins  zwei");
    EXPECT_EQ(UnixPath(Field(record, "folder")), ours);
    EXPECT_EQ(Field(record, "useshowwindow"), "1");
    EXPECT_EQ(Field(record, "showwindow"), "10");  // SW_SHOWDEFAULT
}

// The hostile rows marked for Wine, with /AUTO: each ends with its box ("no command" when
// the extraction goes through) and its code, and nothing left anywhere; mksfx.exe verifies
// and extracts each as mksfx does.
TEST(Extraction, HostileFilesEndWithTheirMessage) {
    std::string stub = sfxtest::ReadFile(Stub());
    std::string noCommand = Ansi("Fehler: es wurde kein Folgekommando definiert.");
    for (const hostile::Case& c : hostile::Cases()) {
        if (!c.wine) continue;
        SCOPED_TRACE(c.what);
        Package p{Wine().WorkDir("extract-hostile")};
        p.exe = p.folder + "/setup.exe";
        ASSERT_TRUE(sfxtest::WriteFile(p.exe, hostile::File(c, stub)));
        ClearLeftovers();
        std::vector<std::string> temp = sfxtest::ListFolder(TempFolder());
        DriverRun run = Wine().Drive(
            {StartLine(p, "/AUTO"), "wait kind=msgbox timeout=30000", "dump", "click id=1", "exit timeout=30000"});
        ASSERT_TRUE(run.Ok()) << run.Describe();
        std::string text = run.Dump(0).text;
        EXPECT_TRUE(c.completes ? text == noCommand : hostile::EndsWith(c, text)) << text;
        // The archive disagreeing with its end record is a damaged file; any other fault of a
        // member fails the extraction.
        EXPECT_EQ(run.ExitCode(), c.completes ? 2 : text.rfind(Ansi("ZIP ist beschädigt"), 0) == 0 ? 1392 : 1603);
        EXPECT_EQ(sfxtest::ListFolder(TempFolder()), temp);
        EXPECT_EQ(sfxtest::ListFolder(p.folder), std::vector<std::string>{"setup.exe"});
        EXPECT_FALSE(Exists(ExtractFolder()));
        for (const std::string& name : sfxtest::ListFolder(WindowsFolder())) EXPECT_NE(name.compare(0, 3, "QVT"), 0) << name;
        // The stub's code on Windows' own file calls: mksfx.exe refuses or extracts as mksfx does.
        ExpectMksfxExeAgrees({"verify", p.exe});
        ExpectMksfxExeAgrees({"extract", p.exe, p.folder + "/aus"});
    }
}

// Paths of 257 and 258 characters, names sharing a short alias, and folders outside the ANSI
// code page: each run extracts, runs its command and leaves nothing. A probe.exe and a cmd.exe
// planted beside the setup file never run in place of the packed program or the system's.
TEST(Extraction, AnyFolderAndAnyTreeIsExtractedAndRemoved) {
    const std::string lodz = "\xC5\x81\xC3\xB3" "d\xC5\xBA";  // "Łódź", not in Windows-1252
    const std::string tempWin = "C:\\users\\" + fs::path(TempFolder()).parent_path().filename().string() + "\\Temp";
    // Member names have at most 200 bytes: a long temporary folder makes up the rest.
    const std::string longTemp(40, 't');
    auto deep = [&](size_t total) {  // a member whose full path has `total` characters
        size_t base = tempWin.size() + 1 + longTemp.size() + std::string("\\QVS1.tmp\\").size();
        std::string name;
        while (base + name.size() + 60 < total) name += std::string(50, 'd') + "/";
        return name + std::string(total - base - name.size(), 'f');
    };
    const struct {
        const char* what;
        std::vector<std::string> members;
        std::string setupFolder, tempFolder;  // beside the package / under Temp, when given
        std::string command = "probe.exe record=@record";
    } rows[] = {
        {"deepest paths", {deep(257), deep(258)}, "", longTemp},
        {"short-name clash", {"abcdefghij0180/a.txt", "abcdefghij0820"}, "", ""},
        {"setup file in Lodz", {"a.txt"}, lodz, ""},
        {"temporary folder in Lodz", {"a.txt"}, "", lodz},
        {"the system's cmd.exe", {}, "", "", "cmd /c probe record=@record"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::map<std::string, std::string> files = {{"probe.exe", "@probe"}};
        for (const std::string& member : row.members) files[member] = member;
        Package p = Pack("extract-anywhere", files, {"--command", row.command, "--icon", "@icon"});
        std::string exe = p.exe, temp = TempFolder();
        std::vector<std::string> script;
        for (const char* name : {"/probe.exe", "/cmd.exe"})
            ASSERT_TRUE(sfxtest::WriteFile(p.folder + name, sfxtest::ReadFile(TestProgram("probe"))));
        if (!row.setupFolder.empty()) {
            exe = p.folder + "/" + row.setupFolder + "/setup.exe";
            ASSERT_TRUE(sfxtest::WriteFile(exe, sfxtest::ReadFile(p.exe)));
        }
        if (!row.tempFolder.empty()) {
            temp += "/" + row.tempFolder;
            fs::create_directories(temp);
            std::string value = Quote(tempWin + "\\" + row.tempFolder);
            script.push_back("setenv utf8=1 TEMP=" + value + " TMP=" + value);
        }
        std::vector<std::string> before = sfxtest::ListFolder(temp);
        script.insert(script.end(), {"start " + Quote(Wine().WinPath(exe) + " /AUTO") + " utf8=1", "exit timeout=60000"});
        DriverRun run = Wine().Drive(script);
        ASSERT_TRUE(run.Ok()) << run.Describe();
        EXPECT_EQ(run.ExitCode(), 0);
        auto record = ReadRecord(p.Record());
        EXPECT_EQ(record.count("program"), 1u);
        std::string program = Field(record, "program");
        EXPECT_TRUE(program.size() > 19 && program.compare(program.size() - 19, 19, "\\QVS1.tmp\\probe.exe") == 0)
            << program;
        EXPECT_EQ(sfxtest::ListFolder(temp), before);
        std::error_code ec;
        if (!row.tempFolder.empty()) fs::remove_all(temp, ec);
    }
}

// A setup file past 2 GiB: a stored member of 2,200 MiB (sparse where it comes from) and a
// small one behind it, so that the end record and the last member lie beyond 2 GiB. mksfx
// builds, verifies and extracts it; the stub extracts it under Wine and runs its command,
// which copies the small member out. Every copy is removed as soon as it has been looked at.
TEST(Extraction, SetupFilePast2GiBBuildsVerifiesAndExtracts) {
    // It writes 2.2 GB three times: in memory when there is room for two copies at once.
    struct statvfs shm;
    std::string base = Wine().WorkDir("extract-big");
    if (statvfs("/dev/shm", &shm) == 0 && (double)shm.f_bavail * shm.f_frsize > 6e9) {
        char pattern[] = "/dev/shm/tessly-big.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
    }
    struct Cleanup {
        std::string path;
        ~Cleanup() { std::error_code ec; fs::remove_all(path, ec); }
    } cleanup{base};
    const std::string in = base + "/in", exe = base + "/setup.exe", small = "hinter 2 GiB\r\n";
    const off_t bigSize = 2200ll << 20;
    ASSERT_TRUE(sfxtest::WriteFile(in + "/small.txt", small));
    ASSERT_TRUE(sfxtest::WriteFile(in + "/probe.exe", sfxtest::ReadFile(TestProgram("probe"))));
    int fd = open((in + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, bigSize), 0);
    close(fd);
    sfxtest::RunResult r = sfxtest::RunMksfx({"build", "-q", "-o", exe, "--stub", Stub(), "--level", "0", "--command",
                                              "cmd /c copy small.txt .. & probe.exe record=..\\record.txt", in});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    fs::remove_all(in);
    ASSERT_GT(fs::file_size(exe), 1ull << 31);

    r = sfxtest::RunMksfx({"verify", exe});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    r = sfxtest::RunMksfx({"extract", exe, base + "/out"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(sfxtest::ReadFile(base + "/out/small.txt"), small);
    std::error_code ec;
    EXPECT_EQ(fs::file_size(base + "/out/big.bin", ec), (uintmax_t)bigSize);
    fs::remove_all(base + "/out");

    const std::string temp = base + "/temp", value = Quote(Wine().WinPath(temp));
    fs::create_directories(temp);
    DriverRun run = Wine().Drive({"setenv utf8=1 TEMP=" + value + " TMP=" + value,
                                  "start " + Quote(Wine().WinPath(exe) + " /AUTO") + " utf8=1", "exit timeout=240000"},
                                 300);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), 0);
    std::string files = Field(ReadRecord(temp + "/record.txt"), "files");
    for (const char* name : {"big.bin", "probe.exe", "small.txt"}) EXPECT_NE(files.find(name), std::string::npos) << files;
    EXPECT_EQ(sfxtest::ReadFile(temp + "/small.txt"), small);
    EXPECT_EQ(sfxtest::ListFolder(temp), (std::vector<std::string>{"record.txt", "small.txt"}));
}

// launch: from the current or system folders, never from beside the launcher; running: a
// program file held open as a running image counts without a process of its name; deltree: a
// held file costs a second of retries and keeps its folders, everything else goes.
TEST(Extraction, LaunchAndRemovalFollowTheSystemsRules) {
    std::string folder = Wine().WorkDir("extract-helpers"), here = folder + "/here", tree = folder + "/tree";
    for (const char* name : {"/probe.exe", "/show probe.exe", "/keeper.exe"})
        ASSERT_TRUE(sfxtest::WriteFile(here + name, sfxtest::ReadFile(TestProgram("probe"))));
    ASSERT_TRUE(sfxtest::WriteFile(here + "/five.bat", "@exit 5\r\n"));
    for (const char* name : {"/a.txt", "/sub/b.txt", "/other/c.txt"}) ASSERT_TRUE(sfxtest::WriteFile(tree + name, "x"));
    ASSERT_TRUE(sfxtest::WriteFile(tree + "/sub/holder.exe", sfxtest::ReadFile(TestProgram("probe"))));
    const std::string pumpcheck = Wine().WinPath(TestProgram("pumpcheck"));
    const struct {
        std::string in, command;
        long code;
    } launches[] = {
        {here, "probe.exe", 0},
        {folder, "probe.exe", 255},              // not from beside pumpcheck
        {here, "no-such-program.exe", 255},
        {folder, "cmd /c exit 7", 7},            // from the system folder
        {here, "\"show probe\"", 0},             // quoted, .exe implied
        {here, "show probe.exe", 0},             // up to each blank in turn
        {here, "five.bat", 5},                   // a batch file, through the command processor
    };
    std::vector<std::string> script = {"hold " + Quote(Wine().WinPath(here + "/keeper.exe")) + " share=1"};
    std::vector<long> codes;
    for (const auto& l : launches) {
        script.push_back("run " + Quote(pumpcheck + " launch " + Wine().WinPath(l.in) + " " + l.command));
        codes.push_back(l.code);
    }
    for (const auto& [name, running] : {std::pair{"keeper", 1}, {"probe", 0}, {"missing", 0}}) {
        script.push_back("run " + Quote(pumpcheck + " running " + Wine().WinPath(here) + " " + name));
        codes.push_back(running);
    }
    const std::string deltree = "run " + Quote(pumpcheck + " deltree " + Wine().WinPath(tree));
    script.insert(script.end(), {"start " + Quote(Wine().WinPath(tree) + "\\sub\\holder.exe hold=5000"),
                                 "sleep ms=1500", deltree, "exit timeout=30000"});
    DriverRun run = Wine().Drive(script);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    codes.push_back(2);  // not removed, after a second of retries
    EXPECT_EQ(run.Codes(), codes);
    EXPECT_TRUE(Exists(tree + "/sub/holder.exe"));
    EXPECT_FALSE(Exists(tree + "/other"));
    EXPECT_FALSE(Exists(tree + "/a.txt"));

    run = Wine().Drive({deltree});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.Codes(), std::vector<long>{1});
    EXPECT_FALSE(Exists(tree));
}

}  // namespace
