// Whole self-extracting files, cut or corrupted, through the stub's start-up and extraction:
// one clear message or correct output, nothing outside the folder, and the clean-up removes
// it. And `mksfx extract` as a program: checked against unzip, and its refusals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>

#include "tests/support/fresh_state.h"
#include "tests/support/hostile.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"

namespace {

struct Result {
    bool loaded = false;   // start-up's loading got through
    int code = -1;         // RunExtraction's result, when loaded
    std::vector<ShownMessageBox> boxes;
    LPCSTR cursorWhileWriting = nullptr, cursorAfter = nullptr;
};

class DamageTest : public ::testing::Test {
protected:
    void SetUp() override {
        members_ = {
            {"readme.txt", zipcraft::SampleText(1500, 1), 8},
            {"bin/data.bin", zipcraft::RandomBytes(2100, 2), 0},
            {"bin/empty.txt", "", 0},
            {"deep/er/notes.txt", zipcraft::SampleText(2500, 3), 8, 0x0008},
            {"deep/\x84nderung.txt", zipcraft::SampleText(700, 4), 8},
        };
        // The texts a run may end with, up to their first format field.
        FreshState();
        for (int id : {MSG_READ_FAILED, MSG_SEEK_FAILED, MSG_BAD_HEADER, MSG_CANNOT_CREATE_FILE, MSG_BAD_METHOD,
                       MSG_BAD_CRC, MSG_CANNOT_CREATE_FOLDER, MSG_WRITE_FAILED, MSG_END_RECORD_BAD}) {
            std::string text = Message(id);
            heads_.push_back(text.substr(0, text.find('%')));
        }
        heads_.push_back(HEADER_INVALID_TEXT);
        FreshState();
    }
    void TearDown() override { sfxtest::ReleaseStubState(); }

    std::string BuildFile(bool probe) {
        sfxtest::SfxParts parts;
        parts.members = members_;
        if (!probe) parts.endRecordOffset = 0;
        return sfxtest::BuildSfx(parts);
    }

    // Start-up's loading, then the extraction into a fresh folder, as the Setup command does
    // it; afterwards the folder is deleted as after a failed run.
    Result RunFile(const std::string& bytes) {
        mkdir(root_.c_str(), 0777);
        std::string file = root_ + "/setup.exe", out = root_ + "/out";
        WriteFile(file, bytes);
        sfxtest::ReleaseStubState();
        sfxtest::ResetStubState(file);
        mkdir((root_ + "/tmp").c_str(), 0777);
        standin::SetTempPath(root_ + "/tmp");
        Result r;
        if (!sfxtest::LoadStubParams(bytes)) return r;
        r.loaded = sfxtest::RunUnderCheckpoint(LoadStubData) == 0;
        if (r.loaded) {
            mkdir(out.c_str(), 0777);
            lstrcpyA(state.output.folder, out.c_str());
            state.dialog.window = standin::FakeDialog();
            // With the dialog's hooks the first write looks at the queue, as in a real run: a
            // timer message there is dispatched under the extraction's cursor.
            InstallUiHooks();
            standin::PostInput(standin::FakeDialog(), WM_TIMER, 0, 0);
            standin::SetDispatchHook([](const MSG&, void* seen) { *(LPCSTR*)seen = standin::CurrentCursor(); },
                                     &r.cursorWhileWriting);
            r.code = RunExtraction();
            r.cursorAfter = standin::CurrentCursor();
        }
        r.boxes = standin::MessageBoxes();
        return r;
    }

    void Check(const Result& r) {
        std::vector<std::string> tree = zipcraft::ListTree(root_);
        for (const std::string& entry : tree)
            ASSERT_TRUE(entry == "setup.exe" || entry == "tmp/" || entry.rfind("out/", 0) == 0) << entry;
        // Questions (a damaged name may repeat another) are answered No.
        std::vector<ShownMessageBox> errors;
        for (const ShownMessageBox& box : r.boxes) {
            if (box.type == (UINT)(MB_OK | MB_ICONERROR)) errors.push_back(box);
            else EXPECT_EQ(box.type, (UINT)MB_YESNOCANCEL);
        }
        if (r.loaded) EXPECT_EQ(r.cursorAfter, IDC_ARROW);
        if (r.loaded && r.code == 0) {
            // Success: every file written is one of the members, whole, under the wait cursor.
            EXPECT_TRUE(errors.empty());
            EXPECT_EQ(r.cursorWhileWriting, IDC_WAIT);
            for (const std::string& entry : tree) {
                if (entry.back() == '/' || entry == "setup.exe") continue;
                std::string content = ReadFile(root_ + "/" + entry);
                bool known = false;
                for (const zipcraft::Member& m : members_) known |= m.content == content;
                EXPECT_TRUE(known) << entry;
            }
        } else {
            // Failure: exactly one error box with one of the program's texts.
            EXPECT_TRUE(!r.loaded || r.code == ABORT_FAILED) << r.code;
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_TRUE(IsProgramText(errors[0].text) || errors[0].purpose == BOX_OUT_OF_MEMORY) << errors[0].text;
        }
        if (r.loaded) {
            char folder[PATH_CHARS];
            lstrcpyA(folder, state.output.folder);
            EXPECT_TRUE(DeleteTree(folder));
            EXPECT_FALSE(FileExists(root_ + "/out"));
        }
    }

