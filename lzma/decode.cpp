// The LZMA decoder: a range decoder over adaptive bit probabilities, literals coded in the
// context of the previous byte (and, after a match, of the byte at the last distance),
// lengths and distances coded by small bit trees, four recent distances that a match may
// repeat, and a state of twelve values that remembers the kinds of the last symbols.
//
// Decoded bytes collect in the dictionary window, a circular buffer of the dictionary's size
// (no more than the stream's) with room behind its end for the longest match: a symbol may run
// past the end, the bytes there go to the sink with the others, and the wrap moves them to
// the front. The sink gets the window's new bytes at every wrap, every FLUSH_BYTES and at the
// stream's end.
//
// The hot loop keeps the coder's range and code, the input run and the window position in
// local variables; the bit decoding and the normalisation are macros so that they stay in
// registers. Each bit normalises the coder before it is decoded; the stream's end does the
// last normalisation, after which every packed byte has been read. Input comes from the
// feed's runs: when the feed has nothing more, the decoder gets zero bytes and a mark
// (overrun), which the next look at the limits turns into damage, before any byte decoded
// from them reaches the sink.
#include "base/feed.h"
#include "lzma/lzma.h"

namespace {

typedef unsigned int U32;
typedef unsigned short Prob;

enum {
    SLACK = 288,            // room behind the window for the longest match, 273 bytes,
                            // and a symbol after the stream's end
    FLUSH_BYTES = 1 << 18,  // the sink hears of new bytes at least this often
    PROB_BITS = 11,
    PROB_INIT = 1 << (PROB_BITS - 1),
    MOVE_BITS = 5,
    TOP = 1 << 24,
    LITERAL_STATES = 7,  // states below this follow a literal
    WINDOW_MIN = 4096,
};

// The probabilities, by their offset in one array: per state and position (pb bits), per
// state, the distance slots per length class, the reverse trees of slots 4..13, the align
// bits, the two length coders (choice, choice 2, low and mid trees per position, the high
// tree), then 0x300 per literal context.
enum {
    P_IS_MATCH = 0,
    P_IS_REP0_LONG = P_IS_MATCH + 12 * 16,
    P_IS_REP = P_IS_REP0_LONG + 12 * 16,
    P_IS_REP_G0 = P_IS_REP + 12,
    P_IS_REP_G1 = P_IS_REP_G0 + 12,
    P_IS_REP_G2 = P_IS_REP_G1 + 12,
    P_SLOT = P_IS_REP_G2 + 12,
    P_DIST_LOW = P_SLOT + 4 * 64,
    P_ALIGN = P_DIST_LOW + 114,
    P_LEN = P_ALIGN + 16,
    LEN_LOW = 2,
    LEN_MID = LEN_LOW + 16 * 8,
    LEN_HIGH = LEN_MID + 16 * 8,
    LEN_PROBS = LEN_HIGH + 256,
    P_REP_LEN = P_LEN + LEN_PROBS,
    P_LITERAL = P_REP_LEN + LEN_PROBS,
};

// What stays between calls: the allocation (probabilities, then the window), and the feed's
// current run end with the mark of input made up past the feed's end.
struct {
    unsigned char* block;
    U32 blockBytes;
    const unsigned char* runEnd;
    U32 overrun;
} lz;

const unsigned char zeros[4] = {0, 0, 0, 0};

// The next run of packed bytes (at least one byte); zero bytes with the overrun mark once
// the feed has no more.
__attribute__((noinline)) const unsigned char* NextRun(void) {
    unsigned char* run;
    DWORD n = TakeMemberRun(&run);
    if (n == 0) {
        lz.overrun = 1;
        run = (unsigned char*)zeros;
        n = sizeof zeros;
    }
    lz.runEnd = run + n;
    return run;
}

// The window's size for these properties and this stream: the dictionary's, at least
// WINDOW_MIN and rounded up to 16 so that the position bits survive the wraps, but no more
// than the stream's size (then it never wraps).
ULONGLONG WindowBytes(const unsigned char* props, ULONGLONG size) {
    ULONGLONG dict = props[1] | (U32)props[2] << 8 | (U32)props[3] << 16 | (U32)props[4] << 24;
    dict = (dict + 15) & ~(ULONGLONG)15;
    if (dict > size) dict = size;
    return dict < WINDOW_MIN ? (ULONGLONG)WINDOW_MIN : dict;
}

}  // namespace

