// The POSIX calls of mksfx on Windows in UTF-8 (see winposix.h): each converts its names to
// UTF-16 and calls the wide form of the system's function.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "tools/common/codepages.h"
#include "tools/common/winposix.h"

namespace {

// UTF-8 to UTF-16. A byte that does not belong to a valid UTF-8 sequence is taken as
// Windows-1252, the code page in which the stub's own code names the files it extracts.
std::wstring Wide(const char* utf8) {
    std::wstring out;
    const unsigned char* p = (const unsigned char*)utf8;
    while (*p) {
        unsigned c = *p, need = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        unsigned value = need == 0 ? c : need == 1 ? c & 0x1F : need == 2 ? c & 0x0F : c & 0x07;
        unsigned k = 1;
        for (; need != 9 && k <= need && (p[k] & 0xC0) == 0x80; ++k) value = value << 6 | (p[k] & 0x3F);
        static const unsigned kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (need == 9 || k <= need || value < kLeast[need] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
            std::string one = codepages::Cp1252ToUtf8(std::string(1, (char)c));
            out += Wide(one.c_str());
            ++p;
            continue;
        }
        if (value >= 0x10000) {
            value -= 0x10000;
            out += (wchar_t)(0xD800 + (value >> 10));
            out += (wchar_t)(0xDC00 + (value & 0x3FF));
        } else {
            out += (wchar_t)value;
        }
        p += need + 1;
    }
    return out;
}

// A path for the wide calls: long absolute paths get the \\?\ prefix (and backslashes),
// which lifts the limit of MAX_PATH characters.
std::wstring WidePath(const char* utf8) {
    std::wstring w = Wide(utf8);
    if (w.size() >= MAX_PATH - 12 && w.size() > 2 && w[1] == L':' && (w[2] == L'\\' || w[2] == L'/')) {
        for (wchar_t& c : w)
            if (c == L'/') c = L'\\';
        w = L"\\\\?\\" + w;
    }
    return w;
}

std::string Utf8(const wchar_t* wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, &out[0], n, nullptr, nullptr);
    return out;
}

int Failed() {
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: case ERROR_BAD_NETPATH:
            errno = ENOENT; break;
        case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: errno = EACCES; break;
        case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
        case ERROR_DIR_NOT_EMPTY: errno = ENOTEMPTY; break;
        case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
        case ERROR_NOT_ENOUGH_MEMORY: case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
        case ERROR_DIRECTORY: errno = ENOTDIR; break;
        default: errno = EIO; break;
    }
    return -1;
}

time_t UnixTime(const FILETIME& t) {
    unsigned long long ticks = (unsigned long long)t.dwHighDateTime << 32 | t.dwLowDateTime;
    return (time_t)((long long)(ticks / 10000000ull) - 11644473600ll);
}

FILETIME FileTime(const struct timeval& t) {
    unsigned long long ticks = ((unsigned long long)(t.tv_sec + 11644473600ll)) * 10000000ull + t.tv_usec * 10ull;
    return FILETIME{(DWORD)ticks, (DWORD)(ticks >> 32)};
}

// Status from an open handle: of a disk file or folder its identity, size, times and links;
// of a pipe or a device only the kind.
int StatusOf(HANDLE h, struct tessly_stat* st) {
    memset(st, 0, sizeof *st);
    DWORD type = GetFileType(h);
    if (type == FILE_TYPE_PIPE) { st->st_mode = _S_IFIFO | 0666; st->st_nlink = 1; return 0; }
    if (type == FILE_TYPE_CHAR) { st->st_mode = _S_IFCHR | 0666; st->st_nlink = 1; return 0; }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) return Failed();
    bool folder = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    st->st_mode = (folder ? _S_IFDIR | 0777 : _S_IFREG | 0666) &
                  ~(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY && !folder ? 0222u : 0u);
    st->st_dev = info.dwVolumeSerialNumber;
    st->st_ino = (unsigned long long)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    st->st_nlink = info.nNumberOfLinks;
    st->st_size = folder ? 0 : (long long)((unsigned long long)info.nFileSizeHigh << 32 | info.nFileSizeLow);
    st->st_atime = UnixTime(info.ftLastAccessTime);
    st->st_mtime = UnixTime(info.ftLastWriteTime);
    st->st_ctime = UnixTime(info.ftCreationTime);
    return 0;
}

HANDLE HandleOf(int fd) { return (HANDLE)_get_osfhandle(fd); }

}  // namespace

struct tessly_dir {
    HANDLE search = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW found;
    bool pending = false;
    tessly_dirent entry;
};

extern "C" {

int tessly_stat(const char* path, struct tessly_stat* st) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Failed();
    int rc = StatusOf(h, st);
    CloseHandle(h);
    return rc;
}

