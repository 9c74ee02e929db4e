// The three commands of the main dialog. Setup is the program's main flow: create the
// temporary folder (or the named one), extract into it, run the command there, wait, remove
// the folder (a named one stays), end the dialog; an extract-only run asks for the folder
// first and runs no command. It runs inside one WM_COMMAND call and keeps the dialog alive by
// pumping messages; Close and "&Done" arrive as nested commands and talk back to it only through
// `awaitingDone`, `stopWaiting` and by ending the dialog. So after every pump the flow
// re-reads those flags, and after a nested clean-up it leaves `output.folder` alone.
//
// Where the flow is:
//   Idle -> (folder) -> [Picking] -> Extracting -> Running
//        -> [AwaitingDone | WaitingForProgram] -> Cleaning -> Ended
// (extract only: Extracting -> the note of message 49 -> Cleaning) and Halted when no folder
// could be made (message 6, or 48 for a named one) or entered (message 15). The run's exit
// code is the user's (1602) until the job is done or fails.
#include "archive/archive.h"
#include "base/base.h"
#include "ui/ui.h"

#include <shlobj.h>

enum { WAIT_POLL_MS = 50 };  // how often a wait for a program looks again

// The run's own folder: "QVS1.tmp" in the folder for temporary files, or where that name is
// taken (left by an earlier run, or made by a setup running at the same time), QVS2.tmp and
// on. Making the folder is the test: a name that exists fails, so no two runs share a folder
// and no run takes, and later removes, a folder it has not made. A failure of another kind
// means that the temporary folder takes no folder at all: then the Windows folder is tried,
// QVT00000 .. QVT00099.
// The folder for temporary files is taken in wide form and made full, so that the "\\?\"
// form of later calls can take it.
static BOOL CreateTempSubfolder(WCHAR* folder) {
    WCHAR temp[PATH_CHARS];
    DWORD length = GetTempPathW(PATH_CHARS, folder);
    if (length - 1 >= PATH_CHARS - 1 ||
        GetFullPathNameW(folder, PATH_CHARS, temp, 0) - 1 >= PATH_CHARS - 1)
        return FALSE;
    for (UINT n = 1; n <= 0xFFFF && GetTempFileNameW(temp, WIDE("QVS"), n, folder); ++n) {
        if (CreateDirectoryW(folder, 0)) return TRUE;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return FALSE;
}

static BOOL CreateWindowsSubfolder(WCHAR* folder) {
    UINT length = GetWindowsDirectoryW(folder, PATH_CHARS);
    if (length == 0 || length > PATH_CHARS - 10) return FALSE;
    // \QVT00000 to \QVT00099: only the last two digits change.
    WCHAR* name = folder + length;
    lstrcpyW(name, WIDE("\\QVT00000"));
    for (UINT n = 0; n < 100; ++n) {
        name[7] = (WCHAR)('0' + n / 10);
        name[8] = (WCHAR)('0' + n % 10);
        if (CreateDirectoryW(folder, 0)) return TRUE;
    }
    return FALSE;
}

// The folder named by the package or a switch, environment variables expanded and made full:
// every folder on the way is made, and one that is there already is fine. Its files stay.
static BOOL CreateTargetFolder(WCHAR* folder) {
    WCHAR expanded[PATH_CHARS];
    state.output.keepFolder = 1;
    DWORD length = ExpandEnvironmentStringsW(state.output.target, expanded, PATH_CHARS);
    if (length - 1 >= PATH_CHARS - 1 ||
        GetFullPathNameW(expanded, PATH_CHARS, folder, 0) - 1 >= PATH_CHARS - 1) {
        lstrcpyW(folder, state.output.target);
        return FALSE;
    }
    for (WCHAR* p = folder + 3;; ++p) {
        WCHAR c = *p;
        if (c != '\\' && c) continue;
        *p = 0;
        CreateDirectoryW(folder, 0);
        *p = c;
        if (!c) break;
    }
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && attributes & FILE_ATTRIBUTE_DIRECTORY;
}

// The texts show the folder as well as the run's code page can (wholly in UTF-8).
static void NameFolder(void) {
    WideCharToMultiByte(RUN_CODE_PAGE, 0, state.output.folderWide, -1, state.output.folder,
                        PATH_CHARS, 0, 0);
}

static BOOL CreateExtractFolder(void) {
    WCHAR* folder = state.output.folderWide;
    BOOL made = state.output.target[0]
                    ? CreateTargetFolder(folder)
                    : CreateTempSubfolder(folder) || CreateWindowsSubfolder(folder);
    NameFolder();
    return made;
}

// The folder picker of an extract-only run opens on the folder made for the run.
static int CALLBACK PickerStarts(HWND picker, UINT message, LPARAM, LPARAM folder) {
    if (message == BFFM_INITIALIZED) SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, folder);
    return 0;
}

