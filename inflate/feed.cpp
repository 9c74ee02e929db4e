// The decoder's plumbing: compressed bytes come in through a one-byte feed (pieces of at most
// 2048 bytes read from the archive, or a byte range in memory), decoded bytes collect in the
// 32 KiB window and leave it through the 2048-byte output stage.
//
// The block decoders take bytes from the current piece directly and fall back on
// NextInputByte only where a piece ends, so the reads that reach the file are exactly those
// of a decoder that fetched every byte through the feed.
#include "archive/archive.h"
#include "inflate/decoder.h"
#include "startup/startup.h"

const unsigned short maskBits[17] = {
    0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
    0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF,
};

// Reads the next piece of the member's compressed data; the compressed-size field of
// localHeader counts what is still in the file (0 in memory mode, so the range ends there).
static int RefillInput(void) {
    unsigned char* sizeField = state.localHeader + ENTRY_PACKED;
    DWORD left = ReadLe32(sizeField);
    if (left == 0) {
        state.inputCount = 0;
        return 0;
    }
    UINT n = left < IO_CHUNK ? (UINT)left : (UINT)IO_CHUNK;
    if (_lread(state.archiveFile, state.inputBuffer, n) != n) ReadFailed();
    WriteLe32(sizeField, left - n);
    state.inputPtr = state.inputBuffer;
    state.inputCount = (int)n - 1;  // the byte about to be delivered is counted already
    return (int)n;
}

// Delivers one byte into *cell and answers 8, or answers 0 at the end of the input and leaves
// the cell alone. Answers of 0 are counted so that the decoder can stop a stream that runs
// on past its input.
int NextInputByte(unsigned short* cell) {
    if (state.inputCount-- <= 0) {
        if (!RefillInput()) {
            state.inputOverrun++;
            return 0;
        }
    }
    *cell = *state.inputPtr++;
    return 8;
}

// Passes window bytes 0 .. count-1 on to outputPtr in pieces that fill the 2048-byte stage.
// In memory mode the caller's buffer ends at outputLimit: a flush that would not fit passes
// nothing on and ends the stream as invalid data. A flush of the whole window is the
// window's wrap, after which no distance can reach before the stream's first byte.
int FlushWindow(unsigned count) {
    if (count == WINDOW_SIZE) state.windowFilled = 1;
    if (state.memoryMode && state.outputLimit - state.outputPtr < (long)count)
        return INFLATE_INVALID;
    const unsigned char* source = state.window;
    while (count) {
        unsigned piece = IO_CHUNK - state.outputCount;
        if (piece > count) piece = count;
        __builtin_memcpy(state.outputPtr, source, piece);
        state.outputPtr += piece;
        state.outputCount += piece;
        if (state.outputCount == IO_CHUNK) FlushOutput();
        source += piece;
        count -= piece;
    }
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
