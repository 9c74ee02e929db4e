// The Windows calls of the program. The stub includes the real headers; the Linux build of
// the core includes the POSIX stand-in, which provides the same names.
//
// File names go to the system in wide form (WCHAR, written WIDE("...")), which holds every
// character a folder can have. On Linux a file name is a string of bytes: there WCHAR is a
// byte and the wide calls are the byte ones.
#pragma once
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#define WIDE(text) L##text
#else
#include "posix/windows.h"
#define WIDE(text) text
#endif
