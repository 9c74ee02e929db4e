/* Records how it was started: appends its command line, its current folder, the show-window
   fields of its start-up information and its own program file to the file named by its first
   argument, one "key=value" line each, then ends with exit code 0. Used under Wine as the
   command that a self-extracting file launches. */
#include <windows.h>
#include <stdio.h>

int main(int argc, char** argv) {
    STARTUPINFOA startup;
    char folder[MAX_PATH], program[MAX_PATH];
    FILE* f;
    if (argc < 2) return 2;
    GetStartupInfoA(&startup);
    GetCurrentDirectoryA(sizeof folder, folder);
    f = fopen(argv[1], "ab");
    if (!f) return 3;
    fprintf(f, "commandline=%s\n", GetCommandLineA());
    fprintf(f, "folder=%s\n", folder);
    fprintf(f, "useshowwindow=%d\n", (startup.dwFlags & STARTF_USESHOWWINDOW) ? 1 : 0);
    fprintf(f, "showwindow=%u\n", (unsigned)startup.wShowWindow);
    GetModuleFileNameA(0, program, sizeof program);
    fprintf(f, "program=%s\n", program);
    fclose(f);
    return 0;
}
