// Member output: where a member goes, whether it is written, and the writing itself.
//
// A member's bytes always take the same road, whichever way they are produced: each run of
// them (a run of stored data as the archive was read, or the decoder's window when it is
// full or the stream has ended) goes through `WriteOutput`, which moves the meter, folds the
// bytes into the member's CRC-32, writes them and now and then lets the user cancel. The
// CRC-32 is thus run over exactly the bytes written, in the order written.
//
// The meter counts output in steps of 2048 bytes, whatever the size of the writes: only a
// member's whole steps count, so its last part below 2048 bytes never moves the meter.
//
// Names come from the archive and are not trusted: a name that Windows cannot take as a file
// below the extraction folder (archive/names.cpp), or a path that does not fit its buffer,
// ends the run before anything of that member is created.
#include "archive/archive.h"
#include "inflate/inflate.h"
#include "startup/startup.h"
#include "ui/ui.h"

enum {
    STATUS_TEXT_BYTES = 100,
    OVERWRITE_TEXT_BYTES = 120,
    IN_USE_TEXT_BYTES = 300,
    MODULE_NAME_CHARS = 260,
    METER_STEP = 0x10000,
    POLL_MS = 20,
};

static inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

[[noreturn]] static void FailWithPath(BoxPurpose purpose, int message, const char* path) {
    FormatMessageText(state.messageBuffer, MESSAGE_BUFFER_BYTES, message, path);
    FatalError(purpose, state.messageBuffer);
}

// bytesDone * 100 / totalSize, whole-numbered, kept within 0..100 and free of overflow:
// two decimal digits of the quotient, each by ten modular additions of a remainder that
// stays below totalSize.
static DWORD MeterPosition(DWORD done, DWORD total) {
    if (done >= total) return 100;
    DWORD position = 0, rest = done;
    for (int digit = 0; digit < 2; ++digit) {
        DWORD sum = 0, value = rest;
        position *= 10;
        for (int i = 0; i < 10; ++i) {
            if (sum >= total - value) {
                sum -= total - value;
                ++position;
            } else {
                sum += value;
            }
        }
        rest = sum;
    }
    return position;
}

static void ComposeOutputPath(void) {
    const char* name = state.memberName;
    if (IsSeparator(*name)) ++name;  // only the one
    if (MemberNameFault(name)) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    name = SkipCurrentFolders(name);

    // Room for the folder, a separator and a whole name; what does not fit the 264-byte
    // path buffers is refused with the path it would have been.
    char work[2 * PATH_CHARS];
    lstrcpyA(work, state.extractFolder);
    int length = lstrlenA(work);
    if (length != 0 && !IsSeparator(work[length - 1])) {
        work[length++] = '\\';
        work[length] = 0;
    }
    lstrcpyA(work + length, name);
    for (char* p = work; *p; ++p)
        if (*p == '/') *p = '\\';
    if (lstrlenA(work) >= PATH_CHARS)
        FailWithPath(BOX_CANNOT_CREATE_FILE, MSG_CANNOT_CREATE_FILE, work);

    lstrcpyA(state.memberName, work);
}

static BOOL CheckModuleInUse(const char* path) {
    if (!state.win32sHost && !state.win95Host) return FALSE;
    char moduleName[PATH_CHARS];
    moduleName[0] = 0;
    HMODULE module = GetModuleHandleA(path);
    if (module) {
        GetModuleFileNameA(module, moduleName, MODULE_NAME_CHARS);
        moduleName[MODULE_NAME_CHARS] = 0;  // older hosts do not terminate a cut name
    }
    if (lstrcmpiA(moduleName, path) != 0) return FALSE;

    char text[IN_USE_TEXT_BYTES];
    FormatMessageText(text, IN_USE_TEXT_BYTES, MSG_MODULE_IN_USE, path);
    if (UserBox(BOX_MODULE_IN_USE, text) == IDOK) return TRUE;
    AbortTo(ABORT_CANCELLED);
}

