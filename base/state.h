// The program-wide state record, its limits and the failure checkpoint. One thread, one
// record, no classes: every part reads and writes the fields of `state` directly. The
// operations are declared by their folder's header (startup/startup.h, archive/archive.h,
// inflate/inflate.h, ui/ui.h), the file format by base/format.h.
#pragma once
#include "base/format.h"
#include "base/platform.h"

#ifdef TESSLY_WINAPI
// The stub has no C runtime: the checkpoint is the compiler's own non-local jump, which
// needs a five-word buffer and always resumes with the value 1 (the code travels in
// `state.run.abortCode`).
typedef void* CheckpointRecord[5];
#define ARM_CHECKPOINT() (__builtin_setjmp(state.run.checkpoint) ? state.run.abortCode : 0)
#define JUMP_TO_CHECKPOINT() __builtin_longjmp(state.run.checkpoint, 1)
#else
#include <setjmp.h>
typedef jmp_buf CheckpointRecord;
#define ARM_CHECKPOINT() (setjmp(state.run.checkpoint) ? state.run.abortCode : 0)
#define JUMP_TO_CHECKPOINT() longjmp(state.run.checkpoint, 1)
#endif

// The run's code page (see base/base.h, OemToRun).
#define RUN_CODE_PAGE state.run.codePage

// ---- limits ----------------------------------------------------------------------------
enum {
    PATH_CHARS = 264,            // the output's names and folder, work buffers
    WIDE_PATH_CHARS = PATH_CHARS + 8,  // a path of PATH_CHARS in wide form, with "\\?\"
    COMMAND_LINE_CHARS = 8192,   // the command and the arguments passed through to it
    SELF_PATH_CHARS = 261,
    SELF_PATH_BYTES = 3 * SELF_PATH_CHARS,  // those characters in UTF-8
    MESSAGE_BUFFER_BYTES = 500,
    WINDOW_SIZE = 32768,
    WINDOW_ALLOC = 32776,
    READ_CHUNK = 65536,          // what one read of the archive asks for
    METER_CHUNK = 2048,          // the steps in which output counts towards the meter
    METER_NEW_MEMBER = 0x10000,  // in meter.sent: the meter does not show this member's name yet
    METER_STEP = 0x10000,        // the marks of bytesDone at which the meter hears of progress
};

// What the progress hook hears: a member begins (its name in displayName), or bytesDone has
// passed the mark progress.lastMark.
enum { PROGRESS_MEMBER = 0, PROGRESS_MARK = 1 };

// The codes a jump to the checkpoint carries.
enum { ABORT_CANCELLED = 1, ABORT_FAILED = 2 };

// What the archive walk has seen of the local headers and the central directory
// (archive/views.cpp).
struct ArchiveViews {
    DWORD archiveOffset;  // where the first record starts
    DWORD expected;       // where the next local header that a central entry must name starts
    DWORD base;           // what the central entries' offsets count from: 0 (the file's start)
                          // or archiveOffset
    DWORD centralStart;   // the first central entry's offset
    DWORD centralCount;
};

// ---- the state record -------------------------------------------------------------------
// Grouped by the part that owns the fields, each group with its layer: the others may read a
// group's fields, but only its owner keeps them in step.
struct ExtractorState {
    // base and startup: the run. Identity and host, the argument string (read while loading;
    // none for the tools), the modes, the exit code a silent run ends with, the checkpoint.
    struct {
        char appTitle[24];
        HINSTANCE instance;
        DWORD win32sHost;
        DWORD win95Host;
        char selfPath[SELF_PATH_BYTES];
        UINT codePage;           // of every text the program holds: CP_ACP, or CP_UTF8 in a
                                 // file whose texts are UTF-8 (OPT_UTF8)
        char* arguments;
        char* passThrough;       // what follows "--" on the command line, for the command
        char command[COMMAND_LINE_CHARS];
        unsigned char autoMode;
        unsigned char waitMode;
        unsigned char silentMode;
        unsigned char extractOnly;
        DWORD exitCode;
        CheckpointRecord checkpoint;
        int abortCode;
    } run;

    // base: the texts (separately allocated) and the message table
    struct {
        char* messageText;
        char* aboutText;
        char* customCaption;
        char footer[FOOTER_TEXT_BYTES];  // with OPT_CUSTOM_FOOTER
        char banner[BANNER_TEXT_BYTES];  // with OPT_CUSTOM_BANNER
        char* messageBuffer;
        unsigned char* messageTable;    // its texts: the stub's own or the chosen language's
        unsigned char* ownTable;        // the stub's own table: its texts, the dialog template
        unsigned char* dialogTemplate;  // in the own table
        unsigned char* languageArea;    // the language tables the file carries, if any
    } texts;

    // base: the log (/LOG=FILE)
    struct {
        WCHAR path[PATH_CHARS];  // wide, as the folder switches: any character
        HFILE file;
    } log;

    // base: CRC-32, the running value and the byte table, then fifteen more for 16 bytes a
    // step
    struct {
        DWORD value;
        DWORD table[16 * 256];
    } crc32;

