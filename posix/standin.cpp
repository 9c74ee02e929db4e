// The POSIX stand-in for the Windows calls of the core. Handles are file descriptors or
// heap records; message boxes and the message queue are scripted by tests through
// posix/standin.h.
#include "posix/standin.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <map>

#include "posix/codepage.h"

namespace {

struct StandInState {
    std::vector<ShownMessageBox> boxes;
    MessageBoxAnswer answer = nullptr;
    void* answerContext = nullptr;
    int fixedAnswer = 0;
    std::deque<MSG> queue;
    standin::DispatchHook dispatch = nullptr;
    void* dispatchContext = nullptr;
    std::map<int, std::string> controlTexts;
    std::vector<standin::SentMessage> sent;
    std::map<int, int> invalidations;
    DWORD version = 0x0A280105;  // 5.1: neither of the old hosts
    std::string modulePath = "/nonexistent/sfxstub.exe";
    std::string commandLine = "sfxstub.exe";
    std::string tempPath;
    std::string windowsPath = "/tmp";
    int failAllocation = 0;
    long long liveBlocks = 0;
    int failRead = 0;
    long long writeLimit = -1;
    long long reads = 0;
    std::vector<UINT> readSizes;
    std::vector<UINT> writeSizes;
    standin::DeleteHook deleteHook = nullptr;
    void* deleteContext = nullptr;
};

StandInState& S() {
    static StandInState s;
    return s;
}

// A window handle is an address inside this array: 0 is the dialog, id+1 a control.
char fakeWindows[1024];

struct Search {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
};

bool AllocationFails() {
    StandInState& s = S();
    if (s.failAllocation > 0 && --s.failAllocation == 0) return true;
    return false;
}

bool IsReadOnly(const struct stat& st) { return (st.st_mode & 0222) == 0; }

void FillFindData(const std::string& folder, const char* name, WIN32_FIND_DATAA* data) {
    memset(data, 0, sizeof *data);
    snprintf(data->cFileName, sizeof data->cFileName, "%s", name);
    struct stat st;
    std::string full = folder.empty() ? std::string(name) : folder + "/" + name;
    if (lstat(full.c_str(), &st) == 0) {
        DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
        if (IsReadOnly(st)) a |= FILE_ATTRIBUTE_READONLY;
        data->dwFileAttributes = a ? a : FILE_ATTRIBUTE_NORMAL;
        data->nFileSizeLow = (DWORD)st.st_size;
        data->nFileSizeHigh = (DWORD)((unsigned long long)st.st_size >> 32);
    }
}

}  // namespace

