// Extracting the solid form: each folder's pack stream is decoded as one LZMA stream, its
// bytes (through the x86 converter for a folder of programs) split among the folder's files in
// the header's order. Each file goes through the member output of the ZIP form: the same name
// checks and path, the same questions, the same CRC-32 check and message 30 when its data is
// damaged. Files without data come in their place between them: empty files are made, folders
// are left to the files that need them.
//
// Sizes and positions here are 64-bit: a file or a pack stream may be longer than 4 GiB. The
// meter counts in 32 bits, so for a larger archive it counts the bytes scaled down by a power
// of two, its total (the parameter block's, capped at 4 GiB - 1 by the builder) likewise; what
// a run loses to the scaling (less than one unit of some 32 KiB) does not show.
#include "archive/archive.h"
#include "base/feed.h"
#include "lzma/lzma.h"
#include "lzma/x86.h"

#if TESSLY_SOLID

// mksfx verify checks members without writing them; the stub always writes.
#ifdef TESSLY_WINAPI
#define TEST_ONLY 0
#else
#define TEST_ONLY state.solid.testOnly
#endif

namespace {

// The converter works in the DEFLATE decoder's window, which this form does not use.
enum { CONVERT_BYTES = WINDOW_SIZE };
X86State converter;
DWORD current;  // the index of the file being written
unsigned char* unpackTo;  // where an encoded header's next bytes go while it unpacks

bool Bit(const unsigned char* bits, DWORD i) { return bits[i >> 3] >> (7 - (i & 7)) & 1; }

// The file's times are its FILETIME (universal time), as the header holds it.
void CloseMember(void) {
    if (!state.solid.writing) return;
    if (state.solid.times) {
        const unsigned char* p = state.solid.times + 8 * current;
        FILETIME time = {ReadLe32(p), ReadLe32(p + 4)};
        SetFileTime((HANDLE)(INT_PTR)state.output.file, &time, &time, &time);
    }
    _lclose(state.output.file);
    state.output.file = 0;
    state.solid.writing = 0;
}

// Message 30 for the current member (or the last one, when the damage lies after it), with
// the CRC-32 of what came out.
[[noreturn]] void MemberDamaged(void) {
    CloseMember();
    BadCrc(~state.crc32.value, state.solid.expectedCrc);
}

void BeginMember(DWORD expectedCrc) {
    current = state.solid.file++;
    TakeSolidName(TRUE);
    state.output.memberBytes = 0;
    state.crc32.value = 0xFFFFFFFF;
    state.solid.expectedCrc = expectedCrc;
    state.solid.inMember = TRUE;
    if (TEST_ONLY) {
        CheckMemberName();
        lstrcpyA(state.output.displayName, state.output.memberName);
        return;
    }
    state.solid.writing = (unsigned char)OpenMember();
    if (state.solid.writing && state.hooks.progress) state.hooks.progress(PROGRESS_MEMBER);
}

// The member's last byte has come: its file closed and its CRC-32 checked (not for a member
// that was skipped).
void FinishMember(void) {
    bool checked = state.solid.writing || TEST_ONLY;
    CloseMember();
    state.solid.inMember = 0;
    if (checked && ~state.crc32.value != state.solid.expectedCrc) MemberDamaged();
}

// The files without data up to the next file with data (or the end).
void PassEmptyFiles(void) {
    while (state.solid.file < state.solid.fileCount && state.solid.emptyStream &&
           Bit(state.solid.emptyStream, state.solid.file)) {
        bool isFile = state.solid.emptyFile && Bit(state.solid.emptyFile, state.solid.emptyIndex);
        ++state.solid.emptyIndex;
        if (isFile) {
            BeginMember(0);
            FinishMember();
        } else {
            ++state.solid.file;
            TakeSolidName(FALSE);
        }
    }
}

// The next file with data of the current folder; its size is the list's next one, the last
// file's what is left of the folder.
void BeginStreamMember(void) {
    PassEmptyFiles();
    if (!state.solid.streamsLeft) MemberDamaged();
    ULONGLONG size = --state.solid.streamsLeft ? TakeSolidSize() : state.solid.folderLeft;
    // sizes that add up to more than the folder's
    if (size > state.solid.folderLeft) FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER);
    state.solid.folderLeft -= size;
    state.solid.memberLeft = size;
    BeginMember(ReadLe32(state.solid.crcs + 4 * state.solid.crcIndex++));
}