int tessly_fstat(int fd, struct tessly_stat* st) {
    HANDLE h = HandleOf(fd);
    if (h == INVALID_HANDLE_VALUE) return errno = EBADF, -1;
    return StatusOf(h, st);
}

int tessly_open(const char* path, int flags, ...) {
    int mode = 0;
    if (flags & O_CREAT) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, int);
        va_end(args);
    }
    return _wopen(WidePath(path).c_str(), flags | O_BINARY | O_NOINHERIT,
                  (mode & 0222) ? _S_IREAD | _S_IWRITE : _S_IREAD);
}

int tessly_rename(const char* from, const char* to) {
    return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : Failed();
}
int tessly_unlink(const char* path) { return DeleteFileW(WidePath(path).c_str()) ? 0 : Failed(); }
int tessly_rmdir(const char* path) { return RemoveDirectoryW(WidePath(path).c_str()) ? 0 : Failed(); }
int tessly_mkdir(const char* path, int) { return CreateDirectoryW(WidePath(path).c_str(), nullptr) ? 0 : Failed(); }

// The X's at the end of `pattern` become letters and digits until a new name is found.
static bool NextName(char* pattern, unsigned* mix) {
    size_t n = strlen(pattern), x = 0;
    while (x < n && x < 6 && pattern[n - 1 - x] == 'X') ++x;
    if (x < 6) return errno = EINVAL, false;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (size_t i = 0; i < 6; ++i) {
        *mix = *mix * 1103515245u + 12345u;
        pattern[n - 6 + i] = kLetters[(*mix >> 16) % 36];
    }
    return true;
}