// Asks where an extract-only run puts its files; answers FALSE when the user cancels. A
// temporary folder made for the run and not chosen is removed again (it is empty).
static BOOL PickFolder(HWND dialog) {
    // The display name is not looked at: the path is asked for below.
    WCHAR chosen[MAX_PATH];
    BROWSEINFOW info = {};
    info.pszDisplayName = chosen;
    info.lpszTitle = ToWide(GetMessageText(MSG_PICK_FOLDER));
    info.hwndOwner = dialog;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = PickerStarts;
    info.lParam = (LPARAM)state.output.folderWide;
    LPITEMIDLIST item = SHBrowseForFolderW(&info);
    if (!item || !SHGetPathFromIDListW(item, chosen)) return FALSE;
    if (lstrcmpiW(chosen, state.output.folderWide)) {
        if (!state.output.keepFolder) RemoveDirectoryW(state.output.folderWide);
        lstrcpyW(state.output.folderWide, chosen);
        NameFolder();
    }
    return TRUE;
}

static void LogCleanUp(BOOL removed) {
    WriteLog(removed ? MSG_LOG_CLEANUP_REMOVED : MSG_LOG_CLEANUP_LEFT, state.output.folder);
}

// A silent run gives up waiting for the program named at build time after SILENT_WAIT_MS.
static BOOL SilentWaitOver(DWORD start) {
    if (!state.run.silentMode || GetTickCount() - start < SILENT_WAIT_MS) return FALSE;
    state.run.exitCode = EXIT_WAIT_TIMEOUT;
    WriteLog(MSG_LOG_TIMEOUT, stubParams.waitForName);
    return TRUE;
}

// Sleeps until a message comes or `ms` milliseconds have passed, then handles what came: a
// wait that polls costs next to nothing while it waits.
static void PumpAfterWait(DWORD ms) {
    MsgWaitForMultipleObjects(0, 0, FALSE, ms, QS_ALLINPUT);
    PumpMessages();
}

static void CleanUp(HWND dialog) {
    state.dialog.commandRunning = 0;
    // A folder that is current cannot be removed: step out of it into the one above first,
    // and leave it in place when that fails.
    WCHAR above[PATH_CHARS];
    lstrcpyW(above, state.output.folderWide);
    WCHAR* cut = above;
    for (WCHAR* p = above; *p; ++p)
        if (*p == '\\') cut = p + 1;
    *cut = 0;
    BOOL removed = FALSE;
    if (!state.output.keepFolder && SetCurrentDirectoryW(above)) {
        HWND status = GetDlgItem(dialog, ID_STATUS);
        if (status) {
            ShowWindow(status, SW_SHOW);
            ShowText(status, 0, GetMessageText(MSG_DELETING));
            UpdateWindow(dialog);
            PumpMessages();
        }
        removed = DeleteTree(state.output.folder);
    }
    LogCleanUp(removed);
    EndDialog(dialog, 1);
    if (state.run.autoMode) PostMessageA(dialog, WM_COMMAND, ID_CLOSE, 0);
    EnableWindow(GetDlgItem(dialog, ID_SETUP), TRUE);
}

