// Member output: where a member goes, whether it is written, and the writing itself.
//
// A member's bytes always take the same road, whichever way they are produced: they collect
// in the 2048-byte `outputBuffer` (a plain copy of stored data, or the decoder's window
// flush for deflated data), and each full buffer goes through `FlushOutput`, which moves
// the meter, folds the bytes into the member's CRC-32, writes them and lets the user cancel.
// The last, partial buffer of a member is written by `ExtractMember` itself. The CRC-32 is
// thus run over exactly the bytes written, in the order written.
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
};

static inline bool IsSeparator(char c) { return c == '\\' || c == '/'; }

[[noreturn]] static void FailWithPath(BoxPurpose purpose, int message, const char* path) {
    FormatText(state.messageBuffer, MESSAGE_BUFFER_BYTES, GetMessageText(message), path);
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
    if (MemberNameFault(name)) FatalError(BOX_BAD_HEADER, GetMessageText(MSG_BAD_HEADER));

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
    if (lstrlenA(work) >= PATH_CHARS)
        FailWithPath(BOX_CANNOT_CREATE_FILE, MSG_CANNOT_CREATE_FILE, work);

    lstrcpyA(state.memberName, work);
    for (char* p = state.memberName; *p; ++p)
        if (*p == '/') *p = '\\';
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
    FormatText(text, IN_USE_TEXT_BYTES, GetMessageText(MSG_MODULE_IN_USE), path);
    if (UserBox(BOX_MODULE_IN_USE, text) == IDOK) return TRUE;
    AbortTo(ABORT_CANCELLED);
}

// Makes the missing folders on the output path, outermost first. Folders that a search
// finds are left alone; a bare drive is never searched for.
static void CreateParentFolders(void) {
    char work[PATH_CHARS];
    lstrcpyA(work, state.memberName);
    char* scan = work;
    if (IsSeparator(*scan)) ++scan;
    char* end = FileNamePart(work);
    while (scan < end) {
        while (!IsSeparator(*scan)) ++scan;
        *scan = 0;
        bool bareDrive = scan - work == 2 && work[1] == ':';
        if (!bareDrive && !PathExists(work) && !CreateFolder(work))
            FailWithPath(BOX_CANNOT_CREATE_FOLDER, MSG_CANNOT_CREATE_FOLDER, work);
        *scan++ = '\\';
    }
}

static BOOL ConfirmOverwrite(void) {
    if (!PathExists(state.memberName)) return TRUE;
    lstrcpyA(state.displayName, state.memberName);
    char text[OVERWRITE_TEXT_BYTES];
    FormatText(text, OVERWRITE_TEXT_BYTES, GetMessageText(MSG_OVERWRITE_QUERY), state.displayName);
    int answer = UserBox(BOX_OVERWRITE, text);
    if (answer == IDCANCEL) AbortTo(ABORT_CANCELLED);
    return answer == IDYES;
}

static void CheckWrite(int written) {
    if (written == -1 || written != state.outputCount)
        FailWithPath(BOX_WRITE_FAILED, MSG_WRITE_FAILED, state.displayName);
    if (PollCancel()) AbortTo(ABORT_FAILED);
}

int FlushOutput(void) {
    if (state.memoryMode) {
        state.outputCount = 0;
        return 0;
    }
    state.bytesDone += (DWORD)state.outputCount;
    if (state.bytesDone - state.lastMeterBytes >= METER_STEP) {
        state.lastMeterBytes = state.bytesDone;
        if (state.meterShown)
            SendDlgItemMessageA(state.dialogWindow, ID_METER, METER_SETPOS,
                                MeterPosition(state.bytesDone, stubParams.totalSize), 0);
        // No dialog (a silent run): no repaint, since a null window means the whole screen.
        if (state.dialogWindow) InvalidateRect(GetDlgItem(state.dialogWindow, ID_METER), 0, FALSE);
    }
    Crc32Update(state.outputBuffer, (DWORD)state.outputCount);
    CheckWrite((int)_lwrite(state.outputFile, (LPCSTR)state.outputBuffer, (UINT)state.outputCount));
    state.outputPtr = state.outputBuffer;
    state.outputCount = 0;
    return 0;
}

