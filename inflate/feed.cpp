// The decoder's plumbing: its input feed and its window.
//
// Compressed bytes reach the decoder through a one-byte feed (runs of a member's data that
// the archive reader hands out, base/feed.h, or a byte range in memory); decoded bytes collect
// in the 32 KiB window and leave it when it is full or the stream has ended: passed to the
// sink (WriteOutput, base/feed.h) in file mode, laid down in the caller's buffer in memory
// mode.
//
// The block decoders take bytes from the current run directly and fall back on
// NextInputByte only where a run ends.
#include "base/feed.h"
#include "inflate/decoder.h"

const unsigned short maskBits[17] = {
    0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F, 0x003F, 0x007F, 0x00FF,
    0x01FF, 0x03FF, 0x07FF, 0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF,
};

// ---- the decoder's feed and window ----------------------------------------------------------

// Delivers one byte into *cell and answers 8, or answers 0 at the end of the input and leaves
// the cell alone. Answers of 0 are counted so that the decoder can stop a stream that runs
// on past its input.
int NextInputByte(unsigned short* cell) {
    if (state.decoder.inputCount <= 0) {
        state.decoder.inputCount = (int)TakeMemberRun(&state.decoder.inputPtr);
        if (state.decoder.inputCount == 0) {
            state.decoder.inputOverrun++;
            return 0;
        }
    }
    state.decoder.inputCount--;
    *cell = *state.decoder.inputPtr++;
    return 8;
}

// Passes window bytes 0 .. count-1 on: to the sink (WriteOutput), or in memory mode
// to outputPtr, where the caller's buffer ends at outputLimit: a flush that would not fit
// passes nothing on and ends the stream as invalid data. A flush of the whole window is the
// window's wrap, after which no distance can reach before the stream's first byte.
int FlushWindow(unsigned count) {
    if (count == WINDOW_SIZE) state.decoder.windowFilled = TRUE;
    if (!state.decoder.memoryMode) {
        WriteOutput(state.decoder.window, count);
        return INFLATE_OK;
    }
    if (state.decoder.outputLimit - state.decoder.outputPtr < (long)count) return INFLATE_INVALID;
    __builtin_memcpy(state.decoder.outputPtr, state.decoder.window, count);
    state.decoder.outputPtr += count;
    return INFLATE_OK;
}

// A member's data from the feed into the sink. Data left over (in the piece the feed holds,
// or whole bytes in the decoder's bits) means the stream ended early; bits of bytes that the
// feed made up past the end (inputOverrun) that the stream consumed mean it ended late. The
// caller checks that the feed itself has nothing left.
int InflateMember(void) {
    state.decoder.inputCount = 0;
    if (InflateStream() != INFLATE_OK || state.decoder.inputCount > 0 ||
        (unsigned)(state.decoder.bitCount - 8 * state.decoder.inputOverrun) >= 8)
        return INFLATE_INVALID;
    return INFLATE_OK;
}

// ---- the bit reader's hold on the feed (inflate/decoder.h) ----------------------------------

void LoadReader(BitReader* r) {
    r->hold = state.decoder.bitBuffer;
    r->ahead = r->bits = state.decoder.bitCount;  // the byte feed's bits were all asked for
    r->in = r->start = state.decoder.inputPtr;
    r->end = r->in + (state.decoder.inputCount > 0 ? state.decoder.inputCount : 0);
}

// The byte feed holds the bits up to the next byte boundary at or after the farthest request.
void SaveReader(const BitReader* r) {
    unsigned extra = (unsigned)((int)r->bits - r->ahead) >> 3;
    unsigned held = r->bits - 8 * extra;
    const unsigned char* in = r->in - extra;
    if (in != r->start) state.decoder.inputByte = in[-1];
    state.decoder.inputPtr = (unsigned char*)in;
    state.decoder.inputCount = (int)(r->end - in);
    state.decoder.bitBuffer = (DWORD)(r->hold & (((BitHold)1 << held) - 1));
    state.decoder.bitCount = (unsigned short)held;
}

// Byte by byte at the end of a piece: the feed refills it or answers that the input is used
// up, in which case the last byte delivered (the feed leaves it in inputByte) goes in again.
BitReader FillSlow(BitReader r, unsigned n) {
    do {
        unsigned byte;
        if (r.in < r.end) {
            byte = *r.in++;
        } else {
            if (r.in != r.start) state.decoder.inputByte = r.in[-1];
            state.decoder.inputPtr = (unsigned char*)r.in;
            state.decoder.inputCount = 0;
            NextInputByte(&state.decoder.inputByte);
            byte = state.decoder.inputByte;
            r.in = r.start = state.decoder.inputPtr;
            r.end = r.in + state.decoder.inputCount;
        }
        r.hold |= (BitHold)byte << r.bits;
        r.bits += 8;
    } while (r.bits < n);
    return r;
}
