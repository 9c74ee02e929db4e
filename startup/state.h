// The program-wide state record, the stub's build-time parameters and every operation of
// the program. One thread, one record, no classes: every part reads and writes the fields
// of `state` directly.
#pragma once
#include "startup/format.h"
#include "startup/platform.h"

#ifdef _WIN32
// The stub has no C runtime: the checkpoint is the compiler's own non-local jump, which
// needs a five-word buffer and always resumes with the value 1 (the code travels in
// `state.abortCode`).
typedef void* CheckpointRecord[5];
#define ARM_CHECKPOINT() (__builtin_setjmp(state.checkpoint) ? state.abortCode : 0)
#define JUMP_TO_CHECKPOINT() __builtin_longjmp(state.checkpoint, 1)
#else
#include <setjmp.h>
typedef jmp_buf CheckpointRecord;
#define ARM_CHECKPOINT() (setjmp(state.checkpoint) ? state.abortCode : 0)
#define JUMP_TO_CHECKPOINT() longjmp(state.checkpoint, 1)
#endif

// ---- limits and constants -------------------------------------------------------------
enum {
    PATH_CHARS = 264,            // memberName, displayName, extractFolder, work buffers
    SELF_PATH_CHARS = 261,
    MESSAGE_BUFFER_BYTES = 500,
    WINDOW_SIZE = 32768,
    WINDOW_ALLOC = 32776,
    IO_CHUNK = 2048,
    IO_BUFFER_ALLOC = 2068,
};

enum { ABORT_CANCELLED = 1, ABORT_FAILED = 2 };

// Window messages and control ids of the dialog and the meter.
enum {
    DLG_PAINTFOOTER = 1026,
    METER_SETRANGE = 1024,
    METER_GETRANGE = 1025,
    METER_SETPOS = 1026,
    METER_GETPOS = 1027,
    ID_SETUP = 1,
    ID_CLOSE = 2,
    ID_INFO = 112,
    ID_MESSAGE_TEXT = 101,
    ID_STATUS = 109,
    ID_ICON = 120,
    ID_METER = 201,
};

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

// ---- the build-time parameters, patched by the builder ----------------------------------
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

// ---- one entry of a decoding table ---------------------------------------------------------
struct HuffmanEntry {
    unsigned char extra;   // 0..13 extra bits, 15 end of block, 16 literal/plain, 17..32 link, 99 invalid
    unsigned char bits;    // stream bits taken at this level
    union {
        unsigned short value;
        HuffmanEntry* subTable;
    };
};

// ---- the state record -------------------------------------------------------------------
struct ExtractorState {
    // identity and host
    char appTitle[24];
    HINSTANCE instance;
    DWORD win32sHost;
    DWORD win95Host;
    char selfPath[SELF_PATH_CHARS];

    // text blocks (separately allocated)
    char* messageText;
    char* aboutText;
    char* customCaption;
    char* messageBuffer;

    // files, handles and loaded data
    HFILE archiveFile;
    HFILE outputFile;
    HICON appIcon;
    HWND dialogWindow;
    unsigned char* messageTable;
    char command[COMMAND_CHARS];
    CheckpointRecord checkpoint;
    int abortCode;

    // modes
    unsigned char autoMode;
    unsigned char waitMode;
    unsigned char awaitingDone;
    unsigned char stopWaiting;
    DWORD commandRunning;

    // extraction and progress
    char extractFolder[PATH_CHARS];
    char memberName[PATH_CHARS];
    char displayName[PATH_CHARS];
    unsigned char localHeader[ENTRY_FIELDS_BYTES];  // the local header after its signature
    DWORD bytesDone;
    DWORD lastMeterBytes;
    DWORD meterShown;
    UINT_PTR meterTimer;
    DWORD crc;
    DWORD crcTable[8 * 256];      // the byte table, then seven more for eight bytes a step

