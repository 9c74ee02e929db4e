// `mksfx extract`, run as a program: the stub's own extraction on Linux, checked against
// Info-ZIP unzip, and its reports when the file or the folder is not as it should be.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tests/support/fresh_state.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"

namespace {

using sfxtest::RunMksfx;
using sfxtest::RunResult;
using sfxtest::ZipMember;

// A German text of the program (Windows-1252, letters of Latin-1 only) as mksfx prints it.
std::string Utf8(const std::string& ansi) {
    std::string u;
    for (unsigned char c : ansi) c < 0x80 ? u += (char)c : (u += (char)(0xC0 | c >> 6), u += (char)(0x80 | (c & 0x3F)));
    return u;
}

class ExtractCommandTest : public ::testing::Test {
protected:
    // Linux names of any characters: "Łódź", outside Windows-1252.
    void SetUp() override {
        file_ = scratch_.File("\xC5\x81\xC3\xB3" "d\xC5\xBA.exe");
        dir_ = scratch_.File("\xC5\x81\xC3\xB3" "d\xC5\xBA");
    }
    TempDir scratch_;
    std::string file_, dir_;
};

std::string SfxOf(const std::vector<ZipMember>& members) {
    sfxtest::SfxParts parts;
    parts.members = members;
    return sfxtest::BuildSfx(parts);
}

std::vector<ZipMember> SampleMembers() {
    return {
        {"readme.txt", zipcraft::SampleText(70000, 1), 8, 0, 0x6A3C, 0x5A96},
        {"Gr\x94\xE1" "e.txt", "umlauts", 0},  // code page 850
        {"bin/data.bin", zipcraft::RandomBytes(5000, 2), 0, 0, 0x0000, 0x2821},
        {"bin/empty.txt", "", 8},
        {"docs/", "", 0},
        {"a/b/c/deep.txt", zipcraft::SampleText(2049, 3), 8, 0x0008, 0xBF7D, 0x7F9F},
    };
}

TEST_F(ExtractCommandTest, ExtractsLikeUnzip) {
    WriteFile(file_, SfxOf(SampleMembers()));
    // Times are local times, as unzip takes them too.
    RunResult r = RunMksfx({"extract", file_, dir_}, {"TZ=Europe/Berlin"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "5 files, " + std::to_string(70000 + 7 + 5000 + 2049) + " bytes extracted into " +
                         dir_ + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(dir_ + "/Gr\xC3\xB6\xC3\x9F" "e.txt"), "umlauts");  // a UTF-8 name
    if (!sfxtest::HaveProgram("unzip")) GTEST_SKIP() << "Info-ZIP unzip is not installed";

    // unzip reads the archive behind the stub image too (with a warning about it, exit 1).
    std::string peer = scratch_.File("peer");
    RunResult u = sfxtest::RunProgram({"unzip", "-qq", "-o", "-d", peer, file_}, {"TZ=Europe/Berlin"});
    ASSERT_LE(u.exitCode, 1) << u.err;
    std::vector<std::string> ours = zipcraft::ListTree(dir_), theirs = zipcraft::ListTree(peer);
    // The stub makes no folder for a directory entry; unzip's name for the code page 850 one
    // depends on its build.
    theirs.erase(std::remove(theirs.begin(), theirs.end(), "docs/"), theirs.end());
    for (auto* tree : {&ours, &theirs})
        tree->erase(std::remove_if(tree->begin(), tree->end(),
                                   [](const std::string& n) { return n.compare(0, 2, "Gr") == 0; }),
                    tree->end());
    EXPECT_EQ(ours, theirs);
    for (const std::string& entry : ours) {
        if (entry.back() == '/') continue;
        EXPECT_EQ(ReadFile(dir_ + "/" + entry), ReadFile(peer + "/" + entry)) << entry;
        struct stat a, b;
        ASSERT_EQ(stat((dir_ + "/" + entry).c_str(), &a), 0);
        ASSERT_EQ(stat((peer + "/" + entry).c_str(), &b), 0);
        EXPECT_EQ(a.st_mtime, b.st_mtime) << entry;  // DOS times taken as they stand
    }
}

// Each refusal: exit code 1, one line, the stub's own text where the stub refused, and no
// folder left behind; a member that exists already is skipped with a warning.
TEST_F(ExtractCommandTest, RefusalsAreOneLineAndTheFolderGoes) {
    auto head = [](int id) { std::string t = Utf8(Message(id)); return t.substr(0, t.find('%')); };
    std::string damaged = SfxOf(SampleMembers());
    damaged[100] ^= 1;  // inside the stub image, which the header CRC covers
    struct Case {
        std::string bytes;
        std::string text;  // in the line
        std::string stub;  // what the stub says, when it refused
        bool folderThere = false;
        int code = 1;
    } const cases[] = {
        {SfxOf({{"good.txt", "fine", 0}, {"bad.txt", "damaged", 0, 0, 0x6000, 0x5A21, true}}),
         file_ + ": member 'bad.txt': CRC-32 mismatch", head(MSG_BAD_CRC)},
        {SfxOf({{"../evil.txt", "evil", 0}}), "member '../evil.txt': a damaged archive record or an unsafe name",
         head(MSG_BAD_HEADER)},
        {SfxOf({{"packed.bin", "data", 6}}), "member 'packed.bin': a compression method the stub does not have",
         head(MSG_BAD_METHOD)},
        {damaged, "the header is damaged or cannot be read", Utf8(HEADER_INVALID_TEXT) + "\")\n"},
        {"no stub here", "not a self-extracting file", ""},
        {SfxOf(SampleMembers()), dir_ + " exists already\n", "", true},
        {SfxOf({{"same.txt", "first", 0}, {"same.txt", "second", 8}, {"next.txt", "next", 0}}),
         "member 'same.txt': skipped: a file of that name exists already", "", true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WriteFile(file_, c.bytes);
        if (c.folderThere && c.code) mkdir(dir_.c_str(), 0777);
        RunResult r = RunMksfx({"extract", file_, dir_});
        EXPECT_EQ(r.exitCode, c.code);
        EXPECT_EQ(r.err.rfind("mksfx: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_TRUE(c.stub.empty() || r.err.find("(the stub says: \"" + c.stub) != std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_EQ(FileExists(dir_), c.folderThere);
        EXPECT_FALSE(FileExists(scratch_.File("evil.txt")));
        if (c.code == 0) {
            EXPECT_EQ(ReadFile(dir_ + "/same.txt"), "first");
            EXPECT_EQ(ReadFile(dir_ + "/next.txt"), "next");
        } else if (c.folderThere) {
            EXPECT_TRUE(zipcraft::ListTree(dir_).empty());
        }
        sfxtest::RemoveTree(dir_);
    }
}

// A file built at 12:00 UTC comes back at 12:00 UTC in any time zone: DOS times are the
// builder's local time, and extract takes them as local time again.
TEST_F(ExtractCommandTest, BuildThenExtractKeepsTimesInAnyZone) {
    WriteFile(scratch_.File("stub.exe"), sfxtest::SyntheticStub());
    sfxtest::WriteFile(scratch_.File("in/noon.txt"), "noon");
    struct timespec noon[2] = {{1717243200, 0}, {1717243200, 0}};  // 2024-06-01 12:00:00 UTC
    ASSERT_EQ(utimensat(AT_FDCWD, scratch_.File("in/noon.txt").c_str(), noon, 0), 0);
    for (const char* zone : {"TZ=UTC", "TZ=Europe/Berlin", "TZ=America/New_York", "TZ=Asia/Kolkata"}) {
        SCOPED_TRACE(zone);
        unlink((dir_ + "/noon.txt").c_str());
        rmdir(dir_.c_str());
        ASSERT_EQ(RunMksfx({"build", "-q", "-o", file_, "--stub", scratch_.File("stub.exe"), scratch_.File("in")}, {zone})
                      .exitCode, 0);
        ASSERT_EQ(RunMksfx({"extract", file_, dir_}, {zone}).exitCode, 0);
        struct stat st;
        ASSERT_EQ(stat((dir_ + "/noon.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1717243200);
    }
}

}  // namespace
