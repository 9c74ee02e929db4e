// The dialog and the user interaction: the operations of ui/, by the file that defines them,
// with the window messages and control ids of the dialog and the meter.
#pragma once
#include "base/base.h"

// Window messages and control ids of the dialog and the meter.
enum {
    DLG_PAINTFOOTER = 1026,
    METER_SETRANGE = 1024,
    METER_GETRANGE = 1025,
    METER_SETPOS = 1026,
    METER_GETPOS = 1027,
    ID_SETUP = 1,
    ID_CLOSE = 2,
    ID_INFO = 112,
    ID_MESSAGE_TEXT = 101,
    ID_STATUS = 109,
    ID_ICON = 120,
    ID_METER = 201,
};

// ---- pumps.cpp: keeping the dialog alive while the Setup command works ----------------------
void PumpMessages(void);
BOOL PollCancel(void);  // true when the user has confirmed cancelling

// ---- progress.cpp: the member's name and the meter while the extraction works ---------------
// Sets the hooks of the state record through which the extraction reaches the ui (first
// thing at start; the tests that watch the dialog set them too).
void InstallUiHooks(void);
// Shows `text` (in the run's code page) as the text of the dialog's item `id`, or with `id` 0
// of the window itself, by the wide call (defined in dialog.cpp on Windows).
void ShowText(HWND window, int id, const char* text);

// ---- launch.cpp: the command and the running-program probe (Windows only) -------------------
// The command's program is looked for in the current folder, then the system's folders and
// PATH, never beside the setup file; none is started when it is not found there.
HANDLE LaunchCommand(char* commandLine);
BOOL IsProgramRunning(const char* baseName);
// Keeps the libraries loaded later to the system folder (first thing at the entry point).
void RestrictLibrarySearch(void);

// ---- meter.cpp: the progress meter control --------------------------------------------------
BOOL RegisterMeterClass(HINSTANCE instance);
HFONT SelectDialogFont(HDC dc, HFONT font, BOOL select);

// ---- dialog.cpp: the main dialog ------------------------------------------------------------
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The run once its data is loaded: the dialog, or in a silent run the Setup flow alone, with
// no window at all. The Linux build's (progress.cpp) shows nothing.
void RunInterface(void);

// ---- commands.cpp: Setup, Close and Info ----------------------------------------------------
void SetupCommand(HWND dialog);
void CloseCommand(HWND dialog);
void InfoCommand(HWND dialog);