    // decoder
    unsigned char* window;
    unsigned char* inputBuffer;
    unsigned char* outputBuffer;
    unsigned char* inputPtr;
    int inputCount;
    unsigned char* outputPtr;
    int outputCount;
    unsigned char* outputLimit;   // memory mode: one past the last byte the caller's buffer holds
    DWORD memoryMode;
    unsigned short inputByte;
    DWORD bitBuffer;
    unsigned short bitCount;
    unsigned short windowPos;
    unsigned short inputOverrun;  // feed requests answered 0 during the current stream
};

extern ExtractorState state;
extern const char APP_TITLE[];

// True when `text` begins with `prefix` (compared byte for byte over the prefix's length).
inline bool StartsWith(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

// ---- start-up (startup/) ------------------------------------------------------------------
extern "C" int ProgramEntry(void);
int StartUp(HINSTANCE instance, char* arguments);
const char* SkipProgramName(const char* commandLine);
void ParseSwitches(char* arguments);
void LoadStubData(void);
void ReleaseResources(void);

[[noreturn]] void FatalError(const char* text);
[[noreturn]] void AbortTo(int code);
[[noreturn]] void HeaderInvalid(void);
[[noreturn]] void ReadFailed(void);

void OpenSelf(void);
void CheckHeader(DWORD length, DWORD expected, const unsigned char* signature);
void ProbeEndRecord(void);

void UnpackMessageTable(void);
char* GetMessageText(int n);
void ReadConfiguration(void);

// Bounded formatting: wsprintfA into a scratch area, then cut to the destination's size.
void FormatText(char* dest, int destSize, const char* format, ...);

// ---- archive (archive/) -------------------------------------------------------------------
void BuildCrcTable(void);
void Crc32Update(const unsigned char* bytes, DWORD count);

char* FileNamePart(char* path);
BOOL PathExists(const char* path);
BOOL CreateFolder(const char* path);
BOOL SetCurrentFolder(const char* path);
BOOL DeleteFileForced(const char* path);

int RunExtraction(void);
void WalkArchive(void);
void HandleLocalHeader(void);
void SkipCentralEntry(void);
void SkipEndRecord(void);
void ReadEntryName(unsigned length);

BOOL OutputMember(void);
void ComposeOutputPath(void);
BOOL CheckModuleInUse(const char* path);
void CreateParentFolders(void);
BOOL ConfirmOverwrite(void);
void ExtractMember(void);
void CreateOutputFile(void);
int FlushOutput(void);
void CheckWrite(int written);
void SetMemberFileTimes(void);
void ShowMemberStatus(void);

// ---- decoder (inflate/) -------------------------------------------------------------------
int NextInputByte(unsigned short* cell);
int RefillInput(void);
int FlushWindow(unsigned count);  // 1: memory mode, the caller's buffer cannot take it
int InflateStream(void);
int DecodeBlock(int* last);
int DecodeStored(void);
int DecodeFixed(void);
int DecodeDynamic(void);
int DecodeCodes(HuffmanEntry* ltable, HuffmanEntry* dtable, int lbits, int dbits);
int BuildHuffmanTable(const unsigned short* lengths, unsigned n, unsigned s,
                      const unsigned short* bases, const unsigned short* extras,
                      HuffmanEntry** table, int* lookupBits);
void FreeHuffmanTable(HuffmanEntry* table);
extern const unsigned short maskBits[17];

// ---- dialog and interaction (ui/) --------------------------------------------------------
void PumpMessages(void);
BOOL PollCancel(void);
void SetStandardCursor(LPCSTR cursor);
HANDLE LaunchCommand(char* commandLine);
BOOL IsProgramRunning(const char* baseName);
BOOL DeleteTree(char* folder);

BOOL RegisterMeterClass(HINSTANCE instance);
LRESULT CALLBACK MeterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HFONT SelectDialogFont(HDC dc, HFONT font, BOOL select);
INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void ChooseExtractFolder(void);
void PaintFooter(HWND window);
void SetupCommand(HWND window);
void CleanUp(HWND window);
void CloseCommand(HWND window);
void InfoCommand(HWND window);
