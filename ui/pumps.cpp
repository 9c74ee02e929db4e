// Keeping the dialog alive while the Setup command works inside one of its calls: the two
// message pumps, the cursor, starting the command, the running-program probe and the
// removal of the temporary folder. Nothing here keeps state between calls.
#include "archive/archive.h"
#include "startup/startup.h"
#include "ui/ui.h"

enum { DELETE_RETRY_MS = 1000 };

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
                if (msg.hwnd == state.dialogWindow || GetParent(msg.hwnd) == state.dialogWindow)
                    return UserBox(BOX_CANCEL_QUERY, GetMessageText(MSG_CANCEL_QUERY)) == IDYES;
                break;
            default:
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
                break;
        }
    }
    return FALSE;
}

void SetStandardCursor(LPCSTR cursor) { SetCursor(LoadCursorA(0, cursor)); }

#ifdef _WIN32
// The command starts in the current folder (the Setup command has entered the extraction
// folder) with the show-window value SW_SHOWDEFAULT; only its process handle is kept.
HANDLE LaunchCommand(char* commandLine) {
    STARTUPINFOA startup = {};
    PROCESS_INFORMATION process;
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWDEFAULT;
    if (!CreateProcessA(0, commandLine, 0, 0, FALSE, 0, 0, 0, &startup, &process)) return 0;
    CloseHandle(process.hThread);
    return process.hProcess;
}
#else
// The Linux core never starts commands: the Setup command exists only in the stub.
HANDLE LaunchCommand(char*) { return 0; }
#endif

// A program counts as running while its file, found by the platform's search rules, cannot
// be opened with exclusive sharing. A program that cannot be found is not running.
BOOL IsProgramRunning(const char* baseName) {
    char file[16];
    lstrcpynA(file, baseName, 10);
    lstrcatA(file, ".exe");
    OFSTRUCT info;
    if (OpenFile(file, &info, OF_EXIST) == HFILE_ERROR) return FALSE;
    HFILE handle = OpenFile(file, &info, OF_READ | OF_SHARE_EXCLUSIVE);
    if (handle == HFILE_ERROR) return TRUE;
    _lclose(handle);
    return FALSE;
}

// Deletes `folder` and everything below it. A file that cannot be deleted is retried for a
// second while the dialog is kept alive; if it stays, this folder (and so every one above
// it) is left in place. Paths that would not fit the 264-character buffers are left alone.
BOOL DeleteTree(char* folder) {
    int length = lstrlenA(folder);
    // An empty string would become "\", the root of the drive: never that.
    if (length == 0 || length + 4 >= PATH_CHARS) return FALSE;  // room for "\" and "*.*"
    if (folder[length - 1] != '\\') {
        folder[length++] = '\\';
        folder[length] = 0;
    }

    char path[PATH_CHARS];
    lstrcpyA(path, folder);
    lstrcatA(path, "*.*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const char* name = found.cAlternateFileName[0] ? found.cAlternateFileName
                                                            : found.cFileName;
            if (length + lstrlenA(name) >= PATH_CHARS) continue;
            lstrcpyA(path + length, name);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // "." and ".." only: folders such as ".config" go like any other.
                if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
                if (!DeleteTree(path)) RemoveDirectoryA(path);
            } else if (!DeleteFileForced(path)) {
                DWORD start = GetTickCount();
                for (;;) {
                    PumpMessages();
                    if (DeleteFileForced(path)) break;
                    if (GetTickCount() - start >= DELETE_RETRY_MS) {
                        FindClose(search);
                        return FALSE;
                    }
                }
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryA(folder) != 0;
}
