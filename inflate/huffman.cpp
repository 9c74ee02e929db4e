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
// (CODE_INVALID), so every table is full and every lookup finds an entry.
//
// Every table lives in one block of 2^j + 1 entries; entry 0 of a block chains to the next
// block made for the same code, so one walk releases a code with all its sub-tables.
#include "base/base.h"
#include "inflate/inflate.h"

enum { MAX_LENGTH = 16, MAX_SYMBOLS = 288 };

void FreeHuffmanTable(HuffmanEntry* table) {
    while (table) {
        HuffmanEntry* block = table - 1;
        table = block->subTable;
        LocalFree((HLOCAL)block);
    }
}

// Symbols below `plainCount` are literals (below 256) or the end of the block; a symbol from
// `plainCount` on is a length or distance code whose base and extra bits come from
// bases[symbol - plainCount] and extras[symbol - plainCount]. *lookupBits asks for the width of
// each table level and receives the width used (held between the shortest and longest lengths).
int BuildHuffmanTable(const unsigned short* lengths, unsigned symbolCount, unsigned plainCount,
                      const unsigned short* bases, const unsigned short* extras,
                      HuffmanEntry** table, int* lookupBits) {
    int count[MAX_LENGTH + 1];            // codes of each length
    unsigned short offset[MAX_LENGTH + 1];
    unsigned short sorted[MAX_SYMBOLS];   // the symbols in canonical order
    HuffmanEntry* stack[MAX_LENGTH];      // the table open at each level
    unsigned short prefix[MAX_LENGTH];    // the code bits that lead to that table

    for (int length = 0; length <= MAX_LENGTH; ++length) count[length] = 0;
    for (unsigned i = 0; i < symbolCount; ++i) count[lengths[i]]++;
    *table = 0;
    if (count[0] == (int)symbolCount) {
        *lookupBits = 0;
        return TABLE_COMPLETE;
    }

    int shortest = 1, longest = MAX_LENGTH;
    while (!count[shortest]) ++shortest;
    while (!count[longest]) --longest;
    int levelBits = *lookupBits;
    if (levelBits < shortest) levelBits = shortest;
    if (levelBits > longest) levelBits = longest;
    *lookupBits = levelBits;

    // Kraft test; what the lengths leave unused becomes filler codes of the longest length.
    int spare = 1 << shortest;
    for (int length = shortest; length < longest; ++length) {
        spare -= count[length];
        if (spare < 0) return TABLE_OVERFULL;
        spare <<= 1;
    }
    spare -= count[longest];
    if (spare < 0) return TABLE_OVERFULL;
    count[longest] += spare;

    offset[1] = 0;
    for (int length = 1; length < longest; ++length)
        offset[length + 1] = offset[length] + count[length];
    unsigned symbolsUsed = 0;
    for (unsigned i = 0; i < symbolCount; ++i)
        if (lengths[i]) {
            sorted[offset[lengths[i]]++] = (unsigned short)i;
            ++symbolsUsed;
        }

    unsigned code = 0, nextSymbol = 0;
    int level = -1, bitsAbove = -levelBits;  // code bits that the tables above this level index
    HuffmanEntry* lastBlock = 0;
    prefix[0] = 0;
    for (int length = shortest; length <= longest; ++length) {
        for (int left = count[length] - 1; left >= 0; --left) {
            // Open tables down to the one that holds codes of this length.
            while (length > bitsAbove + levelBits) {
                ++level;
                bitsAbove += levelBits;
                int maxWidth = longest - bitsAbove < levelBits ? longest - bitsAbove : levelBits;
                int width = length - bitsAbove;
                if ((1 << width) > left + 1 && width < maxWidth) {
                    // Widen while the codes still to come below this prefix need more room.
                    int free = (1 << width) - (left + 1);
                    for (int longer = length + 1;; ++longer) {
                        if (++width == maxWidth) break;
                        free <<= 1;
                        if (free <= count[longer]) break;
                        free -= count[longer];
                    }
                }
                HuffmanEntry* block =
                    (HuffmanEntry*)LocalAlloc(LPTR, ((1u << width) + 1) * sizeof(HuffmanEntry));
                if (!block) {
                    FreeHuffmanTable(*table);
                    OutOfMemory();
                }
                block->bits = (unsigned char)width;  // the table's width, for filling it
                if (lastBlock)
                    lastBlock->subTable = block + 1;
                else
                    *table = block + 1;
                lastBlock = block;
                stack[level] = block + 1;
                if (level > 0) {
                    prefix[level] = (unsigned short)code;
                    HuffmanEntry* link = stack[level - 1] + (code >> (bitsAbove - levelBits));
                    link->extra = (unsigned char)(CODE_LINK + width);
                    link->bits = (unsigned char)levelBits;
                    link->subTable = block + 1;
                }
            }

            HuffmanEntry entry;
            entry.subTable = 0;
            entry.bits = (unsigned char)(length - bitsAbove);
            if (nextSymbol >= symbolsUsed) {
                entry.extra = CODE_INVALID;
            } else {
                unsigned symbol = sorted[nextSymbol++];
                if (symbol < plainCount) {
                    entry.extra = symbol < 256 ? CODE_LITERAL : CODE_END_OF_BLOCK;
                    entry.value = (unsigned short)symbol;
                } else {
                    entry.extra = (unsigned char)extras[symbol - plainCount];
                    entry.value = bases[symbol - plainCount];
                }
            }
            HuffmanEntry* current = stack[level];
            unsigned size = 1u << current[-1].bits;
            for (unsigned i = code >> bitsAbove; i < size; i += 1u << (length - bitsAbove))
                current[i] = entry;

            // The next code of this length, counted from the top bit down (the code is reversed).
            unsigned bit = 1u << (length - 1);
            while (code & bit) {
                code ^= bit;
                bit >>= 1;
            }
            code ^= bit;

            // Leave the tables that are full.
            while ((code & ((1u << bitsAbove) - 1)) != prefix[level]) {
                --level;
                bitsAbove -= levelBits;
            }
        }
    }
    // A lone code of one bit leaves one code unused and is allowed (a single distance code).
    return spare != 0 && longest != 1 ? TABLE_INCOMPLETE : TABLE_COMPLETE;
}
