// The file and folder calls of the core on POSIX: files, searches, attributes and times,
// folders, temporary names. Paths arrive with backslashes and are translated here.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "posix/scripted.h"

using scripted::S;
using scripted::StandInState;
using standin::ToNative;

namespace {

struct Search {
    std::vector<WIN32_FIND_DATAA> entries;
    size_t next = 0;
};

bool IsReadOnly(const struct stat& st) { return (st.st_mode & 0222) == 0; }

// `st` is the entry's lstat, or null when it could not be taken.
void FillFindData(const char* name, const struct stat* st, WIN32_FIND_DATAA* data) {
    memset(data, 0, sizeof *data);
    snprintf(data->cFileName, sizeof data->cFileName, "%s", name);
    if (st) {
        DWORD a = S_ISDIR(st->st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
        if (IsReadOnly(*st)) a |= FILE_ATTRIBUTE_READONLY;
        data->dwFileAttributes = a ? a : FILE_ATTRIBUTE_NORMAL;
        data->nFileSizeLow = (DWORD)st->st_size;
        data->nFileSizeHigh = (DWORD)((unsigned long long)st->st_size >> 32);
    }
}

}  // namespace

// ---- files ------------------------------------------------------------------------------------

// As Windows holds a file that a handle has open without sharing its deletion: deleting it
// fails until the handle is closed.
static HFILE Held(HFILE file) {
    struct stat st;
    if (file >= 0 && fstat(file, &st) == 0) S().heldOpen[file] = {st.st_dev, st.st_ino};
    return file;
}

static HFILE OpenPlain(LPCSTR path, int mode) {
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

static HFILE CreatePlain(LPCSTR path, int attribute) {
    std::string p = ToNative(path);
    // A new file, the usual case, takes one call; only an existing name is looked at first.
    int fd = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (attribute & FILE_ATTRIBUTE_READONLY) fchmod(fd, 0444);
        return fd;
    }
    if (errno != EEXIST) return HFILE_ERROR;
    struct stat st;
    // Windows refuses to truncate a read-only file, even for an administrator.
    if (stat(p.c_str(), &st) == 0 && (IsReadOnly(st) || S_ISDIR(st.st_mode))) return HFILE_ERROR;
    fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return HFILE_ERROR;
    if (attribute & FILE_ATTRIBUTE_READONLY) fchmod(fd, 0444);
    return fd;
}

HFILE _lopen(LPCSTR path, int mode) { return Held(OpenPlain(path, mode)); }
HFILE _lcreat(LPCSTR path, int attribute) { return Held(CreatePlain(path, attribute)); }

UINT _lread(HFILE file, void* buffer, UINT count) {
    StandInState& s = S();
    s.reads++;
    s.readSizes.push_back(count);
    if (s.failRead > 0 && --s.failRead == 0) return (UINT)HFILE_ERROR;
    UINT want = count;
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
    s.bytesWritten += done;
    return done;
}

DWORD SetFilePointer(HANDLE file, LONG low, LONG* high, DWORD origin) {
    long long offset = high ? (long long)(((unsigned long long)(DWORD)*high << 32) | (DWORD)low) : low;
    int whence = origin == FILE_BEGIN ? SEEK_SET : origin == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    off_t r = lseek((int)(intptr_t)file, (off_t)offset, whence);
    if (r < 0) return INVALID_SET_FILE_POINTER;
    if (high) *high = (LONG)((unsigned long long)r >> 32);
    return (DWORD)r;
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD, DWORD, OVERLAPPED*) {
    int how = flags & LOCKFILE_EXCLUSIVE_LOCK ? LOCK_EX : LOCK_SH;
    return flock((int)(intptr_t)file, how) == 0;
}

BOOL UnlockFileEx(HANDLE file, DWORD, DWORD, DWORD, OVERLAPPED*) {
    return flock((int)(intptr_t)file, LOCK_UN) == 0;
}

HFILE _lclose(HFILE file) {
    S().heldOpen.erase(file);
    return close(file) == 0 ? 0 : HFILE_ERROR;
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void*, DWORD disposition, DWORD, HANDLE) {
    const DWORD kShareDelete = 0x04;
    HFILE file;
    if (disposition == CREATE_ALWAYS) {
        file = CreatePlain(path, 0);
    } else if (disposition == CREATE_NEW || disposition == OPEN_ALWAYS) {
        int create = disposition == CREATE_NEW ? O_CREAT | O_EXCL : O_CREAT;
        file = open(ToNative(path).c_str(), O_RDWR | create | O_CLOEXEC, 0666);
    } else {
        int mode = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? OF_READWRITE : OF_WRITE) : OF_READ;
        file = OpenPlain(path, mode);
    }
    if (file < 0) return INVALID_HANDLE_VALUE;
    if (!(share & kShareDelete)) Held(file);
    if (disposition == CREATE_ALWAYS || disposition == CREATE_NEW) S().filesCreated++;
    return (HANDLE)(intptr_t)file;
}

// Both forms of a name are its bytes: a conversion copies, as far as there is room.
static int CopyName(const char* from, int length, char* to, int size) {
    if (length < -1) return 0;  // only -1 is documented: "up to and with the NUL"
    int n = length < 0 ? (int)strlen(from) + 1 : length;
    if (size == 0) return n;
    if (n > size) return 0;
    memcpy(to, from, (size_t)n);
    return n;
}

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int length, WCHAR* wide, int size) {
    return CopyName(text, length, wide, size);
}

int WideCharToMultiByte(UINT, DWORD, const WCHAR* wide, int length, LPSTR text, int size, LPCSTR,
                        BOOL* usedDefault) {
    if (usedDefault) *usedDefault = FALSE;
    return CopyName(wide, length, text, size);
}

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
                    struct stat st;
                    std::string full = folder + "/" + e->d_name;
                    FillFindData(e->d_name, lstat(full.c_str(), &st) == 0 ? &st : nullptr, &fd);
                    search->entries.push_back(fd);
                }
            }
            closedir(d);
        }
    } else if (!leaf.empty()) {
        struct stat st;
        // One lstat both finds the entry and fills in what a search reports of it.
        if (lstat(p.c_str(), &st) == 0) {
            WIN32_FIND_DATAA fd;
            FillFindData(leaf.c_str(), &st, &fd);
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
    for (const auto& [fd, id] : S().heldOpen)
        if (id.first == st.st_dev && id.second == st.st_ino) return FALSE;
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
    // As Windows does, the fields become a file time as they are, without a time zone.
    unsigned long long ticks = (unsigned long long)((long long)timegm(&t) + 11644473600ll) * 10000000ull;
    result->dwLowDateTime = (DWORD)ticks;
    result->dwHighDateTime = (DWORD)(ticks >> 32);
    return TRUE;
}

// The wall-clock time `local` stands for, in the zone of TZ (with the daylight saving time of
// that date, as the C library knows it).
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* result) {
    unsigned long long ticks = ((unsigned long long)local->dwHighDateTime << 32) | local->dwLowDateTime;
    time_t wall = (time_t)(ticks / 10000000ull) - 11644473600ll;
    struct tm t;
    if (!gmtime_r(&wall, &t)) return FALSE;
    t.tm_isdst = -1;
    long long seconds = (long long)mktime(&t);
    ticks = (unsigned long long)(seconds + 11644473600ll) * 10000000ull + ticks % 10000000ull;
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
    if (text.size() + 1 > size) {
        // The size it would need; what the buffer then holds is not defined: here junk without
        // an end, so that a caller who overlooks the size reads past its buffer.
        if (buffer) memset(buffer, '?', size);
        return (DWORD)text.size() + 1;
    }
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
