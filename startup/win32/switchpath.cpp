// The Windows half of taking a switch's path (the Linux build's is in startup/startup.cpp).
#include "startup/startup.h"

// The path as the ANSI command line gives it, then read again from the wide command line, so
// that letters outside the ANSI code page survive: the same word, found by the characters
// before it, with its quotes dropped and the `skip` characters of its switch.
void TakeSwitchPath(char* start, const char* value, int skip, WCHAR* path) {
    MultiByteToWideChar(CP_ACP, 0, value, -1, path, PATH_CHARS);
    const char* line = GetCommandLineA();
    const WCHAR* wide = GetCommandLineW();
    if (start < line || start > line + lstrlenA(line)) return;
    wide += MultiByteToWideChar(CP_ACP, 0, line, (int)(start - line), 0, 0);
    int length = 0;
    for (BOOL quoted = FALSE; *wide && (quoted || (*wide != ' ' && *wide != '\t')); ++wide) {
        if (*wide == '"') quoted = !quoted;
        else if (skip) --skip;
        else if (length < PATH_CHARS - 1) path[length++] = *wide;
    }
    path[length] = 0;
}
