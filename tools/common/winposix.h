// The POSIX calls of mksfx on Windows (the MinGW-w64 build, mksfx.exe). mksfx works in UTF-8
// throughout; Windows names files in UTF-16. This header, included before every source of
// that build, puts UTF-8 versions of the file calls in place of the C runtime's (which take
// the ANSI code page and cannot name every file), opens every file in binary mode, and gives
// the few POSIX calls the C runtime lacks. Signals beyond SIGINT and SIGTERM, symbolic links,
// owners and modes do not exist there and are answered as absent.
#pragma once
#ifdef _WIN32

#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // localtime_r, gmtime_r
#endif
#ifdef __cplusplus
// The C++ headers take back the macros of the C functions they wrap (rename, raise, ...):
// included first, they are done before the macros below are made.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#endif
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <process.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

// UTF-8 paths are longer than the C runtime's 260 bytes.
#undef PATH_MAX
#define PATH_MAX 4096
#undef O_CLOEXEC
#define O_CLOEXEC O_NOINHERIT

// ---- file status: device and file index as the identity, the link count ----------------------
typedef unsigned long long tessly_ino_t;
typedef unsigned long tessly_dev_t;
#define ino_t tessly_ino_t
#define dev_t tessly_dev_t
#undef stat
#undef fstat
struct tessly_stat {
    tessly_dev_t st_dev;
    tessly_ino_t st_ino;
    unsigned int st_mode, st_nlink;
    int st_uid, st_gid;
    long long st_size;
    time_t st_atime, st_mtime, st_ctime;
};
int tessly_stat(const char* path, struct tessly_stat* st);
int tessly_fstat(int fd, struct tessly_stat* st);
#define stat tessly_stat
#define fstat tessly_fstat
#define lstat tessly_stat
#ifndef S_IFLNK
#define S_IFLNK 0xA000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0xC000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) (((m) & S_IFMT) == S_IFSOCK)
#endif
#ifndef S_ISFIFO
#define S_ISFIFO(m) (((m) & S_IFMT) == _S_IFIFO)
#endif
#ifndef S_ISCHR
#define S_ISCHR(m) (((m) & S_IFMT) == _S_IFCHR)
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) (((m) & S_IFMT) == 0x6000)
#endif

// ---- files and folders by UTF-8 name -------------------------------------------------------
int tessly_open(const char* path, int flags, ...);
int tessly_rename(const char* from, const char* to);  // replaces an existing `to`
int tessly_unlink(const char* path);
int tessly_rmdir(const char* path);
int tessly_mkdir(const char* path, int mode);
int tessly_mkstemp(char* pattern);
char* tessly_mkdtemp(char* pattern);
int tessly_utimes(const char* path, const struct timeval times[2]);
#define open(...) tessly_open(__VA_ARGS__)
#define rename(from, to) tessly_rename(from, to)
#define unlink(path) tessly_unlink(path)
#define rmdir(path) tessly_rmdir(path)
#define mkdir(path, mode) tessly_mkdir(path, mode)
#define mkstemp(pattern) tessly_mkstemp(pattern)
#define mkdtemp(pattern) tessly_mkdtemp(pattern)
#define utimes(path, times) tessly_utimes(path, times)
// Neither owners nor POSIX modes: a replaced file keeps none, nothing to carry over.
#define fchown(fd, uid, gid) ((void)(fd), 0)
#define fchmod(fd, mode) ((void)(fd), 0)
#define readlink(path, buffer, size) (errno = EINVAL, (ssize_t)-1)  // no symbolic links

#ifndef UTIME_OMIT
#define UTIME_OMIT ((1l << 30) - 2l)
#endif
int futimens(int fd, const struct timespec times[2]);  // UTIME_OMIT keeps one
void* memmem(const void* haystack, size_t size, const void* needle, size_t length);

// ---- reading and writing at an offset, sizes, flushing ----------------------------------------
ssize_t tessly_pread(int fd, void* buffer, size_t size, long long offset);
ssize_t tessly_pwrite(int fd, const void* buffer, size_t size, long long offset);
int tessly_ftruncate(int fd, long long size);
#define pread(fd, buffer, size, offset) tessly_pread(fd, buffer, size, offset)
#define pwrite(fd, buffer, size, offset) tessly_pwrite(fd, buffer, size, offset)
#undef ftruncate
#define ftruncate(fd, size) tessly_ftruncate(fd, size)
#define fsync(fd) _commit(fd)

// ---- folders: entries with UTF-8 names of any length ----------------------------------------
struct tessly_dirent {
    char d_name[4 * 260];
};
typedef struct tessly_dir tessly_dir;
tessly_dir* tessly_opendir(const char* path);
struct tessly_dirent* tessly_readdir(tessly_dir* dir);
int tessly_closedir(tessly_dir* dir);
#define DIR tessly_dir
#define dirent tessly_dirent
#define opendir(path) tessly_opendir(path)
#define readdir(dir) tessly_readdir(dir)
#define closedir tessly_closedir  // also taken by address, as a deleter

// ---- a file tree, deepest entries first (FTW_DEPTH | FTW_PHYS alone) ----------------------------
struct FTW {
    int base, level;
};
#define FTW_F 0
#define FTW_D 1
#define FTW_DP 5
#define FTW_PHYS 1
#define FTW_DEPTH 8
typedef int (*tessly_ftw_callback)(const char*, const struct tessly_stat*, int, struct FTW*);
int nftw(const char* path, tessly_ftw_callback callback, int descriptors, int flags);

// ---- name patterns, locks ----------------------------------------------------------------------
#define FNM_PERIOD 4
int fnmatch(const char* pattern, const char* name, int flags);  // '*' and '?'
#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
int flock(int fd, int operation);

// ---- time ----------------------------------------------------------------------------------------
#ifndef CLOCK_MONOTONIC
#define CLOCK_MONOTONIC 1
#endif
int tessly_clock_gettime(int clock, struct timespec* now);
#define clock_gettime(clock, now) tessly_clock_gettime(clock, now)
#define timegm _mkgmtime

// ---- signals: SIGINT and SIGTERM; the others never come ---------------------------------------
#define SIGHUP 1
#define SIGKILL 9
#define SIGXFSZ 25
typedef unsigned long sigset_t;
struct sigaction {
    void (*sa_handler)(int);
    sigset_t sa_mask;
    int sa_flags;
};
#define SIG_BLOCK 0
#define SIG_SETMASK 2
int sigaction(int signal, const struct sigaction* now, struct sigaction* before);
void (*tessly_signal(int signal, void (*handler)(int)))(int);
#define signal(s, handler) tessly_signal(s, handler)
#define sigemptyset(set) (*(set) = 0)
#define sigaddset(set, s) (*(set) |= 1ul << (s))
#define sigprocmask(how, set, old) ((void)(set), (old) ? *(sigset_t*)(old) = 0 : 0, 0)
#define kill(pid, s) (errno = ESRCH, -1)

// ---- the edge: arguments and standard streams ----------------------------------------------
// Replaces main's arguments by the command line's in UTF-8, and sets the standard streams to
// binary (mksfx writes its own line ends and reads files from standard input byte for byte).
void tessly_utf8_main(int* argc, char*** argv);
// mksfx's own main, compiled under this name (cmake/mksfxexe.cmake): the program's main
// (winposix.cpp) calls it once the arguments are in UTF-8, since Windows gives them in the
// ANSI code page.
int tessly_main(int argc, char** argv);
// This program's own file, in UTF-8.
int tessly_self_path(char* buffer, size_t size);

#ifdef __cplusplus
}
#endif
#endif  // _WIN32
