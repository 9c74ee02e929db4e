// The LZMA SDK's encoder and decoder (Debian's lzma-dev, compiled from /usr/include/lzma). Its
// types header takes in the system's <windows.h> when _WIN32 is defined, whose types would
// clash with those of the stand-in that mksfx.exe runs the core on. Nothing of the encoder's
// and decoder's interface depends on it (only the file calls' result type does).
#pragma once
#ifdef _WIN32
#pragma push_macro("_WIN32")
#undef _WIN32
#include <LzmaDec.h>
#include <LzmaEnc.h>
#pragma pop_macro("_WIN32")
#else
#include <LzmaDec.h>
#include <LzmaEnc.h>
#endif
