// Program entry and the start-up sequence: fill the state record, arm the start-up
// checkpoint, load the stub's data in its fixed order (the switches among it), run the
// dialog, or the Setup flow alone in a silent run, release everything. Every run ends with
// the code of what happened: 0 or the command's own when it did its job.
#include "archive/archive.h"
#include "lzma/lzma.h"
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

// Answers the end of the switch word `id` at the start of `text` (ASCII letters compared
// without case, so that no locale changes the match), or 0 when `text` does not start so.
static char* AfterWord(char* text, int id) {
    for (const char* word = GetMessageText(id); *word; ++text, ++word) {
        char c = *text >= 'a' && *text <= 'z' ? *text - 0x20 : *text;
        if (c != *word) return 0;
    }
    return text;
}

#ifndef TESSLY_WINAPI
// The path of a /D=, /T:, /X: or /LOG= switch, wide, into `path` (PATH_CHARS). The Linux build
// has no wide command line: the path stays as the switch gave it. The stub's, which reads it
// again from the wide command line, is in startup/win32/switchpath.cpp.
void TakeSwitchPath(char*, const char* value, int, WCHAR* path) {
    MultiByteToWideChar(CP_ACP, 0, value, -1, path, PATH_CHARS);
}
#endif

// The unattended switches are whole words, wherever they stand: SILENT or S, LOG=FILE, the
// folder as D=DIR, T:DIR or X:DIR (the last also extracts only) and X (extract only), after
// '/' or '-', in any case. Blanks separate words; double quotes group blanks into a word and
// are dropped ("/LOG=a b.log" and /LOG="a b.log" alike). A word taken here is blanked out of
// the string, so the first-switch test below never sees it. A word "--" ends the switches:
// what follows it is the command's (passThrough), as it stands.
static void ParseUnattendedSwitches(char* arguments) {
    char word[5 + PATH_CHARS];  // room for "/LOG=" and a path as long as log.path takes
    char* rest = arguments;
    for (;;) {
        while (*rest == ' ' || *rest == '\t') ++rest;
        if (!*rest) return;
        char* start = rest;
        int length = 0;
        bool quoted = false;
        for (; *rest && (quoted || (*rest != ' ' && *rest != '\t')); ++rest) {
            if (*rest == '"') quoted = !quoted;
            else if (length < (int)sizeof word - 1) word[length++] = *rest;
            else length = sizeof word;  // too long to be one of these words
        }
        if (rest - start == 2 && start[0] == '-' && start[1] == '-') {
            while (*rest == ' ' || *rest == '\t') ++rest;
            state.run.passThrough = rest;
            *start = 0;
            return;
        }
        if (length >= (int)sizeof word || (word[0] != '/' && word[0] != '-')) continue;
        word[length] = 0;
        char* end;
        if (((end = AfterWord(word + 1, MSG_SWITCH_SILENT)) && !*end) ||
            ((end = AfterWord(word + 1, MSG_SWITCH_S)) && !*end))
            state.run.silentMode = TRUE;
        else if ((end = AfterWord(word + 1, MSG_SWITCH_LOG)))
            TakeSwitchPath(start, end, 5, state.log.path);
        else if ((end = AfterWord(word + 1, MSG_SWITCH_D)) ||
                 (end = AfterWord(word + 1, MSG_SWITCH_T)))
            TakeSwitchPath(start, end, 3, state.output.target);
        else if ((end = AfterWord(word + 1, MSG_SWITCH_X)) && (!*end || *end == ':')) {
            state.run.extractOnly = TRUE;
            if (*end) TakeSwitchPath(start, end + 1, 3, state.output.target);
        } else
            continue;
        while (start < rest) *start++ = ' ';
    }
}

void ParseSwitches(char* arguments) {
    ParseUnattendedSwitches(arguments);
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
        state.run.waitMode = TRUE;
    } else if (StartsWith(rest, autoWord)) {
        state.run.autoMode = TRUE;
    }
}

static void* AllocateZeroed(DWORD bytes) {
    return (void*)LocalAlloc(LPTR, bytes);
}

