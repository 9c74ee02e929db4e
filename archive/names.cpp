// The names that Windows can take for a file below the extraction folder. One rule set for
// the stub's member output and for mksfx (build, verify and extract): a name that breaks a
// rule either leads out of the folder, opens a device, matches other files, or is changed
// by Windows into another name, so that a later check or question would look at the wrong
// file.
#include "archive/archive.h"

static inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The device names, each ended by a zero byte; '1' stands for the digit of a port, which
// may also be one of the superscript digits of Windows-1252 (0xB9, 0xB2, 0xB3), in UTF-8 the
// same after the byte 0xC2.
static const char deviceNames[] =
    "CON\0PRN\0AUX\0NUL\0CONIN$\0CONOUT$\0CLOCK$\0COM1\0LPT1\0COM\xC2" "1\0LPT\xC2" "1\0";

// A device name holds for the part before the first dot, blanks before that dot ignored, in
// any case: "con", "Nul .txt" and "COM1.tar.gz" are devices.
static bool IsDeviceName(const char* component, int length) {
    int n = 0;
    while (n < length && component[n] != '.') ++n;
    while (n > 0 && component[n - 1] == ' ') --n;
    for (const char* device = deviceNames; *device; device += lstrlenA(device) + 1) {
        int i = 0;
        for (; i < n && device[i]; ++i) {
            unsigned char c = (unsigned char)component[i];
            if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
            bool port = (c >= '1' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
            if (device[i] == '1' ? !port : c != (unsigned char)device[i]) break;
        }
        if (i == n && !device[i]) return true;
    }
    return false;
}

BOOL WideToRunName(const UTF16* wide) {
    BOOL inexact = FALSE;
    UINT codePage = RUN_CODE_PAGE;
    return WideCharToMultiByte(codePage, codePage ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1,
                               state.output.memberName, PATH_CHARS, 0, codePage ? 0 : &inexact) &&
           !inexact;
}

BOOL TakeMemberName(unsigned flags) {
    char* name = state.output.memberName;
    // An ANSI run reads every name as it always has, in code page 850; a UTF-8 run takes a
    // name flagged as UTF-8 as it stands, once it has decoded.
    if (!(flags & ZIP_FLAG_UTF8) || !RUN_CODE_PAGE) return OemToRun(name, name, -1, PATH_CHARS);
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, (UTF16*)0, 0);
}

// Archivers that pack the folder "." write names such as "./readme.txt": the leading "."
// components name the extraction folder itself and are dropped. Anywhere else a "." is a
// fault.
const char* SkipCurrentFolders(const char* name) {
    while (name[0] == '.' && IsSeparator(name[1])) name += 2;
    return name;
}

int MemberNameFault(const char* name) {
    const char* rest = SkipCurrentFolders(name);
    if (rest != name && !*rest) return NAME_SOUND;  // "./" itself, a directory entry
    name = rest;
    for (;;) {
        const char* start = name;
        for (; *name && !IsSeparator(*name); ++name) {
            unsigned char c = (unsigned char)*name;
            if (c == ':') return NAME_COLON;
            if (c < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '*' || c == '?')
                return NAME_BAD_CHARACTER;
        }
        int length = (int)(name - start);
        if (length == 0) return NAME_EMPTY_COMPONENT;
        char last = name[-1];
        if (last == '.' || last == ' ') {
            // "." and ".." by name; any other such component is changed by Windows.
            if (last == '.' && start[0] == '.' && length <= 2)
                return NAME_CURRENT_FOLDER + length - 1;
            return NAME_TRAILING_DOT_OR_BLANK;
        }
        if (IsDeviceName(start, length)) return NAME_DEVICE;
        if (!*name) return NAME_SOUND;
        ++name;
    }
}
