// Member output: where a member goes, whether it is written, and the writing itself.
//
// A member's bytes always take the same road, whichever way they are produced: each run of
// them (a run of stored data as the archive was read, or the decoder's window when it is
// full or the stream has ended) goes through `WriteOutput`, the sink of base/feed.h, which
// counts them for the meter, folds them into the member's CRC-32, writes them and now and
// then lets the user cancel. The meter and the cancel belong to the ui: it hears of them
// through the hooks of the state record, which it sets at start (none in mksfx). The
// CRC-32 is thus run over exactly the bytes written, in the order written.
//
// The meter counts output in steps of 2048 bytes, whatever the size of the writes: only a
// member's whole steps count, so its last part below 2048 bytes never moves the meter.
//
// Names come from the archive and are not trusted: a name that Windows cannot take as a file
// below the extraction folder (archive/names.cpp), or a path that does not fit its buffer,
// ends the run before anything of that member is created.
#include "archive/archive.h"
#include "base/feed.h"
#include "inflate/inflate.h"

enum {
    OVERWRITE_TEXT_BYTES = 120,
    IN_USE_TEXT_BYTES = 300,
    MODULE_NAME_CHARS = 260,
    POLL_MS = 20,
};

static inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

[[noreturn]] static void FailWithPath(BoxPurpose purpose, int message, const char* path) {
    FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, message, path);
    FatalError(purpose, state.texts.messageBuffer);
}

static void ComposeOutputPath(void) {
    const char* name = state.output.memberName;
    if (IsSeparator(*name)) ++name;  // only the one
    if (MemberNameFault(name)) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    name = SkipCurrentFolders(name);

    // Room for the folder, a separator and a whole name; what does not fit the 264-byte
    // path buffers is refused with the path it would have been.
    char work[2 * PATH_CHARS];
    lstrcpyA(work, state.output.folder);
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

    lstrcpyA(state.output.memberName, work);
}

static BOOL CheckModuleInUse(const char* path) {
    if (!state.run.win32sHost && !state.run.win95Host) return FALSE;
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
    const char* known = state.output.knownFolder;
    for (int i = 0; i < length; ++i)
        if (known[i] != path[i]) return false;
    return known[length] == '\\' || known[length] == 0;
}

// Makes the missing folders on the output path, outermost first. A folder that cannot be
// made but is there already is left alone, and so is a bare drive; the folders of the last
// member's path are known to be there and are not tried again.
static void CreateParentFolders(void) {
    char work[PATH_CHARS];
    lstrcpyA(work, state.output.memberName);
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
    lstrcpyA(state.output.knownFolder, work);
}

// Creates the member's file: a new one, or, where a file or folder of that name is in the
// way, the question whether to overwrite it. False when the member is skipped.
static BOOL CreateOutputFile(void) {
    lstrcpyA(state.output.displayName, state.output.memberName);
    HFILE file = OpenNewFile(state.output.displayName, CREATE_NEW);
    if (file == HFILE_ERROR && PathExists(state.output.displayName)) {
        char text[OVERWRITE_TEXT_BYTES];
        FormatMessageText(text, OVERWRITE_TEXT_BYTES, MSG_OVERWRITE_QUERY,
                          state.output.displayName);
        int answer = UserBox(BOX_OVERWRITE, text);
        if (answer == IDCANCEL) AbortTo(ABORT_CANCELLED);
        if (answer != IDYES) return FALSE;
        file = OpenNewFile(state.output.displayName, CREATE_ALWAYS);
    }
    if (file == HFILE_ERROR)
        FailWithPath(BOX_CANNOT_CREATE_FILE, MSG_CANNOT_CREATE_FILE, state.output.displayName);
    state.output.file = file;
    return TRUE;
}

// The meter's count: the member's whole 2048-byte steps are added to bytesDone, and at each
// 64 KiB mark that bytesDone passes the progress hook (the ui's meter) hears of it, as if the
// output had come in steps of 2048 bytes.
static void MoveMeter(DWORD count) {
    DWORD before = state.output.memberBytes;
    state.output.memberBytes += count;
    DWORD done = state.progress.bytesDone +
                 (state.output.memberBytes & ~(METER_CHUNK - 1)) - (before & ~(METER_CHUNK - 1));
    while (done - state.progress.lastMark >= METER_STEP) {
        state.progress.lastMark += METER_STEP;
        if (state.hooks.progress) state.hooks.progress(PROGRESS_MARK);
    }
    state.progress.bytesDone = done;
}