void SetupCommand(HWND dialog) {
    // "&Done": this call is nested inside the waiting flow below.
    if (state.dialog.awaitingDone) {
        if (ShowMessage(BOX_DONE_QUERY, MSG_DONE_QUERY) != IDYES) return;
        state.dialog.awaitingDone = 0;
        CleanUp(dialog);
        return;
    }
    // From now on Enter means Close, except in wait mode where Setup becomes "&Done".
    if (!state.run.waitMode) {
        SendMessageA(dialog, DM_SETDEFID, ID_CLOSE, 0);
        SendDlgItemMessageA(dialog, ID_SETUP, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        SendDlgItemMessageA(dialog, ID_CLOSE, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    }
    HWND setupButton = GetDlgItem(dialog, ID_SETUP);
    EnableWindow(setupButton, FALSE);

    if (!CreateExtractFolder()) {
        // Halted: Setup stays disabled, Close and "&Info" still work.
        if (!state.output.keepFolder) {
            ShowMessage(BOX_NO_TEMP_FOLDER, MSG_NO_TEMP_FOLDER);
        } else {
            FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_TARGET_FAILED,
                              state.output.folder);
            UserBox(BOX_NO_TEMP_FOLDER, state.texts.messageBuffer);
        }
        return;
    }
    if (state.run.extractOnly) {
        if (!state.run.silentMode && !PickFolder(dialog)) {
            CleanUp(dialog);
            return;
        }
        state.output.keepFolder = 1;
    }
    WriteLog(MSG_LOG_FOLDER, state.output.folder);

    // The meter stays hidden unless the timer finds the extraction slow; without a timer
    // it is shown at once.
    state.meter.shown = 0;
    HWND meter = state.meter.window = GetDlgItem(dialog, ID_METER);
    HWND status = GetDlgItem(dialog, ID_STATUS);
    if (meter) {
        SendMessageA(meter, METER_SETPOS, 0, 0);
        SendMessageA(meter, METER_SETRANGE, 100, 0);
        state.meter.timer = SetTimer(dialog, 0, 10, 0);
        if (!state.meter.timer) {
            if (status) ShowWindow(status, SW_HIDE);
            ShowWindow(meter, SW_SHOW);
            state.meter.shown = 1;
        }
    }
    state.progress.bytesDone = 0;
    state.progress.lastMark = 0;

    int result = RunExtraction();

    // (Without a dialog, in a silent run, a null window would repaint the whole screen.)
    if (dialog) {
        SendMessageA(meter, METER_SETPOS, 100, 0);
        if (meter && state.meter.shown) ShowWindow(meter, SW_HIDE);
        InvalidateRect(dialog, 0, FALSE);
        ShowText(status, 0, "");
    }

    if (result != 0) {
        // An error was reported, or the user cancelled: nothing of the run stays, but for a
        // named folder, which may hold files of its own.
        LogCleanUp(!state.output.keepFolder && DeleteTree(state.output.folder));
        ShowText(status, 0, GetMessageText(MSG_ABORTED));
        EndDialog(dialog, 1);
        EnableWindow(setupButton, TRUE);
        return;
    }
    // A Close that came during the extraction (the system close; clicks ask message 11
    // instead) has ended the dialog: launch nothing, and take the files away again.
    if (state.dialog.stopWaiting) {
        CleanUp(dialog);
        return;
    }
    // An extract-only run has done its job: it says where the files are.
    if (state.run.extractOnly) {
        state.run.exitCode = 0;
        FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_EXTRACTED,
                          state.output.folder);
        UserBox(BOX_EXTRACTED, state.texts.messageBuffer);
        CleanUp(dialog);
        return;
    }
    if (!SetCurrentDirectoryW(state.output.folderWide)) {
        ShowMessage(BOX_CANNOT_ENTER_FOLDER, MSG_CANNOT_ENTER_FOLDER);
        if (state.run.autoMode) PostMessageA(dialog, WM_COMMAND, ID_CLOSE, 0);
        EnableWindow(setupButton, TRUE);
        return;
    }

    if (!state.run.command[0]) {
        ShowMessage(BOX_NO_COMMAND, MSG_NO_COMMAND);
    } else {
        WriteLog(MSG_LOG_COMMAND, state.run.command);
        HANDLE process = LaunchCommand(state.run.command);
        if (!process) {
            FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_CANNOT_RUN,
                              state.run.command);
            UserBox(BOX_CANNOT_RUN, state.texts.messageBuffer);
        } else {
            state.dialog.commandRunning = 1;
            state.dialog.stopWaiting = 0;
            while (WaitForSingleObject(process, 50) == WAIT_TIMEOUT && !state.dialog.stopWaiting)
                PumpMessages();
            // The command's own exit code is the run's (a silent run ends with it).
            DWORD code;
            if (!state.dialog.stopWaiting && GetExitCodeProcess(process, &code)) {
                state.run.exitCode = code;
                WriteLog(MSG_LOG_COMMAND_EXIT, code);
            }
            CloseHandle(process);

            if (state.run.waitMode) {
                ShowText(setupButton, 0, GetMessageText(MSG_DONE_BUTTON));
                EnableWindow(setupButton, TRUE);
                state.dialog.awaitingDone = 1;
                // Only messages can end this wait (a nested "&Done" that has cleaned up
                // already, or Close), so sleep until one comes.
                while (!state.dialog.stopWaiting) {
                    PumpMessages();
                    if (!state.dialog.awaitingDone || state.dialog.stopWaiting) break;
                    WaitMessage();
                }
                return;
            }
            if ((stubParams.optionFlags & OPT_WAIT_FOR_PROGRAM) && stubParams.waitForName[0]) {
                // The program named at build time may take a while to appear (a setup
                // that starts a second stage), so give it ten seconds, then wait while it
                // runs.
                DWORD start = GetTickCount();
                while (GetTickCount() - start < 10000 && !state.dialog.stopWaiting)
                    PumpAfterWait(WAIT_POLL_MS);
                while (!state.dialog.stopWaiting && IsProgramRunning(stubParams.waitForName) &&
                       !SilentWaitOver(start))
                    PumpAfterWait(WAIT_POLL_MS);
            }
        }
    }
    CleanUp(dialog);
}