namespace standin {

void Reset() {
    StandInState& s = S();
    std::string temp = s.tempPath, windows = s.windowsPath;
    long long live = s.liveBlocks;  // blocks outlive a reset
    s = StandInState();
    s.liveBlocks = live;
    s.tempPath = temp;
    s.windowsPath = windows;
}

void SetMessageBoxAnswer(MessageBoxAnswer answer, void* context) {
    S().answer = answer;
    S().answerContext = context;
    S().fixedAnswer = 0;
}
void AnswerAll(int answer) {
    S().answer = nullptr;
    S().fixedAnswer = answer;
}
const std::vector<ShownMessageBox>& MessageBoxes() { return S().boxes; }

void PostInput(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m = {};
    m.hwnd = window;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    S().queue.push_back(m);
}
size_t QueuedMessages() { return S().queue.size(); }
void SetDispatchHook(DispatchHook hook, void* context) {
    S().dispatch = hook;
    S().dispatchContext = context;
}

HWND FakeDialog() { return fakeWindows; }
HWND FakeControl(int id) { return fakeWindows + 1 + (id & 1023) % 1023; }
std::string ControlText(int id) { return S().controlTexts[id]; }
const std::vector<SentMessage>& SentMessages() { return S().sent; }
int Invalidations(int id) { return S().invalidations[id]; }

void SetVersion(DWORD version) { S().version = version; }
void SetModulePath(const std::string& path) { S().modulePath = path; }
void SetCommandLine(const std::string& line) { S().commandLine = line; }
void SetTempPath(const std::string& path) { S().tempPath = path; }
void SetWindowsPath(const std::string& path) { S().windowsPath = path; }

void FailAllocation(int n) { S().failAllocation = n; }
void FailRead(int n) { S().failRead = n; }
void LimitWrites(long long bytes) { S().writeLimit = bytes; }
long long LiveBlocks() { return S().liveBlocks; }
long long ReadCalls() { return S().reads; }
std::vector<UINT> ReadSizes() { return S().readSizes; }
std::vector<UINT> WriteSizes() { return S().writeSizes; }

void SetDeleteHook(DeleteHook hook, void* context) {
    S().deleteHook = hook;
    S().deleteContext = context;
}

std::string ToNative(const char* path) {
    std::string p = path ? path : "";
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

}  // namespace standin

using standin::ToNative;

// ---- kernel: process and host ---------------------------------------------------------------

LPSTR GetCommandLineA(void) { return &S().commandLine[0]; }

HMODULE GetModuleHandleA(LPCSTR name) {
    if (!name) return (HMODULE)fakeWindows;  // any non-zero value will do for the instance
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

DWORD GetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (DWORD)(ts.tv_sec * 1000ull + ts.tv_nsec / 1000000);
}
void Sleep(DWORD ms) { usleep(ms * 1000u); }

// ---- memory ---------------------------------------------------------------------------------

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
    if (AllocationFails()) return nullptr;
    (void)flags;  // always zero-filled, as every caller asks
    void* block = calloc(1, bytes ? bytes : 1);
    if (block) S().liveBlocks++;
    return block;
}
void* GlobalLock(HGLOBAL block) { return block; }
BOOL GlobalUnlock(HGLOBAL) { return FALSE; }
HGLOBAL GlobalHandle(const void* pointer) { return (HGLOBAL)pointer; }
HGLOBAL GlobalFree(HGLOBAL block) {
    if (block) S().liveBlocks--;
    free(block);
    return nullptr;
}
HLOCAL LocalAlloc(UINT flags, size_t bytes) { return GlobalAlloc(flags, bytes); }
HLOCAL LocalFree(HLOCAL block) {
    if (block) S().liveBlocks--;
    free(block);
    return nullptr;
}

// ---- files ------------------------------------------------------------------------------------

HFILE _lopen(LPCSTR path, int mode) {
    int access = mode & 3;
    int flags = access == OF_WRITE ? O_WRONLY : access == OF_READWRITE ? O_RDWR : O_RDONLY;
    int fd = open(ToNative(path).c_str(), flags | O_CLOEXEC);
    if (fd < 0) return HFILE_ERROR;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return HFILE_ERROR;
    }
    return fd;
}

HFILE _lcreat(LPCSTR path, int attribute) {
    std::string p = ToNative(path);
    struct stat st;
    // Windows refuses to truncate a read-only file, even for an administrator.
    if (stat(p.c_str(), &st) == 0 && (IsReadOnly(st) || S_ISDIR(st.st_mode))) return HFILE_ERROR;
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return HFILE_ERROR;
    if (attribute & FILE_ATTRIBUTE_READONLY) fchmod(fd, 0444);
    return fd;
}

UINT _lread(HFILE file, void* buffer, UINT count) {
    StandInState& s = S();
    s.reads++;
    s.readSizes.push_back(count);
    UINT want = count;
    if (s.failRead > 0 && --s.failRead == 0 && want > 0) want--;
    UINT done = 0;
    while (done < want) {
        ssize_t r = read(file, (char*)buffer + done, want - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return done ? done : (UINT)HFILE_ERROR;
        }
        if (r == 0) break;
        done += (UINT)r;
    }
    return done;
}

UINT _lwrite(HFILE file, LPCSTR buffer, UINT count) {
    StandInState& s = S();
    s.writeSizes.push_back(count);
    UINT want = count;
    if (s.writeLimit >= 0) {
        if ((long long)want > s.writeLimit) want = (UINT)s.writeLimit;
        s.writeLimit -= want;
    }
    UINT done = 0;
    while (done < want) {
        ssize_t r = write(file, buffer + done, want - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return done ? done : (UINT)HFILE_ERROR;
        }
        done += (UINT)r;
    }
    return done;
}