    // archive: the reader. What the last read brought and has not been taken yet, the local
    // header just read (after its signature), the bytes of the member's data not yet taken
    // (0 outside a member), and what the walk has seen of the records.
    struct {
        HFILE file;
        unsigned char* buffer;
        unsigned char* ptr;
        DWORD left;
        DWORD end;                // the file position just after what the last read brought
        unsigned char localHeader[ENTRY_FIELDS_BYTES];
        DWORD memberLeft;
        ArchiveViews views;
    } reader;

    // archive: the solid form (archive/solid*.cpp). Start-up's probe of the signature header
    // sets `form` and where the header stands; the extraction reads the header into `header`
    // and walks it with the cursors below while the decoder's output is split among the files.
    struct {
        unsigned char form;           // the archive is the solid form
        unsigned char testOnly;       // members are checked, not written (mksfx verify)
        ULONGLONG headerAt;           // the header's file offset
        DWORD headerBytes, headerCrc;
        ULONGLONG packAt;             // the first pack stream's file offset
        // from here on: what ReadSolidHeader finds and the extraction's cursors
        unsigned char* header;        // LocalAlloc'd, headerBytes long
        unsigned char bcj;            // the current folder's bytes go through the x86 converter
        unsigned char writing;        // the current member has its file open
        unsigned char inMember;       // a member's bytes are being taken
        unsigned char meterShift;     // the meter counts bytes >> meterShift
        ULONGLONG packLeft;           // the current pack stream beyond reader.memberLeft
        DWORD folderCount;
        unsigned char props[2][5];
        unsigned char folderBcj[2];
        ULONGLONG packSize[2], unpackSize[2];
        DWORD streams[2];             // files with data in each folder
        DWORD fileCount, file;        // the files, and the next one to take
        DWORD emptyIndex;             // empty-stream files passed so far
        DWORD streamsLeft;            // files with data still to come in the current folder
        const unsigned char* sizes;   // the next size of the substream list
        const unsigned char* sizesEnd;
        const unsigned char* crcs;    // 4 bytes a file with data
        DWORD crcIndex;
        const unsigned char* emptyStream;  // bit vectors, or 0 when absent
        const unsigned char* emptyFile;
        const unsigned char* names;   // the next name (UTF-16LE, NUL-terminated)
        const unsigned char* namesEnd;
        const unsigned char* times;   // 8 bytes a file, or 0 when absent
        ULONGLONG folderLeft;         // of the current folder's unpack size, not yet given out
        ULONGLONG memberLeft;         // of the current member, not yet written
        DWORD expectedCrc;
        DWORD pending;                // bytes held back for the x86 converter
    } solid;

    // archive: member output. The folder as the system names it (wide; empty when only the
    // ANSI form is known) and as the texts show it (ANSI).
    struct {
        HFILE file;
        WCHAR folderWide[PATH_CHARS];
        char folder[PATH_CHARS];
        char memberName[PATH_CHARS];
        char displayName[PATH_CHARS];
        char knownFolder[PATH_CHARS];  // the last folder that member output made or found
        DWORD memberBytes;            // what has been written of the current member
        WCHAR target[PATH_CHARS];     // the folder named by the package or a switch, as given
        unsigned char keepFolder;     // the folder is a named one: it stays after the run
    } output;

    // archive: the count of progress, which the meter shows
    struct {
        DWORD bytesDone;
        DWORD lastMark;               // the last METER_STEP mark that the hook has heard of
        DWORD lastPoll;               // tick count when the extraction last looked at its queue
    } progress;

    // codecs: the decoder
    struct {
        unsigned char* window;
        unsigned char* inputPtr;
        int inputCount;
        unsigned char* outputPtr;     // memory mode: where the next decoded byte goes
        unsigned char* outputLimit;   // memory mode: one past the last byte the caller's buffer
                                      // holds
        DWORD memoryMode;
        unsigned short inputByte;
        DWORD bitBuffer;
        unsigned short bitCount;
        unsigned short windowPos;
        unsigned short inputOverrun;  // feed requests answered 0 during the current stream
        unsigned short windowFilled;  // the current stream has filled the window once, so
                                      // every distance reaches back to a byte of its own
    } decoder;

    // ui: the dialog and the Setup flow's waits
    struct {
        HWND window;
        HICON icon;
        unsigned char awaitingDone;
        unsigned char stopWaiting;
        DWORD commandRunning;
    } dialog;

    // ui: the meter
    struct {
        DWORD sent;                   // 1 + the position last sent to the meter (0: none yet),
                                      // with METER_NEW_MEMBER once another member has begun
        DWORD shown;
        HWND window;                  // the dialog's meter, or none
        DWORD invalid;                // the extraction has invalidated the meter since it
                                      // painted
        UINT_PTR timer;
    } meter;

    // set by the ui at start, called by the archive (none in mksfx and in the tests that do
    // without the dialog): progress, a look at the queue for a cancel (true when the user
    // has confirmed it), and the dialog kept alive while files are retried
    struct {
        void (*progress)(int event);
        BOOL (*cancel)(void);
        void (*pump)(void);
    } hooks;
};

extern ExtractorState state;
