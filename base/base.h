// The ground of the program, which every other layer may use: the state record (state.h), the
// file format (format.h) and the platform (platform.h), with the operations of base/ by the
// file that defines them: telling and asking the user, failure, the message texts, CRC-32 and
// the stub's parameter block. Nothing here includes a header of a higher layer.
//
// The layers, each of which includes only its own headers and those below it (the test
// `layers`, cmake/checklayers.py, checks it):
//   base <- codecs (inflate/) <- archive <- ui <- startup (the start-up sequence)
#pragma once
#include "generated/messages.h"  // the message ids (MSG_*), from messages/messages.txt
#include "base/state.h"

// ---- userbox.cpp: telling and asking the user -----------------------------------------------
// What a message box is for. Errors end the run (OK, error icon); notes inform (OK); questions
// answer IDOK/IDCANCEL or IDYES/IDNO/IDCANCEL as their comments say.
enum BoxPurpose {
    // errors
    BOX_HEADER_INVALID,        // the own file cannot be read or is damaged (built-in text)
    BOX_READ_FAILED,           // message 36: the own file ends early or cannot be read
    BOX_SEEK_FAILED,           // message 37: the archive's start cannot be reached
    BOX_END_RECORD_BAD,        // message 39: no end record where the parameter block says
    BOX_BAD_HEADER,            // message 31: a record or member name the walk cannot take
    BOX_BAD_METHOD,            // message 29: a compression method the stub lacks
    BOX_BAD_CRC,               // message 30: a member's CRC-32 does not match
    BOX_CANNOT_CREATE_FILE,    // message 28
    BOX_CANNOT_CREATE_FOLDER,  // message 32
    BOX_WRITE_FAILED,          // message 35
    BOX_OUT_OF_MEMORY,         // the decoder's tables (built-in text)
    BOX_NO_TEMP_FOLDER,        // message 6: Setup stops, the dialog stays
    BOX_CANNOT_RUN,            // message 7: the command could not be started
    BOX_ENCRYPTED,             // message 44: a member is encrypted
    // notes
    BOX_NO_COMMAND,            // message 9: the package names no command (error icon)
    BOX_CANNOT_ENTER_FOLDER,   // message 15
    BOX_ABOUT,                 // message 40: the Info box
    BOX_EXTRACTED,             // message 49: where an extract-only run has put the files
    // questions
    BOX_MODULE_IN_USE,         // message 12: OK skips the member, Cancel cancels the run
    BOX_OVERWRITE,             // message 16: Yes overwrites, No skips, Cancel cancels the run
    BOX_CANCEL_QUERY,          // message 11: Yes cancels the extraction (No is the default)
    BOX_DONE_QUERY,            // message 3: Yes ends the wait for "&Done"
    BOX_LEAVE_FILES_QUERY,     // message 4: Yes ends and leaves the files (No is the default)
    BOX_STILL_RUNNING_QUERY,   // message 8: Yes stops waiting for the command (No is the default)
    BOX_PURPOSES
};
// Shows `text` in the box of `purpose` and answers the button pressed. A silent run shows
// no box: a question takes its default button, and a failure sets the run's exit code. Every
// box is a line of the log.
int UserBox(BoxPurpose purpose, const char* text);
// ---- text.cpp: the run's code page ----------------------------------------------------------
// Every text the program holds is in state.run.codePage: the ANSI code page, or UTF-8 in a file
// whose texts are UTF-8 (OPT_UTF8). Text of code page 850 (the message tables, member names),
// `bytes` long (-1: up to its NUL, included), in the run's code page at `to`, which holds
// `room` bytes and may be `from` itself: in an ANSI run as OemToCharBuffA converts it (by the
// system's OEM code page), in a UTF-8 run by code page 850 itself. Answers the bytes written.
int OemToRun(const char* from, char* to, int bytes, int room);
#ifdef TESSLY_WINAPI
// `text` (in the run's code page, at most WIDE_TEXT_CHARS characters with its NUL) in wide
// form for the wide calls, which every run uses: in buffer `slot` (0 or 1), which the next
// call for that slot overwrites.
enum { WIDE_TEXT_CHARS = 1024 };
WCHAR* ToWide(const char* text, int slot = 0);
#endif
// A box with a message of the table as it stands.
int ShowMessage(BoxPurpose purpose, int id);
// The wait cursor while the program works, the arrow again after.
void SetStandardCursor(LPCSTR cursor);

// The exit codes of a run besides 0 and the command's own: Windows error codes, whose
// text deployment tools show, none of them one that such tools count as success.
enum {
    EXIT_NO_COMMAND = 2,           // ERROR_FILE_NOT_FOUND: the command cannot be started, or
                                   // the package names none
    EXIT_OUT_OF_MEMORY = 8,        // ERROR_NOT_ENOUGH_MEMORY
    EXIT_NO_FOLDER = 82,           // ERROR_CANNOT_MAKE: no temporary folder, or not the
                                   // target folder, can be made or entered
    EXIT_DAMAGED_FILE = 1392,      // ERROR_FILE_CORRUPT: the setup file fails its checks at
                                   // start-up
    EXIT_WAIT_TIMEOUT = 1460,      // ERROR_TIMEOUT: the program waited for still runs
    EXIT_USER_EXIT = 1602,         // ERROR_INSTALL_USEREXIT: the user closed without Setup,
                                   // cancelled, or stopped waiting for the command
    EXIT_EXTRACTION_FAILED = 1603, // ERROR_INSTALL_FAILURE: a member cannot be read, checked
                                   // or written
};
// How long a silent run waits for the program named at build time (there is no one to stop
// the wait): an hour from the command's end.
enum { SILENT_WAIT_MS = 60 * 60 * 1000 };

// The log (/LOG=FILE): opened once the switches are read; no log when it cannot be opened.
// Each event is one line, written whole: the local time, the process id, the event.
void StartLog(void);
void WriteLog(int id, ...);

// ---- failure.cpp: failure reporting ---------------------------------------------------------
// None of these returns: each shows its box (AbortTo none) and jumps to the checkpoint.
[[noreturn]] void FatalError(BoxPurpose purpose, const char* text);
[[noreturn]] void FatalMessage(BoxPurpose purpose, int id);  // with message `id` of the table
[[noreturn]] void AbortTo(int code);
[[noreturn]] void HeaderInvalid(void);
[[noreturn]] void ReadFailed(void);
[[noreturn]] void OutOfMemory(void);
// Bounded formatting with message `id` of the table as the format: wsprintfA into a scratch
// area, then cut to the destination's size.
void FormatMessageText(char* dest, int destSize, int id, ...);

// ---- the stub's parameter block (defined by startup/selfcheck.cpp) ---------------------------
// The block is followed directly by the header-invalid text (Windows-1252), of at most
// HEADER_INVALID_TEXT_LENGTH characters and its NUL.
enum { HEADER_INVALID_TEXT_LENGTH = 114 };
#pragma pack(push, 1)
struct StubData {
    StubParameterBlock params;
    char headerInvalidText[HEADER_INVALID_TEXT_LENGTH + 1];
};
#pragma pack(pop)

extern StubData stubData;
#define stubParams (stubData.params)
#define HEADER_INVALID_TEXT (stubData.headerInvalidText)

// ---- messages.cpp: the message table (unpacked at start-up by startup/msgtable.cpp) --------
char* GetMessageText(int n);

// ---- crc32.cpp: the ZIP checksum ------------------------------------------------------------
// Every user presets state.crc32.value to 0xFFFFFFFF and complements it after the last update.
void BuildCrcTable(void);
void Crc32Update(const unsigned char* bytes, DWORD count);
