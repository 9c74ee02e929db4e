// Damaged self-extracting files, run through the stub's own start-up and extraction: cut at
// every byte of the archive part, and corrupted at random. Every run must end with one clear
// message and an abort code, or succeed with correct output; nothing may appear outside
// the extraction folder, and the Setup command's clean-up must remove the folder again.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
        root_ = scratch_.File("run");
        // The texts a run may end with: the table's (up to the first format field), and the
        // built-in ones.
        FreshState();
        for (int id : {MSG_READ_FAILED, MSG_SEEK_FAILED, MSG_BAD_HEADER, MSG_CANNOT_CREATE_FILE,
                       MSG_BAD_METHOD, MSG_BAD_CRC, MSG_CANNOT_CREATE_FOLDER, MSG_WRITE_FAILED,
                       MSG_END_RECORD_BAD}) {
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
            lstrcpyA(state.extractFolder, out.c_str());
            state.dialogWindow = standin::FakeDialog();
            r.code = RunExtraction();
        }
        r.boxes = standin::MessageBoxes();
        return r;
    }

    // Checks one run and cleans up after it.
    void Check(const Result& r) {
        std::vector<std::string> tree = zipcraft::ListTree(root_);
        for (const std::string& entry : tree)
            ASSERT_TRUE(entry == "setup.exe" || entry == "tmp/" || entry.rfind("out/", 0) == 0)
                << entry;
        // Questions (a damaged name may repeat another) are answered No; errors are boxes of
        // their own.
        std::vector<ShownMessageBox> errors;
        for (const ShownMessageBox& box : r.boxes) {
            if (box.type == (UINT)(MB_OK | MB_ICONERROR)) errors.push_back(box);
            else EXPECT_EQ(box.type, (UINT)MB_YESNOCANCEL);
        }
        if (r.loaded && r.code == 0) {
            // Success: every file written is one of the members, whole.
            EXPECT_TRUE(errors.empty());
            for (const std::string& entry : tree) {
                if (entry.back() == '/' || entry == "setup.exe") continue;
                std::string content = ReadFile(root_ + "/" + entry);
                bool known = false;
                for (const sfxtest::ZipMember& m : members_) known |= m.data == content;
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
            lstrcpyA(folder, state.extractFolder);
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
    std::string root_;
    std::vector<sfxtest::ZipMember> members_;
    std::vector<std::string> heads_;
};

// Files crafted to break the stub (tests/support/hostile.h): each run ends with its message
// and has written no more than the files of its row; no icon of them is used, nothing lands
// outside the extraction folder, and removing the folder leaves nothing behind.
TEST_F(DamageTest, HostileFilesEndWithTheirMessage) {
    for (const hostile::Case& c : hostile::Cases()) {
        SCOPED_TRACE(c.what);
        Result r = RunFile(hostile::File(c, sfxtest::SyntheticStub()));
        ASSERT_TRUE(r.loaded);
        EXPECT_EQ(state.appIcon, nullptr);
        EXPECT_EQ(r.code, c.completes ? 0 : ABORT_FAILED);
        EXPECT_EQ(r.boxes.size(), c.completes ? 0u : 1u);
        if (!c.completes && !r.boxes.empty()) {
            EXPECT_TRUE(hostile::EndsWith(c, r.boxes.back().text)) << r.boxes.back().text;
        }
        EXPECT_EQ(zipcraft::ListTree(root_ + "/out"), c.left);
        EXPECT_FALSE(FileExists("/tmp/evil.txt"));
        char folder[PATH_CHARS];
        lstrcpyA(folder, state.extractFolder);
        EXPECT_TRUE(DeleteTree(folder));
        EXPECT_EQ(zipcraft::ListTree(root_), (std::vector<std::string>{"setup.exe", "tmp/"}));
    }
}

// Cut at every byte of the archive part. With the end-record probe, start-up refuses every
// file cut before the probed signature (message 39); without it, the walk meets the cut as
// a short read wherever it lies (message 36 with the program's own path). The end record's
// comment is never read, so a cut inside it still completes; the whole file extracts every
// member.
TEST_F(DamageTest, CutAtEveryByteOfTheArchive) {
    std::string readFailed = zipcraft::Formatted(MSG_READ_FAILED, (root_ + "/setup.exe").c_str());
    std::string noEndRecord = Message(MSG_END_RECORD_BAD);
    FreshState();
    for (bool probe : {true, false}) {
        std::string whole = BuildFile(probe);
        size_t archiveStart =
            ReadLe32((const unsigned char*)whole.data() + sfxtest::FindBlock(whole) + 12);
        size_t endRecord = whole.rfind("PK\x05\x06");
        for (size_t cut = archiveStart; cut <= whole.size(); ++cut) {
            SCOPED_TRACE(std::to_string(probe) + " cut " + std::to_string(cut));
            Result r = RunFile(whole.substr(0, cut));
            if (cut >= endRecord + 22) {
                EXPECT_TRUE(r.loaded && r.code == 0);
                for (size_t i = 0; cut == whole.size() && i < members_.size(); ++i) {
                    const std::string& name = members_[i].name;  // the last one in code page 850
                    std::string shown = i == 4 ? "deep/\xE4nderung.txt" : name;
                    EXPECT_EQ(ReadFile(root_ + "/out/" + shown), members_[i].data) << name;
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
        size_t archiveStart =
            ReadLe32((const unsigned char*)whole.data() + sfxtest::FindBlock(whole) + 12);
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
    // Both outcomes occur, and failures are told by more than one message.
    EXPECT_GT(successes, 50);
    EXPECT_GT(texts.size(), 3u);
}

}  // namespace
