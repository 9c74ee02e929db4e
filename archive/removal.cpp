// Removal of the extraction folder: the whole tree, retrying a file that is still held for a
// while, and keeping the dialog alive meanwhile.
#include "archive/archive.h"
#include "ui/ui.h"

enum { DELETE_RETRY_MS = 1000 };

// Deletes `folder` and everything below it. A file that cannot be deleted is retried for a
// second while the dialog is kept alive; if it stays, this folder (and so every one above
// it) is left in place. Paths that would not fit the 264-character buffers are left alone.
BOOL DeleteTree(char* folder) {
    int length = lstrlenA(folder);
    // An empty string would become "\", the root of the drive: never that.
    if (length == 0 || length + 4 >= PATH_CHARS) return FALSE;  // room for "\" and "*.*"
    if (folder[length - 1] != '\\') {
        folder[length++] = '\\';
        folder[length] = 0;
    }

    char path[PATH_CHARS];
    lstrcpyA(path, folder);
    lstrcatA(path, "*.*");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const char* name = found.cAlternateFileName[0] ? found.cAlternateFileName
                                                            : found.cFileName;
            if (length + lstrlenA(name) >= PATH_CHARS) continue;
            lstrcpyA(path + length, name);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // "." and ".." only: folders such as ".config" go like any other.
                if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
                if (!DeleteTree(path)) RemoveDirectoryA(path);
            } else if (!DeleteFileForced(path)) {
                DWORD start = GetTickCount();
                for (;;) {
                    PumpMessages();
                    if (DeleteFileForced(path)) break;
                    if (GetTickCount() - start >= DELETE_RETRY_MS) {
                        FindClose(search);
                        return FALSE;
                    }
                }
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryA(folder) != 0;
}
