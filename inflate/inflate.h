// The DEFLATE decoder: the operations of inflate/, by the file that defines them, with the
// results they answer and the entries of a decoding table.
#pragma once
#include "base/base.h"

// What the decoding operations answer (InflateStream and the block decoders).
enum {
    INFLATE_OK = 0,
    INFLATE_INVALID = 1,     // invalid data: a bad code, lengths that do not check, a distance
                             // that reaches before the stream's first byte, input used up, or
                             // output that the caller's buffer cannot take
    INFLATE_IMPOSSIBLE = 2,  // a structure that cannot be: an over-full code, block type 3
};

// What BuildHuffmanTable answers about the code lengths it was given.
enum {
    TABLE_COMPLETE = 0,
    TABLE_INCOMPLETE = 1,    // codes are missing; the table is built with fillers
    TABLE_OVERFULL = 2,      // more codes than lengths allow; no table
};

// One entry of a decoding table. `extra` says what the entry is: up to 13 extra bits of a length
// or distance (whose base is `value`), the end of the block, a literal (`value`), a link to a
// sub-table indexed by `extra` - CODE_LINK further bits, or a code no symbol owns.
enum { CODE_END_OF_BLOCK = 15, CODE_LITERAL = 16, CODE_LINK = 16, CODE_INVALID = 99 };
struct HuffmanEntry {
    unsigned char extra;
    unsigned char bits;    // stream bits taken at this level
    union {
        unsigned short value;
        HuffmanEntry* subTable;
    };
};

// ---- feed.cpp: the decoder's input feed and window --------------------------------------------
extern const unsigned short maskBits[17];
int NextInputByte(unsigned short* cell);
// INFLATE_INVALID in memory mode when the caller's buffer cannot take the bytes.
int FlushWindow(unsigned count);
// Decodes the current member (from the feed into the sink): INFLATE_OK only when the stream
// ended in the last byte that the feed gave it.
int InflateMember(void);

// ---- huffman.cpp: decoding tables -----------------------------------------------------------
int BuildHuffmanTable(const unsigned short* lengths, unsigned symbolCount, unsigned plainCount,
                      const unsigned short* bases, const unsigned short* extras,
                      HuffmanEntry** table, int* lookupBits);
void FreeHuffmanTable(HuffmanEntry* table);

// ---- blocks.cpp: block decoding -------------------------------------------------------------
int InflateStream(void);