void Split(const unsigned char* bytes, DWORD count) {
    while (count) {
        while (!state.solid.inMember) {
            BeginStreamMember();
            if (!state.solid.memberLeft) FinishMember();
        }
        DWORD n = state.solid.memberLeft < count ? (DWORD)state.solid.memberLeft : count;
        if (state.solid.writing) WriteMemberBytes(bytes, n, n >> state.solid.meterShift);
        else if (TEST_ONLY) Crc32Update(bytes, n);
        bytes += n;
        count -= n;
        if (!(state.solid.memberLeft -= n)) FinishMember();
    }
}

// A folder's stream that does not decode to its size, or leaves pack data unread: the member
// it ended in is damaged (the next one when it ended between two).
[[noreturn]] void StreamDamaged(void) {
    if (!state.solid.inMember && state.solid.streamsLeft) BeginStreamMember();
    MemberDamaged();
}

}  // namespace

void SolidOutput(const unsigned char* bytes, DWORD count) {
    // An encoded header unpacks into memory; the decoder gives no more than its size.
    if (unpackTo) {
        __builtin_memcpy(unpackTo, bytes, count);
        unpackTo += count;
        return;
    }
    if (!state.solid.bcj) {
        Split(bytes, count);
        return;
    }
    // The converter holds back up to four bytes at the end of what it is given, which go in
    // again in front of the next bytes.
    unsigned char* buffer = state.decoder.window;
    while (count) {
        DWORD n = CONVERT_BYTES - state.solid.pending;
        if (n > count) n = count;
        __builtin_memcpy(buffer + state.solid.pending, bytes, n);
        bytes += n;
        count -= n;
        DWORD total = state.solid.pending + n, ready = ConvertX86(&converter, buffer, total, false);
        Split(buffer, ready);
        state.solid.pending = total - ready;
        for (DWORD i = 0; i < state.solid.pending; ++i) buffer[i] = buffer[ready + i];
    }
}

int UnpackSolid(unsigned char* to, const unsigned char* props, ULONGLONG size) {
    unpackTo = to;
    int result = DecodeLzma(props, size);
    unpackTo = 0;
    return result;
}

void ExtractSolid(void) {
    unpackTo = 0;  // after a run that a failed read ended inside an encoded header
    ReadSolidHeader();
    ULONGLONG total = state.solid.unpackSize[0] + state.solid.unpackSize[1];
    BYTE shift = 0;
    while (total >> shift > 0xFFFFFFFFu) ++shift;
    state.solid.meterShift = shift;
    if (shift) stubParams.totalSize = (DWORD)(total >> shift);
    ULONGLONG packAt = state.solid.packAt;
    for (DWORD f = 0; f < state.solid.folderCount; ++f) {
        SeekArchive(packAt);
        packAt += state.solid.packSize[f];
        state.reader.memberLeft = 0;
        state.solid.packLeft = state.solid.packSize[f];
        state.solid.streamsLeft = state.solid.streams[f];
        state.solid.folderLeft = state.solid.unpackSize[f];
        state.solid.bcj = state.solid.folderBcj[f];
        state.solid.pending = 0;
        converter.position = converter.mask = 0;
        int result = DecodeLzma(state.solid.props[f], state.solid.unpackSize[f]);
        if (result == LZMA_NO_MEMORY) OutOfMemory();
        // the converter leaves the stream's last few bytes as they are
        DWORD pending = state.solid.pending;
        state.solid.pending = 0;
        Split(state.decoder.window, pending);
        if (result != LZMA_DONE || state.reader.memberLeft || state.solid.packLeft) StreamDamaged();
        while (state.solid.streamsLeft) {
            BeginStreamMember();
            if (state.solid.memberLeft) StreamDamaged();
            FinishMember();
        }
    }
    PassEmptyFiles();
}

#endif  // TESSLY_SOLID