// StartUp arms the checkpoint, and a function that does keeps every variable of its body in
// memory: the larger steps it calls stay calls (noinline), where registers serve again.
__attribute__((noinline)) void LoadStubData(void) {
    // Every text of a file with UTF-8 texts is held in UTF-8: its own, the stub's messages,
    // the member names and the paths, which then reach the system through the wide calls.
    state.run.codePage = stubParams.optionFlags & OPT_UTF8 ? CP_UTF8 : CP_ACP;
    BuildCrcTable();
    state.decoder.window = (unsigned char*)AllocateZeroed(WINDOW_ALLOC);
    state.reader.buffer = (unsigned char*)AllocateZeroed(READ_CHUNK);
    if (!state.decoder.window || !state.reader.buffer) HeaderInvalid();
    // The table is part of the program, not of the file: the switches (whose words it holds)
    // are read before anything of the own file, so that a silent run stays silent and logs
    // from the first failure of its file on.
    UnpackMessageTable();
    NameSelf();
    if (state.run.arguments) {
        ParseSwitches(state.run.arguments);
        StartLog();
    }
    OpenSelf();
    if (stubParams.headerCrc != 0)
        CheckHeader(stubParams.archiveOffset, stubParams.headerCrc, stubParams.signature);
    LoadLanguageTable();
    ReadConfiguration();
    // The arguments given after "--" follow the command (silent or not) as they stand.
    char* command = state.run.command;
    if (state.run.passThrough && *state.run.passThrough && command[0]) {
        int length = lstrlenA(command);
        command[length++] = ' ';
        lstrcpynA(command + length, state.run.passThrough, COMMAND_LINE_CHARS - length);
    }
    if (stubParams.endRecordOffset != 0) ProbeEndRecord();
#if TESSLY_SOLID
    else ProbeSolidArchive();
#endif
}

template <typename T> static void FreeLocal(T*& block) {
    if (block) LocalFree((HLOCAL)block);
    block = 0;
}

void ReleaseResources(void) {
    FreeLocal(state.decoder.window);
    FreeLocal(state.reader.buffer);
#if TESSLY_SOLID
    FreeLocal(state.solid.header);
    ReleaseLzma();
#endif
    if (state.reader.file) {
        _lclose(state.reader.file);
        state.reader.file = 0;
    }
    if (state.output.file) {
        _lclose(state.output.file);
        state.output.file = 0;
    }
    if (state.dialog.icon) {
        DestroyIcon(state.dialog.icon);
        state.dialog.icon = 0;
    }
}

// The four text blocks and their sizes, in the order they are made.
static constexpr char** textBlocks[] = {&state.texts.messageText, &state.texts.aboutText,
                                        &state.texts.customCaption, &state.texts.messageBuffer};
static const unsigned short textBlockBytes[] = {MESSAGE_TEXT_BYTES, ABOUT_TEXT_BYTES,
                                                CUSTOM_CAPTION_BYTES, MESSAGE_BUFFER_BYTES};

__attribute__((noinline)) BOOL AllocateTextBlocks(void) {
    BOOL all = TRUE;
    for (int i = 0; i < 4; ++i)
        if (!(*textBlocks[i] = (char*)AllocateZeroed(textBlockBytes[i]))) all = FALSE;
    return all;
}

__attribute__((noinline)) void FreeTextBlocks(void) {
    for (int i = 0; i < 4; ++i) FreeLocal(*textBlocks[i]);
}

// The end of a run: its exit code, in every mode, as the log's last line.
static int EndRun(void) {
    WriteLog(MSG_LOG_END, state.run.exitCode);
    return (int)state.run.exitCode;
}

int StartUp(HINSTANCE instance, char* arguments) {
    lstrcpyA(state.run.appTitle, APP_TITLE);
    state.run.instance = instance;
    InstallUiHooks();
    SetErrorMode(0x8001);
    WORD version = (WORD)GetVersion();
    if (version == 0x0A03) state.run.win32sHost = TRUE;
    if (version == 0x5F03 || version == 0x0004) state.run.win95Host = TRUE;

    // The sequence goes on only with all four: every later step writes into them.
    if (!AllocateTextBlocks()) return EXIT_OUT_OF_MEMORY;

    state.run.arguments = arguments;
    // Until the run has done its job, or failed, it has been given up by the user.
    state.run.exitCode = EXIT_USER_EXIT;
    if (ARM_CHECKPOINT() != 0) {
        // An own file that cannot be read at start-up is, to a silent run's caller, one that
        // cannot be used: the code of a damaged file.
        if (state.run.exitCode == EXIT_EXTRACTION_FAILED) state.run.exitCode = EXIT_DAMAGED_FILE;
        return EndRun();
    }

    LoadStubData();
    if (stubParams.optionFlags & OPT_WAIT_MODE) state.run.waitMode = TRUE;
    if (stubParams.optionFlags & OPT_EXTRACT_ONLY) state.run.extractOnly = TRUE;
    // No one can press "&Done" in a silent run: it goes on as though it had been pressed.
    if (state.run.silentMode) state.run.waitMode = 0;
    RunInterface();
    ReleaseResources();
    FreeTextBlocks();
    return EndRun();
}
