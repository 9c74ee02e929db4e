// The Windows halves of naming and opening the own file (the Linux build's are in
// startup/selfcheck.cpp).
#include "startup/startup.h"

// The own file is opened by its wide name, which holds every character its folder may have
// (`selfPath` is for the texts, in the run's code page). NameSelf takes the name before the
// switches' log opens, into the read buffer, which is not in use yet; OpenSelf opens it. Others
// may read the file meanwhile, not write it. A file that cannot be opened is a read failure
// (message 36), not a damaged one.
//
// The name may be longer than MAX_PATH: such a name is opened in the "\\?\" form, which the
// system does not cut at MAX_PATH, and the texts show its last characters.
void NameSelf(void) {
    enum { ROOM = READ_CHUNK / sizeof(WCHAR) - 4 };
    WCHAR* path = (WCHAR*)state.reader.buffer + 4;
    path[-4] = 0;  // the message table may have used the buffer
    DWORD length = GetModuleFileNameW(0, path, ROOM);
    if (length - 1 >= ROOM - 1) length = path[0] = 0;
    const WCHAR* shown = length < SELF_PATH_CHARS ? path : path + length - (SELF_PATH_CHARS - 1);
    WideCharToMultiByte(RUN_CODE_PAGE, 0, shown, -1, state.run.selfPath, SELF_PATH_BYTES, 0, 0);
    if (length >= MAX_PATH && path[0] != '\\') {
        path[-4] = path[-3] = path[-1] = '\\';
        path[-2] = '?';
    }
}

void OpenSelf(void) {
    // The buffer starts with the "\\?\" form, or the name stands four characters in.
    const WCHAR* path = (WCHAR*)state.reader.buffer;
    if (!path[0]) path += 4;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) ReadFailed();
    state.reader.file = (HFILE)(INT_PTR)file;
}
