// The two message pumps (which messages are dispatched, dropped, or ask the cancel question),
// and the removal of the temporary folder, which keeps pumping while it waits for locked files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/fresh_state.h"
#include "tests/support/zip_craft.h"

namespace {

std::vector<UINT> dispatched;
void RecordDispatch(const MSG& msg, void*) { dispatched.push_back(msg.message); }

class PumpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreshState();
        LoadMessages();
        state.dialog.window = standin::FakeDialog();
        dispatched.clear();
        standin::SetDispatchHook(RecordDispatch, nullptr);
    }
    void TearDown() override { FreshState(); }
};

TEST_F(PumpsTest, PumpMessagesDispatchesUpToAQuitAndConsumesIt) {
    for (UINT m : {(UINT)WM_TIMER, (UINT)WM_LBUTTONDOWN, (UINT)WM_QUIT, (UINT)WM_KEYDOWN})
        standin::PostInput(standin::FakeDialog(), m, 0, 0);
    PumpMessages();
    EXPECT_EQ(dispatched, (std::vector<UINT>{WM_TIMER, WM_LBUTTONDOWN}));
    EXPECT_EQ(standin::QueuedMessages(), 1u);
    PumpMessages();
    EXPECT_EQ(dispatched.back(), (UINT)WM_KEYDOWN);
    EXPECT_TRUE(standin::MessageBoxes().empty());
    // A key's character is made and dispatched after it.
    standin::PostInput(standin::FakeDialog(), WM_KEYDOWN, 'S', 0);
    PumpMessages();
    EXPECT_EQ(dispatched, (std::vector<UINT>{WM_TIMER, WM_LBUTTONDOWN, WM_KEYDOWN, WM_KEYDOWN, WM_CHAR}));
}

// Each message alone in the queue: is it dispatched, and does it ask the question?
TEST_F(PumpsTest, PollCancelSortsEveryMessage) {
    HWND dialog = standin::FakeDialog();
    HWND control = standin::FakeControl(ID_CLOSE);
    HWND other = (HWND)&dispatched;  // a window that is neither the dialog nor its control
    struct Case {
        HWND window;
        UINT message;
        LPARAM lParam;
        bool dispatched, asks;
        bool waitCursor = false;  // pointer movement: the wait cursor, set again
    } const cases[] = {
        {dialog, WM_SETCURSOR, 0, false, false, true},
        {dialog, WM_NCMOUSEMOVE, 0, false, false, true},
        {control, WM_MOUSEMOVE, 0, false, false, true},
        {dialog, WM_LBUTTONDOWN, 0, false, true},
        {control, WM_LBUTTONDOWN, 0, false, true},
        {control, WM_LBUTTONDBLCLK, 0, false, true},
        {dialog, WM_NCLBUTTONDOWN, 0, false, true},
        {dialog, WM_NCLBUTTONDBLCLK, 0, false, true},
        {dialog, WM_KEYDOWN, 0, false, true},
        {dialog, WM_VKEYTOITEM, 0, false, true},
        {dialog, WM_CHAR, 0, false, false},                   // a key going down: dropped
        {dialog, WM_CHAR, (LPARAM)0x80000000u, false, true},
        {other, WM_LBUTTONDOWN, 0, false, false},             // input for another window
        {other, WM_KEYDOWN, 0, false, false},
        {dialog, WM_TIMER, 0, true, false},
        {dialog, WM_KEYUP, 0, true, false},
        {dialog, WM_SYSKEYDOWN, 0, true, false},
        {dialog, 0x0204 /* WM_RBUTTONDOWN */, 0, true, false},
        {dialog, 0x000F /* WM_PAINT */, 0, true, false},
        {dialog, WM_USER + 2, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.message) + " " + std::to_string(c.window == dialog));
        standin::Reset();
        standin::SetDispatchHook(RecordDispatch, nullptr);
        dispatched.clear();
        standin::PostInput(c.window, c.message, 0, c.lParam);
        EXPECT_FALSE(PollCancel());  // every question answered No
        EXPECT_EQ(dispatched.size(), c.dispatched ? 1u : 0u);
        ASSERT_EQ(standin::MessageBoxes().size(), c.asks ? 1u : 0u);
        EXPECT_EQ(standin::QueuedMessages(), 0u);
        EXPECT_EQ(standin::CurrentCursor(), c.waitCursor ? IDC_WAIT : nullptr);
        if (c.asks) {
            const ShownMessageBox& box = standin::MessageBoxes()[0];
            EXPECT_EQ(box.text, Message(MSG_CANCEL_QUERY));
            EXPECT_EQ(box.owner, dialog);
            EXPECT_EQ(box.caption, "Tessly Self-Extractor");
            EXPECT_EQ(box.type, (UINT)(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
        }
    }
    // Alt with a letter (a button's mnemonic) is passed on with its character.
    dispatched.clear();
    standin::PostInput(dialog, WM_SYSKEYDOWN, 'D', 0);
    EXPECT_FALSE(PollCancel());
    EXPECT_EQ(dispatched, (std::vector<UINT>{WM_SYSKEYDOWN, WM_SYSCHAR}));
}

TEST_F(PumpsTest, YesToTheQuestionCancelsAndLeavesTheRestQueued) {
    for (UINT m : {(UINT)WM_TIMER, (UINT)WM_LBUTTONDOWN, (UINT)WM_TIMER, (UINT)WM_KEYDOWN})
        standin::PostInput(standin::FakeDialog(), m, 0, 0);
    standin::AnswerAll(IDYES);
    EXPECT_TRUE(PollCancel());
    EXPECT_EQ(dispatched.size(), 1u);
    EXPECT_EQ(standin::QueuedMessages(), 2u);
    EXPECT_TRUE(PollCancel());
    EXPECT_EQ(dispatched.size(), 2u);
    EXPECT_EQ(standin::QueuedMessages(), 0u);
}

// Refuses deletes of files ending in `suffix` the first `refusals` times (-1: always), counted.
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


class DeleteTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreshState();
        InstallUiHooks();  // the dialog is kept alive through the ui's hook, as in the stub
        MakeTree(root_);
    }
    void TearDown() override { FreshState(); }

    void MakeTree(const std::string& root) {
        mkdir(root.c_str(), 0777);
        mkdir((root + "/sub").c_str(), 0777);
        mkdir((root + "/sub/empty").c_str(), 0777);
        WriteFile(root + "/a.txt", "a");  // WriteFile makes the other folders
        WriteFile(root + "/readonly.txt", "r");
        chmod((root + "/readonly.txt").c_str(), 0444);
        WriteFile(root + "/.dotfile", "d");
        WriteFile(root + "/noext", "n");
        WriteFile(root + "/sub/b.txt", "b");
        WriteFile(root + "/sub/deeper/c.txt", "c");
        chmod((root + "/sub/deeper/c.txt").c_str(), 0444);
        WriteFile(root + "/.hidden/h.txt", "h");
    }

    // DeleteTree on a program-style string (backslashes) in a 264-byte buffer.
    BOOL Delete(const std::string& folder) {
        lstrcpyA(buffer_, zipcraft::Backslashed(folder).c_str());
        return DeleteTree(buffer_);
    }

    TempDir scratch_;
    std::string root_ = scratch_.File("tree");
    char buffer_[PATH_CHARS];
};

