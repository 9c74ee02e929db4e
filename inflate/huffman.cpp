// Decoding tables for canonical prefix codes given by their code lengths.
//
// A code is looked up with the next L stream bits (first stream bit = bit 0 of the index) in a
// first-level table of 2^L entries. A code no longer than L has its entry replicated over every
// index that begins with it; a longer one is found through a link entry that names a sub-table
// and how many further bits index it. Sub-tables are made only as wide as the codes below their
// prefix need, and a sub-table that still has longer codes below it is L bits wide again.
//
// Codes are enumerated in canonical order with the code kept bit-reversed, so that "the code
// plus one" is an increment from the top bit down and a table index is a plain shift. Missing
// codes of an incomplete set are filled in as entries of the longest length that no symbol owns
// (extra 99), so every table is full and every lookup finds an entry.
//
// Every table lives in one block of 2^j + 1 entries; entry 0 of a block chains to the next
// block made for the same code, so one walk releases a code with all its sub-tables.
#include "startup/state.h"

enum { MAX_LENGTH = 16, MAX_SYMBOLS = 288, INVALID_CODE = 99 };

void FreeHuffmanTable(HuffmanEntry* table) {
    while (table) {
        HuffmanEntry* block = table - 1;
        table = block->subTable;
        LocalFree((HLOCAL)block);
    }
}

int BuildHuffmanTable(const unsigned short* lengths, unsigned n, unsigned s,
                      const unsigned short* bases, const unsigned short* extras,
                      HuffmanEntry** table, int* lookupBits) {
    int count[MAX_LENGTH + 1];
    unsigned short offset[MAX_LENGTH + 1];
    unsigned short sorted[MAX_SYMBOLS];
    HuffmanEntry* stack[MAX_LENGTH];
    unsigned short prefix[MAX_LENGTH];

    for (int k = 0; k <= MAX_LENGTH; ++k) count[k] = 0;
    for (unsigned i = 0; i < n; ++i) count[lengths[i]]++;
    *table = 0;
    if (count[0] == (int)n) {
        *lookupBits = 0;
        return 0;
    }

    int kmin = 1, g = MAX_LENGTH;
    while (!count[kmin]) ++kmin;
    while (!count[g]) --g;
    int L = *lookupBits;
    if (L < kmin) L = kmin;
    if (L > g) L = g;
    *lookupBits = L;

    // Kraft test; what the lengths leave unused becomes filler codes of the longest length.
    int spare = 1 << kmin;
    for (int j = kmin; j < g; ++j) {
        spare -= count[j];
        if (spare < 0) return 2;
        spare <<= 1;
    }
    spare -= count[g];
    if (spare < 0) return 2;
    count[g] += spare;

    offset[1] = 0;
    for (int j = 1; j < g; ++j) offset[j + 1] = offset[j] + count[j];
    unsigned used = 0;
    for (unsigned i = 0; i < n; ++i)
        if (lengths[i]) {
            sorted[offset[lengths[i]]++] = (unsigned short)i;
            ++used;
        }

    unsigned code = 0, next = 0;
    int level = -1, w = -L;
    HuffmanEntry* lastBlock = 0;
    prefix[0] = 0;
    for (int k = kmin; k <= g; ++k) {
        for (int a = count[k] - 1; a >= 0; --a) {
            // Open tables down to the one that holds codes of length k.
            while (k > w + L) {
                ++level;
                w += L;
                int limit = g - w < L ? g - w : L;
                int j = k - w;
                if ((1 << j) > a + 1 && j < limit) {
                    // Widen while the codes still to come below this prefix need more room.
                    int f = (1 << j) - (a + 1);
                    for (int m = k + 1;; ++m) {
                        if (++j == limit) break;
                        f <<= 1;
                        if (f <= count[m]) break;
                        f -= count[m];
                    }
                }
                HuffmanEntry* block =
                    (HuffmanEntry*)LocalAlloc(LPTR, ((1u << j) + 1) * sizeof(HuffmanEntry));
                if (!block) {
                    FreeHuffmanTable(*table);
                    FatalError("Nicht gen\xFCgend Speicher");
                }
                block->bits = (unsigned char)j;  // the table's width, for filling it
                if (lastBlock)
                    lastBlock->subTable = block + 1;
                else
                    *table = block + 1;
                lastBlock = block;
                stack[level] = block + 1;
                if (level > 0) {
                    prefix[level] = (unsigned short)code;
                    HuffmanEntry* link = stack[level - 1] + (code >> (w - L));
                    link->extra = (unsigned char)(16 + j);
                    link->bits = (unsigned char)L;
                    link->subTable = block + 1;
                }
            }

            HuffmanEntry entry;
            entry.subTable = 0;
            entry.bits = (unsigned char)(k - w);
            if (next >= used) {
                entry.extra = INVALID_CODE;
            } else {
                unsigned sym = sorted[next++];
                if (sym < s) {
                    entry.extra = sym < 256 ? 16 : 15;
                    entry.value = (unsigned short)sym;
                } else {
                    entry.extra = (unsigned char)extras[sym - s];
                    entry.value = bases[sym - s];
                }
            }
            HuffmanEntry* current = stack[level];
            unsigned size = 1u << current[-1].bits;
            for (unsigned i = code >> w; i < size; i += 1u << (k - w)) current[i] = entry;

            // The next code of length k, counted from the top bit down (the code is reversed).
            unsigned bit = 1u << (k - 1);
            while (code & bit) {
                code ^= bit;
                bit >>= 1;
            }
            code ^= bit;

            // Leave the tables that are full.
            while ((code & ((1u << w) - 1)) != prefix[level]) {
                --level;
                w -= L;
            }
        }
    }
    return spare != 0 && g != 1 ? 1 : 0;
}