ULONGLONG LzmaMemoryNeed(const unsigned char* props, ULONGLONG size) {
    if (props[0] >= 9 * 5 * 5) return 0;
    U32 d = props[0];
    U32 lclp = d % 9 + d / 9 % 5;
    return (P_LITERAL + (0x300u << lclp)) * sizeof(Prob) + WindowBytes(props, size) + SLACK;
}

// One bit with probability *p, after the normalisation that the last bit left due: runs
// ZERO or ONE (which may leave the macro by a jump).
#define NORMALIZE()                                     \
    if (range < TOP) {                                  \
        range <<= 8;                                    \
        if (in == end) in = NextRun(), end = lz.runEnd; \
        code = (code << 8) | *in++;                     \
    }
#define BIT(p, ZERO, ONE)                                                \
    {                                                                    \
        Prob* p_ = (p);                                                  \
        NORMALIZE();                                                     \
        U32 bound_ = (range >> PROB_BITS) * *p_;                         \
        if (code < bound_) {                                             \
            range = bound_;                                              \
            *p_ = (Prob)(*p_ + (((1 << PROB_BITS) - *p_) >> MOVE_BITS)); \
            ZERO;                                                        \
        } else {                                                         \
            range -= bound_;                                             \
            code -= bound_;                                              \
            *p_ = (Prob)(*p_ - (*p_ >> MOVE_BITS));                      \
            ONE;                                                         \
        }                                                                \
    }
// One bit of a literal into s, without a branch on the bit: literals are where the guesses
// of branches fail most.
#define LITERAL_BIT(p)                                                             \
    {                                                                              \
        Prob* p_ = (p);                                                            \
        NORMALIZE();                                                               \
        U32 pv_ = *p_, bound_ = (range >> PROB_BITS) * pv_, one_ = code >= bound_; \
        range = one_ ? range - bound_ : bound_;                                    \
        code = one_ ? code - bound_ : code;                                        \
        *p_ = (Prob)(one_ ? pv_ - (pv_ >> MOVE_BITS)                               \
                          : pv_ + (((1 << PROB_BITS) - pv_) >> MOVE_BITS));        \
        s = s + s + one_;                                                          \
    }
// A bit tree of `bits` levels over probs[1 ..]: its value in `out`.
#define TREE(probs, bits, out)                                                    \
    {                                                                             \
        U32 m_ = 1;                                                               \
        do BIT((probs) + m_, m_ += m_, m_ += m_ + 1) while (m_ < (1u << (bits))); \
        out = m_ - (1u << (bits));                                                \
    }
// The same with the first bit decoded as the lowest, added to `out`.
#define REVERSE_TREE(probs, bits, out)                                    \
    {                                                                     \
        U32 m_ = 1;                                                       \
        for (U32 i_ = 0; i_ < (bits); i_++)                               \
            BIT((probs) + m_, m_ += m_, (m_ += m_ + 1, out += 1u << i_)); \
    }

void ReleaseLzma(void) {
    if (lz.block) LocalFree((HLOCAL)lz.block);
    lz.block = 0;
    lz.blockBytes = 0;
}

