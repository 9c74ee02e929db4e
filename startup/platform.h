// The Windows calls of the program. The stub includes the real headers; the Linux build of
// the core includes the POSIX stand-in, which provides the same names.
#pragma once
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#else
#include "posix/windows.h"
#endif