// True when `path` (its first `length` characters) is the folder that member output made or
// found last, or one above it.
static bool IsKnownFolder(const char* path, int length) {
    const char* known = state.knownFolder;
    for (int i = 0; i < length; ++i)
        if (known[i] != path[i]) return false;
    return known[length] == '\\' || known[length] == 0;
}

// Makes the missing folders on the output path, outermost first. A folder that cannot be
// made but is there already is left alone, and so is a bare drive; the folders of the last
// member's path are known to be there and are not tried again.
static void CreateParentFolders(void) {
    char work[PATH_CHARS];
    lstrcpyA(work, state.memberName);
    char* scan = work;
    if (IsSeparator(*scan)) ++scan;
    char* end = FileNamePart(work);
    if (scan >= end) return;
    while (scan < end) {
        while (!IsSeparator(*scan)) ++scan;
        *scan = 0;
        bool bareDrive = scan - work == 2 && work[1] == ':';
        if (!bareDrive && !IsKnownFolder(work, (int)(scan - work)) && !CreateFolder(work) &&
            !PathExists(work))
            FailWithPath(BOX_CANNOT_CREATE_FOLDER, MSG_CANNOT_CREATE_FOLDER, work);
        *scan++ = '\\';
    }
    end[-1] = 0;
    lstrcpyA(state.knownFolder, work);
}

// Creates the member's file: a new one, or, where a file or folder of that name is in the
// way, the question whether to overwrite it. False when the member is skipped.
static BOOL CreateOutputFile(void) {
    lstrcpyA(state.displayName, state.memberName);
    HFILE file = OpenNewFile(state.displayName, CREATE_NEW);
    if (file == HFILE_ERROR && PathExists(state.displayName)) {
        char text[OVERWRITE_TEXT_BYTES];
        FormatMessageText(text, OVERWRITE_TEXT_BYTES, MSG_OVERWRITE_QUERY,
                          state.displayName);
        int answer = UserBox(BOX_OVERWRITE, text);
        if (answer == IDCANCEL) AbortTo(ABORT_CANCELLED);
        if (answer != IDYES) return FALSE;
        file = OpenNewFile(state.displayName, CREATE_ALWAYS);
    }
    if (file == HFILE_ERROR)
        FailWithPath(BOX_CANNOT_CREATE_FILE, MSG_CANNOT_CREATE_FILE, state.displayName);
    state.outputFile = file;
    return TRUE;
}

// The meter: the member's whole 2048-byte steps are added to bytesDone, and at each 64 KiB
// mark that bytesDone passes the position goes to the meter (when it shows) and the meter is
// repainted, as if the output had come in steps of 2048 bytes. A position the meter already
// shows for this member is not sent again: the meter would repaint the same picture at once,
// and on a slow display that costs more than the output it reports. A new member at the
// position shown changes only the name in the bar: the meter is told without the repaint at
// once, and the next look at the dialog's messages (at most POLL_MS on) paints it. Many small
// members would otherwise cost a synchronous repaint each.
static void MoveMeter(DWORD count) {
    DWORD before = state.memberBytes;
    state.memberBytes += count;
    DWORD done = state.bytesDone +
                 (state.memberBytes & ~(METER_CHUNK - 1)) - (before & ~(METER_CHUNK - 1));
    while (done - state.lastMeterBytes >= METER_STEP) {
        state.lastMeterBytes += METER_STEP;
        DWORD position = MeterPosition(state.lastMeterBytes, stubParams.totalSize);
        if (state.meterShown && position + 1 != state.meterSent) {
            BOOL nameOnly = position + 1 == (state.meterSent & ~METER_NEW_MEMBER);
            state.meterSent = position + 1;
            SendMessageA(state.meterWindow, METER_SETPOS, position, nameOnly);
        }
        // No meter (a silent run): no repaint, since a null window means the whole screen.
        // A repaint that is still to come is not asked for again: each request is a round
        // trip to the window system, and a fast extraction passes many marks between two
        // looks at its messages.
        if (state.meterWindow && !state.meterInvalid) {
            state.meterInvalid = 1;
            InvalidateRect(state.meterWindow, 0, FALSE);
        }
    }
    state.bytesDone = done;
}

