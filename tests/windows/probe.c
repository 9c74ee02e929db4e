/* The command the Wine tests pack and launch. It does what its arguments say, in order:
     record=FILE   append its command line, its arguments as the C runtime splits them (each
                   in brackets), current folder, the names there, the show-window fields of its
                   start-up information and its own program file to FILE
     sleep=MS      sleep MS milliseconds
     hold=MS       keep its own file open MS milliseconds, shared for reading only, as a
                   running program's image is
     spawn=LINE    start LINE as a new process and do not wait for it
     stamp=FILE    append "ended" to FILE */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>

static void Append(const char* file, const char* key, const char* value) {
    FILE* f = fopen(file, "ab");
    if (!f) return;
    fprintf(f, "%s=%s\n", key, value);
    fclose(f);
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!strncmp(a, "record=", 7)) {
            char folder[MAX_PATH], self[MAX_PATH];
            STARTUPINFOA startup;
            WIN32_FIND_DATAA found;
            FILE* f = fopen(a + 7, "ab");
            if (!f) continue;
            GetCurrentDirectoryA(sizeof folder, folder);
            GetStartupInfoA(&startup);
            GetModuleFileNameA(0, self, sizeof self);
            fprintf(f, "commandline=%s\nargv=", GetCommandLineA());
            for (int k = 1; k < argc; ++k) fprintf(f, "[%s]", argv[k]);
            fprintf(f, "\nfolder=%s\nuseshowwindow=%d\nshowwindow=%u\nprogram=%s\nfiles=",
                    folder, (startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0,
                    (unsigned)startup.wShowWindow, self);
            HANDLE search = FindFirstFileA("*", &found);
            const char* separator = "";
            for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found)) {
                if (found.cFileName[0] == '.') continue;
                fprintf(f, "%s%s", separator, found.cFileName);
                separator = ",";
            }
            if (search != INVALID_HANDLE_VALUE) FindClose(search);
            fprintf(f, "\n");
            fclose(f);
        } else if (!strncmp(a, "sleep=", 6)) {
            Sleep(atoi(a + 6));
        } else if (!strncmp(a, "hold=", 5)) {
            char self[MAX_PATH];
            GetModuleFileNameA(0, self, sizeof self);
            HANDLE h = CreateFileA(self, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
            Sleep(atoi(a + 5));
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        } else if (!strncmp(a, "spawn=", 6)) {
            STARTUPINFOA si;
            PROCESS_INFORMATION pi;
            memset(&si, 0, sizeof si);
            si.cb = sizeof si;
            if (CreateProcessA(0, argv[i] + 6, 0, 0, FALSE, 0, 0, 0, &si, &pi)) {
                CloseHandle(pi.hThread);
                CloseHandle(pi.hProcess);
            }
        } else if (!strncmp(a, "stamp=", 6)) {
            Append(a + 6, "ended", "1");
        }
    }
    return 0;
}