LONG _llseek(HFILE file, LONG offset, int origin) {
    off_t r = lseek(file, offset, origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END);
    return r < 0 ? (LONG)-1 : (LONG)r;
}

HFILE _lclose(HFILE file) { return close(file) == 0 ? 0 : HFILE_ERROR; }

HFILE OpenFile(LPCSTR path, OFSTRUCT* info, UINT style) {
    std::string p = ToNative(path);
    if (info) {
        memset(info, 0, sizeof *info);
        info->cBytes = sizeof *info;
        snprintf(info->szPathName, sizeof info->szPathName, "%s", path);
    }
    if (style & OF_EXIST) return access(p.c_str(), F_OK) == 0 ? 1 : HFILE_ERROR;
    return _lopen(path, (int)style);
}

// ---- folders and searches --------------------------------------------------------------------

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    std::string p = ToNative(pattern);
    size_t slash = p.rfind('/');
    std::string folder = slash == std::string::npos ? "." : p.substr(0, slash ? slash : 1);
    std::string leaf = slash == std::string::npos ? p : p.substr(slash + 1);
    Search* search = new Search;
    if (leaf.find_first_of("*?") != std::string::npos) {
        if (leaf == "*.*") leaf = "*";  // matches names without a dot too
        if (DIR* d = opendir(folder.c_str())) {
            while (struct dirent* e = readdir(d)) {
                if (fnmatch(leaf.c_str(), e->d_name, FNM_PERIOD & 0) == 0) {
                    WIN32_FIND_DATAA fd;
                    FillFindData(folder, e->d_name, &fd);
                    search->entries.push_back(fd);
                }
            }
            closedir(d);
        }
    } else if (!leaf.empty()) {
        struct stat st;
        if (lstat(p.c_str(), &st) == 0) {
            WIN32_FIND_DATAA fd;
            FillFindData(folder, leaf.c_str(), &fd);
            search->entries.push_back(fd);
        }
    }
    if (search->entries.empty()) {
        delete search;
        return INVALID_HANDLE_VALUE;
    }
    *data = search->entries[search->next++];
    return search;
}

BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) {
    Search* search = (Search*)handle;
    if (search->next >= search->entries.size()) return FALSE;
    *data = search->entries[search->next++];
    return TRUE;
}

BOOL FindClose(HANDLE handle) {
    delete (Search*)handle;
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    std::string p = ToNative(path);
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || IsReadOnly(st)) return FALSE;
    if (S().deleteHook && S().deleteHook(p, S().deleteContext)) return FALSE;
    return unlink(p.c_str()) == 0;
}

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st;
    if (stat(ToNative(path).c_str(), &st) != 0) return 0xFFFFFFFFu;
    DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (IsReadOnly(st)) a |= FILE_ATTRIBUTE_READONLY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    std::string p = ToNative(path);
    struct stat st;
    if (stat(p.c_str(), &st) != 0) return FALSE;
    mode_t m = st.st_mode & 07777;
    m = (attributes & FILE_ATTRIBUTE_READONLY) ? (m & ~0222) : (m | 0200);
    return chmod(p.c_str(), m) == 0;
}

BOOL DosDateTimeToFileTime(WORD date, WORD time, FILETIME* result) {
    int day = date & 31, month = (date >> 5) & 15, year = 1980 + (date >> 9);
    int second = (time & 31) * 2, minute = (time >> 5) & 63, hour = time >> 11;
    if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
        return FALSE;
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    long long unixSeconds = (long long)timegm(&t);
    unsigned long long ticks = (unsigned long long)(unixSeconds + 11644473600ll) * 10000000ull;
    result->dwLowDateTime = (DWORD)ticks;
    result->dwHighDateTime = (DWORD)(ticks >> 32);
    return TRUE;
}

