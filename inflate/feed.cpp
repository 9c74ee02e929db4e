// The decoder's plumbing, and the reading of the archive that it shares with the walker.
//
// The archive is read front to back in pieces of READ_CHUNK bytes, whatever the records and
// members are like: the walker takes its records from what the last read brought, and the
// decoder and the stored copy take a member's data from it in runs that never reach past
// the member's compressed size. Steps over data that has not been read yet are seeks.
//
// Compressed bytes reach the decoder through a one-byte feed (runs of the archive, or a byte
// range in memory); decoded bytes collect in the 32 KiB window and leave it when it is full
// or the stream has ended: written to the member's file in file mode, laid down in the
// caller's buffer in memory mode.
//
// The block decoders take bytes from the current run directly and fall back on
// NextInputByte only where a run ends.
#include "archive/archive.h"
#include "inflate/decoder.h"
#include "startup/startup.h"

const unsigned short maskBits[17] = {
    0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
    0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF,
};

// ---- the archive ----------------------------------------------------------------------------

// Seeks take the offset as unsigned, with an explicit high part of zero: a file of up to
// 4 GiB is reached anywhere, where a signed 32-bit offset would fail beyond 2 GiB.
BOOL SeekFile(HFILE file, DWORD offset) {
    LONG high = 0;
    return SetFilePointer((HANDLE)(INT_PTR)file, (LONG)offset, &high, FILE_BEGIN) == offset &&
           high == 0;
}

void SeekArchive(DWORD offset) {
    state.readLeft = 0;
    state.readEnd = offset;
    if (!SeekFile(state.archiveFile, offset)) FatalMessage(BOX_SEEK_FAILED, MSG_SEEK_FAILED);
}

// Makes sure that something is buffered; a file that has ended (or cannot be read) where
// more of the archive is needed is a read failure.
static void FillReadBuffer(void) {
    if (state.readLeft) return;
    UINT n = _lread(state.archiveFile, state.readBuffer, READ_CHUNK);
    if (n == (UINT)HFILE_ERROR || n == 0) ReadFailed();
    state.readPtr = state.readBuffer;
    state.readLeft = n;
    state.readEnd += n;
}

void ReadArchive(void* to, DWORD count) {
    unsigned char* out = (unsigned char*)to;
    while (count) {
        FillReadBuffer();
        DWORD n = count < state.readLeft ? count : state.readLeft;
        __builtin_memcpy(out, state.readPtr, n);
        out += n;
        state.readPtr += n;
        state.readLeft -= n;
        count -= n;
    }
}

// A few bytes from elsewhere in the file, read straight into `to` without the buffer (which
// would read a whole piece for them); the file's position is then put back where the buffer
// left it. A failed seek or a short read is a read failure.
void ReadArchiveAt(DWORD offset, void* to, DWORD count) {
    if (!SeekFile(state.archiveFile, offset) || _lread(state.archiveFile, to, count) != count ||
        !SeekFile(state.archiveFile, state.readEnd))
        ReadFailed();
}

// Steps beyond what is buffered are seeks to the position they reach. A step past 4 GiB
// cannot be taken by a 32-bit position; no archive the stub can read is that long, so it
// counts as the archive ending early, as does a seek that fails.
void SkipArchive(DWORD count) {
    if (count <= state.readLeft) {
        state.readPtr += count;
        state.readLeft -= count;
        return;
    }
    DWORD target = state.readEnd - state.readLeft + count;
    state.readLeft = 0;
    state.readEnd = target;
    if (target < count || !SeekFile(state.archiveFile, target)) ReadFailed();
}

// The next run of the member's compressed data, as much as is buffered (reading when nothing
// is): its length, or 0 once the compressed-size field of localHeader, which counts what is
// left, is used up (it is 0 in memory mode, so a memory range ends there).
DWORD TakeMemberRun(void) {
    unsigned char* sizeField = state.localHeader + ENTRY_PACKED;
    DWORD left = ReadLe32(sizeField);
    if (left == 0) return 0;
    FillReadBuffer();
    DWORD n = left < state.readLeft ? left : state.readLeft;
    WriteLe32(sizeField, left - n);
    state.inputPtr = state.readPtr;
    state.readPtr += n;
    state.readLeft -= n;
    return n;
}

// ---- the decoder's feed and window ----------------------------------------------------------

// Delivers one byte into *cell and answers 8, or answers 0 at the end of the input and leaves
// the cell alone. Answers of 0 are counted so that the decoder can stop a stream that runs
// on past its input.
int NextInputByte(unsigned short* cell) {
    if (state.inputCount <= 0) {
        state.inputCount = (int)TakeMemberRun();
        if (state.inputCount == 0) {
            state.inputOverrun++;
            return 0;
        }
    }
    state.inputCount--;
    *cell = *state.inputPtr++;
    return 8;
}

// Passes window bytes 0 .. count-1 on: to the member's file (WriteOutput), or in memory mode
// to outputPtr, where the caller's buffer ends at outputLimit: a flush that would not fit
// passes nothing on and ends the stream as invalid data. A flush of the whole window is the
// window's wrap, after which no distance can reach before the stream's first byte.
int FlushWindow(unsigned count) {
    if (count == WINDOW_SIZE) state.windowFilled = 1;
    if (!state.memoryMode) {
        WriteOutput(state.window, count);
        return INFLATE_OK;
    }
    if (state.outputLimit - state.outputPtr < (long)count) return INFLATE_INVALID;
    __builtin_memcpy(state.outputPtr, state.window, count);
    state.outputPtr += count;
    return INFLATE_OK;
}

// ---- the bit reader's hold on the feed (inflate/decoder.h) ----------------------------------

void LoadReader(BitReader* r) {
    r->hold = state.bitBuffer;
    r->ahead = r->bits = state.bitCount;  // the byte feed's bits were all asked for
    r->in = r->start = state.inputPtr;
    r->end = r->in + (state.inputCount > 0 ? state.inputCount : 0);
}

// The byte feed holds the bits up to the next byte boundary at or after the farthest request.
void SaveReader(const BitReader* r) {
    unsigned extra = (unsigned)((int)r->bits - r->ahead) >> 3;
    unsigned held = r->bits - 8 * extra;
    const unsigned char* in = r->in - extra;
    if (in != r->start) state.inputByte = in[-1];
    state.inputPtr = (unsigned char*)in;
    state.inputCount = (int)(r->end - in);
    state.bitBuffer = (DWORD)(r->hold & (((BitHold)1 << held) - 1));
    state.bitCount = (unsigned short)held;
}

// Byte by byte at the end of a piece: the feed refills it or answers that the input is used
// up, in which case the last byte delivered (the feed leaves it in inputByte) goes in again.
BitReader FillSlow(BitReader r, unsigned n) {
    do {
        unsigned byte;
        if (r.in < r.end) {
            byte = *r.in++;
        } else {
            if (r.in != r.start) state.inputByte = r.in[-1];
            state.inputPtr = (unsigned char*)r.in;
            state.inputCount = 0;
            NextInputByte(&state.inputByte);
            byte = state.inputByte;
            r.in = r.start = state.inputPtr;
            r.end = r.in + state.inputCount;
        }
        r.hold |= (BitHold)byte << r.bits;
        r.bits += 8;
    } while (r.bits < n);
    return r;
}
