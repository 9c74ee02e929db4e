// The main dialog: its set-up, the footer line and the one-shot timer that decides whether
// the progress meter is worth showing. The commands behind the three buttons live in
// commands.cpp; they run inside this procedure and re-enter it through their own message
// pumps, so every handler here only reads and sets state and never waits.
#include "archive/archive.h"
#include "base/base.h"
#include "ui/ui.h"

static void InitDialog(HWND dialog) {
    RECT frame;
    GetWindowRect(dialog, &frame);
    SetWindowPos(dialog, HWND_TOP,
                 (GetSystemMetrics(SM_CXSCREEN) - (frame.right - frame.left)) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - (frame.bottom - frame.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOACTIVATE);
    HWND meter = GetDlgItem(dialog, ID_METER);
    if (meter) ShowWindow(meter, SW_HIDE);
    if (state.dialog.icon)
        SendDlgItemMessageA(dialog, ID_ICON, STM_SETICON, (WPARAM)state.dialog.icon, 0);
    state.dialog.commandRunning = 0;
    ShowText(dialog, ID_MESSAGE_TEXT, state.texts.messageText);
    // The buttons' labels in the table's language (the template holds the German ones).
    static const unsigned char buttons[] = {ID_SETUP, ID_CLOSE, ID_INFO};
    for (int i = 0; i < 3; ++i) ShowText(dialog, buttons[i], GetMessageText(MSG_SETUP_BUTTON + i));

    FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_CAPTION_FORMAT,
                      state.run.appTitle, FileNamePart(state.run.selfPath));
    char* caption = state.texts.messageBuffer;
    if (stubParams.optionFlags & OPT_CUSTOM_CAPTION) {
        // An empty caption reads "Setup"; the About box takes the same.
        caption = state.texts.customCaption;
        if (!caption[0]) lstrcpyA(caption, GetMessageText(MSG_SETUP_CAPTION));
    }
    ShowText(dialog, 0, caption);

    // From here on message boxes have the dialog as their owner.
    state.dialog.window = dialog;
    PostMessageA(dialog, DLG_PAINTFOOTER, 0, 0);
    // Posted after the footer, so the run starts once the dialog runs its own loop.
    if (state.run.autoMode) PostMessageA(dialog, WM_COMMAND, ID_SETUP, 0);
}

static void PaintFooter(HWND dialog) {
    // Drawn outside the painting cycle, after the standard painting has finished.
    HDC dc = GetDC(dialog);
    RECT client;
    GetClientRect(dialog, &client);
    HFONT previous = SelectDialogFont(dc, 0, TRUE);
    TEXTMETRICA metrics = {};
    GetTextMetricsA(dc, &metrics);

    // The stored banner marks the registered and copyright signs with '*' and '$', which go
    // in in the wide form (U+00AE, U+00A9), in any code page. The packager's own line is taken
    // as given.
    BOOL own = stubParams.optionFlags & OPT_CUSTOM_FOOTER;
    WCHAR* footer = ToWide(own ? state.texts.footer : GetMessageText(MSG_FOOTER));
    for (WCHAR* p = footer; *p && !own; ++p) {
        if (*p == '*') *p = (unsigned char)0xAE;
        else if (*p == '$') *p = (unsigned char)0xA9;
    }
    int y = client.bottom - (metrics.tmHeight + metrics.tmExternalLeading) - 2;
    if (y < 0) y = 0;

    UINT alignment = GetTextAlign(dc);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    int mode = SetBkMode(dc, TRANSPARENT);
    ExtTextOutW(dc, client.right / 2, y, 0, 0, footer, lstrlenW(footer), 0);
    SetTextAlign(dc, alignment);
    SetBkMode(dc, mode);
    SelectDialogFont(dc, previous, FALSE);
    ReleaseDC(dialog, dc);
}

// The 10 ms timer that Setup starts before extracting. A run that has not produced a
// third of the total by then is long enough to be worth a meter.
static void RevealMeter(HWND dialog, WPARAM timer) {
    // Setup asks for timer id 0, and the platform answers a substitute identifier for it;
    // killing by the stored identifier alone would leave the timer firing every 10 ms.
    // The dialog owns no other timer, so the one that fired is the one to kill.
    if (state.meter.timer) KillTimer(dialog, state.meter.timer);
    KillTimer(dialog, timer);
    state.meter.timer = 0;
    HWND meter = GetDlgItem(dialog, ID_METER);
    if (meter && state.progress.bytesDone < stubParams.totalSize / 3) {
        HWND status = GetDlgItem(dialog, ID_STATUS);
        if (status) ShowWindow(status, SW_HIDE);
        state.meter.shown = 1;
        ShowWindow(meter, SW_SHOW);
        InvalidateRect(meter, 0, FALSE);
    }
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(dialog);
        return TRUE;
    case WM_COMMAND:
        PostMessageA(dialog, DLG_PAINTFOOTER, 0, 0);
        // The whole wParam is compared: a click carries notification code 0.
        if (wParam == ID_SETUP) SetupCommand(dialog);
        else if (wParam == ID_CLOSE) CloseCommand(dialog);
        else if (wParam == ID_INFO) InfoCommand(dialog);
        else return FALSE;
        return TRUE;
    case WM_PAINT:
        // Let the standard painting run; the footer follows when the posted message comes.
        PostMessageA(dialog, DLG_PAINTFOOTER, 0, 0);
        return FALSE;
    case WM_TIMER:
        RevealMeter(dialog, wParam);
        return FALSE;
    case DLG_PAINTFOOTER:
        PaintFooter(dialog);
        return TRUE;
    }
    return FALSE;
}

// The Windows half of ShowText (the Linux build's is in ui/progress.cpp).
void ShowText(HWND window, int id, const char* text) {
    SetWindowTextW(id ? GetDlgItem(window, id) : window, ToWide(text));
}

static void RunDialog(void) {
    unsigned char* copy = (unsigned char*)LocalAlloc(LPTR, TEMPLATE_COPY_BYTES);
    if (!copy) return;
    // The table block is 5544 bytes and the template starts at most 4520 bytes in, so the
    // copy stays inside it.
    const unsigned char* source = state.texts.dialogTemplate;
    for (int i = 0; i < TEMPLATE_COPY_BYTES; ++i) copy[i] = source[i];
    // A dialog of wide windows, whose texts hold any character (the template is the same).
    DialogBoxIndirectParamW(state.run.instance, (LPCDLGTEMPLATEW)copy, 0, MainDialogProc, 0);
    LocalFree((HLOCAL)copy);
}

void RunInterface(void) {
    RegisterMeterClass(state.run.instance);
    if (state.run.silentMode) {
        // No window at all: the Setup flow runs by itself, and its control calls find none.
        SetupCommand(0);
    } else {
        RunDialog();
    }
}