static struct timespec FromFileTime(const FILETIME* ft) {
    struct timespec ts;
    if (!ft) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    unsigned long long ticks = ((unsigned long long)ft->dwHighDateTime << 32) | ft->dwLowDateTime;
    ts.tv_sec = (time_t)(ticks / 10000000ull) - 11644473600ll;
    ts.tv_nsec = (long)(ticks % 10000000ull) * 100;
    return ts;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* accessed, const FILETIME* written) {
    struct timespec times[2] = {FromFileTime(accessed), FromFileTime(written)};
    return futimens((int)(intptr_t)file, times) == 0;
}

BOOL CreateDirectoryA(LPCSTR path, void*) { return mkdir(ToNative(path).c_str(), 0777) == 0; }
BOOL RemoveDirectoryA(LPCSTR path) { return rmdir(ToNative(path).c_str()) == 0; }
BOOL SetCurrentDirectoryA(LPCSTR path) { return chdir(ToNative(path).c_str()) == 0; }

static DWORD CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (text.size() + 1 > size) return (DWORD)text.size() + 1;  // the size it would need
    memcpy(buffer, text.c_str(), text.size() + 1);
    return (DWORD)text.size();
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    std::string t = S().tempPath;
    if (t.empty()) {
        const char* env = getenv("TMPDIR");
        t = env && *env ? env : "/tmp";
    }
    if (t.back() != '/') t += '/';
    return CopyOut(t, buffer, size);
}

UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique, LPSTR result) {
    std::string base = folder;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    base.append(prefix, strnlen(prefix, 3));
    char number[16];
    if (unique != 0) {
        snprintf(number, sizeof number, "%X.TMP", unique & 0xFFFF);
        std::string name = base + number;
        if (name.size() >= MAX_PATH) return 0;
        strcpy(result, name.c_str());
        return unique;
    }
    for (UINT n = (UINT)(getpid() & 0xFFFF) | 1, tries = 0; tries < 0x10000; ++tries, ++n) {
        UINT u = n & 0xFFFF;
        if (!u) continue;
        snprintf(number, sizeof number, "%X.TMP", u);
        std::string name = base + number;
        if (name.size() >= MAX_PATH) return 0;
        int fd = open(ToNative(name.c_str()).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0666);
        if (fd >= 0) {
            close(fd);
            strcpy(result, name.c_str());
            return u;
        }
        if (errno != EEXIST) return 0;
    }
    return 0;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) { return CopyOut(S().windowsPath, buffer, size); }

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

// ---- user: boxes, formatting, code pages, messages, controls --------------------------------

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return StandInMessageBox(-1, owner, text, caption, type);
}

int StandInMessageBox(int purpose, HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    StandInState& s = S();
    ShownMessageBox box{owner, text ? text : "", caption ? caption : "", type, purpose};
    s.boxes.push_back(box);
    if (s.answer) return s.answer(box, s.answerContext);
    if (s.fixedAnswer) return s.fixedAnswer;
    switch (type & 0xF) {
        case MB_OK: return IDOK;
        case MB_OKCANCEL: return IDOK;
        default: return IDNO;
    }
}

