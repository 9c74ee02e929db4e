// The Windows calls that the program's core makes, on POSIX. A stand-in, not an emulator:
// each call does what the calling code needs of it. Paths arrive with backslashes and are
// translated to slashes here, at the boundary, and nowhere else.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef WORD LANGID;
typedef uint64_t ULONGLONG;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HICON;
typedef HANDLE HFONT;
typedef HANDLE HDC;
typedef HANDLE HLOCAL;
typedef HANDLE HCURSOR;
typedef int HFILE;
// File names are bytes on Linux: the "wide" form of a name is its bytes, as they come.
typedef char WCHAR;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define HFILE_ERROR ((HFILE)-1)
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
enum { FILE_BEGIN = 0, FILE_CURRENT = 1, FILE_END = 2 };
#define MAKEINTRESOURCEA(i) ((LPSTR)(uintptr_t)(WORD)(i))
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_WAIT MAKEINTRESOURCEA(32514)

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define OF_READ 0x0000
#define OF_WRITE 0x0001
#define OF_READWRITE 0x0002
#define OF_SHARE_EXCLUSIVE 0x0010
#define OF_SHARE_DENY_WRITE 0x0020
#define OF_EXIST 0x4000
#define OFS_MAXPATHNAME 128

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x01
#define FILE_SHARE_WRITE 0x02
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define LOCKFILE_EXCLUSIVE_LOCK 0x02
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001

#define MB_OK 0x00
#define MB_OKCANCEL 0x01
#define MB_YESNOCANCEL 0x03
#define MB_YESNO 0x04
#define MB_ICONERROR 0x10
#define MB_ICONQUESTION 0x20
#define MB_ICONINFORMATION 0x40
#define MB_DEFBUTTON2 0x100
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define WM_QUIT 0x0012
#define WM_SETCURSOR 0x0020
#define WM_VKEYTOITEM 0x002E
#define WM_NCMOUSEMOVE 0x00A0
#define WM_NCLBUTTONDOWN 0x00A1
#define WM_NCLBUTTONDBLCLK 0x00A3
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSCHAR 0x0106
#define WM_TIMER 0x0113
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONDBLCLK 0x0203
#define WM_USER 0x0400
#define PM_REMOVE 0x0001

#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define INFINITE 0xFFFFFFFFu

typedef struct { DWORD dwLowDateTime, dwHighDateTime; } FILETIME;
typedef struct { LONG left, top, right, bottom; } RECT;
typedef struct { LONG x, y; } POINT;
typedef struct {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME;
typedef struct { uintptr_t Internal, InternalHigh; DWORD Offset, OffsetHigh; HANDLE hEvent; } OVERLAPPED;
typedef struct {
    HWND hwnd; UINT message; WPARAM wParam; LPARAM lParam; DWORD time; POINT pt;
} MSG;
typedef struct {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow, dwReserved0, dwReserved1;
    char cFileName[MAX_PATH];
    char cAlternateFileName[14];
} WIN32_FIND_DATAA;
typedef WIN32_FIND_DATAA WIN32_FIND_DATAW;
typedef struct {
    BYTE cBytes, fFixedDisk;
    WORD nErrCode, Reserved1, Reserved2;
    char szPathName[OFS_MAXPATHNAME];
} OFSTRUCT;

// kernel
LPSTR GetCommandLineA(void);
HMODULE GetModuleHandleA(LPCSTR name);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
UINT SetErrorMode(UINT mode);
DWORD GetVersion(void);
LANGID GetUserDefaultUILanguage(void);
DWORD GetTickCount(void);
void GetLocalTime(SYSTEMTIME* time);
DWORD GetCurrentProcessId(void);
void Sleep(DWORD ms);

HLOCAL LocalAlloc(UINT flags, size_t bytes);
HLOCAL LocalFree(HLOCAL block);

HFILE _lopen(LPCSTR path, int mode);
HFILE _lcreat(LPCSTR path, int attribute);
UINT _lread(HFILE file, void* buffer, UINT count);
UINT _lwrite(HFILE file, LPCSTR buffer, UINT count);
// With `high` the offset is its 64 bits; without it, the signed low part. Answers the new
// position's low part and sets *high to its high part, or INVALID_SET_FILE_POINTER.
DWORD SetFilePointer(HANDLE file, LONG low, LONG* high, DWORD origin);
HFILE _lclose(HFILE file);
HFILE OpenFile(LPCSTR path, OFSTRUCT* info, UINT style);
// The descriptor is the handle, as _lopen's is the HFILE: CREATE_NEW, CREATE_ALWAYS,
// OPEN_ALWAYS, and any other disposition opens an existing file. Sharing is not modelled.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
// Whole-file locks of the descriptor (flock); the range is not modelled.
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD low, DWORD high, OVERLAPPED* at);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD low, DWORD high, OVERLAPPED* at);
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE search, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE search);
BOOL DeleteFileA(LPCSTR path);
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);
DWORD GetFileAttributesA(LPCSTR path);
BOOL DosDateTimeToFileTime(WORD date, WORD time, FILETIME* result);
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* result);
BOOL SetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed,
                 const FILETIME* written);
