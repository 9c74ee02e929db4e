// Block decoding of raw DEFLATE streams (RFC 1951) into the 32 KiB window: the block header,
// stored blocks, and the code tables of fixed and dynamic blocks, whose codes codes.cpp
// decodes. How the bits are read is told in decoder.h.
#include "inflate/decoder.h"

enum {
    LITERAL_LOOKUP_BITS = 9,
    DISTANCE_LOOKUP_BITS = 6,
    FIXED_LITERAL_BITS = 7,
    FIXED_DISTANCE_BITS = 5,
    CODE_LENGTH_BITS = 7,
    MAX_LENGTHS = 286 + 30,
};

// A code table's fault is the block's result as it is: missing codes are invalid data, an
// over-full code an impossible structure.
static_assert((int)TABLE_INCOMPLETE == (int)INFLATE_INVALID &&
                  (int)TABLE_OVERFULL == (int)INFLATE_IMPOSSIBLE,
              "table faults pass through as decoding results");

static const unsigned char codeLengthOrder[19] = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15,
};
// The bases and extra-bit counts of the length and distance symbols (RFC 1951, 3.2.5), made
// once by FillCodeBases: a code of `extra` extra bits spans 2^extra values, and the extra bits
// grow by one every four length codes from the ninth on, every two distance codes from the
// fifth on. Length symbol 285 stands for 258 with no extra bits; symbols 286 and 287 take part
// in the fixed code but stand for no length.
static unsigned short lengthBase[31], lengthExtra[31], distanceBase[30], distanceExtra[30];

// One call for each of the two kinds, not a copy of the loop for each.
__attribute__((noinline)) static void FillCodeRun(unsigned short* bases, unsigned short* extras,
                                                  unsigned count, unsigned base, unsigned groupShift) {
    for (unsigned k = 0; k < count; ++k) {
        unsigned extra = k < (2u << groupShift) ? 0 : (k >> groupShift) - 1;
        bases[k] = (unsigned short)base;
        extras[k] = (unsigned short)extra;
        base += 1u << extra;
    }
}

static void FillCodeBases(void) {
    FillCodeRun(lengthBase, lengthExtra, 28, 3, 2);
    FillCodeRun(distanceBase, distanceExtra, 30, 1, 1);
    lengthBase[28] = 258;
    lengthExtra[29] = lengthExtra[30] = CODE_INVALID;
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
    unsigned char* window = state.decoder.window;
    unsigned pos = state.decoder.windowPos;
    while (len) {
        if (state.decoder.inputOverrun > OVERRUN_LIMIT) return INFLATE_INVALID;
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
    state.decoder.windowPos = (unsigned short)pos;
    return INFLATE_OK;
}

// Builds the distance table from `lengths`, decodes the block's codes with it and `ltable`, and
// releases both tables. `incompleteResult` is what missing distance codes answer.
static int DecodeWithDistances(HuffmanEntry* ltable, int lbits, const unsigned short* lengths,
                               unsigned count, int dbits, int incompleteResult) {
    HuffmanEntry* dtable;
    int result = BuildHuffmanTable(lengths, count, 0, distanceBase, distanceExtra, &dtable, &dbits);
    if (result == TABLE_INCOMPLETE) result = incompleteResult;
    if (result == TABLE_COMPLETE) result = DecodeCodes(ltable, dtable, lbits, dbits);
    FreeHuffmanTable(ltable);
    FreeHuffmanTable(dtable);
    return result;
}

static int DecodeFixed(void) {
    // The fixed code's lengths in runs: 144 of 8 bits, 112 of 9, 24 of 7, 8 of 8.
    static const unsigned char fixedRuns[] = {144, 8, 112, 9, 24, 7, 8, 8};
    unsigned short lengths[288];
    unsigned i = 0;
    for (unsigned run = 0; run < sizeof fixedRuns; run += 2)
        for (unsigned n = fixedRuns[run]; n; --n) lengths[i++] = fixedRuns[run + 1];
    HuffmanEntry* ltable;
    int lbits = FIXED_LITERAL_BITS;
    int result = BuildHuffmanTable(lengths, 288, 257, lengthBase, lengthExtra, &ltable, &lbits);
    if (result != TABLE_COMPLETE) {
        FreeHuffmanTable(ltable);
        return result;
    }
    for (i = 0; i < 30; ++i) lengths[i] = 5;
    // 30 of the 32 five-bit codes are used: the incomplete code is expected here.
    return DecodeWithDistances(ltable, lbits, lengths, 30, FIXED_DISTANCE_BITS, TABLE_COMPLETE);
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

    HuffmanEntry* ltable;
    int lbits = LITERAL_LOOKUP_BITS;
    result = BuildHuffmanTable(lengths, nlen, 257, lengthBase, lengthExtra, &ltable, &lbits);
    if (result == TABLE_OVERFULL) return INFLATE_IMPOSSIBLE;
    if (result == TABLE_INCOMPLETE) {
        FreeHuffmanTable(ltable);
        return INFLATE_INVALID;
    }
    return DecodeWithDistances(ltable, lbits, lengths + nlen, ndist, DISTANCE_LOOKUP_BITS,
                               INFLATE_INVALID);
}

static int DecodeBlock(int* last) {
    if (state.decoder.inputOverrun > OVERRUN_LIMIT) return INFLATE_INVALID;
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
    if (!lengthBase[0]) FillCodeBases();
    state.decoder.windowPos = 0;
    state.decoder.bitBuffer = 0;
    state.decoder.bitCount = 0;
    state.decoder.inputOverrun = 0;
    state.decoder.windowFilled = 0;
    int last;
    do {
        int result = DecodeBlock(&last);
        if (result != INFLATE_OK) return result;
    } while (!last);
    return FlushWindow(state.decoder.windowPos);
}
