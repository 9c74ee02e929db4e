// `mksfx extract`, run as a program: the stub's own extraction on Linux, checked against
// Info-ZIP unzip, and its reports when the file or the folder is not as it should be.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "tests/support/fresh_state.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"

namespace {

using sfxtest::RunMksfx;
using sfxtest::RunResult;
using sfxtest::ZipMember;

class ExtractCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = scratch_.File("setup.exe");
        dir_ = scratch_.File("out");
    }
    void Write(const std::vector<ZipMember>& members, bool headerCheck = true) {
        sfxtest::SfxParts parts;
        parts.members = members;
        parts.headerCheck = headerCheck;
        WriteFileBytes(file_, sfxtest::BuildSfx(parts));
    }
    RunResult Extract() { return RunMksfx({"extract", file_, dir_}); }

    ScratchDir scratch_;
    std::string file_, dir_;
};

std::vector<ZipMember> SampleMembers() {
    return {
        {"readme.txt", zipcraft::SampleText(70000, 1), 8, 0, 0x6A3C, 0x5A96},
        {"bin/data.bin", zipcraft::RandomBytes(5000, 2), 0, 0, 0x0000, 0x2821},
        {"bin/empty.txt", "", 8},
        {"docs/", "", 0},
        {"a/b/c/deep.txt", zipcraft::SampleText(2049, 3), 8, 0x0008, 0xBF7D, 0x7F9F},
    };
}

TEST_F(ExtractCommandTest, ExtractsLikeUnzip) {
    Write(SampleMembers());
    RunResult r = Extract();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "4 files, " + std::to_string(70000 + 5000 + 2049) + " bytes extracted into " +
                         dir_ + "\n");
    EXPECT_EQ(r.err, "");
    if (!sfxtest::HaveProgram("unzip")) GTEST_SKIP() << "Info-ZIP unzip is not installed";

    // unzip reads the archive behind the stub image too (with a warning about it, exit 1).
    std::string peer = scratch_.File("peer");
    RunResult u = sfxtest::RunProgram({"unzip", "-qq", "-o", "-d", peer, file_}, {"TZ=UTC"});
    ASSERT_LE(u.exitCode, 1) << u.err;
    std::vector<std::string> ours = zipcraft::ListTree(dir_), theirs = zipcraft::ListTree(peer);
    // The stub makes no folder for a directory entry.
    theirs.erase(std::remove(theirs.begin(), theirs.end(), "docs/"), theirs.end());
    EXPECT_EQ(ours, theirs);
    for (const std::string& entry : ours) {
        if (entry.back() == '/') continue;
        EXPECT_EQ(ReadFileBytes(dir_ + "/" + entry), ReadFileBytes(peer + "/" + entry)) << entry;
        struct stat a, b;
        ASSERT_EQ(stat((dir_ + "/" + entry).c_str(), &a), 0);
        ASSERT_EQ(stat((peer + "/" + entry).c_str(), &b), 0);
        EXPECT_EQ(a.st_mtime, b.st_mtime) << entry;  // DOS times taken as they stand
    }
}

TEST_F(ExtractCommandTest, ErrorsAreTheStubsOwnTextsAndTheFolderGoes) {
    struct Case {
        std::vector<ZipMember> members;
        std::string text;  // UTF-8, up to the first path
    } const cases[] = {
        {{{"good.txt", "fine", 0}, {"bad.txt", "damaged", 0, 0, 0x6000, 0x5A21, true}},
         "ZIP besch\xC3\xA4" "digt: Datei "},
        {{{"../evil.txt", "evil", 0}},
         "Ung\xC3\xBCltiger ZIP-Dateikopf. M\xC3\xB6gliche Ursache: Dateiübertragungsfehler."},
        {{{"packed.bin", "data", 6}}, "Nicht unterst\xC3\xBCtzte Kompressionsmethode"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Write(c.members);
        RunResult r = Extract();
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.rfind("mksfx: " + c.text, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        EXPECT_FALSE(FileExists(dir_));
        EXPECT_FALSE(FileExists(scratch_.File("evil.txt")));
    }
}

TEST_F(ExtractCommandTest, DamagedHeaderStopsBeforeTheFolderIsMade) {
    Write(SampleMembers());
    std::string bytes = ReadFileBytes(file_);
    bytes[100] ^= 1;  // inside the stub image, which the header CRC covers
    WriteFileBytes(file_, bytes);
    RunResult r = Extract();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "mksfx: Tessly Self-Extractor-Dateikopf ung\xC3\xBCltig. M\xC3\xB6gliche Ursache: "
              "Fehlerhafter Datentr\xC3\xA4ger oder Datei\xC3\xBC" "bertragungsfehler.\n");
    EXPECT_FALSE(FileExists(dir_));
}

TEST_F(ExtractCommandTest, ExistingFilesAreNeverOverwritten) {
    Write({{"same.txt", "first", 0}, {"same.txt", "second", 8}, {"next.txt", "next", 0}});
    RunResult r = Extract();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir_ + "/same.txt"), "first");
    EXPECT_EQ(ReadFileBytes(dir_ + "/next.txt"), "next");
    EXPECT_NE(r.err.find("same.txt ist bereits vorhanden"), std::string::npos) << r.err;
}

TEST_F(ExtractCommandTest, RefusesWhatItCannotDo) {
    Write(SampleMembers());
    mkdir(dir_.c_str(), 0777);
    RunResult r = Extract();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "mksfx: " + dir_ + " exists already\n");
    EXPECT_TRUE(zipcraft::ListTree(dir_).empty());
    rmdir(dir_.c_str());

    WriteFileBytes(file_, "no stub here");
    r = Extract();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not a self-extracting file"), std::string::npos);
    EXPECT_FALSE(FileExists(dir_));

    r = RunMksfx({"extract", file_});
    EXPECT_EQ(r.exitCode, 2);
    r = RunMksfx({"extract", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("usage: mksfx extract FILE DIR", 0), 0u);
}

}  // namespace
