// The archive walker: reads the appended ZIP archive front to back, record by record, from
// `archiveOffset` to the end of central directory record. Local headers are members and go
// to the member output; central entries and the end record are only stepped over. Nothing
// is searched from the end and nothing of the central directory is used.
//
// Every failure and every cancel during the walk unwinds to the checkpoint armed here, so
// the walk itself only ever returns after the end record.
#include "startup/state.h"

enum {
    SIG_LOCAL = 0x04034B50,
    SIG_CENTRAL = 0x02014B50,
    SIG_END = 0x06054B50,
    CENTRAL_FIXED = 42,  // central header after its signature
    END_FIXED = 18,      // end record after its signature
};

static void ReadExactly(void* buffer, UINT count) {
    if (_lread(state.archiveFile, buffer, count) != count) ReadFailed();
}

// Steps forward over bytes that are never read. A count that a 32-bit position cannot take
// forward would turn into a backward seek (and a walk that never ends); no archive the stub
// can read is that long, so it counts as the archive ending early.
static void SkipForward(DWORD count) {
    if ((LONG)count < 0) ReadFailed();
    _llseek(state.archiveFile, (LONG)count, 1);
}

int RunExtraction(void) {
    int code = ARM_CHECKPOINT();
    SetStandardCursor(IDC_WAIT);
    if (code == 0) {
        if ((DWORD)_llseek(state.archiveFile, (LONG)stubParams.archiveOffset, 0) !=
            stubParams.archiveOffset)
            FatalError(GetMessageText(MSG_SEEK_FAILED));
        WalkArchive();
    } else if (state.outputFile) {
        // The partly written member stays on disk; the caller removes the whole folder.
        _lclose(state.outputFile);
        state.outputFile = 0;
    }
    SetStandardCursor(IDC_ARROW);
    return code;
}

void WalkArchive(void) {
    for (;;) {
        unsigned char signature[4];
        ReadExactly(signature, 4);
        DWORD value = ReadLe32(signature);
        if (value == SIG_LOCAL) {
            HandleLocalHeader();
        } else if (value == SIG_CENTRAL) {
            SkipCentralEntry();
        } else if (value == SIG_END) {
            SkipEndRecord();
            return;
        } else {
            FatalError(GetMessageText(MSG_BAD_HEADER));
        }
    }
}

void HandleLocalHeader(void) {
    const unsigned char* header = state.localHeader;
    ReadExactly(state.localHeader, sizeof state.localHeader);
    unsigned nameLength = ReadLe16(header + LH_NAME_LENGTH);
    ReadEntryName(nameLength);
    SkipForward(ReadLe16(header + LH_EXTRA_LENGTH));

    // A name ending in a separator is a directory entry: folders are made only for the
    // files that need them, and such an entry has no data to skip.
    if (nameLength != 0) {
        char last = state.memberName[nameLength - 1];
        if (last == '/' || last == '\\') return;
    }

    OemToCharA(state.memberName, state.displayName);
    lstrcpyA(state.memberName, state.displayName);
    // A consumed member has been read up to its end by the input feed.
    if (!OutputMember()) SkipForward(ReadLe32(header + LH_PACKED));
    // Bit 3: a data descriptor with its signature follows the data; its values are not used.
    if (ReadLe16(header + LH_FLAGS) & 0x0008) SkipForward(16);
}

void SkipCentralEntry(void) {
    unsigned char fixed[CENTRAL_FIXED];
    ReadExactly(fixed, CENTRAL_FIXED);
    ReadEntryName(ReadLe16(fixed + 24));
    SkipForward(ReadLe16(fixed + 26));
    SkipForward(ReadLe16(fixed + 28));
}

void SkipEndRecord(void) {
    unsigned char fixed[END_FIXED];
    ReadExactly(fixed, END_FIXED);
    SkipForward(ReadLe16(fixed + 16));
}

// The name buffers hold 263 bytes and a terminator; a longer name is refused before a
// single byte of it is read.
void ReadEntryName(unsigned length) {
    if (length >= PATH_CHARS) FatalError(GetMessageText(MSG_BAD_HEADER));
    ReadExactly(state.memberName, length);
    state.memberName[length] = 0;
}
