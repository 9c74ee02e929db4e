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

WCHAR* WidePath(const char* path, WCHAR* out) {
    // Composed four characters in, where "\\?\" fits before it.
    WCHAR* wide = out + 4;
    int room = WIDE_PATH_CHARS - 4;
    const char* folder = state.output.folder;
    if (state.output.folderWide[0]) {
        const char* rest = path;
        while (*folder && *folder == *rest) ++folder, ++rest;
        if (!*folder) {
            lstrcpyW(wide, state.output.folderWide);
            int length = lstrlenW(wide);
            wide += length;
            room -= length;
            path = rest;
        }
    }
    // What does not fit names nothing, never a shorter path.
    if (!MultiByteToWideChar(RUN_CODE_PAGE, 0, path, -1, wide, room)) {
        out[0] = 0;
        return out;
    }
    // A full path with a drive goes without the classic length limit; no other path comes
    // here in a form that the prefix would change (no '/', ".", ".." or trailing blanks).
    if (out[5] == ':' && out[6] == '\\') {
        out[0] = out[1] = out[3] = '\\';
        out[2] = '?';
        return out;
    }
    for (int i = 0; (out[i] = out[i + 4]) != 0; ++i) {}
    return out;
}

BOOL PathExists(const char* path) {
    WCHAR wide[WIDE_PATH_CHARS];
    return GetFileAttributesW(WidePath(path, wide)) != (DWORD)-1;
}

BOOL CreateFolder(const char* path) {
    WCHAR wide[WIDE_PATH_CHARS];
    return CreateDirectoryW(WidePath(path, wide), 0) != 0;
}

HFILE OpenNewFile(const char* path, DWORD disposition) {
    WCHAR wide[WIDE_PATH_CHARS];
    HANDLE file = CreateFileW(WidePath(path, wide), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, 0, disposition,
                              FILE_ATTRIBUTE_NORMAL, 0);
    return file == INVALID_HANDLE_VALUE ? HFILE_ERROR : (HFILE)(INT_PTR)file;
}

BOOL DeleteFileForced(const WCHAR* path) {
    if (DeleteFileW(path)) return TRUE;
    return SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL) && DeleteFileW(path);
}