int tessly_mkstemp(char* pattern) {
    unsigned mix = GetTickCount() ^ GetCurrentProcessId() << 16;
    std::string original = pattern;
    for (int tries = 0; tries < 1000; ++tries) {
        strcpy(pattern, original.c_str());
        if (!NextName(pattern, &mix)) return -1;
        int fd = tessly_open(pattern, O_RDWR | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return errno = EEXIST, -1;
}

char* tessly_mkdtemp(char* pattern) {
    unsigned mix = GetTickCount() ^ GetCurrentProcessId() << 16;
    std::string original = pattern;
    for (int tries = 0; tries < 1000; ++tries) {
        strcpy(pattern, original.c_str());
        if (!NextName(pattern, &mix)) return nullptr;
        if (tessly_mkdir(pattern, 0700) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    return errno = EEXIST, nullptr;
}

int tessly_utimes(const char* path, const struct timeval times[2]) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Failed();
    FILETIME access = FileTime(times[0]), write = FileTime(times[1]);
    BOOL ok = SetFileTime(h, nullptr, &access, &write);
    CloseHandle(h);
    return ok ? 0 : Failed();
}

int futimens(int fd, const struct timespec times[2]) {
    FILETIME at[2];
    for (int i = 0; i < 2; ++i) {
        unsigned long long ticks = ((unsigned long long)(times[i].tv_sec + 11644473600ll)) * 10000000ull +
                                   (unsigned long long)times[i].tv_nsec / 100u;
        at[i] = FILETIME{(DWORD)ticks, (DWORD)(ticks >> 32)};
    }
    return SetFileTime(HandleOf(fd), nullptr, times[0].tv_nsec == UTIME_OMIT ? nullptr : &at[0],
                       times[1].tv_nsec == UTIME_OMIT ? nullptr : &at[1]) ? 0 : Failed();
}

void* memmem(const void* haystack, size_t size, const void* needle, size_t length) {
    const char* h = (const char*)haystack;
    if (length == 0) return (void*)h;
    for (size_t at = 0; length <= size && at <= size - length; ++at)
        if (h[at] == *(const char*)needle && memcmp(h + at, needle, length) == 0) return (void*)(h + at);
    return nullptr;
}

// At an offset without moving the file's position, as POSIX has it.
ssize_t tessly_pread(int fd, void* buffer, size_t size, long long offset) {
    long long was = _lseeki64(fd, 0, SEEK_CUR);
    if (was < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    int n = _read(fd, buffer, (unsigned)(size > 0x40000000u ? 0x40000000u : size));
    _lseeki64(fd, was, SEEK_SET);
    return n;
}

ssize_t tessly_pwrite(int fd, const void* buffer, size_t size, long long offset) {
    long long was = _lseeki64(fd, 0, SEEK_CUR);
    if (was < 0 || _lseeki64(fd, offset, SEEK_SET) < 0) return -1;
    int n = _write(fd, buffer, (unsigned)(size > 0x40000000u ? 0x40000000u : size));
    _lseeki64(fd, was, SEEK_SET);
    return n;
}

int tessly_ftruncate(int fd, long long size) {
    int rc = _chsize_s(fd, size);
    return rc == 0 ? 0 : (errno = rc, -1);
}

tessly_dir* tessly_opendir(const char* path) {
    std::wstring pattern = WidePath(path);
    if (!pattern.empty() && pattern.back() != L'/' && pattern.back() != L'\\') pattern += L'\\';
    tessly_dir* dir = new tessly_dir;
    dir->search = FindFirstFileW((pattern + L"*").c_str(), &dir->found);
    if (dir->search == INVALID_HANDLE_VALUE) {
        Failed();
        delete dir;
        return nullptr;
    }
    dir->pending = true;
    return dir;
}

struct tessly_dirent* tessly_readdir(tessly_dir* dir) {
    if (!dir->pending && !FindNextFileW(dir->search, &dir->found)) return nullptr;
    dir->pending = false;
    std::string name = Utf8(dir->found.cFileName);
    snprintf(dir->entry.d_name, sizeof dir->entry.d_name, "%s", name.c_str());
    return &dir->entry;
}

int tessly_closedir(tessly_dir* dir) {
    FindClose(dir->search);
    delete dir;
    return 0;
}

static int Walk(const std::string& path, tessly_ftw_callback callback, int level, size_t base) {
    struct tessly_stat st;
    if (tessly_stat(path.c_str(), &st) != 0) return 0;
    struct FTW where = {(int)base, level};
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        if (tessly_dir* dir = tessly_opendir(path.c_str())) {
            while (tessly_dirent* e = tessly_readdir(dir))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
            tessly_closedir(dir);
        }
        for (const std::string& name : names)
            if (int rc = Walk(path + "/" + name, callback, level + 1, path.size() + 1)) return rc;
        return callback(path.c_str(), &st, FTW_DP, &where);
    }
    return callback(path.c_str(), &st, FTW_F, &where);
}

int nftw(const char* path, tessly_ftw_callback callback, int, int) {
    std::string root = path;
    size_t slash = root.find_last_of("/\\");
    return Walk(root, callback, 0, slash == std::string::npos ? 0 : slash + 1);
}

int fnmatch(const char* pattern, const char* name, int) {
    if (!*pattern) return *name ? 1 : 0;
    if (*pattern == '*') {
        for (const char* rest = name;; ++rest) {
            if (fnmatch(pattern + 1, rest, 0) == 0) return 0;
            if (!*rest) return 1;
        }
    }
    if (!*name || (*pattern != '?' && *pattern != *name)) return 1;
    return fnmatch(pattern + 1, name + 1, 0);
}

int flock(int fd, int operation) {
    HANDLE h = HandleOf(fd);
    OVERLAPPED at = {};
    if (operation & LOCK_UN) return UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &at) ? 0 : Failed();
    DWORD how = (operation & LOCK_EX ? LOCKFILE_EXCLUSIVE_LOCK : 0) | (operation & LOCK_NB ? LOCKFILE_FAIL_IMMEDIATELY : 0);
    return LockFileEx(h, how, 0, MAXDWORD, MAXDWORD, &at) ? 0 : (errno = EWOULDBLOCK, -1);
}

int tessly_clock_gettime(int, struct timespec* now) {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    now->tv_sec = (time_t)(count.QuadPart / frequency.QuadPart);
    now->tv_nsec = (long)((count.QuadPart % frequency.QuadPart) * 1000000000ll / frequency.QuadPart);
    return 0;
}

static bool Delivered(int s) { return s == SIGINT || s == SIGTERM || s == SIGABRT; }

void (*tessly_signal(int s, void (*handler)(int)))(int) {
    return Delivered(s) ? (::signal)(s, handler) : SIG_DFL;
}

int sigaction(int s, const struct sigaction* now, struct sigaction* before) {
    if (!Delivered(s)) {
        if (before) memset(before, 0, sizeof *before);
        return 0;
    }
    void (*was)(int) = (::signal)(s, now ? now->sa_handler : SIG_DFL);
    if (!now) (::signal)(s, was);
    if (before) {
        memset(before, 0, sizeof *before);
        before->sa_handler = was;
    }
    return 0;
}

void tessly_utf8_main(int* argc, char*** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return;
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
    LocalFree(wide);
    for (std::string& a : args) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
    _setmode(0, O_BINARY);
    _setmode(1, O_BINARY);
    _setmode(2, O_BINARY);
    SetConsoleOutputCP(CP_UTF8);  // a console shows the UTF-8 that mksfx writes
}

int main(int argc, char** argv) {
    tessly_utf8_main(&argc, &argv);
    return tessly_main(argc, argv);
}

int tessly_self_path(char* buffer, size_t size) {
    wchar_t self[32768];
    DWORD n = GetModuleFileNameW(nullptr, self, 32768);
    if (n == 0 || n >= 32768) return -1;
    std::string path = Utf8(self);
    if (path.size() >= size) return -1;
    memcpy(buffer, path.c_str(), path.size() + 1);
    return (int)path.size();
}

}  // extern "C"
#endif  // _WIN32
