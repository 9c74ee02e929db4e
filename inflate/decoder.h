// The decoder's bit reader, shared by the files of inflate/: block decoding (blocks.cpp), the
// code loops (codes.cpp) and the feed (feed.cpp), which keeps the reader and the byte feed in
// step.
//
// How the bits are read. Each decoding operation works on a local bit reader: the bit
// buffer and its count, and a pointer into the current input piece. Where the piece holds a
// word's worth of bytes the reader takes a whole word at once and so holds more bits than a
// byte-at-a-time feed would. The extra whole bytes never reach past the current piece, and a
// byte beyond it is fetched only when the bits asked for are not there, which is when the byte
// feed fetches it too: the file is read at exactly the same points. The byte feed also holds
// whole bytes that lookups looked at but did not consume; the reader follows how far the
// requests have reached beyond what was consumed (`ahead`), so that when it is stored back
// the bytes beyond that go back to the piece, and the bit buffer, its count, the piece and the
// last byte delivered are what the byte feed leaves.
// At the end of a piece the reader takes single bytes through NextInputByte, which refills
// from the file or reports the end of the input.
//
// A stream that has used up its input keeps receiving the last byte again. A well-formed
// stream looks at most a byte past its end, so once the feed has answered "no byte" more
// than OVERRUN_LIMIT times the stream is damaged and ends as invalid data.
#pragma once
#include "inflate/inflate.h"

enum { OVERRUN_LIMIT = 4 };

// The steps of the hot loops are inlined into every caller: the reader then stays in
// registers, and the careful and fast forms of a step fold into their own code. The stub,
// built for size, leaves the choice to the compiler.
#ifdef __OPTIMIZE_SIZE__
#define DECODER_STEP static inline
#else
#define DECODER_STEP static inline __attribute__((always_inline))
#endif

typedef size_t BitHold;
enum { HOLD_BITS = sizeof(BitHold) * 8 };

struct BitReader {
    BitHold hold;               // bit 0 is the next stream bit; above `bits` may lie the low
                                // bits of the byte at `in`, which the next fill ORs in again
    unsigned bits;              // valid bits in hold
    int ahead;                  // how far requests reached beyond the consumed bits
    const unsigned char* in;    // next byte of the current piece
    const unsigned char* end;   // end of the current piece
    const unsigned char* start; // first byte of the piece taken without the feed
};

// ---- feed.cpp: the reader and the byte feed -------------------------------------------------
void LoadReader(BitReader* r);
void SaveReader(const BitReader* r);
// Byte by byte at the end of a piece, through the feed, until there are n bits.
BitReader __attribute__((noinline)) FillSlow(BitReader r, unsigned n);

// ---- codes.cpp: the literal/length and distance codes of one block --------------------------
int DecodeCodes(const HuffmanEntry* ltable, const HuffmanEntry* dtable, int lbits, int dbits);

// ---- the steps ------------------------------------------------------------------------------

// A whole word from the piece; the caller knows that it lies inside.
DECODER_STEP void FillWord(BitReader* r) {
    BitHold word;
    __builtin_memcpy(&word, r->in, sizeof word);  // little-endian, as both targets are
    r->hold |= word << r->bits;
    r->in += (HOLD_BITS - 1 - r->bits) >> 3;
    r->bits |= HOLD_BITS - 8;
}

// Makes sure of n bits (n at most 16).
DECODER_STEP void Need(BitReader* r, unsigned n) {
    if (r->ahead < (int)n) r->ahead = (int)n;
    if (r->bits < n) {
        if (r->end - r->in >= (long)sizeof(BitHold))
            FillWord(r);
        else
            *r = FillSlow(*r, n);
    }
}

DECODER_STEP void Drop(BitReader* r, unsigned n) {
    r->hold >>= n;
    r->bits -= n;
    r->ahead -= (int)n;
}

DECODER_STEP unsigned Peek(const BitReader* r, unsigned n) {
    return (unsigned)r->hold & maskBits[n];
}
