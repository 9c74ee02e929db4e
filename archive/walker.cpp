// The archive walker: reads the appended ZIP archive front to back, record by record, from
// `archiveOffset` to the end of central directory record. Local headers are members and go
// to the member output; central entries and the end record are only stepped over. Nothing
// is searched from the end and nothing of the central directory is used.
//
// Every failure and every cancel during the walk unwinds to the checkpoint armed here, so
// the walk itself only ever returns after the end record.
#include "archive/archive.h"
#include "inflate/inflate.h"
#include "startup/startup.h"
#include "ui/ui.h"

// The name buffers hold 263 bytes and a terminator; a longer name is refused before any of
// it is taken.
static void ReadEntryName(unsigned length) {
    if (length >= PATH_CHARS) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    ReadArchive(state.memberName, length);
    state.memberName[length] = 0;
}

static void HandleLocalHeader(void) {
    const unsigned char* header = state.localHeader;
    ReadArchive(state.localHeader, sizeof state.localHeader);
    unsigned nameLength = ReadLe16(header + ENTRY_NAME_LENGTH);
    ReadEntryName(nameLength);
    SkipArchive(ReadLe16(header + ENTRY_EXTRA_LENGTH));

    // A name ending in a separator is a directory entry: folders are made only for the
    // files that need them, and such an entry has no data to skip.
    if (nameLength != 0) {
        char last = state.memberName[nameLength - 1];
        if (last == '/' || last == '\\') return;
    }

    OemToCharBuffA(state.memberName, state.displayName, nameLength + 1);
    lstrcpyA(state.memberName, state.displayName);
    // A consumed member has been taken up to its end by the input feed.
    if (!OutputMember()) SkipArchive(ReadLe32(header + ENTRY_PACKED));
    // Bit 3: a data descriptor with its signature follows the data; its values are not used.
    if (ReadLe16(header + ENTRY_FLAGS) & ZIP_FLAG_DESCRIPTOR) SkipArchive(DESCRIPTOR_BYTES);
}

// The fixed part of a record is read behind the room for its signature, which has been read
// already, so that fields sit at their offsets within the record.
static void SkipCentralEntry(void) {
    unsigned char record[CENTRAL_HEADER_BYTES];
    ReadArchive(record + ZIP_SIGNATURE_BYTES, CENTRAL_HEADER_BYTES - ZIP_SIGNATURE_BYTES);
    const unsigned char* entry = record + CENTRAL_ENTRY_FIELDS;
    ReadEntryName(ReadLe16(entry + ENTRY_NAME_LENGTH));
    SkipArchive(ReadLe16(entry + ENTRY_EXTRA_LENGTH));
    SkipArchive(ReadLe16(record + CENTRAL_COMMENT_LENGTH));
}

static void SkipEndRecord(void) {
    unsigned char record[END_RECORD_BYTES];
    ReadArchive(record + ZIP_SIGNATURE_BYTES, END_RECORD_BYTES - ZIP_SIGNATURE_BYTES);
    SkipArchive(ReadLe16(record + END_COMMENT_LENGTH));
}

static void WalkArchive(void) {
    for (;;) {
        unsigned char signature[4];
        ReadArchive(signature, 4);
        DWORD value = ReadLe32(signature);
        if (value == ZIP_LOCAL_SIGNATURE) {
            HandleLocalHeader();
        } else if (value == ZIP_CENTRAL_SIGNATURE) {
            SkipCentralEntry();
        } else if (value == ZIP_END_SIGNATURE) {
            SkipEndRecord();
            return;
        } else {
            FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
        }
    }
}

int RunExtraction(void) {
    int code = ARM_CHECKPOINT();
    SetStandardCursor(IDC_WAIT);
    if (code == 0) {
        // Nothing is known of the folders yet, and the first write looks at the queue.
        state.knownFolder[0] = 0;
        state.lastPoll = 0;
        SeekArchive(stubParams.archiveOffset);
        WalkArchive();
    } else if (state.outputFile) {
        // The partly written member stays on disk; the caller removes the whole folder.
        _lclose(state.outputFile);
        state.outputFile = 0;
    }
    SetStandardCursor(IDC_ARROW);
    return code;
}
