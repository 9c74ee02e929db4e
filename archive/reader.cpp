// Reading the archive: records for the walker, and a member's compressed data for the stored
// copy and the codecs (the feed of base/feed.h).
//
// The archive is read front to back in pieces of READ_CHUNK bytes, whatever the records and
// members are like: the walker takes its records from what the last read brought, and the
// decoder and the stored copy take a member's data from it in runs that never reach past
// the member's compressed size. Steps over data that has not been read yet are seeks.
#include "archive/archive.h"
#include "base/feed.h"

// Seeks take the offset as unsigned, with an explicit high part of zero: a file of up to
// 4 GiB is reached anywhere, where a signed 32-bit offset would fail beyond 2 GiB.
BOOL SeekFile(HFILE file, ULONGLONG offset) {
    LONG high = (LONG)(offset >> 32);
    return SetFilePointer((HANDLE)(INT_PTR)file, (LONG)(DWORD)offset, &high, FILE_BEGIN) == (DWORD)offset &&
           (DWORD)high == (DWORD)(offset >> 32);
}

// The walk's positions are 32-bit: the solid form, which seeks past 4 GiB, keeps its own.
void SeekArchive(ULONGLONG offset) {
    state.reader.left = 0;
    state.reader.end = (DWORD)offset;
    if (!SeekFile(state.reader.file, offset)) FatalMessage(BOX_SEEK_FAILED, MSG_SEEK_FAILED);
}

// Makes sure that something is buffered; a file that has ended (or cannot be read) where
// more of the archive is needed is a read failure.
static void FillReadBuffer(void) {
    if (state.reader.left) return;
    UINT n = _lread(state.reader.file, state.reader.buffer, READ_CHUNK);
    if (n == (UINT)HFILE_ERROR || n == 0) ReadFailed();
    state.reader.ptr = state.reader.buffer;
    state.reader.left = n;
    state.reader.end += n;
}

void ReadArchive(void* to, DWORD count) {
    unsigned char* out = (unsigned char*)to;
    while (count) {
        FillReadBuffer();
        DWORD n = count < state.reader.left ? count : state.reader.left;
        __builtin_memcpy(out, state.reader.ptr, n);
        out += n;
        state.reader.ptr += n;
        state.reader.left -= n;
        count -= n;
    }
}

// A few bytes from elsewhere in the file, read straight into `to` without the buffer (which
// would read a whole piece for them); the file's position is then put back where the buffer
// left it. A failed seek or a short read is a read failure.
void ReadArchiveAt(DWORD offset, void* to, DWORD count) {
    if (!SeekFile(state.reader.file, offset) || _lread(state.reader.file, to, count) != count ||
        !SeekFile(state.reader.file, state.reader.end))
        ReadFailed();
}

// Steps beyond what is buffered are seeks to the position they reach. A step past 4 GiB
// cannot be taken by a 32-bit position; no archive the stub can read is that long, so it
// counts as the archive ending early, as does a seek that fails.
void SkipArchive(DWORD count) {
    if (count <= state.reader.left) {
        state.reader.ptr += count;
        state.reader.left -= count;
        return;
    }
    DWORD target = state.reader.end - state.reader.left + count;
    state.reader.left = 0;
    state.reader.end = target;
    if (target < count || !SeekFile(state.reader.file, target)) ReadFailed();
}

// The next run of the member's compressed data, as much as is buffered (reading when nothing
// is): its length, or 0 once memberLeft, which counts what is left of the member's data, is
// used up (it is 0 in memory mode, so a memory range ends there).
DWORD TakeMemberRun(unsigned char** run) {
    DWORD left = state.reader.memberLeft;
#if TESSLY_SOLID
    // A pack stream of the solid form may be longer than 4 GiB: it is given out in parts.
    if (left == 0 && state.solid.packLeft) {
        left = state.solid.packLeft > 0x80000000u ? 0x80000000u : (DWORD)state.solid.packLeft;
        state.solid.packLeft -= left;
    }
#endif
    if (left == 0) return 0;
    FillReadBuffer();
    DWORD n = left < state.reader.left ? left : state.reader.left;
    state.reader.memberLeft = left - n;
    *run = state.reader.ptr;
    state.reader.ptr += n;
    state.reader.left -= n;
    return n;
}