// The formats the program uses: %s %c %d %u %x %X with flags '-' and '0', a width, and 'l'
// (which on this host still means 32 bits, as it does for the program). At most 1024
// characters are stored, as on Windows.
int wvsprintfA(LPSTR buffer, LPCSTR format, va_list args) {
    const int limit = 1024;
    int n = 0;
    auto put = [&](char c) {
        if (n < limit) buffer[n++] = c;
    };
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            put(*f);
            continue;
        }
        ++f;
        bool left = false, zero = false;
        for (;; ++f) {
            if (*f == '-') left = true;
            else if (*f == '0') zero = true;
            else break;
        }
        int width = 0;
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        if (*f == 'l' || *f == 'h') ++f;
        char digits[40];
        const char* text = digits;
        int len = 0;
        switch (*f) {
            case 's': {
                text = va_arg(args, const char*);
                if (!text) text = "(null)";
                len = (int)strlen(text);
                break;
            }
            case 'c': digits[0] = (char)va_arg(args, int); len = 1; break;
            case 'd': len = snprintf(digits, sizeof digits, "%d", va_arg(args, int)); break;
            case 'u': len = snprintf(digits, sizeof digits, "%u", va_arg(args, unsigned)); break;
            case 'x': len = snprintf(digits, sizeof digits, "%x", va_arg(args, unsigned)); break;
            case 'X': len = snprintf(digits, sizeof digits, "%X", va_arg(args, unsigned)); break;
            case '%': digits[0] = '%'; len = 1; break;
            case 0: --f; continue;
            default: digits[0] = *f; len = 1; break;
        }
        int pad = width > len ? width - len : 0;
        if (!left)
            for (int i = 0; i < pad; ++i) put(zero && *f != 's' ? '0' : ' ');
        for (int i = 0; i < len; ++i) put(text[i]);
        if (left)
            for (int i = 0; i < pad; ++i) put(' ');
    }
    buffer[n] = 0;
    return n;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(buffer, format, args);
    va_end(args);
    return n;
}

BOOL OemToCharA(LPCSTR src, LPSTR dest) {
    const unsigned char* s = (const unsigned char*)src;
    unsigned char* d = (unsigned char*)dest;
    do {
        *d++ = oemToAnsi[*s];
    } while (*s++);
    return TRUE;
}

BOOL OemToCharBuffA(LPCSTR src, LPSTR dest, DWORD length) {
    for (DWORD i = 0; i < length; ++i) dest[i] = (char)oemToAnsi[(unsigned char)src[i]];
    return TRUE;
}

BOOL PeekMessageA(MSG* msg, HWND, UINT, UINT, UINT remove) {
    StandInState& s = S();
    if (s.queue.empty()) return FALSE;
    *msg = s.queue.front();
    if (remove & PM_REMOVE) s.queue.pop_front();
    return TRUE;
}
BOOL TranslateMessage(const MSG*) { return FALSE; }
LRESULT DispatchMessageA(const MSG* msg) {
    if (S().dispatch) S().dispatch(*msg, S().dispatchContext);
    return 0;
}

HWND GetParent(HWND window) {
    char* w = (char*)window;
    if (w > fakeWindows && w < fakeWindows + sizeof fakeWindows) return fakeWindows;
    return nullptr;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) { return (HCURSOR)name; }
HCURSOR SetCursor(HCURSOR cursor) { return cursor; }

HWND GetDlgItem(HWND dialog, int id) { return dialog ? standin::FakeControl(id) : nullptr; }

BOOL SetDlgItemTextA(HWND, int id, LPCSTR text) {
    S().controlTexts[id] = text ? text : "";
    return TRUE;
}

LRESULT SendDlgItemMessageA(HWND, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    S().sent.push_back({id, message, wParam, lParam});
    return 0;
}

static int IdOf(HWND window) {
    char* w = (char*)window;
    if (w > fakeWindows && w < fakeWindows + sizeof fakeWindows) return (int)(w - fakeWindows - 1);
    return 0;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    S().sent.push_back({IdOf(window), message, wParam, lParam});
    return 0;
}

BOOL InvalidateRect(HWND window, const RECT*, BOOL) {
    S().invalidations[IdOf(window)]++;
    return TRUE;
}

BOOL DestroyIcon(HICON icon) {
    free(icon);
    return TRUE;
}

// ---- shell -----------------------------------------------------------------------------------

// Reads the first image of an icon file: 0 when the file holds no icon, 1 when it is no icon
// file at all; otherwise a heap record standing for the icon.
HICON ExtractIconA(HINSTANCE, LPCSTR file, UINT index) {
    int fd = open(ToNative(file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return (HICON)1;
    unsigned char header[6];
    ssize_t n = read(fd, header, sizeof header);
    close(fd);
    if (n != 6 || header[0] || header[1] || header[2] != 1 || header[3]) return (HICON)1;
    unsigned count = header[4] | (header[5] << 8);
    if (index >= count) return nullptr;
    return (HICON)calloc(1, 16);
}
