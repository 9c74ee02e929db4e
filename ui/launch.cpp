// Starting the package's command and the probe that tells whether a named program still
// runs, for the Setup command's waits (Windows only, like the commands).
#include "archive/archive.h"
#include "ui/ui.h"

#include <tlhelp32.h>

// Where the program of the command is looked for after the current folder: the system
// folder, the Windows folder and the folders of PATH, separated by ';'. Left out is the folder
// of the setup file itself, which the system would search first and where anyone who can put
// a file beside a download can plant a program of the same name.
static char* SearchFolders(void) {
    DWORD pathChars = GetEnvironmentVariableA("PATH", 0, 0);
    DWORD size = 2 * MAX_PATH + pathChars + 1;
    char* list = (char*)LocalAlloc(LPTR, size);
    if (!list) return 0;
    DWORD n = GetSystemDirectoryA(list, MAX_PATH);
    n = n < MAX_PATH ? n : 0;
    list[n++] = ';';
    DWORD more = GetWindowsDirectoryA(list + n, MAX_PATH);
    n += more < MAX_PATH ? more : 0;
    list[n++] = ';';
    if (GetEnvironmentVariableA("PATH", list + n, size - n) >= size - n) list[n] = 0;
    return list;
}

// A program in the current folder (the extraction folder) is named relative to it, as
// ".\\NAME": the folder's own path may hold characters that the ANSI code page lacks, and the
// shell, unlike process creation, takes a bare name as one to search for. ".exe" is added to
// a name without extension; a full name stays as it is.
static BOOL InCurrentFolder(const char* name, char* program) {
    BOOL full = name[0] == '\\' || name[0] == '/' || (name[0] && name[1] == ':');
    lstrcpyA(program, full ? "" : ".\\");
    lstrcatA(program, name);
    const char* extension = 0;
    for (const char* p = name; *p; ++p) {
        if (*p == '.') extension = p;
        if (*p == '\\' || *p == '/') extension = 0;
    }
    if (!extension) lstrcatA(program, ".exe");
    WCHAR wide[WIDE_PATH_CHARS];
    DWORD attributes = GetFileAttributesW(WidePath(program, wide));
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The program that the command line names, as the system finds it but in the current folder
// and `folders`: the first word, in double quotes or up to a blank. An unquoted first word is
// tried up to each blank in turn, as the system tries it, so that a name with blanks is found
// too. Answers where the arguments start in `line`, or 0 when there is no such program.
static const char* FindProgram(const char* line, const char* folders, char* program) {
    while (*line == ' ') ++line;
    BOOL quoted = *line == '"';
    line += quoted;
    char name[MAX_PATH];
    for (int n = 0; n < MAX_PATH; ++n) {
        unsigned char c = (unsigned char)line[n];
        if (quoted ? c && c != '"' : c > ' ') continue;
        lstrcpynA(name, line, n + 1);
        char* namePart;
        if (InCurrentFolder(name, program) ||
            SearchPathA(folders, name, ".exe", MAX_PATH, program, &namePart) - 1 < MAX_PATH - 1)
            return line + n + (c == '"');
        if (!c || quoted) break;
    }
    return 0;
}

// The command starts in the current folder (the Setup command has entered the extraction
// folder) with the show-window value SW_SHOWDEFAULT; only its process handle is kept. Its
// program is named to the system as found here, and the command line goes on unchanged.
// A program that asks for elevation is refused by process creation; the shell starts it
// instead, with the user's consent, with the same arguments, folder and window.
HANDLE LaunchCommand(char* commandLine) {
    char* folders = SearchFolders();
    if (!folders) return 0;
    char program[MAX_PATH + 8];
    const char* arguments = FindProgram(commandLine, folders, program);
    LocalFree((HLOCAL)folders);
    if (!arguments) return 0;
    while (*arguments == ' ') ++arguments;
    // The program and the line go to the wide calls, converted from the run's code page.
    UINT codePage = RUN_CODE_PAGE;
    static WCHAR line[COMMAND_LINE_CHARS];
    WCHAR file[MAX_PATH + 8];
    MultiByteToWideChar(codePage, 0, program, -1, file, MAX_PATH + 8);
    const WCHAR* parameters =
        line + MultiByteToWideChar(codePage, 0, commandLine, (int)(arguments - commandLine), 0, 0);
    MultiByteToWideChar(codePage, 0, commandLine, -1, line, COMMAND_LINE_CHARS);
    STARTUPINFOW startup = {};
    SHELLEXECUTEINFOW shell = {};
    PROCESS_INFORMATION process;
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWDEFAULT;
    // A console program gets no window of its own in a silent run, nor with OPT_HIDE_CONSOLE.
    DWORD flags =
        state.run.silentMode || stubParams.optionFlags & OPT_HIDE_CONSOLE ? CREATE_NO_WINDOW : 0;
    if (CreateProcessW(file, line, 0, 0, FALSE, flags, 0, 0, &startup, &process)) {
        CloseHandle(process.hThread);
        return process.hProcess;
    }
    if (GetLastError() != 740) return 0;  // ERROR_ELEVATION_REQUIRED
    shell.cbSize = sizeof shell;
    shell.fMask = SEE_MASK_NOCLOSEPROCESS;
    shell.hwnd = state.dialog.window;
    shell.lpFile = file;
    shell.lpParameters = parameters;
    shell.nShow = SW_SHOWDEFAULT;
    return ShellExecuteExW(&shell) ? shell.hProcess : 0;
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