// A folder that is missing (as after the first run) fails at once.
TEST_F(DeleteTreeTest, RemovesTheWholeTreeWithReadOnlyFilesAndHiddenFolders) {
    for (const char* separator : {"", "\\"}) {
        MakeTree(root_);
        EXPECT_TRUE(Delete(root_ + separator));
        EXPECT_FALSE(FileExists(root_));
        EXPECT_EQ(std::string(buffer_), zipcraft::Backslashed(root_) + separator) << "unchanged";
    }
    DWORD start = GetTickCount();
    EXPECT_FALSE(Delete(root_));
    EXPECT_LT(GetTickCount() - start, 500u);
}

// "" + "\\" would name the root of the drive. Tried in a child process shut into a
// scratch folder (chroot), so that a regression cannot reach the real root.
TEST_F(DeleteTreeTest, EmptyFolderStringIsNotTheRoot) {
    std::string jail = scratch_.File("jail");
    mkdir(jail.c_str(), 0777);
    WriteFile(jail + "/keep.txt", "k");
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
    dispatched.clear();
    standin::SetDispatchHook(RecordDispatch, nullptr);
    standin::PostInput(standin::FakeDialog(), WM_TIMER, 1, 0);
    standin::PostInput(standin::FakeDialog(), WM_KEYUP, 0, 0);
    EXPECT_TRUE(Delete(root_));
    EXPECT_EQ(lock.refused, 25);
    EXPECT_EQ(dispatched, (std::vector<UINT>{WM_TIMER, WM_KEYUP}));
    EXPECT_FALSE(FileExists(root_));
}

// A file locked for good costs a second; its folders stay, the parent's other entries go.
TEST_F(DeleteTreeTest, FileLockedForGoodLeavesItsFoldersAfterASecond) {
    Lock lock{"deeper/c.txt"};
    standin::SetDeleteHook(RefuseDelete, &lock);
    DWORD start = GetTickCount();
    EXPECT_FALSE(Delete(root_));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 1000u);
    EXPECT_LT(elapsed, 3000u);
    EXPECT_EQ(zipcraft::ListTree(root_), (std::vector<std::string>{"sub/", "sub/deeper/", "sub/deeper/c.txt"}));
    // At the top of the tree the locked file keeps the folder itself.
    std::string flat = scratch_.File("flat");
    mkdir(flat.c_str(), 0777);
    for (int i = 0; i < 5; ++i) WriteFile(flat + "/f" + std::to_string(i), "x");
    lock.suffix = "f2";
    EXPECT_FALSE(Delete(flat));
    EXPECT_TRUE(FileExists(flat + "/f2"));
    EXPECT_TRUE(FileExists(flat));
}

// Paths past the classic limit of 260 characters go like any other; only an entry whose
// path would not fit twice that is left, with the folders above it.
TEST_F(DeleteTreeTest, DeepPathsAreRemovedAndOnlyOverlongOnesLeft) {
    std::string deep = scratch_.File("deep"), path = deep;
    mkdir(deep.c_str(), 0777);
    while (path.size() < 250) mkdir((path += "/" + std::string(30, 'd')).c_str(), 0777);
    WriteFile(path + "/" + std::string(12, 'f'), "f");  // deepest path over 260
    EXPECT_TRUE(Delete(deep));
    EXPECT_FALSE(FileExists(deep));

    mkdir(deep.c_str(), 0777);
    std::string overlong = deep + "/" + std::string(255, 'a');
    mkdir(overlong.c_str(), 0777);
    // Three long names run past the tree's buffer wherever the scratch folder lies.
    for (char c : {'b', 'c'}) mkdir((overlong += "/" + std::string(255, c)).c_str(), 0777);
    WriteFile(overlong + "/c", "c");
    WriteFile(deep + "/short", "s");
    EXPECT_FALSE(Delete(deep));
    EXPECT_TRUE(FileExists(overlong + "/c"));
    EXPECT_FALSE(FileExists(deep + "/short"));
}

}  // namespace
