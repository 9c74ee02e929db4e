// The Windows calls of the program. The stub includes the real headers; the Linux build of
// the core includes the POSIX stand-in, which provides the same names.
//
// File names go to the system in wide form (WCHAR, written WIDE("...")), which holds every
// character a folder can have. On Linux a file name is a string of bytes: there WCHAR is a
// byte and the wide calls are the byte ones; text in real UTF-16 is UTF16 on both. The
// Windows build of mksfx (TESSLY_STANDIN) runs
// the core on the stand-in too, as the Linux mksfx does.
#pragma once
#if defined(_WIN32) && !defined(TESSLY_STANDIN)
#define TESSLY_WINAPI 1  // the real Windows calls (the stub), not the stand-in
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#define WIDE(text) L##text
typedef WCHAR UTF16;
#else
#include "posix/windows.h"
#define WIDE(text) text
typedef unsigned short UTF16;  // texts in UTF-16 on Linux too, where WCHAR is a byte
#endif
