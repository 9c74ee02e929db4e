// Small path and file operations shared by the extraction, the icon step and the dialog.
// Both '\' and '/' separate components.
#include "archive/archive.h"

static inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char* FileNamePart(char* path) {
    int n = lstrlenA(path);
    // A separator in the first position does not count.
    for (int i = n - 1; i >= 1; --i)
        if (IsSeparator(path[i])) return path + i + 1;
    return path;
}

BOOL CreateFolder(const char* path) { return CreateDirectoryA(path, 0) != 0; }

BOOL SetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

BOOL DeleteFileForced(const char* path) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path) != 0;
}
