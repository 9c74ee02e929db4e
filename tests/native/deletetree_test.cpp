// Removal of the temporary folder: whole trees with read-only files and hidden folders, a
// missing folder, and files that stay locked for a while or for good.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/support/fresh_state.h"
#include "tests/support/zip_craft.h"

namespace {

// Refuses deletes of files whose name ends in `suffix`, the first `refusals` times (or
// always, with -1), and counts what it refused.
struct Lock {
    std::string suffix;
    int refusals = -1;
    int refused = 0;
};

bool RefuseDelete(const std::string& path, void* context) {
    Lock* lock = (Lock*)context;
    if (path.size() < lock->suffix.size() ||
        path.compare(path.size() - lock->suffix.size(), std::string::npos, lock->suffix) != 0)
        return false;
    if (lock->refusals >= 0 && lock->refused >= lock->refusals) return false;
    ++lock->refused;
    return true;
}

int dispatched = 0;
void CountDispatch(const MSG&, void*) { ++dispatched; }

class DeleteTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreshState();
        root_ = scratch_.File("tree");
        MakeTree(root_);
    }
    void TearDown() override { FreshState(); }

    void MakeTree(const std::string& root) {
        mkdir(root.c_str(), 0777);
        mkdir((root + "/sub").c_str(), 0777);
        mkdir((root + "/sub/deeper").c_str(), 0777);
        mkdir((root + "/sub/empty").c_str(), 0777);
        mkdir((root + "/.hidden").c_str(), 0777);
        WriteFileBytes(root + "/a.txt", "a");
        WriteFileBytes(root + "/readonly.txt", "r");
        chmod((root + "/readonly.txt").c_str(), 0444);
        WriteFileBytes(root + "/.dotfile", "d");
        WriteFileBytes(root + "/noext", "n");
        WriteFileBytes(root + "/sub/b.txt", "b");
        WriteFileBytes(root + "/sub/deeper/c.txt", "c");
        chmod((root + "/sub/deeper/c.txt").c_str(), 0444);
        WriteFileBytes(root + "/.hidden/h.txt", "h");
    }

    // DeleteTree on a program-style string (backslashes) in a 264-byte buffer.
    BOOL Delete(const std::string& folder) {
        lstrcpyA(buffer_, zipcraft::Backslashed(folder).c_str());
        return DeleteTree(buffer_);
    }

    ScratchDir scratch_;
    std::string root_;
    char buffer_[PATH_CHARS];
};

TEST_F(DeleteTreeTest, RemovesTheWholeTreeWithReadOnlyFilesAndHiddenFolders) {
    EXPECT_TRUE(Delete(root_));
    EXPECT_FALSE(FileExists(root_));
    EXPECT_EQ(std::string(buffer_), zipcraft::Backslashed(root_) + "\\");
}

TEST_F(DeleteTreeTest, AppendsTheSeparatorOnlyWhenMissing) {
    EXPECT_TRUE(Delete(root_ + "\\"));
    EXPECT_EQ(std::string(buffer_), zipcraft::Backslashed(root_) + "\\");
}

TEST_F(DeleteTreeTest, MissingFolderReportsFailure) {
    EXPECT_FALSE(Delete(scratch_.File("missing")));
    EXPECT_EQ(std::string(buffer_), zipcraft::Backslashed(scratch_.File("missing")) + "\\");
}

// "" + "\\" would name the root of the drive. Tried in a child process shut into a
// scratch folder (chroot), so that a regression cannot reach the real root.
TEST_F(DeleteTreeTest, EmptyFolderStringIsNotTheRoot) {
    std::string jail = scratch_.File("jail");
    mkdir(jail.c_str(), 0777);
    WriteFileBytes(jail + "/keep.txt", "k");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (chroot(jail.c_str()) != 0 || chdir("/") != 0) _exit(77);
        buffer_[0] = 0;
        BOOL removed = DeleteTree(buffer_);
        bool kept = access("/keep.txt", F_OK) == 0;
        _exit(!removed && kept && buffer_[0] == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "chroot is not permitted here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(FileExists(jail + "/keep.txt"));
}

TEST_F(DeleteTreeTest, FileLockedForAWhileIsRetriedWhilePumping) {
    Lock lock{"b.txt", 25};
    standin::SetDeleteHook(RefuseDelete, &lock);
    dispatched = 0;
    standin::SetDispatchHook(CountDispatch, nullptr);
    standin::PostInput(standin::FakeDialog(), WM_TIMER, 1, 0);
    standin::PostInput(standin::FakeDialog(), WM_KEYUP, 0, 0);
    EXPECT_TRUE(Delete(root_));
    EXPECT_EQ(lock.refused, 25);
    EXPECT_EQ(dispatched, 2);
    EXPECT_FALSE(FileExists(root_));
}

// A file that stays locked costs a second; its folder and every folder above it stay, the
// rest of the parent's entries are still visited.
TEST_F(DeleteTreeTest, FileLockedForGoodLeavesItsFoldersAfterASecond) {
    Lock lock{"deeper/c.txt"};
    standin::SetDeleteHook(RefuseDelete, &lock);
    DWORD start = GetTickCount();
    EXPECT_FALSE(Delete(root_));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_EQ(zipcraft::ListTree(root_),
              (std::vector<std::string>{"sub/", "sub/deeper/", "sub/deeper/c.txt"}));
}

TEST_F(DeleteTreeTest, LockedFileAtTheTopStopsTheFolderAtOnce) {
    std::string flat = scratch_.File("flat");
    mkdir(flat.c_str(), 0777);
    for (int i = 0; i < 5; ++i) WriteFileBytes(flat + "/f" + std::to_string(i), "x");
    Lock lock{"f2"};
    standin::SetDeleteHook(RefuseDelete, &lock);
    EXPECT_FALSE(Delete(flat));
    EXPECT_TRUE(FileExists(flat + "/f2"));
    EXPECT_TRUE(FileExists(flat));
}

TEST_F(DeleteTreeTest, PathsTooLongForTheBuffersAreLeftAlone) {
    // A folder string of 262 characters has no room for "\*.*": nothing is touched and
    // nothing is written past the caller's buffer.
    std::string name = root_ + "/" + std::string(262 - root_.size() - 1, 'x');
    ASSERT_EQ(name.size(), 262u);
    EXPECT_FALSE(Delete(name));
    EXPECT_TRUE(FileExists(root_ + "/a.txt"));
    // Entries whose path would not fit are skipped; the folder then stays.
    std::string longName(255, 'y');
    std::string deep = scratch_.File(std::string(20, 'd'));
    mkdir(deep.c_str(), 0777);
    WriteFileBytes(deep + "/" + longName, "y");
    WriteFileBytes(deep + "/short", "s");
    EXPECT_FALSE(Delete(deep));
    EXPECT_TRUE(FileExists(deep + "/" + longName));
    EXPECT_FALSE(FileExists(deep + "/short"));
}

}  // namespace