int DecodeLzma(const unsigned char* props, ULONGLONG size) {
    U32 d = props[0];
    if (d >= 9 * 5 * 5) return LZMA_BAD_DATA;
    const U32 lc = d % 9, lpMask = (1u << (d / 9 % 5)) - 1, pbMask = (1u << d / 45) - 1;
    ULONGLONG need = LzmaMemoryNeed(props, size);
    if (need > 0xC0000000u) return LZMA_NO_MEMORY;
    if (lz.blockBytes < need) {
        if (lz.block) LocalFree((HLOCAL)lz.block);
        lz.block = (unsigned char*)LocalAlloc(LMEM_FIXED, (U32)need);
        lz.blockBytes = lz.block ? (U32)need : 0;
        if (!lz.block) return LZMA_NO_MEMORY;
    }
    Prob* const probs = (Prob*)lz.block;
    const U32 probCount = P_LITERAL + (0x300u << (lc + d / 9 % 5));
    for (U32 i = 0; i < probCount; i++) probs[i] = PROB_INIT;
    unsigned char* const window = lz.block + probCount * sizeof(Prob);
    const U32 windowBytes = (U32)WindowBytes(props, size);

    // The coder: the first byte is always 0, the next four are the code.
    lz.overrun = 0;
    const unsigned char* in = NextRun();
    const unsigned char* end = lz.runEnd;
    U32 range = 0xFFFFFFFF, code = *in++;
    if (code != 0) return LZMA_BAD_DATA;
    for (int i = 0; i < 4; i++) {
        if (in == end) in = NextRun(), end = lz.runEnd;
        code = (code << 8) | *in++;
    }

    // pos: where the next byte goes; flushed: what the sink has; endPos: where the stream
    // ends if that is in this round of the window (else beyond any position); limit: where
    // the loop must look at these again. done: the bytes of the earlier rounds.
    U32 pos = 0, flushed = 0, limit = 0, endPos = 0, wrapped = 0;
    ULONGLONG done = 0;
    U32 state = 0, rep0 = 0, rep1 = 0, rep2 = 0, rep3 = 0;
    endPos = size <= windowBytes + SLACK - 1 ? (U32)size : 0xFFFFFFFF;

    for (;;) {
        if (pos >= limit) {
            if (pos > endPos) return LZMA_BAD_DATA;
            if (lz.overrun) goto damaged;
            WriteOutput(window + flushed, pos - flushed);
            flushed = pos;
            if (pos == endPos) {
                // Every byte is out: the input must end here, or hold the end marker.
                NORMALIZE();
                if (lz.overrun) return LZMA_BAD_DATA;
                if (in == end) {
                    in = NextRun(), end = lz.runEnd;
                    if (lz.overrun) return code == 0 ? LZMA_DONE : LZMA_BAD_DATA;
                }
                limit = endPos;
            } else {
                if (pos >= windowBytes) {
                    pos -= windowBytes;
                    __builtin_memcpy(window, window + windowBytes, pos);
                    flushed = pos;
                    done += windowBytes;
                    wrapped = 1;
                    ULONGLONG rest = size - done;
                    endPos = rest <= windowBytes + SLACK - 1 ? (U32)rest : 0xFFFFFFFF;
                }
                limit = windowBytes;
                if (limit > pos + FLUSH_BYTES) limit = pos + FLUSH_BYTES;
                if (limit > endPos) limit = endPos;
            }
        }

        const U32 posState = pos & pbMask;
        const U32 reach = wrapped ? windowBytes : pos;  // distances below this have their byte
        U32 len;
        BIT(probs + P_IS_MATCH + state * 16 + posState, goto literal, (void)0);
        BIT(probs + P_IS_REP + state, goto match, (void)0);
        if (!reach) goto damaged;
        BIT(probs + P_IS_REP_G0 + state, (void)0, goto older);
        BIT(probs + P_IS_REP0_LONG + state * 16 + posState, (void)0, goto repeat);
        {
            // A single byte from the last distance.
            U32 from = pos - rep0 - 1;
            if (rep0 >= pos) from += windowBytes;
            window[pos++] = window[from];
            state = state < LITERAL_STATES ? 9 : 11;
            continue;
        }
    older : {
        U32 dist;
        BIT(probs + P_IS_REP_G1 + state, dist = rep1, {
            BIT(probs + P_IS_REP_G2 + state, dist = rep2, (dist = rep3, rep3 = rep2));
            rep2 = rep1;
        });
        rep1 = rep0;
        rep0 = dist;
    }
    repeat:
        state = state < LITERAL_STATES ? 8 : 11;
        len = P_REP_LEN;
        goto length;
    match:
        rep3 = rep2;
        rep2 = rep1;
        rep1 = rep0;
        state = state < LITERAL_STATES ? 7 : 10;
        len = P_LEN;
    length : {
        // Its tree by the two choice bits (low and mid: 3 bits a position state, high: 8
        // bits), decoded in one place.
        Prob* lp = probs + len;
        U32 top = 8;
        len = 0;
        BIT(lp, lp += LEN_LOW + posState * 8, {
            BIT(lp + 1, (lp += LEN_MID + posState * 8, len = 8), (lp += LEN_HIGH, top = 256, len = 16));
        });
        U32 m = 1;
        do BIT(lp + m, m += m, m += m + 1) while (m < top);
        len += m - top;
    }
        if (state == 8 || state == 11) goto copy;  // a repeated distance
        {
            // A new distance: its slot by the length's class, then its low bits.
            U32 slot, dist;
            TREE(probs + P_SLOT + (len < 3 ? len : 3) * 64, 6, slot);
            if (slot < 4) {
                dist = slot;
            } else {
                // The low bits by a reverse tree: all of them below slot 14, else the
                // last four after the direct bits (one tree decoding in one place).
                U32 direct = (slot >> 1) - 1;
                Prob* low;
                dist = 2 | (slot & 1);
                if (slot < 14) {
                    dist <<= direct;
                    low = probs + P_DIST_LOW + dist - slot - 1;
                } else {
                    for (direct -= 4; direct; direct--) {
                        NORMALIZE();
                        range >>= 1;
                        U32 one = code >= range;
                        code -= range & (0 - one);
                        dist = dist + dist + one;
                    }
                    dist <<= 4;
                    low = probs + P_ALIGN;
                    direct = 4;
                }
                REVERSE_TREE(low, direct, dist);
                if (dist == 0xFFFFFFFF) {
                    // The end marker: right after the last byte, and the input ends.
                    NORMALIZE();
                    if (pos != endPos || lz.overrun || code != 0 || in != end) goto damaged;
                    NextRun();
                    return lz.overrun ? LZMA_DONE : LZMA_BAD_DATA;
                }
            }
            if (dist >= reach) goto damaged;
            rep0 = dist;
        }
    copy:
        len += 2;
        if (len > endPos - pos) goto damaged;
        {
            unsigned char* to = window + pos;
            if (rep0 < pos) {
                const unsigned char* from = to - rep0 - 1;
                pos += len;
                if (rep0 >= 7) {
                    // Eight bytes a step where they do not overlap, never past the match
                    // (the bytes behind it may still be the window's oldest).
                    for (; len >= 8; len -= 8, to += 8, from += 8) __builtin_memcpy(to, from, 8);
                }
                for (; len; len--) *to++ = *from++;
            } else {
                U32 from = pos - rep0 - 1 + windowBytes;
                pos += len;
                do {
                    *to++ = window[from];
                    if (++from == windowBytes) from = 0;
                } while (--len);
            }
        }
        continue;

    literal : {
        U32 prev = pos ? window[pos - 1] : wrapped ? window[windowBytes - 1] : 0;
        Prob* lit = probs + P_LITERAL + 0x300 * (((pos & lpMask) << lc) + (prev >> (8 - lc)));
        // Each bit in the context of the bits before it; after a match, the byte at the last
        // distance guides the bits (offs = 0x100) up to the first that differs from it.
        U32 s = 1;
        if (state < LITERAL_STATES) {
            do LITERAL_BIT(lit + s) while (s < 0x100);
        } else {
            U32 from = pos - rep0 - 1;
            if (rep0 >= pos) from += windowBytes;
            U32 matchByte = window[from], offs = 0x100;
            do {
                matchByte <<= 1;
                U32 matchBit = matchByte & 0x100, one;
                LITERAL_BIT(lit + offs + (offs & matchBit) + s);
                one = s & 1;
                offs &= 0 - ((one ^ (matchBit >> 8)) ^ 1);
            } while (s < 0x100);
        }
        window[pos++] = (unsigned char)s;
        state = state < 4 ? 0 : state < 10 ? state - 3 : state - 6;
    }
    }

    // Damage: what was decoded since the last flush goes to the sink first, so that the member
    // that holds the damage is the one reported. After a stream cut short that includes the
    // bytes decoded since the feed ran out, which are not true ones: the member they fall in
    // fails its check as it must.
damaged:
    WriteOutput(window + flushed, pos - flushed);
    return LZMA_BAD_DATA;
}
