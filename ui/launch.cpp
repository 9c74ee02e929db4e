// Starting the package's command and the probe that tells whether a named program still
// runs, for the Setup command's waits (Windows only, like the commands).
#include "ui/ui.h"

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
