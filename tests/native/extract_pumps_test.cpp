// The two message pumps: which messages reach their window procedures, which are dropped,
// and which ask the cancel question.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/fresh_state.h"

namespace {

std::vector<UINT> dispatched;
void RecordDispatch(const MSG& msg, void*) { dispatched.push_back(msg.message); }

class PumpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        FreshState();
        LoadMessages();
        state.dialogWindow = standin::FakeDialog();
        dispatched.clear();
        standin::SetDispatchHook(RecordDispatch, nullptr);
    }
    void TearDown() override { FreshState(); }
};

TEST_F(PumpsTest, PumpMessagesDispatchesUpToAQuitAndConsumesIt) {
    HWND dialog = standin::FakeDialog();
    for (UINT m : {(UINT)WM_TIMER, (UINT)WM_LBUTTONDOWN, (UINT)WM_QUIT, (UINT)WM_KEYDOWN})
        standin::PostInput(dialog, m, 0, 0);
    PumpMessages();
    EXPECT_EQ(dispatched, (std::vector<UINT>{WM_TIMER, WM_LBUTTONDOWN}));
    EXPECT_EQ(standin::QueuedMessages(), 1u);
    PumpMessages();
    EXPECT_EQ(dispatched.back(), (UINT)WM_KEYDOWN);
    EXPECT_TRUE(standin::MessageBoxes().empty());
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
        bool dispatched;
        bool asks;
    } const cases[] = {
        {dialog, WM_SETCURSOR, 0, false, false},
        {dialog, WM_NCMOUSEMOVE, 0, false, false},
        {control, WM_MOUSEMOVE, 0, false, false},
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
        {dialog, 0x0104 /* WM_SYSKEYDOWN */, 0, true, false},
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
        if (c.asks) {
            const ShownMessageBox& box = standin::MessageBoxes()[0];
            EXPECT_EQ(box.text, Message(MSG_CANCEL_QUERY));
            EXPECT_EQ(box.owner, dialog);
            EXPECT_EQ(box.caption, "Tessly Self-Extractor");
            EXPECT_EQ(box.type, (UINT)(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
        }
    }
}

TEST_F(PumpsTest, YesToTheQuestionCancelsAndLeavesTheRestQueued) {
    HWND dialog = standin::FakeDialog();
    standin::PostInput(dialog, WM_TIMER, 0, 0);
    standin::PostInput(dialog, WM_LBUTTONDOWN, 0, 0);
    standin::PostInput(dialog, WM_TIMER, 0, 0);
    standin::PostInput(dialog, WM_KEYDOWN, 0, 0);
    standin::AnswerAll(IDYES);
    EXPECT_TRUE(PollCancel());
    EXPECT_EQ(dispatched.size(), 1u);
    EXPECT_EQ(standin::QueuedMessages(), 2u);
    EXPECT_TRUE(PollCancel());
    EXPECT_EQ(dispatched.size(), 2u);
    EXPECT_EQ(standin::QueuedMessages(), 0u);
}

}  // namespace
