// Removal of the extraction folder: the whole tree by the long names of its entries, in the
// wide "\\?\" form that has no length limit, retrying what is still held for a while, and
// keeping the dialog alive meanwhile.
#include "archive/archive.h"

enum {
    DELETE_RETRY_MS = 1000,
    TREE_PATH_CHARS = 2 * WIDE_PATH_CHARS,  // the longest path of a tree the stub can make,
                                            // with room to spare for what its command made
};

// Deletes a file or removes an empty folder. What another program still holds (a console
// host whose current folder it is, a virus scanner reading a new file) is retried for a
// second while the dialog is kept alive. The read-only attribute is cleared only when a
// first try fails, since that costs a call on every entry.
static BOOL RemoveEntry(const WCHAR* path, BOOL folder) {
    DWORD start = GetTickCount();
    for (BOOL cleared = FALSE;; ) {
        if (folder ? RemoveDirectoryW(path) : DeleteFileW(path)) return TRUE;
        if (!cleared) {
            cleared = TRUE;
            SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
            continue;
        }
        if (GetTickCount() - start >= DELETE_RETRY_MS) return FALSE;
        if (state.hooks.pump) state.hooks.pump();
        Sleep(10);
    }
}

// Empties and removes the folder `path` of `length` characters (room for TREE_PATH_CHARS).
// A file that stays ends the folder's removal at once; a subfolder that stays leaves this
// folder in place, but its other entries still go. A folder link is removed as the link,
// never followed.
static BOOL RemoveFolder(WCHAR* path, int length) {
    lstrcpyW(path + length, WIDE("\\*"));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    // Even an empty folder lists "." and "..": a folder that lists nothing is not there.
    if (search == INVALID_HANDLE_VALUE) return FALSE;
    BOOL kept = FALSE;
    do {
        const WCHAR* name = found.cFileName;
        if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
        int size = lstrlenW(name);
        if (length + size + 3 >= TREE_PATH_CHARS) {
            kept = TRUE;
            continue;
        }
        path[length] = '\\';
        lstrcpyW(path + length + 1, name);
        DWORD kind = found.dwFileAttributes &
                     (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (kind == FILE_ATTRIBUTE_DIRECTORY) {
            if (!RemoveFolder(path, length + 1 + size)) kept = TRUE;
        } else if (!RemoveEntry(path, kind & FILE_ATTRIBUTE_DIRECTORY)) {
            kept = TRUE;
            break;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    path[length] = 0;
    return !kept && RemoveEntry(path, TRUE);
}

BOOL DeleteTree(const char* folder) {
    // An empty string would become the root of the drive: never that.
    if (!folder[0]) return FALSE;
    WCHAR path[TREE_PATH_CHARS];
    WidePath(folder, path);
    int length = lstrlenW(path);
    if (length && path[length - 1] == '\\') path[--length] = 0;
    return length && RemoveFolder(path, length);
}
