// mksfx build, end to end: the file it writes is read by Info-ZIP unzip, passes mksfx
// verify, and loads in the stub's own start-up code; its parameter block says what the
// options asked for; and every refusal is one clear line, exit code 1 (2 for usage), with no
// output file left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "posix/standin.h"
#include "startup/startup.h"
#include "tests/support/hostile.h"
#include "tests/support/sfx_files.h"

using namespace sfxtest;

namespace {

// A tree with text, incompressible data, an empty file, a non-ASCII name and an empty folder.
struct Inputs {
    TempDir dir;
    std::string tree = dir / "tree";
    std::string stub = dir / "stub.exe";
    std::string icon = dir / "app.ico";
    Inputs() {
        std::string text;
        for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " of the read-me file\n";
        std::string noise;
        uint32_t x = 1;
        for (int i = 0; i < 9000; ++i) noise += (char)((x = x * 1664525u + 1013904223u) >> 24);
        WriteFile(tree + "/readme.txt", text);
        WriteFile(tree + "/bin/setup.exe", noise);
        WriteFile(tree + "/bin/zero.dat", "");
        WriteFile(tree + "/docs/Gr\xC3\xBC\xC3\x9F" "e.txt", "Gr\xC3\xBC\xC3\x9F" "e\n");
        mkdir((tree + "/empty").c_str(), 0755);
        WriteFile(stub, SyntheticStub());
        WriteFile(icon, SampleIcon());
    }
    std::vector<std::string> Build(const std::string& out, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{"build", "-o", out, "--stub", stub};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};

// Loads `path` into the stub's start-up code; answers the abort code (0 when loaded).
int LoadInStub(const std::string& path) {
    std::string bytes = ReadFile(path);
    ResetStubState(path);
    if (!LoadStubParams(bytes)) return -1;
    return RunUnderCheckpoint(LoadStubData);
}

TEST(MksfxBuild, PeersVerifyAndTheStubAcceptTheResult) {
    Inputs in;
    std::string out = in.dir / "setup.exe";
    RunResult r = RunMksfx(in.Build(out, {"--command", "setup.exe /s", "--text", "Willkommen \xE2\x80\x93 los",
                                          "--about", "\xC3\x9C" "ber", "--caption", "Mein Setup", "--icon",
                                          in.icon, "--wait-for", "_ISDEL", "--wait", in.tree}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");

    RunResult unzip = RunProgram({"unzip", "-t", out});
    EXPECT_EQ(unzip.exitCode, 0) << unzip.out << unzip.err;
    EXPECT_EQ((unzip.out + unzip.err).find("warning"), std::string::npos) << unzip.out << unzip.err;
    RunResult verify = RunMksfx({"verify", out});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;

    // Unzip gives back every file as it was.
    std::string unpacked = in.dir / "unpacked";
    ASSERT_EQ(RunProgram({"unzip", "-q", out, "-x", "docs/*", "-d", unpacked}).exitCode, 0);
    for (const char* name : {"readme.txt", "bin/setup.exe", "bin/zero.dat"})
        EXPECT_EQ(ReadFile(unpacked + "/" + name), ReadFile(in.tree + "/" + name)) << name;
    EXPECT_EQ(ListFolder(unpacked + "/empty").size(), 0u);

    ASSERT_EQ(LoadInStub(out), 0);
    EXPECT_TRUE(standin::MessageBoxes().empty());
    EXPECT_STREQ(state.command, "setup.exe /s");
    EXPECT_STREQ(state.messageText, "Willkommen \x96 los");  // Windows-1252
    EXPECT_STREQ(state.aboutText, "\xDC" "ber");
    EXPECT_STREQ(state.customCaption, "Mein Setup");
    EXPECT_NE(state.appIcon, (HICON)0);
    ReleaseStubState();

    RunResult list = RunMksfx({"list", out});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    for (const char* expected : {"\"setup.exe /s\"", "\"Mein Setup\"", "icon:         yes", "wait mode:    yes",
                                 "_ISDEL.exe", "docs/Gr\xC3\xBC\xC3\x9F" "e.txt", "empty/", "deflated"})
        EXPECT_NE(list.out.find(expected), std::string::npos) << expected << "\n" << list.out;
}

TEST(MksfxBuild, FillsTheParameterBlock) {
    Inputs in;
    std::string stub = ReadFile(in.stub);
    size_t block = FindBlock(stub);
    struct Case {
        std::vector<std::string> options;
        uint32_t flags;
        std::string waitName;
        bool headerCheck;
    } cases[] = {
        {{}, 0x02, "", true},
        {{"--wait"}, 0x42, "", true},
        {{"--caption", ""}, 0x12, "", true},
        {{"--wait-for", "HELPER123"}, 0x06, "HELPER123", true},
        {{"--no-header-check", "--wait", "--caption", "c", "--wait-for", "x"}, 0x56, "x", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "no options" : c.options[0]);
        std::string out = in.dir / "out.exe";
        std::vector<std::string> args = in.Build(out, c.options);
        args.push_back(in.tree);
        RunResult r = RunMksfx(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::string f = ReadFile(out);
        ASSERT_EQ(FindBlock(f), block);
        EXPECT_EQ(f.compare(0, block, stub, 0, block), 0);  // the image before the block is kept
        uint32_t archive = Le32(f, block + 12), config = Le32(f, block + 16);
        uint32_t end = Le32(f, block + 20), total = Le32(f, block + 24);
        EXPECT_EQ(config, stub.size());
        EXPECT_GT(archive, config);
        EXPECT_LE(archive - config, 1500u);
        EXPECT_EQ(Le32(f, archive), 0x04034b50u);
        EXPECT_EQ(Le32(f, end), 0x06054b50u);
        EXPECT_EQ(end + 22, f.size());
        EXPECT_EQ(total, ReadFile(in.tree + "/readme.txt").size() + 9000 + 8);
        EXPECT_EQ(Le32(f, block + 28), c.flags);
        EXPECT_EQ(std::string(f.data() + block + 32), c.waitName);
        EXPECT_EQ(f.compare(block + 42, 10, stub, block + 42, 10), 0);  // reserved bytes
        std::string zeroed = f.substr(0, archive);
        zeroed.replace(block + 8, 4, 4, '\0');
        EXPECT_EQ(Le32(f, block + 8), c.headerCheck ? Crc32(zeroed) : 0u);
    }
}

TEST(MksfxBuild, SameInputsGiveTheSameBytes) {
    Inputs in;
    std::string a = in.dir / "a.exe", b = in.dir / "b.exe";
    std::vector<std::string> argsA = in.Build(a, {"--text", "x", in.tree});
    std::vector<std::string> argsB = in.Build(b, {"--text", "x", in.tree});
    ASSERT_EQ(RunMksfx(argsA).exitCode, 0);
    ASSERT_EQ(RunMksfx(argsB).exitCode, 0);
    EXPECT_EQ(ReadFile(a), ReadFile(b));

    // SOURCE_DATE_EPOCH fixes every member's time, read as UTC, whatever the time zone.
    RunResult r = RunMksfx(argsA, {"SOURCE_DATE_EPOCH=1700000000", "TZ=Asia/Tokyo"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RunResult list = RunMksfx({"list", a});
    EXPECT_NE(list.out.find("2023-11-14 22:13:20"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("2023-11-15"), std::string::npos) << list.out;

    RunResult bad = RunMksfx(argsB, {"SOURCE_DATE_EPOCH=soon"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("SOURCE_DATE_EPOCH"), std::string::npos);
}

TEST(MksfxBuild, LevelZeroStoresAndHigherLevelsShrink) {
    Inputs in;
    std::string stored = in.dir / "stored.exe", packed = in.dir / "packed.exe";
    ASSERT_EQ(RunMksfx(in.Build(stored, {"--level", "0", in.tree})).exitCode, 0);
    ASSERT_EQ(RunMksfx(in.Build(packed, {"--level", "12", in.tree})).exitCode, 0);
    EXPECT_EQ(RunMksfx({"list", stored}).out.find("deflated"), std::string::npos);
    EXPECT_LT(ReadFile(packed).size() + 5000, ReadFile(stored).size());
    // The random file does not shrink and stays stored at any level.
    RunResult list = RunMksfx({"list", packed});
    EXPECT_NE(list.out.find("      9000       9000 stored"), std::string::npos) << list.out;
    EXPECT_EQ(RunMksfx({"verify", stored}).exitCode, 0);
}

struct Refusal {
    const char* what;
    std::vector<std::string> args;  // after "build -o OUT --stub STUB"
    int code;
    const char* message;
};

TEST(MksfxBuild, RefusesWithOneLineAndLeavesNoFile) {
    Inputs in;
    std::string big(1900, '\0');
    uint32_t x = 7;
    for (char& c : big) c = (char)((x = x * 1103515245u + 12345u) >> 23);
    std::string header = SampleIcon().substr(6 + 16, 40);  // made 24x24 pixels of 24 bits
    header[4] = 24;
    header[8] = 48;
    header[14] = 24;
    big.replace(0, 40, header);
    std::string bigIcon = SampleIcon().substr(0, 6 + 16) + big;
    bigIcon[14] = (char)(big.size() & 0xFF);
    bigIcon[15] = (char)(big.size() >> 8);
    WriteFile(in.dir / "big.ico", bigIcon);
    WriteFile(in.dir / "notes.txt", "not an icon");
    std::string zeroIcon = SampleIcon().substr(0, 6 + 16) + header + std::string(2060, '\0');
    zeroIcon[14] = (char)(2100 & 0xFF);
    zeroIcon[15] = (char)(2100 >> 8);
    WriteFile(in.dir / "zero.ico", zeroIcon);
    WriteFile(in.dir / "nostub.exe", std::string(5000, 'x'));
    // Two archives that hold 65536 entries between them.
    std::vector<ZipMember> many;
    for (int i = 0; i < 32768; ++i) many.push_back({"m/" + std::to_string(100000 + i), "", 0});
    WriteFile(in.dir / "many1.zip", ZipArchive(many));
    for (ZipMember& m : many) m.name[0] = 'n';
    WriteFile(in.dir / "many2.zip", ZipArchive(many));
    std::string twice = SyntheticStub(8192, 100);
    twice.replace(5000, 52, SyntheticStub(8192, 100).substr(100, 52));
    WriteFile(in.dir / "twice.exe", twice);
    WriteFile(in.dir / "bad/\xE6\x97\xA5.txt", "x");
    WriteFile(in.dir / "colon/a:b.txt", "x");
    WriteFile(in.dir / "backslash/a\\b.txt", "x");
    WriteFile(in.dir / "device/con.txt", "x");
    WriteFile(in.dir / "superscript/LPT\xC2\xB3", "x");
    WriteFile(in.dir / "dot/a.", "x");
    WriteFile(in.dir / "blank/a ", "x");
    WriteFile(in.dir / "wildcard/a*.txt", "x");
    WriteFile(in.dir / "umlaut/\xC3\xA4.txt", "x");
    WriteFile(in.dir / "umlaut/\xC3\x84.txt", "y");
    int crashing = 0;  // the icons that crashed the platform's loader
    for (const hostile::Case& c : hostile::Cases())
        if (!c.icon.empty())
            WriteFile(in.dir / ("crash" + std::to_string(crashing++) + ".ico"), c.icon);
    WriteFile(in.dir / "case/A.txt", "x");
    WriteFile(in.dir / "case/a.txt", "y");
    WriteFile(in.dir / "deep/" + std::string(120, 'd') + "/" + std::string(90, 'f'), "x");
    std::string t = in.tree;

    std::vector<Refusal> cases = {
        {"no inputs", {}, 2, "no INPUT"},
        {"unknown option", {"--colour", t}, 2, "unknown option --colour"},
        {"bad level", {"--level", "13", t}, 2, "--level"},
        {"missing value", {t, "--command"}, 2, "needs a value"},
        {"text twice", {"--text", "a", "--text", "b", t}, 2, "twice"},
        {"long command", {"--command", std::string(100, 'c'), t}, 1, "--command: the text has 100 characters"},
        {"long text", {"--text", std::string(256, 't'), t}, 1, "--text: the text has 256"},
        {"long about", {"--about", std::string(516, 'a'), t}, 1, "--about: the text has 516"},
        {"long caption", {"--caption", std::string(65, 'k'), t}, 1, "--caption: the text has 65"},
        {"outside 1252", {"--text", "ok \xE2\x9C\x93", t}, 1, "--text: the text holds a character"},
        {"missing text file", {"--text-file", in.dir / "none.txt", t}, 1, "--text-file: cannot read"},
        {"long wait name", {"--wait-for", "TENLETTERS", t}, 1, "--wait-for"},
        {"wait name with extension", {"--wait-for", "a.exe", t}, 1, "--wait-for"},
        {"not an icon", {"--icon", in.dir / "notes.txt", t}, 1, "--icon"},
        {"configuration too large", {"--icon", in.dir / "big.ico", t}, 1, "configuration compresses to"},
        {"configuration inflates too far", {"--icon", in.dir / "zero.ico", t}, 1,
         "configuration (texts and icon) takes 2128 bytes"},
        {"too many entries", {in.dir / "many1.zip", in.dir / "many2.zip"}, 1, "65536 entries, at most 65535"},
        {"stub without block", {"--stub", in.dir / "nostub.exe", t}, 1, "exactly once, found 0"},
        {"stub with two blocks", {"--stub", in.dir / "twice.exe", t}, 1, "exactly once, found 2"},
        {"missing input", {in.dir / "none"}, 1, "cannot read"},
        {"name outside 850", {in.dir / "bad"}, 1, "code page 850"},
        {"colon", {in.dir / "colon"}, 1, "'a:b.txt'"},
        {"backslash", {in.dir / "backslash"}, 1, "backslash"},
        {"device name", {in.dir / "device"}, 1, "reserved Windows device name"},
        {"superscript device name", {in.dir / "superscript"}, 1, "reserved Windows device name"},
        {"trailing dot", {in.dir / "dot"}, 1, "ends in a dot or a blank"},
        {"trailing blank", {in.dir / "blank"}, 1, "ends in a dot or a blank"},
        {"wildcard", {in.dir / "wildcard"}, 1, "character not allowed"},
        {"umlauts differing in case", {in.dir / "umlaut"}, 1, "same file on Windows"},
        {"icon too wide", {"--icon", in.dir / "crash0.ico", t}, 1, "not 1 to 256 pixels wide"},
        {"icon directory cut", {"--icon", in.dir / "crash1.ico", t}, 1, "runs past the end"},
        {"icon image far away", {"--icon", in.dir / "crash2.ico", t}, 1, "lies outside the file"},
        {"names differing in case", {in.dir / "case"}, 1, "same file on Windows"},
        {"same file twice", {t + "/readme.txt", t + "/readme.txt"}, 1, "same file on Windows"},
        {"long name", {in.dir / "deep"}, 1, "longer than 200 bytes"},
    };
    std::string out = in.dir / "out/setup.exe";
    WriteFile(out, "previous contents");
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = in.Build(out, c.args);
        RunResult r = RunMksfx(args);
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        EXPECT_EQ(r.err.rfind("mksfx: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(out), "previous contents");
        EXPECT_EQ(ListFolder(in.dir / "out"), std::vector<std::string>{"setup.exe"});
    }
    RunResult noOutput = RunMksfx({"build", t});
    EXPECT_EQ(noOutput.exitCode, 2);
    EXPECT_NE(noOutput.err.find("no output file"), std::string::npos);
}

TEST(MksfxBuild, TextFilesAndTheInstalledStub) {
    Inputs in;
    // An installed tree: bin/mksfx finds share/tessly/sfxstub.exe beside it.
    std::string prefix = in.dir / "dist";
    WriteFile(prefix + "/bin/mksfx", ReadFile(TESSLY_MKSFX));
    chmod((prefix + "/bin/mksfx").c_str(), 0755);
    WriteFile(in.dir / "text.txt", "Zeile eins\r\nZeile zwei\n\n");
    WriteFile(in.dir / "about.txt", "\xC3\x9C" "ber\n");
    std::string out = in.dir / "out.exe";
    std::vector<std::string> args{prefix + "/bin/mksfx", "build", "-o", out, "--text-file", in.dir / "text.txt",
                                  "--about-file", in.dir / "about.txt", in.tree};
    RunResult missing = RunProgram(args);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find(prefix + "/bin/../share/tessly/sfxstub.exe"), std::string::npos) << missing.err;

    WriteFile(prefix + "/share/tessly/sfxstub.exe", ReadFile(in.stub));
    RunResult r = RunProgram(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(LoadInStub(out), 0);
    EXPECT_STREQ(state.messageText, "Zeile eins\r\nZeile zwei");  // the last line breaks dropped
    EXPECT_STREQ(state.aboutText, "\xDC" "ber");
    ReleaseStubState();
}

TEST(MksfxCommands, HelpAndUsage) {
    for (const char* command : {"build", "list", "verify"}) {
        SCOPED_TRACE(command);
        RunResult help = RunMksfx({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.out.find(std::string("usage: mksfx ") + command), std::string::npos);
    }
    EXPECT_EQ(RunMksfx({}).exitCode, 2);
    EXPECT_EQ(RunMksfx({"frobnicate"}).exitCode, 2);
    EXPECT_EQ(RunMksfx({"list"}).exitCode, 2);
    EXPECT_EQ(RunMksfx({"verify", "a", "b"}).exitCode, 2);
    RunResult missing = RunMksfx({"list", "/nonexistent/x.exe"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

}  // namespace
