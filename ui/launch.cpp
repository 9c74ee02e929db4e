// Starting the package's command and the probe that tells whether a named program still
// runs, for the Setup command's waits (Windows only, like the commands).
#include "ui/ui.h"

#include <tlhelp32.h>

// Where the program of the command is looked for: the current folder (the extraction
// folder), the system folder, the Windows folder and the folders of PATH, separated by ';'.
// Left out is the folder of the setup file itself, which the system would search first and
// where anyone who can put a file beside a download can plant a program of the same name.
static char* SearchFolders(void) {
    DWORD pathChars = GetEnvironmentVariableA("PATH", 0, 0);
    DWORD size = 3 * MAX_PATH + pathChars + 1;
    char* list = (char*)LocalAlloc(LPTR, size);
    if (!list) return 0;
    DWORD n = GetCurrentDirectoryA(MAX_PATH, list);
    if (n == 0 || n >= MAX_PATH) n = 0;
    list[n++] = ';';
    DWORD more = GetSystemDirectoryA(list + n, MAX_PATH);
    n += more < MAX_PATH ? more : 0;
    list[n++] = ';';
    more = GetWindowsDirectoryA(list + n, MAX_PATH);
    n += more < MAX_PATH ? more : 0;
    list[n++] = ';';
    if (GetEnvironmentVariableA("PATH", list + n, size - n) >= size - n) list[n] = 0;
    return list;
}

// The program that the command line names, as the system finds it but in `folders`: the
// first word, in double quotes or up to a blank; ".exe" added to a name without extension.
// An unquoted first word is tried up to each blank in turn, as the system tries it, so that
// a name with blanks is found too.
static BOOL FindProgram(const char* line, const char* folders, char* program) {
    while (*line == ' ') ++line;
    BOOL quoted = *line == '"';
    line += quoted;
    char name[MAX_PATH];
    for (int n = 0; n < MAX_PATH; ++n) {
        unsigned char c = (unsigned char)line[n];
        if (quoted ? c && c != '"' : c > ' ') continue;
        lstrcpynA(name, line, n + 1);
        char* namePart;
        DWORD found = SearchPathA(folders, name, ".exe", MAX_PATH, program, &namePart);
        if (found - 1 < MAX_PATH - 1) return TRUE;
        if (!c || quoted) break;
    }
    return FALSE;
}

// The command starts in the current folder (the Setup command has entered the extraction
// folder) with the show-window value SW_SHOWDEFAULT; only its process handle is kept. Its
// program is named to the system as found here, and the command line goes on unchanged.
HANDLE LaunchCommand(char* commandLine) {
    char* folders = SearchFolders();
    if (!folders) return 0;
    char program[MAX_PATH];
    BOOL found = FindProgram(commandLine, folders, program);
    LocalFree((HLOCAL)folders);
    if (!found) return 0;
    STARTUPINFOA startup = {};
    PROCESS_INFORMATION process;
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWDEFAULT;
    if (!CreateProcessA(program, commandLine, 0, 0, FALSE, 0, 0, 0, &startup, &process)) return 0;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Whether a process of the program file `file` is in the system's process list. Not every
// system the stub runs on has the list, so its calls are looked up by name.
static BOOL IsInProcessList(const char* file) {
    typedef HANDLE(WINAPI * TakeSnapshot)(DWORD, DWORD);
    typedef BOOL(WINAPI * WalkSnapshot)(HANDLE, PROCESSENTRY32*);
    HMODULE kernel = GetModuleHandleA("kernel32");
    TakeSnapshot take = (TakeSnapshot)(void*)GetProcAddress(kernel, "CreateToolhelp32Snapshot");
    WalkSnapshot first = (WalkSnapshot)(void*)GetProcAddress(kernel, "Process32First");
    WalkSnapshot next = (WalkSnapshot)(void*)GetProcAddress(kernel, "Process32Next");
    if (!take || !first || !next) return FALSE;
    HANDLE list = take(TH32CS_SNAPPROCESS, 0);
    if (list == INVALID_HANDLE_VALUE) return FALSE;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    BOOL found = FALSE;
    for (BOOL more = first(list, &entry); more && !found; more = next(list, &entry)) {
        // Some systems give the whole path, others the name alone.
        const char* name = entry.szExeFile;
        for (const char* c = name; *c; ++c)
            if (*c == '\\' || *c == ':') name = c + 1;
        found = lstrcmpiA(name, file) == 0;
    }
    CloseHandle(list);
    return found;
}

// A program counts as running while its file, found by the platform's search rules, cannot
// be opened with exclusive sharing, or, where the system does not hold a running program's
// file open so, while a process of that name is in the process list. A program that cannot
// be found is not running.
BOOL IsProgramRunning(const char* baseName) {
    char file[16];
    lstrcpynA(file, baseName, 10);
    lstrcatA(file, ".exe");
    OFSTRUCT info;
    if (OpenFile(file, &info, OF_EXIST) == HFILE_ERROR) return FALSE;
    HFILE handle = OpenFile(file, &info, OF_READ | OF_SHARE_EXCLUSIVE);
    if (handle == HFILE_ERROR) return TRUE;
    _lclose(handle);
    return IsInProcessList(file);
}

// Libraries that the platform loads later on the program's behalf come from the system folder
// only, not from the folder of the setup file. Systems without the call keep their own order.
void RestrictLibrarySearch(void) {
    typedef BOOL(WINAPI * SetDirectories)(DWORD);
    SetDirectories set = (SetDirectories)(void*)GetProcAddress(GetModuleHandleA("kernel32"),
                                                               "SetDefaultDllDirectories");
    if (set) set(0x800);  // LOAD_LIBRARY_SEARCH_SYSTEM32
}
