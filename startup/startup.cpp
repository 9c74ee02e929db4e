// Program entry and the start-up sequence: fill the state record, arm the start-up
// checkpoint, load the stub's data in its fixed order, read the switch, run the dialog,
// release everything. The exit code is 0 on every path.
#include "archive/archive.h"
#include "startup/startup.h"
#include "ui/ui.h"

// Zero-filled at process start (kept out of the image's initialised data); the title is
// put in first thing in StartUp.
ExtractorState state;
const char APP_TITLE[] = "Tessly Self-Extractor";

// Steps over the program name: one character, then up to and over the first terminator
// (a double quote when the name opened with one, else a blank). Blanks after it stay.
const char* SkipProgramName(const char* line) {
    if (!*line) return line;
    char terminator = *line == '"' ? '"' : ' ';
    ++line;
    while (*line && *line != terminator) ++line;
    if (*line) ++line;
    return line;
}

// True when `text` begins with `prefix` (compared byte for byte over the prefix's length).
static bool StartsWith(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

extern "C" int ProgramEntry(void) {
    return StartUp(GetModuleHandleA(0), (char*)SkipProgramName(GetCommandLineA()));
}

void ParseSwitches(char* arguments) {
    char* rest = arguments;
    while (*rest && *rest != '-' && *rest != '/') ++rest;
    if (!*rest) return;
    ++rest;
    const char* autoWord = GetMessageText(MSG_SWITCH_AUTO);
    const char* waitWord = GetMessageText(MSG_SWITCH_WAIT);
    int autoLength = lstrlenA(autoWord);
    if (lstrlenA(rest) < autoLength) return;
    for (char* p = rest; *p && *p != ' '; ++p) *p &= ~0x20;
    if (StartsWith(rest, waitWord)) {
        state.waitMode = 1;
    } else if (StartsWith(rest, autoWord)) {
        state.autoMode = 1;
    }
}

static void* AllocateZeroed(DWORD bytes) {
    return (void*)LocalAlloc(LPTR, bytes);
}

void LoadStubData(void) {
    BuildCrcTable();
    OpenSelf();
    if (stubParams.headerCrc != 0)
        CheckHeader(stubParams.archiveOffset, stubParams.headerCrc, stubParams.signature);
    state.window = (unsigned char*)AllocateZeroed(WINDOW_ALLOC);
    state.inputBuffer = (unsigned char*)AllocateZeroed(IO_BUFFER_ALLOC);
    state.outputBuffer = (unsigned char*)AllocateZeroed(IO_BUFFER_ALLOC);
    if (!state.window || !state.inputBuffer || !state.outputBuffer) HeaderInvalid();
    UnpackMessageTable();
    ReadConfiguration();
    if (stubParams.endRecordOffset != 0) ProbeEndRecord();
}

static void FreeLocal(unsigned char*& block) {
    if (block) LocalFree((HLOCAL)block);
    block = 0;
}

void ReleaseResources(void) {
    FreeLocal(state.window);
    FreeLocal(state.inputBuffer);
    FreeLocal(state.outputBuffer);
    if (state.archiveFile) {
        _lclose(state.archiveFile);
        state.archiveFile = 0;
    }
    if (state.outputFile) {
        _lclose(state.outputFile);
        state.outputFile = 0;
    }
    if (state.appIcon) {
        DestroyIcon(state.appIcon);
        state.appIcon = 0;
    }
}

static char* AllocateTextBlock(DWORD bytes) {
    HGLOBAL block = GlobalAlloc(GHND, bytes);
    return block ? (char*)GlobalLock(block) : 0;
}

static void FreeTextBlock(char*& text) {
    if (text) {
        HGLOBAL block = GlobalHandle(text);
        GlobalUnlock(block);
        GlobalFree(block);
    }
    text = 0;
}

BOOL AllocateTextBlocks(void) {
    state.messageText = AllocateTextBlock(MESSAGE_TEXT_BYTES);
    state.aboutText = AllocateTextBlock(ABOUT_TEXT_BYTES);
    state.customCaption = AllocateTextBlock(CUSTOM_CAPTION_BYTES);
    state.messageBuffer = AllocateTextBlock(MESSAGE_BUFFER_BYTES);
    return state.messageText && state.aboutText && state.customCaption && state.messageBuffer;
}

void FreeTextBlocks(void) {
    FreeTextBlock(state.messageText);
    FreeTextBlock(state.aboutText);
    FreeTextBlock(state.customCaption);
    FreeTextBlock(state.messageBuffer);
}

#ifdef _WIN32
static void RunDialog(void) {
    HGLOBAL block = GlobalAlloc(GHND, TEMPLATE_COPY_BYTES);
    if (!block) return;
    unsigned char* copy = (unsigned char*)GlobalLock(block);
    // The table block is 5544 bytes and the template starts at most 4520 bytes in, so the
    // copy stays inside it.
    const unsigned char* source = (const unsigned char*)GetMessageText(MSG_DIALOG_TEMPLATE);
    for (int i = 0; i < TEMPLATE_COPY_BYTES; ++i) copy[i] = source[i];
    DialogBoxIndirectParamA(state.instance, (LPCDLGTEMPLATEA)copy, 0, MainDialogProc, 0);
    GlobalUnlock(block);
    GlobalFree(block);
}
#endif

int StartUp(HINSTANCE instance, char* arguments) {
#ifdef _WIN32
    RestrictLibrarySearch();
#endif
    lstrcpyA(state.appTitle, APP_TITLE);
    state.instance = instance;
    SetErrorMode(0x8001);
    WORD version = (WORD)GetVersion();
    if (version == 0x0A03) state.win32sHost = 1;
    if (version == 0x5F03 || version == 0x0004) state.win95Host = 1;

    // The sequence goes on only with all four: every later step writes into them.
    if (!AllocateTextBlocks()) return 0;

    DWORD length = GetModuleFileNameA(0, state.selfPath, SELF_PATH_CHARS);
    if (length >= SELF_PATH_CHARS) state.selfPath[SELF_PATH_CHARS - 1] = 0;

    if (ARM_CHECKPOINT() != 0) return 0;

    LoadStubData();
    if (stubParams.optionFlags & OPT_WAIT_MODE) state.waitMode = 1;
#ifdef _WIN32
    RegisterMeterClass(state.instance);
#endif
    ParseSwitches(arguments);
#ifdef _WIN32
    RunDialog();
#endif
    ReleaseResources();
    FreeTextBlocks();
    return 0;
}