void WriteMemberBytes(const unsigned char* bytes, DWORD count, DWORD meterCount) {
    if (!count) return;
    MoveMeter(meterCount);
    Crc32Update(bytes, count);
    if (_lwrite(state.output.file, (LPCSTR)bytes, count) != count)
        FailWithPath(BOX_WRITE_FAILED, MSG_WRITE_FAILED, state.output.displayName);
    // The dialog's messages, and with them a cancel (the cancel hook), are looked at every
    // POLL_MS; while the meter's timer has not fired yet, after every write, so that a slow
    // extraction reveals the meter as soon as the timer comes.
    DWORD now = GetTickCount();
    if (!state.meter.timer && now - state.progress.lastPoll < POLL_MS) return;
    state.progress.lastPoll = now;
    if (state.hooks.cancel && state.hooks.cancel()) AbortTo(ABORT_FAILED);
}

void WriteOutput(const unsigned char* bytes, DWORD count) {
#if TESSLY_SOLID
    if (state.solid.form) {
        SolidOutput(bytes, count);
        return;
    }
#endif
    WriteMemberBytes(bytes, count, count);
}

// The archive holds local times, as every other unzip tool reads them.
static void SetMemberFileTimes(void) {
    FILETIME local, time;
    if (DosDateTimeToFileTime((WORD)ReadLe16(state.reader.localHeader + ENTRY_DATE),
                              (WORD)ReadLe16(state.reader.localHeader + ENTRY_TIME), &local) &&
        LocalFileTimeToFileTime(&local, &time))
        SetFileTime((HANDLE)(INT_PTR)state.output.file, &time, &time, &time);
}

void BadCrc(DWORD found, DWORD expected) {
    FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_BAD_CRC,
                      state.output.displayName, found, expected);
    FatalError(BOX_BAD_CRC, state.texts.messageBuffer);
}

// Writes the member into its created file, sets its times and closes it, then checks it: the
// data must decode without fault, a DEFLATE stream must end in the last byte of the member's
// data, and what came out must have the declared size and CRC-32. Any fault is message 30,
// with the CRC-32 of what came out.
static void ExtractMember(void) {
    state.output.memberBytes = 0;
    state.crc32.value = 0xFFFFFFFF;

    unsigned method = ReadLe16(state.reader.localHeader + ENTRY_METHOD);
    BOOL damaged = FALSE;
    if (method != METHOD_STORED && method != METHOD_DEFLATED)
        FatalMessage(BOX_BAD_METHOD, MSG_BAD_METHOD);
    if (state.hooks.progress) state.hooks.progress(PROGRESS_MEMBER);
    if (method == METHOD_STORED) {
        unsigned char* run;
        DWORD length;
        while ((length = TakeMemberRun(&run)) != 0) WriteOutput(run, length);
    } else {
        // Data left in the file means the stream ended early.
        damaged = InflateMember() != INFLATE_OK || state.reader.memberLeft;
    }

    SetMemberFileTimes();
    _lclose(state.output.file);
    state.output.file = 0;

    DWORD found = ~state.crc32.value;
    DWORD expected = ReadLe32(state.reader.localHeader + ENTRY_CRC);
    if (damaged || found != expected ||
        state.output.memberBytes != ReadLe32(state.reader.localHeader + ENTRY_SIZE)) {
        BadCrc(found, expected);
    }
}

BOOL OpenMember(void) {
    ComposeOutputPath();
    if (CheckModuleInUse(state.output.memberName)) return FALSE;
    CreateParentFolders();
    return CreateOutputFile();
}

BOOL OutputMember(void) {
    if (!OpenMember()) return FALSE;
    ExtractMember();
    return TRUE;
}

#if TESSLY_SOLID && !defined(TESSLY_WINAPI)
void CheckMemberName(void) { ComposeOutputPath(); }
#endif
