// The archive walker: reads the appended ZIP archive front to back, record by record, from
// `archiveOffset` to the end of central directory record. Local headers are members and go
// to the member output; central entries and the end record are only checked against them
// (views.cpp), as they come. Nothing is searched from the end.
//
// Every failure and every cancel during the walk unwinds to the checkpoint armed here, so
// the walk itself only ever returns after the end record.
#include "archive/archive.h"
#include "base/base.h"
#include "inflate/inflate.h"

// The name buffers hold 263 bytes and a terminator; a longer name is refused before any of
// it is taken.
static void ReadEntryName(unsigned length) {
    if (length >= PATH_CHARS) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    ReadArchive(state.output.memberName, length);
    state.output.memberName[length] = 0;
}

// Where the record whose signature has just been read starts in the file.
static DWORD RecordOffset(void) {
    return state.reader.end - state.reader.left - ZIP_SIGNATURE_BYTES;
}

// A member that the central directory can no longer name, or a central entry or end record
// that does not describe what the walk met: other tools would read another archive.
[[noreturn]] static void ViewsDiffer(void) { FatalMessage(BOX_END_RECORD_BAD, MSG_END_RECORD_BAD); }

static void HandleLocalHeader(void) {
    const unsigned char* header = state.reader.localHeader;
    // The central entries name the local headers in order, all of them before the first entry.
    if (state.reader.views.centralCount) ViewsDiffer();
    ReadArchive(state.reader.localHeader, sizeof state.reader.localHeader);
    state.reader.memberLeft = ReadLe32(header + ENTRY_PACKED);
    unsigned nameLength = ReadLe16(header + ENTRY_NAME_LENGTH);
    ReadEntryName(nameLength);
    SkipArchive(ReadLe16(header + ENTRY_EXTRA_LENGTH));

    // A name ending in a separator is a directory entry: folders are made only for the
    // files that need them, and such an entry has no data to skip.
    if (nameLength != 0) {
        char last = state.output.memberName[nameLength - 1];
        if (last == '/' || last == '\\') return;
    }

    unsigned flags = ReadLe16(header + ENTRY_FLAGS);
    if (!TakeMemberName(flags)) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    // Encrypted data would only come out as noise: refused by name, before anything is made.
    if (flags & (ZIP_FLAG_ENCRYPTED | ZIP_FLAG_STRONG_ENCRYPTION)) {
        FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_ENCRYPTED,
                          state.output.memberName);
        FatalError(BOX_ENCRYPTED, state.texts.messageBuffer);
    }
    // A consumed member has been taken up to its end by the input feed; a skipped one is
    // stepped over, and nothing of it is left to take.
    if (!OutputMember()) {
        SkipArchive(state.reader.memberLeft);
        state.reader.memberLeft = 0;
    }
    // Bit 3: a data descriptor with its signature follows the data. It must say what the
    // local header says, as other tools take their sizes from it.
    if (flags & ZIP_FLAG_DESCRIPTOR) {
        unsigned char descriptor[DESCRIPTOR_BYTES];
        ReadArchive(descriptor, DESCRIPTOR_BYTES);
        if (!DescriptorMatches(header, descriptor)) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    }
}

// The fixed part of a record is read behind the room for its signature, which has been read
// already, so that fields sit at their offsets within the record.
static void HandleCentralEntry(void) {
    unsigned char record[CENTRAL_HEADER_BYTES];
    DWORD at = RecordOffset();
    ReadArchive(record + ZIP_SIGNATURE_BYTES, CENTRAL_HEADER_BYTES - ZIP_SIGNATURE_BYTES);
    const unsigned char* entry = record + CENTRAL_ENTRY_FIELDS;
    ReadEntryName(ReadLe16(entry + ENTRY_NAME_LENGTH));
    if (!CentralEntryAgrees(&state.reader.views, record, state.output.memberName, at))
        ViewsDiffer();
    SkipArchive(ReadLe16(entry + ENTRY_EXTRA_LENGTH));
    SkipArchive(ReadLe16(record + CENTRAL_COMMENT_LENGTH));
}

// The end record must describe the archive just walked, and stand where start-up probed it.
static void HandleEndRecord(void) {
    unsigned char record[END_RECORD_BYTES];
    DWORD at = RecordOffset();
    ReadArchive(record + ZIP_SIGNATURE_BYTES, END_RECORD_BYTES - ZIP_SIGNATURE_BYTES);
    if (!EndRecordAgrees(&state.reader.views, record, at) ||
        (stubParams.endRecordOffset && stubParams.endRecordOffset != at))
        ViewsDiffer();
}

static void WalkArchive(void) {
    for (;;) {
        unsigned char signature[4];
        ReadArchive(signature, 4);
        DWORD value = ReadLe32(signature);
        if (value == ZIP_LOCAL_SIGNATURE) {
            HandleLocalHeader();
        } else if (value == ZIP_CENTRAL_SIGNATURE) {
            HandleCentralEntry();
        } else if (value == ZIP_END_SIGNATURE) {
            HandleEndRecord();
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
        state.output.knownFolder[0] = 0;
        state.progress.lastPoll = 0;
        __builtin_memset(&state.reader.views, 0, sizeof state.reader.views);
        state.reader.views.archiveOffset = state.reader.views.expected = stubParams.archiveOffset;
#if TESSLY_SOLID
        if (state.solid.form) {
            ExtractSolid();
        } else
#endif
        {
            SeekArchive(stubParams.archiveOffset);
            WalkArchive();
        }
    } else if (state.output.file) {
        // The partly written member stays on disk; the caller removes the whole folder.
        _lclose(state.output.file);
        state.output.file = 0;
    }
#if TESSLY_SOLID
    state.solid.writing = 0;
#endif
    SetStandardCursor(IDC_ARROW);
    return code;
}
