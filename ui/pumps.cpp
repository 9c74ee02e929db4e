// Keeping the dialog alive while the Setup command works inside one of its calls: the two
// message pumps and the cursor. Nothing here keeps state between calls.
#include "base/base.h"
#include "ui/ui.h"

void PumpMessages(void) {
    MSG msg;
    while (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) return;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Pointer movement only shows the wait cursor; a click or key aimed at the dialog or one of
// its controls asks whether to cancel and is never delivered; input for other windows is
// dropped; everything else (painting, timers, posted commands) is dispatched as usual.
BOOL PollCancel(void) {
    MSG msg;
    while (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
        switch (msg.message) {
            case WM_SETCURSOR:
            case WM_NCMOUSEMOVE:
            case WM_MOUSEMOVE:
                SetStandardCursor(IDC_WAIT);
                break;
            case WM_CHAR:
                // The characters of keys that are going down: their WM_KEYDOWN has asked.
                if (!((DWORD)msg.lParam & 0x80000000u)) break;
                // fall through
            case WM_VKEYTOITEM:
            case WM_NCLBUTTONDOWN:
            case WM_NCLBUTTONDBLCLK:
            case WM_KEYDOWN:
            case WM_LBUTTONDOWN:
            case WM_LBUTTONDBLCLK:
                if (msg.hwnd == state.dialog.window || GetParent(msg.hwnd) == state.dialog.window)
                    return ShowMessage(BOX_CANCEL_QUERY, MSG_CANCEL_QUERY) == IDYES;
                break;
            default:
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
                break;
        }
    }
    return FALSE;
}