    bool IsProgramText(const std::string& text) {
        for (const std::string& head : heads_)
            if (!head.empty() && text.compare(0, head.size(), head) == 0) return true;
        return false;
    }

    TempDir scratch_;
    std::string root_ = scratch_.File("run");
    std::vector<zipcraft::Member> members_;
    std::vector<std::string> heads_;
};

// Files crafted to break the stub (tests/support/hostile.h): each run ends with its message,
// writes no more than its row's files, uses no icon, and its folder goes without a trace.
TEST_F(DamageTest, HostileFilesEndWithTheirMessage) {
    for (const hostile::Case& c : hostile::Cases()) {
        SCOPED_TRACE(c.what);
        Result r = RunFile(hostile::File(c, sfxtest::SyntheticStub()));
        ASSERT_TRUE(r.loaded);
        EXPECT_EQ(state.dialog.icon, nullptr);
        EXPECT_EQ(r.code, c.completes ? 0 : ABORT_FAILED);
        EXPECT_EQ(r.boxes.size(), c.completes ? 0u : 1u);
        if (!c.completes && !r.boxes.empty()) {
            EXPECT_TRUE(hostile::EndsWith(c, r.boxes.back().text)) << r.boxes.back().text;
        }
        EXPECT_EQ(zipcraft::ListTree(root_ + "/out"), c.left);
        EXPECT_FALSE(FileExists("/tmp/evil.txt"));
        char folder[PATH_CHARS];
        lstrcpyA(folder, state.output.folder);
        EXPECT_TRUE(DeleteTree(folder));
        EXPECT_EQ(zipcraft::ListTree(root_), (std::vector<std::string>{"setup.exe", "tmp/"}));
    }
}

// Cut at every byte of the archive part. With the end-record probe, start-up refuses a file
// cut before the probed signature (message 39); without it, the walk meets the cut as a short
// read (message 36). The end record's comment is never read, so a cut inside it completes.
TEST_F(DamageTest, CutAtEveryByteOfTheArchive) {
    std::string readFailed = zipcraft::Formatted(MSG_READ_FAILED, (root_ + "/setup.exe").c_str()),
                noEndRecord = Message(MSG_END_RECORD_BAD);
    FreshState();
    for (bool probe : {true, false}) {
        std::string whole = BuildFile(probe);
        size_t archiveStart = sfxtest::Le32(whole, sfxtest::FindBlock(whole) + 12);
        size_t endRecord = whole.rfind("PK\x05\x06");
        for (size_t cut = archiveStart; cut <= whole.size(); ++cut) {
            SCOPED_TRACE(std::to_string(probe) + " cut " + std::to_string(cut));
            Result r = RunFile(whole.substr(0, cut));
            if (cut >= endRecord + 22) {
                EXPECT_TRUE(r.loaded && r.code == 0);
                for (size_t i = 0; cut == whole.size() && i < members_.size(); ++i) {
                    const std::string& name = members_[i].name;  // the last one in code page 850
                    std::string shown = i == 4 ? "deep/\xE4nderung.txt" : name;
                    EXPECT_EQ(ReadFile(root_ + "/out/" + shown), members_[i].content) << name;
                }
            } else {
                ASSERT_FALSE(r.boxes.empty());
                bool probed = probe && cut < endRecord + 4;
                EXPECT_EQ(r.loaded, !probed);
                EXPECT_EQ(r.boxes.back().text, probed ? noEndRecord : readFailed);
            }
            Check(r);
            if (HasFatalFailure()) return;
        }
    }
}

TEST_F(DamageTest, RandomCorruptionsOfTheArchive) {
    std::mt19937 random(20240601);
    std::set<std::string> texts;
    int successes = 0;
    for (bool probe : {true, false}) {
        std::string whole = BuildFile(probe);
        size_t archiveStart = sfxtest::Le32(whole, sfxtest::FindBlock(whole) + 12);
        for (int round = 0; round < 1500; ++round) {
            std::string bytes = whole;
            int flips = 1 + (int)(random() % 4);
            for (int k = 0; k < flips; ++k) {
                size_t at = archiveStart + random() % (whole.size() - archiveStart);
                bytes[at] = random() % 3 ? (char)(bytes[at] ^ (1 << (random() % 8))) : (char)random();
            }
            SCOPED_TRACE(round);
            Result r = RunFile(bytes);
            if (r.loaded && r.code == 0) ++successes;
            if (!r.boxes.empty()) texts.insert(r.boxes.back().text.substr(0, 12));
            Check(r);
            if (HasFatalFailure()) return;
        }
    }
    // Both outcomes occur (flips in the central directory and the end record fail too), and
    // failures are told by more than one message.
    EXPECT_GT(successes, 10);
    EXPECT_GT(texts.size(), 3u);
}

// ---- mksfx extract ----------------------------------------------------------------------------

using sfxtest::RunMksfx;
using sfxtest::RunResult;

// A German text of the program (Windows-1252, letters of Latin-1 only) as mksfx prints it.
std::string Utf8(const std::string& ansi) {
    std::string u;
    for (unsigned char c : ansi) c < 0x80 ? u += (char)c : (u += (char)(0xC0 | c >> 6), u += (char)(0x80 | (c & 0x3F)));
    return u;
}

class ExtractCommandTest : public ::testing::Test {
protected:
    TempDir scratch_;
    // Linux names of any characters: "Łódź", outside Windows-1252.
    std::string file_ = scratch_.File("\xC5\x81\xC3\xB3" "d\xC5\xBA.exe"), dir_ = scratch_.File("\xC5\x81\xC3\xB3" "d\xC5\xBA");
};

std::string SfxOf(const std::vector<zipcraft::Member>& members) {
    sfxtest::SfxParts parts;
    parts.members = members;
    return sfxtest::BuildSfx(parts);
}

std::vector<zipcraft::Member> SampleMembers() {
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
    // With an icon, which start-up writes to a file of its own: the summary counts members only.
    sfxtest::SfxParts parts;
    parts.members = SampleMembers();
    parts.config = sfxtest::ConfigText({"", "", "", "", false, "", true, sfxtest::SampleIcon()});
    WriteFile(file_, sfxtest::BuildSfx(parts));
    // Times are local times, as unzip takes them too.
    RunResult r = RunMksfx({"extract", file_, dir_}, {"TZ=Europe/Berlin"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "5 files, " + std::to_string(70000 + 7 + 5000 + 2049) + " bytes extracted into " + dir_ + "\n");
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
    // The parameter block names an end record inside the first member's data: start-up fails,
    // which is about no member.
    std::string misplaced = SfxOf({{"a.txt", std::string(100, 'a'), 0}});
    const size_t block = sfxtest::FindBlock(misplaced);
    misplaced = sfxtest::Resealed(sfxtest::Patch32(misplaced, block + PB_END_RECORD_OFFSET,
                                                   sfxtest::Le32(misplaced, block + PB_ARCHIVE_OFFSET) + 40));
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
        {misplaced, file_ + ": there is no end record where the parameter block says", head(MSG_END_RECORD_BAD)},
        {"no stub here", "not a self-extracting file", ""},
        {SfxOf(SampleMembers()), dir_ + " exists already\n", "", true},
        {SfxOf({{"same.txt", "first", 0}, {"same.txt", "second", 8}, {"n\x80xt.txt", "next", 0}}),
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
            EXPECT_EQ(r.out, "2 files, 9 bytes extracted into " + dir_ + "\n") << "the skipped member not counted";
            EXPECT_EQ(ReadFile(dir_ + "/same.txt"), "first");
            EXPECT_EQ(ReadFile(dir_ + "/n\xC3\x87xt.txt"), "next");  // the lowest code page 850 letter, in UTF-8
        } else if (c.folderThere) {
            EXPECT_TRUE(zipcraft::ListTree(dir_).empty());
        }
        sfxtest::RemoveTree(dir_);
    }
    // The root, named with a slash too many: it exists already, and nothing is written.
    EXPECT_EQ(RunMksfx({"extract", file_, "//"}).err, "mksfx: / exists already\n");
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
        sfxtest::RemoveTree(dir_);
        ASSERT_EQ(RunMksfx({"build", "-q", "--extract-only", "-o", file_, "--stub", scratch_.File("stub.exe"), scratch_.File("in")}, {zone})
                      .exitCode, 0);
        ASSERT_EQ(RunMksfx({"extract", file_, dir_}, {zone}).exitCode, 0);
        struct stat st;
        ASSERT_EQ(stat((dir_ + "/noon.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1717243200);
    }
}

}  // namespace