// A stored member is copied from the input feed in runs: one byte through NextInputByte,
// which refills the input buffer when it is empty, then as much of the buffered input as
// the output buffer has room for. The reads and writes are those of a byte-wise copy.
static void CopyStored(void) {
    unsigned short cell;
    while (NextInputByte(&cell)) {
        *state.outputPtr++ = (unsigned char)cell;
        int room = IO_CHUNK - ++state.outputCount;
        int run = state.inputCount < room ? state.inputCount : room;
        if (run > 0) {
            unsigned char* to = state.outputPtr;
            const unsigned char* from = state.inputPtr;
            for (int i = 0; i < run; ++i) to[i] = from[i];
            state.outputPtr += run;
            state.outputCount += run;
            state.inputPtr += run;
            state.inputCount -= run;
        }
        if (state.outputCount == IO_CHUNK) FlushOutput();
    }
}

static void CreateOutputFile(void) {
    lstrcpyA(state.displayName, state.memberName);
    HFILE file = OpenNewFile(state.displayName);
    if (file == HFILE_ERROR) {
        state.outputFile = 0;
        FailWithPath(BOX_CANNOT_CREATE_FILE, MSG_CANNOT_CREATE_FILE, state.displayName);
    }
    state.outputFile = file;
}

static void SetMemberFileTimes(void) {
    FILETIME time;
    if (DosDateTimeToFileTime((WORD)ReadLe16(state.localHeader + ENTRY_DATE),
                              (WORD)ReadLe16(state.localHeader + ENTRY_TIME), &time))
        SetFileTime((HANDLE)(INT_PTR)state.outputFile, &time, &time, &time);
}

static void ShowMemberStatus(void) {
    // While the meter is shown it paints the member's name itself; a silent run has no
    // dialog to show it in.
    if (state.meterShown || !state.dialogWindow) return;
    char text[STATUS_TEXT_BYTES];
    FormatText(text, STATUS_TEXT_BYTES, GetMessageText(MSG_UNZIPPING), FileNamePart(state.displayName));
    SetDlgItemTextA(state.dialogWindow, ID_STATUS, text);
    InvalidateRect(GetDlgItem(state.dialogWindow, ID_STATUS), 0, FALSE);
}

static void ExtractMember(void) {
    state.inputCount = 0;
    state.outputCount = 0;
    state.outputPtr = state.outputBuffer;
    state.crc = 0xFFFFFFFF;
    CreateOutputFile();

    unsigned method = ReadLe16(state.localHeader + ENTRY_METHOD);
    if (method == METHOD_STORED) {
        ShowMemberStatus();
        CopyStored();
    } else if (method == METHOD_DEFLATED) {
        ShowMemberStatus();
        // A damaged stream leaves a short or wrong file, which the CRC test below reports.
        (void)InflateStream();
        // A stream that ends before its member's data does would leave the walk inside
        // that data: step over what the feed has not read.
        DWORD unread = ReadLe32(state.localHeader + ENTRY_PACKED);
        if (unread != 0) {
            WriteLe32(state.localHeader + ENTRY_PACKED, 0);
            if ((LONG)unread < 0) ReadFailed();
            _llseek(state.archiveFile, (LONG)unread, 1);
        }
    } else {
        FatalError(BOX_BAD_METHOD, GetMessageText(MSG_BAD_METHOD));
    }

    // The last part of a member is written here and does not move the meter.
    if (state.outputCount > 0) {
        Crc32Update(state.outputBuffer, (DWORD)state.outputCount);
        CheckWrite((int)_lwrite(state.outputFile, (LPCSTR)state.outputBuffer,
                                (UINT)state.outputCount));
    }
    SetMemberFileTimes();
    _lclose(state.outputFile);
    state.outputFile = 0;

    DWORD found = ~state.crc;
    DWORD expected = ReadLe32(state.localHeader + ENTRY_CRC);
    if (found != expected) {
        FormatText(state.messageBuffer, MESSAGE_BUFFER_BYTES, GetMessageText(MSG_BAD_CRC),
                   state.displayName, found, expected);
        FatalError(BOX_BAD_CRC, state.messageBuffer);
    }
}

BOOL OutputMember(void) {
    ComposeOutputPath();
    if (CheckModuleInUse(state.memberName)) return FALSE;
    CreateParentFolders();
    if (!ConfirmOverwrite()) return FALSE;
    ExtractMember();
    return TRUE;
}
