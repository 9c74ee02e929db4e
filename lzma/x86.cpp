// The x86 branch converter (lzma/x86.h).
//
// An E8 or E9 byte followed by an operand whose top byte is 00 or FF (a near target, forward or
// back) is taken as an instruction. E8/E9 bytes that were not converted stay in a three-bit
// history (bit 0: the byte just before the current one, bits 1 and 2: the two before that);
// with history, an opcode is only converted when the history allows it, so that the operand of
// one candidate is not converted again as part of another. The history counts from the last
// candidate position, and is carried across calls as if that position were just before the
// next byte offered.
#include "lzma/x86.h"

#include "base/format.h"

namespace {

// For each history: whether a candidate is converted at all, and which byte of its operand
// decides (counted from the top) when the history holds an E8/E9 within reach.
const unsigned char kAllowed[8] = {1, 1, 1, 0, 1, 0, 0, 0};
const unsigned char kDeciding[8] = {0, 1, 2, 2, 3, 3, 3, 3};

inline bool NearTop(unsigned byte) { return byte == 0 || byte == 0xFF; }

}  // namespace

DWORD ConvertX86(X86State* s, unsigned char* data, DWORD size, bool encoding) {
    DWORD mask = s->mask;
    // Where the last candidate stood, relative to data: one before the first byte for the
    // history carried in.
    long last = -1;
    DWORD at = 0;
    while (at + 4 < size) {
        unsigned char* op = data + at;
        if ((*op & 0xFE) != 0xE8) {
            at++;
            continue;
        }
        DWORD gap = at - (DWORD)last;
        if (gap > 3) {
            mask = 0;
        } else {
            mask = (mask << (gap - 1)) & 7;
            if (mask != 0 && (!kAllowed[mask] || NearTop(op[4 - kDeciding[mask]]))) {
                last = (long)at;
                mask = ((mask << 1) & 7) | 1;
                at++;
                continue;
            }
        }
        last = (long)at;
        if (!NearTop(op[4])) {
            mask = ((mask << 1) & 7) | 1;
            at++;
            continue;
        }
        DWORD operand = ReadLe32(op + 1);
        DWORD next = s->position + at + 5;  // the address the operand counts from
        DWORD target;
        for (;;) {
            target = encoding ? operand + next : operand - next;
            if (mask == 0) break;
            unsigned shift = 8 * kDeciding[mask];
            if (!NearTop((target >> (24 - shift)) & 0xFF)) break;
            operand = target ^ ((1u << (32 - shift)) - 1);
        }
        // The top byte is sign-extended from bit 24, so that the result stays near.
        op[1] = (unsigned char)target;
        op[2] = (unsigned char)(target >> 8);
        op[3] = (unsigned char)(target >> 16);
        op[4] = (unsigned char)(0 - ((target >> 24) & 1));
        at += 5;
    }
    DWORD gap = at - (DWORD)last;
    s->mask = gap > 3 ? 0 : (mask << (gap - 1)) & 7;
    s->position += at;
    return at;
}
