// The literal/length and distance codes of one block, decoded into the window.
//
// Two loops decode the same symbols. The fast loop runs while the piece holds FAST_INPUT more
// bytes, so that every fill of one symbol is a whole word from the piece, and while the window
// has room for the longest match, so that no symbol reaches its end: it decodes without the
// checks for either. The careful loop takes over near the edges and checks everything. Both
// make the same requests, fills and window contents, and they share every step of a symbol
// below; a step's `fast` argument is a constant at each call, so each loop gets its own code.
#include "inflate/decoder.h"

enum { FAST_INPUT = 32, MAX_MATCH = 258 };

// Makes sure of the n bits of a code. In the fast loop a 64-bit reader is filled once per
// symbol, right after the first lookup (so that the fill does not delay it), with at least 56
// bits, more than the 48 that the longest symbol takes; a 32-bit one fills when short.
DECODER_STEP void NeedCode(BitReader* r, unsigned n, bool fast) {
    if (!fast) {
        Need(r, n);
        return;
    }
    if (r->ahead < (int)n) r->ahead = (int)n;
    if (HOLD_BITS < 64 && r->bits < n) FillWord(r);
}

// Follows link entries down to the code's own entry; answers none at an invalid code.
DECODER_STEP const HuffmanEntry* Resolve(BitReader* r, const HuffmanEntry* t, bool fast) {
    unsigned e;
    while ((e = t->extra) > CODE_LINK) {
        if (e == CODE_INVALID) return 0;
        Drop(r, t->bits);
        e -= CODE_LINK;
        NeedCode(r, e, fast);
        t = t->subTable + Peek(r, e);
    }
    return t;
}

// The entry of the next code of `table`, its bits consumed; none at an invalid code.
DECODER_STEP const HuffmanEntry* NextEntry(BitReader* r, const HuffmanEntry* table, unsigned mask,
                                           unsigned bits, bool fast) {
    NeedCode(r, bits, fast);
    const HuffmanEntry* t = table + ((unsigned)r->hold & mask);
    if (t->extra > CODE_LINK && !(t = Resolve(r, t, fast))) return 0;
    Drop(r, t->bits);
    return t;
}

// An entry's base plus its extra bits. In the fast loop their request reaches only as far as
// they are consumed, and a lookup always follows before the reader is stored, so `ahead` can
// ignore it.
DECODER_STEP unsigned AddExtraBits(BitReader* r, const HuffmanEntry* t, bool fast) {
    unsigned n = t->extra;
    if (!fast)
        Need(r, n);
    else if (HOLD_BITS < 64 && r->bits < n)
        FillWord(r);
    unsigned value = t->value + Peek(r, n);
    Drop(r, n);
    return value;
}

// The rest of a match after its length code: the length's extra bits, then the distance code
// and its extra bits. False at an invalid distance code, or in a block without distance codes.
DECODER_STEP bool DecodeMatch(BitReader* r, const HuffmanEntry* t, const HuffmanEntry* dtable,
                              unsigned dmask, unsigned dbits, bool fast, unsigned* length,
                              unsigned* distance) {
    *length = AddExtraBits(r, t, fast);
    if (!dtable || !(t = NextEntry(r, dtable, dmask, dbits, fast))) return false;
    *distance = AddExtraBits(r, t, fast);
    return true;
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

int DecodeCodes(const HuffmanEntry* ltable, const HuffmanEntry* dtable, int lbits, int dbits) {
    // A code set without any codes has no table; there is nothing to look up then.
    if (!ltable) return INFLATE_INVALID;
    BitReader r;
    LoadReader(&r);
    unsigned char* window = state.decoder.window;
    unsigned pos = state.decoder.windowPos;
    unsigned lmask = maskBits[lbits], dmask = maskBits[dbits];
    for (;;) {
        const HuffmanEntry* t;
        unsigned len, distance, src;
        BitReader f = r;  // in registers, unlike r, which the slow fills take by address
        while (f.end - f.in >= FAST_INPUT && pos < WINDOW_SIZE - MAX_MATCH) {
            // Seldom short: a symbol leaves at least 8 of the 56 bits.
            if (HOLD_BITS >= 64 && f.bits < (unsigned)lbits) FillWord(&f);
            NeedCode(&f, lbits, true);
            t = ltable + ((unsigned)f.hold & lmask);
            if (HOLD_BITS >= 64) FillWord(&f);
            if (t->extra > CODE_LINK && !(t = Resolve(&f, t, true))) return INFLATE_INVALID;
            Drop(&f, t->bits);
            if (t->extra == CODE_LITERAL) {
                window[pos++] = (unsigned char)t->value;
                continue;
            }
            if (t->extra == CODE_END_OF_BLOCK) {
                r = f;
                goto done;
            }
            if (!DecodeMatch(&f, t, dtable, dmask, dbits, true, &len, &distance))
                return INFLATE_INVALID;
            if (distance > pos) {
                // Before the window's first wrap that is a byte before the stream's first.
                if (!state.decoder.windowFilled) return INFLATE_INVALID;
                src = pos - distance;
                r = f;
                goto copy;  // the source wraps around the window's end
            }
            CopyRunFast(window + pos, window + pos - distance, len);
            pos += len;
        }
        r = f;

        // The feed's answers of "no byte" show only where the piece is used up.
        if (r.in == r.end && state.decoder.inputOverrun > OVERRUN_LIMIT) return INFLATE_INVALID;
        if (!(t = NextEntry(&r, ltable, lmask, lbits, false))) return INFLATE_INVALID;
        if (t->extra == CODE_LITERAL) {
            window[pos++] = (unsigned char)t->value;
            if (pos == WINDOW_SIZE) {
                if (FlushWindow(WINDOW_SIZE)) return INFLATE_INVALID;
                pos = 0;
            }
            continue;
        }
        if (t->extra == CODE_END_OF_BLOCK) break;
        if (!DecodeMatch(&r, t, dtable, dmask, dbits, false, &len, &distance))
            return INFLATE_INVALID;
        if (distance > pos && !state.decoder.windowFilled) return INFLATE_INVALID;
        src = pos - distance;

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
    state.decoder.windowPos = (unsigned short)pos;
    return INFLATE_OK;
}