void WriteOutput(const unsigned char* bytes, DWORD count) {
    if (!count) return;
    MoveMeter(count);
    Crc32Update(bytes, count);
    if (_lwrite(state.outputFile, (LPCSTR)bytes, count) != count)
        FailWithPath(BOX_WRITE_FAILED, MSG_WRITE_FAILED, state.displayName);
    // The dialog's messages, and with them a cancel, are looked at every POLL_MS; while the
    // meter's timer has not fired yet, after every write, so that a slow extraction reveals
    // the meter as soon as the timer comes.
    DWORD now = GetTickCount();
    if (!state.meterTimer && now - state.lastPoll < POLL_MS) return;
    state.lastPoll = now;
    if (PollCancel()) AbortTo(ABORT_FAILED);
}

// The archive holds local times, as every other unzip tool reads them.
static void SetMemberFileTimes(void) {
    FILETIME local, time;
    if (DosDateTimeToFileTime((WORD)ReadLe16(state.localHeader + ENTRY_DATE),
                              (WORD)ReadLe16(state.localHeader + ENTRY_TIME), &local) &&
        LocalFileTimeToFileTime(&local, &time))
        SetFileTime((HANDLE)(INT_PTR)state.outputFile, &time, &time, &time);
}

static void ShowMemberStatus(void) {
    // While the meter is shown it paints the member's name itself; a silent run has no
    // dialog to show it in.
    if (state.meterShown || !state.dialogWindow) return;
    char text[STATUS_TEXT_BYTES];
    FormatMessageText(text, STATUS_TEXT_BYTES, MSG_UNZIPPING, FileNamePart(state.displayName));
    SetDlgItemTextA(state.dialogWindow, ID_STATUS, text);
    InvalidateRect(GetDlgItem(state.dialogWindow, ID_STATUS), 0, FALSE);
}

// Writes the member into its created file, sets its times and closes it, then checks it: the
// data must decode without fault, a DEFLATE stream must end in the last byte of the member's
// data, and what came out must have the declared size and CRC-32. Any fault is message 30,
// with the CRC-32 of what came out.
static void ExtractMember(void) {
    state.inputCount = 0;
    state.memberBytes = 0;
    state.meterSent |= METER_NEW_MEMBER;
    state.crc = 0xFFFFFFFF;

    unsigned method = ReadLe16(state.localHeader + ENTRY_METHOD);
    BOOL damaged = FALSE;
    if (method == METHOD_STORED) {
        ShowMemberStatus();
        DWORD run;
        while ((run = TakeMemberRun()) != 0) WriteOutput(state.inputPtr, run);
    } else if (method == METHOD_DEFLATED) {
        ShowMemberStatus();
        // Data left over (in the file, in the piece the feed holds, or whole bytes in the
        // decoder's bits) means the stream ended early; bits of bytes that the feed made up
        // past the end (inputOverrun) that the stream consumed mean it ended late.
        damaged = InflateStream() != INFLATE_OK || ReadLe32(state.localHeader + ENTRY_PACKED) ||
                  state.inputCount > 0 ||
                  (unsigned)(state.bitCount - 8 * state.inputOverrun) >= 8;
    } else {
        FatalMessage(BOX_BAD_METHOD, MSG_BAD_METHOD);
    }

    SetMemberFileTimes();
    _lclose(state.outputFile);
    state.outputFile = 0;

    DWORD found = ~state.crc;
    DWORD expected = ReadLe32(state.localHeader + ENTRY_CRC);
    if (damaged || found != expected ||
        state.memberBytes != ReadLe32(state.localHeader + ENTRY_SIZE)) {
        FormatMessageText(state.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_BAD_CRC,
                          state.displayName, found, expected);
        FatalError(BOX_BAD_CRC, state.messageBuffer);
    }
}

BOOL OutputMember(void) {
    ComposeOutputPath();
    if (CheckModuleInUse(state.memberName)) return FALSE;
    CreateParentFolders();
    if (!CreateOutputFile()) return FALSE;
    ExtractMember();
    return TRUE;
}