void CloseCommand(HWND dialog) {
    // While the run still owns files, ask before giving up on them (No is the default).
    if (state.dialog.awaitingDone || state.dialog.commandRunning) {
        BoxPurpose purpose =
            state.dialog.awaitingDone ? BOX_LEAVE_FILES_QUERY : BOX_STILL_RUNNING_QUERY;
        FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES,
                          state.dialog.awaitingDone ? MSG_LEAVE_FILES_QUERY : MSG_STILL_RUNNING,
                          state.run.command);
        if (UserBox(purpose, state.texts.messageBuffer) != IDYES) return;
    }
    state.dialog.stopWaiting = 1;
    EndDialog(dialog, 1);
}

void InfoCommand(HWND dialog) {
    // Room for the longest about text and the banner, so neither is cut.
    char text[1024];
    const char* about = state.texts.aboutText;
    if (stubParams.optionFlags & OPT_CUSTOM_BANNER)  // the packager's banner, or none
        wsprintfA(text, "%s%s%s", about, about[0] && state.texts.banner[0] ? "\n\n" : "", state.texts.banner);
    else
        FormatMessageText(text, sizeof text, MSG_ABOUT, about, about[0] ? "\n\n" : "");
    UserBox(BOX_ABOUT, text);
    PostMessageA(dialog, DLG_PAINTFOOTER, 0, 0);
}
