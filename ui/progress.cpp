// What the extraction shows while it works: the member's name and the meter. The archive
// layer counts the output and calls the progress hook; the ui sets the hooks at start.
#include "archive/archive.h"
#include "base/base.h"
#include "ui/ui.h"

enum { STATUS_TEXT_BYTES = 100 };

// bytesDone * 100 / totalSize, whole-numbered, kept within 0..100 and free of overflow:
// two decimal digits of the quotient, each by ten modular additions of a remainder that
// stays below totalSize.
static DWORD MeterPosition(DWORD done, DWORD total) {
    if (done >= total) return 100;
    DWORD position = 0, rest = done;
    for (int digit = 0; digit < 2; ++digit) {
        DWORD sum = 0, value = rest;
        position *= 10;
        for (int i = 0; i < 10; ++i) {
            if (sum >= total - value) {
                sum -= total - value;
                ++position;
            } else {
                sum += value;
            }
        }
        rest = sum;
    }
    return position;
}

static void ShowMemberStatus(void) {
    // While the meter is shown it paints the member's name itself; a silent run has no
    // dialog to show it in.
    if (state.meter.shown || !state.dialog.window) return;
    char text[STATUS_TEXT_BYTES];
    FormatMessageText(text, STATUS_TEXT_BYTES, MSG_UNZIPPING,
                      FileNamePart(state.output.displayName));
    ShowText(state.dialog.window, ID_STATUS, text);
    InvalidateRect(GetDlgItem(state.dialog.window, ID_STATUS), 0, FALSE);
}

// At each 64 KiB mark that bytesDone passes (progress.lastMark) the position goes to the meter
// (when it shows) and the meter is repainted. A position the meter already shows for this
// member is not sent again: the meter would repaint the same picture at once, and on a slow
// display that costs more than the output it reports. A new member at the position shown
// changes only the name in the bar: the meter is told without the repaint at once, and the
// next look at the dialog's messages (at most POLL_MS on) paints it. Many small members would
// otherwise cost a synchronous repaint each.
static void ShowProgress(int event) {
    if (event == PROGRESS_MEMBER) {
        state.meter.sent |= METER_NEW_MEMBER;
        ShowMemberStatus();
        return;
    }
    DWORD position = MeterPosition(state.progress.lastMark, stubParams.totalSize);
    if (state.meter.shown && position + 1 != state.meter.sent) {
        BOOL nameOnly = position + 1 == (state.meter.sent & ~METER_NEW_MEMBER);
        state.meter.sent = position + 1;
        SendMessageA(state.meter.window, METER_SETPOS, position, nameOnly);
    }
    // No meter (a silent run): no repaint, since a null window means the whole screen.
    // A repaint that is still to come is not asked for again: each request is a round
    // trip to the window system, and a fast extraction passes many marks between two
    // looks at its messages.
    if (state.meter.window && !state.meter.invalid) {
        state.meter.invalid = TRUE;
        InvalidateRect(state.meter.window, 0, FALSE);
    }
}

void InstallUiHooks(void) {
    state.hooks.progress = ShowProgress;
    state.hooks.cancel = PollCancel;
    state.hooks.pump = PumpMessages;
}

#ifndef TESSLY_WINAPI
// The Linux build's halves (the stub's are in ui/dialog.cpp): the stand-in records the text,
// and a run shows no dialog, so StartUp loads the file's data and ends.
void ShowText(HWND window, int id, const char* text) {
    SetDlgItemTextA(window, id, text);
}

void RunInterface(void) {}
#endif
