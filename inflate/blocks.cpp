// Block decoding of raw DEFLATE streams (RFC 1951) into the 32 KiB window.
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
#include "inflate/inflate.h"

enum {
    LITERAL_LOOKUP_BITS = 9,
    DISTANCE_LOOKUP_BITS = 6,
    FIXED_LITERAL_BITS = 7,
    FIXED_DISTANCE_BITS = 5,
    CODE_LENGTH_BITS = 7,
    OVERRUN_LIMIT = 4,
    MAX_LENGTHS = 286 + 30,
};

// A code table's fault is the block's result as it is: missing codes are invalid data, an
// over-full code an impossible structure.
static_assert((int)TABLE_INCOMPLETE == (int)INFLATE_INVALID && (int)TABLE_OVERFULL == (int)INFLATE_IMPOSSIBLE,
              "table faults pass through as decoding results");

static const unsigned short codeLengthOrder[19] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15,
};
static const unsigned short lengthBase[31] = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23,  27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,   0,
};
static const unsigned short lengthExtra[31] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
    3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99,
};
static const unsigned short distanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577,
};
static const unsigned short distanceExtra[30] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13,
};

// ---- the bit reader ---------------------------------------------------------------------

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

static void LoadReader(BitReader* r) {
    r->hold = state.bitBuffer;
    r->ahead = r->bits = state.bitCount;  // the byte feed's bits were all asked for
    r->in = r->start = state.inputPtr;
    r->end = r->in + (state.inputCount > 0 ? state.inputCount : 0);
}

