// The start-up sequence, the top layer: the operations of startup/, by the file that defines
// them. It may use every layer below (base/base.h, inflate/, archive/, ui/).
#pragma once
#include "base/base.h"

// ---- startup.cpp: program entry and the start-up sequence -----------------------------------
extern const char APP_TITLE[];
extern "C" int ProgramEntry(void);
int StartUp(HINSTANCE instance, char* arguments);
const char* SkipProgramName(const char* commandLine);
void ParseSwitches(char* arguments);
// The path of a /D=, /T:, /X: or /LOG= switch, wide, into `path` (PATH_CHARS): `value` as the
// ANSI command line gives it. The stub reads it again from the wide command line, from the
// switch word at `start` on, past the `skip` characters of its switch.
void TakeSwitchPath(char* start, const char* value, int skip, WCHAR* path);
// The four text blocks of the record, zero-filled: true when all four were allocated.
BOOL AllocateTextBlocks(void);
void FreeTextBlocks(void);
void LoadStubData(void);
void ReleaseResources(void);

// ---- selfcheck.cpp: the check of its own file ------------------------------------------------
void NameSelf(void);
void OpenSelf(void);
// Reads `count` bytes of the own file from offset `at`: a read that fails is message 36, a
// seek that fails or a file that ends early is a damaged one.
void ReadSelf(DWORD at, void* buffer, DWORD count);
void CheckHeader(DWORD length, DWORD expected, const unsigned char* signature);
void ProbeEndRecord(void);

// ---- msgtable.cpp: unpacking the message table ---------------------------------------------
void UnpackMessageTable(void);
// Inflates the raw DEFLATE stream of `count` bytes at `packed` into memory at `out`, up to
// `limit` bytes; answers where the output ended. A damaged stream gives what arrived before
// the damage: callers that need more than that check what they read.
unsigned char* InflateInMemory(const unsigned char* packed, DWORD count, unsigned char* out,
                               DWORD limit);
// With OPT_LANGUAGES, after the header check: the texts of the user's language from the
// tables the file carries take the place of the stub's own.
void LoadLanguageTable(void);

// ---- config.cpp: the configuration block and the icon ---------------------------------------
void ReadConfiguration(void);
// Whether the `length` bytes at `icon` are an icon file that the platform's icon loader can
// take safely: ICON_SOUND, or what is wrong. The stub uses no icon that is not sound;
// mksfx build and verify hold icons to the same check.
enum {
    ICON_SOUND = 0,
    ICON_NO_DIRECTORY,       // too short for the directory's head, or not an icon's
    ICON_NO_IMAGE,           // the directory lists no image
    ICON_DIRECTORY_CUT,      // its entries run past the end
    ICON_IMAGE_OUTSIDE,      // an image starts inside the directory or runs past the end
    ICON_NOT_BITMAP,         // an image without a 40-byte bitmap header (PNG images too)
    ICON_BAD_SIZE,           // not 1 to 256 pixels wide and high (the header counts the mask)
    ICON_BAD_FORMAT,         // not one plane of 1, 4, 8, 24 or 32 bits, uncompressed, with
                             // no more colours than the depth holds
    ICON_IMAGE_CUT,          // the palette, pixels and mask need more than the image's bytes
};
int CheckIconFile(const unsigned char* icon, DWORD length);