BOOL CreateDirectoryA(LPCSTR path, void* security);
BOOL RemoveDirectoryA(LPCSTR path);
BOOL SetCurrentDirectoryA(LPCSTR path);
DWORD GetTempPathA(DWORD size, LPSTR buffer);
UINT GetTempFileNameA(LPCSTR folder, LPCSTR prefix, UINT unique, LPSTR result);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
BOOL CloseHandle(HANDLE handle);

LPSTR lstrcpyA(LPSTR dest, LPCSTR src);
LPSTR lstrcpynA(LPSTR dest, LPCSTR src, int size);
LPSTR lstrcatA(LPSTR dest, LPCSTR src);
int lstrlenA(LPCSTR s);
int lstrcmpiA(LPCSTR a, LPCSTR b);

// user
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// No Windows call: a message box that the program's one box procedure shows here, with what the
// box is for (its BoxPurpose), so that the test scripting can tell boxes apart by purpose.
int StandInMessageBox(int purpose, HWND owner, LPCSTR text, LPCSTR caption, UINT type);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);
int wvsprintfA(LPSTR buffer, LPCSTR format, va_list args);
BOOL OemToCharBuffA(LPCSTR src, LPSTR dest, DWORD length);
BOOL PeekMessageA(MSG* msg, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
HWND GetParent(HWND window);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
HCURSOR SetCursor(HCURSOR cursor);
HWND GetDlgItem(HWND dialog, int id);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL InvalidateRect(HWND window, const RECT* rect, BOOL erase);
BOOL DestroyIcon(HICON icon);

// shell
HICON ExtractIconA(HINSTANCE instance, LPCSTR file, UINT index);
// The stand-in's program has no resources: every resource image is absent.
#define IMAGE_ICON 1
#define SM_CXICON 11
#define SM_CYICON 12
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
int GetSystemMetrics(int index);

// The wide calls: the byte ones, and conversions that copy.
#define GetModuleFileNameW GetModuleFileNameA
#define CreateFileW CreateFileA
#define FindFirstFileW FindFirstFileA
#define FindNextFileW FindNextFileA
#define DeleteFileW DeleteFileA
#define SetFileAttributesW SetFileAttributesA
#define GetFileAttributesW GetFileAttributesA
#define CreateDirectoryW CreateDirectoryA
#define RemoveDirectoryW RemoveDirectoryA
#define GetTempPathW GetTempPathA
#define GetTempFileNameW GetTempFileNameA
#define ExtractIconW ExtractIconA
#define lstrcpyW lstrcpyA
#define lstrlenW lstrlenA
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, WCHAR* wide,
                        int size);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int length, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL* usedDefault);
// Real UTF-16 text (the names of the solid form's header, texts on their way between code
// pages) to the ANSI code page, Windows-1252: a character it lacks becomes '?' and sets
// *usedDefault; or to CP_UTF8. 0 when the result does not fit.
#define WC_NO_BEST_FIT_CHARS 0x400
int WideCharToMultiByte(UINT codePage, DWORD flags, const unsigned short* wide, int length, LPSTR text,
                        int size, LPCSTR defaultChar, BOOL* usedDefault);
// And into real UTF-16: from CP_UTF8 (strict; with MB_ERR_INVALID_CHARS 0 for a text that is
// not UTF-8, else U+FFFD for each fault), from 850 or CP_OEMCP (as OemToCharBuffA takes it, then as
// Windows-1252) or from the ANSI code page, Windows-1252.
#define MB_ERR_INVALID_CHARS 0x08
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, unsigned short* wide, int size);
