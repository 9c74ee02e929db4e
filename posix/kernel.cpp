// The kernel calls of the core on POSIX: process and host, memory blocks (always zero-filled,
// counted for the tests that check releases), waits and strings.
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "posix/scripted.h"

using scripted::S;
using standin::ToNative;

// ---- kernel: process and host ---------------------------------------------------------------

LPSTR GetCommandLineA(void) { return &S().commandLine[0]; }

HMODULE GetModuleHandleA(LPCSTR name) {
    if (!name) return (HMODULE)scripted::fakeWindows;  // any non-zero value will do for the instance
    return strcasecmp(ToNative(name).c_str(), ToNative(S().modulePath.c_str()).c_str()) == 0
               ? (HMODULE)&S()
               : nullptr;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
    if (size == 0) return 0;
    const std::string& p = S().modulePath;
    DWORD n = (DWORD)p.size() < size - 1 ? (DWORD)p.size() : size - 1;
    memcpy(buffer, p.data(), n);
    buffer[n] = 0;
    return n;
}

UINT SetErrorMode(UINT) { return 0; }
DWORD GetVersion(void) { return S().version; }
LANGID GetUserDefaultUILanguage(void) { return S().uiLanguage; }

DWORD GetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (DWORD)(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
}
void Sleep(DWORD ms) { usleep(ms * 1000u); }

void GetLocalTime(SYSTEMTIME* time) {
    time_t now = ::time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    *time = {(WORD)(t.tm_year + 1900), (WORD)(t.tm_mon + 1), (WORD)t.tm_wday, (WORD)t.tm_mday,
             (WORD)t.tm_hour, (WORD)t.tm_min, (WORD)t.tm_sec, 0};
}

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

// ---- memory ---------------------------------------------------------------------------------

HLOCAL LocalAlloc(UINT flags, size_t bytes) {
    if (scripted::AllocationFails()) return nullptr;
    (void)flags;  // always zero-filled, as every caller asks
    void* block = calloc(1, bytes ? bytes : 1);
    if (block) S().liveBlocks++;
    return block;
}
HLOCAL LocalFree(HLOCAL block) {
    if (block) S().liveBlocks--;
    free(block);
    return nullptr;
}

DWORD WaitForSingleObject(HANDLE, DWORD) { return WAIT_OBJECT_0; }
BOOL CloseHandle(HANDLE) { return TRUE; }

// ---- strings ---------------------------------------------------------------------------------

LPSTR lstrcpyA(LPSTR dest, LPCSTR src) { return strcpy(dest, src); }
LPSTR lstrcpynA(LPSTR dest, LPCSTR src, int size) {
    if (size <= 0) return dest;
    int i = 0;
    for (; i < size - 1 && src[i]; ++i) dest[i] = src[i];
    dest[i] = 0;
    return dest;
}
LPSTR lstrcatA(LPSTR dest, LPCSTR src) { return strcat(dest, src); }
int lstrlenA(LPCSTR s) { return s ? (int)strlen(s) : 0; }
int lstrcmpiA(LPCSTR a, LPCSTR b) { return strcasecmp(a, b); }