// The byte feed holds the bits up to the next byte boundary at or after the farthest request.
static void SaveReader(const BitReader* r) {
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
static BitReader __attribute__((noinline)) FillSlow(BitReader r, unsigned n) {
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

// Makes sure of n bits (n at most 16).
static inline void Need(BitReader* r, unsigned n) {
    if (r->ahead < (int)n) r->ahead = (int)n;
    if (r->bits < n) {
        if (r->end - r->in >= (long)sizeof(BitHold)) {
            BitHold word;
            __builtin_memcpy(&word, r->in, sizeof word);  // little-endian, as both targets are
            r->hold |= word << r->bits;
            r->in += (HOLD_BITS - 1 - r->bits) >> 3;
            r->bits |= HOLD_BITS - 8;
        } else {
            *r = FillSlow(*r, n);
        }
    }
}

static inline void Drop(BitReader* r, unsigned n) {
    r->hold >>= n;
    r->bits -= n;
    r->ahead -= (int)n;
}

static inline unsigned Peek(const BitReader* r, unsigned n) { return (unsigned)r->hold & maskBits[n]; }

// Follows link entries down to the code's own entry; answers none at an invalid code.
static inline const HuffmanEntry* Resolve(BitReader* r, const HuffmanEntry* t) {
    unsigned e;
    while ((e = t->extra) > CODE_LINK) {
        if (e == CODE_INVALID) return 0;
        Drop(r, t->bits);
        e -= CODE_LINK;
        Need(r, e);
        t = t->subTable + Peek(r, e);
    }
    return t;
}

// Copies n bytes forward with the result of copying one byte at a time, writing nothing past
// dst + n (the window beyond still holds bytes that later copies may reach back to).
// A source a word or more away never reads a byte that the same word writes, so whole words
// give the same result; the last word is placed to end exactly at dst + n and rewrites bytes
// with the values they already have. A closer source repeats its first `gap` bytes: once a
// few periods are written, the copy can run a whole number of periods behind instead.
static inline void CopyRun(unsigned char* dst, const unsigned char* src, unsigned n) {
    enum { WORD = sizeof(size_t) };
    long gap = (long)(dst - src);
    if (n >= 2 * WORD && gap > 0 && gap < WORD) {
        long period = gap;
        while (period < WORD) period += gap;
        for (long i = 0; i < period; ++i) dst[i] = src[i];
        src = dst;
        dst += period;
        n -= (unsigned)period;
        gap = period;
    }
    if (n >= WORD && (gap >= WORD || gap <= -WORD)) {
        unsigned char* last = dst + n - WORD;
        const unsigned char* lastSource = src + n - WORD;
        size_t word;
        while (dst < last) {
            __builtin_memcpy(&word, src, WORD);
            __builtin_memcpy(dst, &word, WORD);
            src += WORD;
            dst += WORD;
        }
        __builtin_memcpy(&word, lastSource, WORD);
        __builtin_memcpy(last, &word, WORD);
        return;
    }
    if (WORD > 4 && n >= 4 && n < WORD && (gap >= 4 || gap <= -4)) {
        // Short copies: two four-byte words, the second ending at dst + n.
        unsigned half, tail;
        __builtin_memcpy(&half, src, 4);
        __builtin_memcpy(dst, &half, 4);
        __builtin_memcpy(&tail, src + n - 4, 4);
        __builtin_memcpy(dst + n - 4, &tail, 4);
        return;
    }
    while (n--) *dst++ = *src++;
}

// ---- the blocks -------------------------------------------------------------------------

// While the piece holds FAST_INPUT more bytes, every fill of one symbol is a whole word from
// the piece; while the window has room for the longest match, no symbol reaches its end. Then
// a symbol is decoded without the checks for either, and with the same requests, fills and
// window contents as the careful loop below, which takes over near the edges.
enum { FAST_INPUT = 32, MAX_MATCH = 258 };

// A whole word from the piece; the caller knows that it lies inside.
static inline void FillWord(BitReader* r) {
    BitHold word;
    __builtin_memcpy(&word, r->in, sizeof word);
    r->hold |= word << r->bits;
    r->in += (HOLD_BITS - 1 - r->bits) >> 3;
    r->bits |= HOLD_BITS - 8;
}

// Need for the fast loop. A 64-bit reader is filled once per symbol, right after the first
// lookup (so that the fill does not delay it), with at least 56 bits, more than the 48 that
// the longest symbol takes; a 32-bit one fills when short.
static inline void NeedFast(BitReader* r, unsigned n) {
    if (r->ahead < (int)n) r->ahead = (int)n;
    if (HOLD_BITS < 64 && r->bits < n) FillWord(r);
}

// The extra bits of a length or distance: their request reaches only as far as they are
// consumed, and a lookup always follows before the reader is stored, so `ahead` can ignore it.
static inline void NeedExtraFast(BitReader* r, unsigned n) {
    if (HOLD_BITS < 64 && r->bits < n) FillWord(r);
}

static inline const HuffmanEntry* ResolveFast(BitReader* r, const HuffmanEntry* t) {
    unsigned e;
    while ((e = t->extra) > CODE_LINK) {
        if (e == CODE_INVALID) return 0;
        Drop(r, t->bits);
        e -= CODE_LINK;
        NeedFast(r, e);
        t = t->subTable + Peek(r, e);
    }
    return t;
}

// CopyRun for the fast loop, where the window holds at least a word beyond dst + n: a source a
// word or more away goes in whole words, the last one reaching past dst + n, and the bytes it
// overwrote there are put back.
static inline void CopyRunFast(unsigned char* dst, const unsigned char* src, unsigned n) {
    enum { WORD = sizeof(size_t) };
    if (dst - src < WORD) {
        CopyRun(dst, src, n);
        return;
    }
    unsigned char* end = dst + n;
    size_t saved, word;
    __builtin_memcpy(&saved, end, WORD);
    do {
        __builtin_memcpy(&word, src, WORD);
        __builtin_memcpy(dst, &word, WORD);
        src += WORD;
        dst += WORD;
    } while (dst < end);
    __builtin_memcpy(end, &saved, WORD);
}

static int DecodeCodes(HuffmanEntry* ltable, HuffmanEntry* dtable, int lbits, int dbits) {
    // A code set without any codes has no table; there is nothing to look up then.
    if (!ltable) return INFLATE_INVALID;
    BitReader r;
    LoadReader(&r);
    unsigned char* window = state.window;
    unsigned pos = state.windowPos;
    unsigned lmask = maskBits[lbits], dmask = maskBits[dbits];
    for (;;) {
        const HuffmanEntry* t;
        unsigned e, len, src;
        BitReader f = r;  // in registers, unlike r, which the slow fills take by address
        while (f.end - f.in >= FAST_INPUT && pos < WINDOW_SIZE - MAX_MATCH) {
            // Seldom short: a symbol leaves at least 8 of the 56 bits.
            if (HOLD_BITS >= 64 && f.bits < (unsigned)lbits) FillWord(&f);
            NeedFast(&f, lbits);
            t = ltable + ((unsigned)f.hold & lmask);
            if (HOLD_BITS >= 64) FillWord(&f);
            if (t->extra > CODE_LINK && !(t = ResolveFast(&f, t))) return INFLATE_INVALID;
            Drop(&f, t->bits);
            e = t->extra;
            if (e == CODE_LITERAL) {
                window[pos++] = (unsigned char)t->value;
                continue;
            }
            if (e == CODE_END_OF_BLOCK) {
                r = f;
                goto done;
            }
            NeedExtraFast(&f, e);
            len = t->value + Peek(&f, e);
            Drop(&f, e);
            if (!dtable) return INFLATE_INVALID;
            NeedFast(&f, dbits);
            t = dtable + ((unsigned)f.hold & dmask);
            if (t->extra > CODE_LINK && !(t = ResolveFast(&f, t))) return INFLATE_INVALID;
            Drop(&f, t->bits);
            e = t->extra;
            NeedExtraFast(&f, e);
            unsigned distance = t->value + Peek(&f, e);
            Drop(&f, e);
            if (distance > pos) {
                src = pos - distance;
                r = f;
                goto copy;  // the source wraps around the window's end
            }
            CopyRunFast(window + pos, window + pos - distance, len);
            pos += len;
        }
        r = f;

        // The feed's answers of "no byte" show only where the piece is used up.
        if (r.in == r.end && state.inputOverrun > OVERRUN_LIMIT) return INFLATE_INVALID;
        Need(&r, lbits);
        t = ltable + ((unsigned)r.hold & lmask);
        if (t->extra > CODE_LINK && !(t = Resolve(&r, t))) return INFLATE_INVALID;
        Drop(&r, t->bits);
        e = t->extra;
        if (e == CODE_LITERAL) {
            window[pos++] = (unsigned char)t->value;
            if (pos == WINDOW_SIZE) {
                if (FlushWindow(WINDOW_SIZE)) return INFLATE_INVALID;
                pos = 0;
            }
            continue;
        }
        if (e == CODE_END_OF_BLOCK) break;

        Need(&r, e);
        len = t->value + Peek(&r, e);
        Drop(&r, e);
        if (!dtable) return INFLATE_INVALID;
        Need(&r, dbits);
        t = dtable + ((unsigned)r.hold & dmask);
        if (t->extra > CODE_LINK && !(t = Resolve(&r, t))) return INFLATE_INVALID;
        Drop(&r, t->bits);
        e = t->extra;
        Need(&r, e);
        src = pos - t->value - Peek(&r, e);
        Drop(&r, e);

    copy:
        // Runs end where the source or the destination reaches the window's end.
        do {
            src &= WINDOW_SIZE - 1;
            unsigned run = WINDOW_SIZE - (src > pos ? src : pos);
            if (run > len) run = len;
            len -= run;
            CopyRun(window + pos, window + src, run);
            pos += run;
            src += run;
            if (pos == WINDOW_SIZE) {
                if (FlushWindow(WINDOW_SIZE)) return INFLATE_INVALID;
                pos = 0;
            }
        } while (len);
    }
done:
    SaveReader(&r);
    state.windowPos = (unsigned short)pos;
    return INFLATE_OK;
}

static int DecodeStored(void) {
    BitReader r;
    LoadReader(&r);
    Drop(&r, r.bits & 7);
    Need(&r, 16);
    unsigned len = Peek(&r, 16);
    Drop(&r, 16);
    Need(&r, 16);
    if (Peek(&r, 16) != (~len & 0xFFFF)) return INFLATE_INVALID;
    Drop(&r, 16);

    // Every bit looked at is consumed now: the byte feed takes exactly one byte per stored
    // byte, first the whole bytes the reader holds already, then straight from the piece.
    unsigned char* window = state.window;
    unsigned pos = state.windowPos;
    while (len) {
        if (state.inputOverrun > OVERRUN_LIMIT) return INFLATE_INVALID;
        if (r.bits == 0 && r.in < r.end) {
            unsigned n = (unsigned)(r.end - r.in);
            if (n > len) n = len;
            if (n > WINDOW_SIZE - pos) n = WINDOW_SIZE - pos;
            __builtin_memcpy(window + pos, r.in, n);
            r.in += n;
            r.hold = 0;
            pos += n;
            len -= n;
        } else {
            Need(&r, 8);
            window[pos++] = (unsigned char)r.hold;
            Drop(&r, 8);
            --len;
        }
        if (pos == WINDOW_SIZE) {
            if (FlushWindow(WINDOW_SIZE)) return INFLATE_INVALID;
            pos = 0;
        }
    }
    SaveReader(&r);
    state.windowPos = (unsigned short)pos;
    return INFLATE_OK;
}

static int DecodeFixed(void) {
    unsigned short lengths[288];
    unsigned i = 0;
    for (; i < 144; ++i) lengths[i] = 8;
    for (; i < 256; ++i) lengths[i] = 9;
    for (; i < 280; ++i) lengths[i] = 7;
    for (; i < 288; ++i) lengths[i] = 8;
    HuffmanEntry *ltable, *dtable;
    int lbits = FIXED_LITERAL_BITS, dbits = FIXED_DISTANCE_BITS;
    int result = BuildHuffmanTable(lengths, 288, 257, lengthBase, lengthExtra, &ltable, &lbits);
    if (result != TABLE_COMPLETE) {
        FreeHuffmanTable(ltable);
        return result;
    }
    for (i = 0; i < 30; ++i) lengths[i] = 5;
    // 30 of the 32 five-bit codes are used: the incomplete result is expected here.
    result = BuildHuffmanTable(lengths, 30, 0, distanceBase, distanceExtra, &dtable, &dbits);
    if (result == TABLE_OVERFULL) {
        FreeHuffmanTable(ltable);
        return result;
    }
    result = DecodeCodes(ltable, dtable, lbits, dbits);
    FreeHuffmanTable(ltable);
    FreeHuffmanTable(dtable);
    return result;
}

static int DecodeDynamic(void) {
    unsigned short lengths[MAX_LENGTHS];
    BitReader r;
    LoadReader(&r);
    Need(&r, 5);
    unsigned nlen = 257 + Peek(&r, 5);
    Drop(&r, 5);
    Need(&r, 5);
    unsigned ndist = 1 + Peek(&r, 5);
    Drop(&r, 5);
    Need(&r, 4);
    unsigned ncode = 4 + Peek(&r, 4);
    Drop(&r, 4);
    if (nlen > 286 || ndist > 30) return INFLATE_INVALID;
    for (unsigned j = 0; j < 19; ++j) {
        unsigned v = 0;
        if (j < ncode) {
            Need(&r, 3);
            v = Peek(&r, 3);
            Drop(&r, 3);
        }
        lengths[codeLengthOrder[j]] = (unsigned short)v;
    }

    HuffmanEntry* ctable;
    int cbits = CODE_LENGTH_BITS;
    int result = BuildHuffmanTable(lengths, 19, 19, 0, 0, &ctable, &cbits);
    if (result == TABLE_OVERFULL) return INFLATE_IMPOSSIBLE;
    // The code-length code has a single level. A set without codes has no table, and the
    // filler of a lone one-bit code is no symbol: both are invalid like any other bad code.
    unsigned total = nlen + ndist, i = 0, previous = 0;
    while (result == TABLE_COMPLETE && ctable && i < total) {
        Need(&r, cbits);
        const HuffmanEntry* t = ctable + Peek(&r, cbits);
        if (t->extra == CODE_INVALID) {
            result = INFLATE_INVALID;
            break;
        }
        Drop(&r, t->bits);
        unsigned sym = t->value, repeat, value = 0, extraBits = 7, base = 11;
        if (sym < 16) {
            lengths[i++] = (unsigned short)(previous = sym);
            continue;
        }
        if (sym == 16) {
            value = previous;
            extraBits = 2;
            base = 3;
        } else if (sym == 17) {
            extraBits = 3;
            base = 3;
        }
        Need(&r, extraBits);
        repeat = base + Peek(&r, extraBits);
        Drop(&r, extraBits);
        if (i + repeat > total) {
            result = INFLATE_INVALID;
            break;
        }
        previous = value;
        while (repeat--) lengths[i++] = (unsigned short)value;
    }
    FreeHuffmanTable(ctable);
    if (result || !ctable) return INFLATE_INVALID;
    SaveReader(&r);

    HuffmanEntry *ltable, *dtable;
    int lbits = LITERAL_LOOKUP_BITS, dbits = DISTANCE_LOOKUP_BITS;
    result = BuildHuffmanTable(lengths, nlen, 257, lengthBase, lengthExtra, &ltable, &lbits);
    if (result == TABLE_OVERFULL) return INFLATE_IMPOSSIBLE;
    if (result == TABLE_INCOMPLETE) {
        FreeHuffmanTable(ltable);
        return INFLATE_INVALID;
    }
    result = BuildHuffmanTable(lengths + nlen, ndist, 0, distanceBase, distanceExtra, &dtable,
                               &dbits);
    if (result != TABLE_COMPLETE) {
        FreeHuffmanTable(dtable);
        FreeHuffmanTable(ltable);
        return result;
    }
    result = DecodeCodes(ltable, dtable, lbits, dbits);
    FreeHuffmanTable(ltable);
    FreeHuffmanTable(dtable);
    return result;
}

static int DecodeBlock(int* last) {
    if (state.inputOverrun > OVERRUN_LIMIT) return INFLATE_INVALID;
    BitReader r;
    LoadReader(&r);
    Need(&r, 1);
    *last = (int)(r.hold & 1);
    Drop(&r, 1);
    Need(&r, 2);
    unsigned type = Peek(&r, 2);
    Drop(&r, 2);
    SaveReader(&r);
    if (type == 0) return DecodeStored();
    if (type == 1) return DecodeFixed();
    if (type == 2) return DecodeDynamic();
    return INFLATE_IMPOSSIBLE;  // the reserved block type 3
}

int InflateStream(void) {
    state.windowPos = 0;
    state.bitBuffer = 0;
    state.bitCount = 0;
    state.inputOverrun = 0;
    int last;
    do {
        int result = DecodeBlock(&last);
        if (result != INFLATE_OK) return result;
    } while (!last);
    return FlushWindow(state.windowPos);
}
