// Start-up and stub data: the operations of startup/, by the file that defines them, with the
// message ids and the stub's own data.
#pragma once
#include "startup/state.h"

// ---- startup.cpp: program entry and the start-up sequence ---------------------------------
extern const char APP_TITLE[];
extern "C" int ProgramEntry(void);
int StartUp(HINSTANCE instance, char* arguments);
const char* SkipProgramName(const char* commandLine);
void ParseSwitches(char* arguments);
void LoadStubData(void);
void ReleaseResources(void);

// ---- failure.cpp: failure reporting ------------------------------------------------------
// None of these returns: each shows its box (AbortTo none) and jumps to the checkpoint.
[[noreturn]] void FatalError(const char* text);
[[noreturn]] void AbortTo(int code);
[[noreturn]] void HeaderInvalid(void);
[[noreturn]] void ReadFailed(void);
[[noreturn]] void OutOfMemory(void);
// Bounded formatting: wsprintfA into a scratch area, then cut to the destination's size.
void FormatText(char* dest, int destSize, const char* format, ...);

// ---- selfcheck.cpp: the stub's parameter block and the check of its own file --------------
// The block is followed directly by the header-invalid text (Windows-1252).
#pragma pack(push, 1)
struct StubData {
    StubParameterBlock params;
    char headerInvalidText[115];
};
#pragma pack(pop)

enum { HEADER_INVALID_TEXT_LENGTH = 114 };

extern StubData stubData;
#define stubParams (stubData.params)
#define HEADER_INVALID_TEXT (stubData.headerInvalidText)

void OpenSelf(void);
void CheckHeader(DWORD length, DWORD expected, const unsigned char* signature);
void ProbeEndRecord(void);

// ---- msgtable.cpp: the message table ----------------------------------------------------
// Message ids used by the code.
enum {
    MSG_SETUP_CAPTION = 0,
    MSG_SWITCH_WAIT = 1,
    MSG_DONE_BUTTON = 2,
    MSG_DONE_QUERY = 3,
    MSG_LEAVE_FILES_QUERY = 4,
    MSG_SWITCH_AUTO = 5,
    MSG_NO_TEMP_FOLDER = 6,
    MSG_CANNOT_RUN = 7,
    MSG_STILL_RUNNING = 8,
    MSG_NO_COMMAND = 9,
    MSG_DELETING = 10,
    MSG_CANCEL_QUERY = 11,
    MSG_MODULE_IN_USE = 12,
    MSG_ABORTED = 13,
    MSG_CANNOT_ENTER_FOLDER = 15,
    MSG_OVERWRITE_QUERY = 16,
    MSG_TEMP_SUFFIX = 19,
    MSG_CANNOT_CREATE_FILE = 28,
    MSG_BAD_METHOD = 29,
    MSG_BAD_CRC = 30,
    MSG_BAD_HEADER = 31,
    MSG_CANNOT_CREATE_FOLDER = 32,
    MSG_UNZIPPING = 34,
    MSG_WRITE_FAILED = 35,
    MSG_READ_FAILED = 36,
    MSG_SEEK_FAILED = 37,
    MSG_END_RECORD_BAD = 39,
    MSG_ABOUT = 40,
    MSG_FOOTER = 43,
    MSG_DIALOG_TEMPLATE = MESSAGE_TEXT_COUNT,
};

void UnpackMessageTable(void);
char* GetMessageText(int n);

// ---- config.cpp: the configuration block and the icon -------------------------------------
void ReadConfiguration(void);
