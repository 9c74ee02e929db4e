// The table builder: the worked examples, the fixed codes, the three kinds of incomplete and
// over-full sets, allocation failures, and random complete codes decoded symbol by symbol.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"

namespace {

const std::string kOutOfMemory = "Nicht gen\xFCgend Speicher";

struct Built {
    int result = -1;
    int bits = 0;
    HuffmanEntry* table = nullptr;
};

Built Build(const std::vector<unsigned short>& lengths, unsigned s, int asked,
            const unsigned short* bases = nullptr, const unsigned short* extras = nullptr) {
    Built b;
    b.bits = asked;
    b.result = BuildHuffmanTable(lengths.data(), (unsigned)lengths.size(), s, bases, extras,
                                 &b.table, &b.bits);
    return b;
}

// The tables of one code, found through the chain entries.
std::vector<HuffmanEntry*> Chain(HuffmanEntry* table) {
    std::vector<HuffmanEntry*> tables;
    for (HuffmanEntry* t = table; t; t = t[-1].subTable) tables.push_back(t);
    return tables;
}

// Sizes of the sub-tables reached through links, and the first-level size.
void LinkedSizes(const HuffmanEntry* table, int size, std::vector<int>* sizes) {
    sizes->push_back(size);
    for (int i = 0; i < size; ++i)
        if (table[i].extra > 16 && table[i].extra <= 32)
            LinkedSizes(table[i].subTable, 1 << (table[i].extra - 16), sizes);
}

struct Lookup {
    const HuffmanEntry* entry;
    int bits;  // stream bits the code took in all
};

// Looks up a code given first bit = top bit, as the decoder does.
Lookup Find(const HuffmanEntry* table, int lookupBits, uint32_t code, int length) {
    uint32_t stream = 0;  // reversed: first bit at bit 0
    for (int i = 0; i < length; ++i) stream |= ((code >> (length - 1 - i)) & 1u) << i;
    const HuffmanEntry* t = &table[stream & ((1u << lookupBits) - 1)];
    int taken = 0;
    while (t->extra > 16 && t->extra <= 32) {
        taken += t->bits;
        int width = t->extra - 16;
        t = &t->subTable[(stream >> taken) & ((1u << width) - 1)];
    }
    return {t, taken + t->bits};
}

class HuffmanTables : public ::testing::Test {
protected:
    void SetUp() override { FreshState(); }
    void TearDown() override { FreshState(); }
};

TEST_F(HuffmanTables, WorkedExampleAtSevenBits) {
    Built b = Build({2, 1, 3, 3}, 4, 7);
    ASSERT_EQ(0, b.result);
    EXPECT_EQ(3, b.bits);
    ASSERT_EQ(1u, Chain(b.table).size());
    const int symbol[8] = {1, 0, 1, 2, 1, 0, 1, 3};
    const int bits[8] = {1, 2, 1, 3, 1, 2, 1, 3};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(16, b.table[i].extra) << i;
        EXPECT_EQ(symbol[i], b.table[i].value) << i;
        EXPECT_EQ(bits[i], b.table[i].bits) << i;
    }
    FreeHuffmanTable(b.table);
}

TEST_F(HuffmanTables, WorkedExampleAtTwoBits) {
    Built b = Build({2, 1, 3, 3}, 4, 2);
    ASSERT_EQ(0, b.result);
    EXPECT_EQ(2, b.bits);
    ASSERT_EQ(2u, Chain(b.table).size());
    const HuffmanEntry* t = b.table;
    EXPECT_EQ(1, t[0].value);
    EXPECT_EQ(1, t[0].bits);
    EXPECT_EQ(1, t[2].value);
    EXPECT_EQ(1, t[2].bits);
    EXPECT_EQ(0, t[1].value);
    EXPECT_EQ(2, t[1].bits);
    ASSERT_EQ(17, t[3].extra);
    EXPECT_EQ(2, t[3].bits);
    EXPECT_EQ(Chain(b.table)[1], t[3].subTable);
    const HuffmanEntry* sub = t[3].subTable;
    EXPECT_EQ(2, sub[0].value);
    EXPECT_EQ(3, sub[1].value);
    EXPECT_EQ(1, sub[0].bits);
    EXPECT_EQ(1, sub[1].bits);
    EXPECT_EQ(16, sub[0].extra);
    EXPECT_EQ(16, sub[1].extra);
    FreeHuffmanTable(b.table);
}

std::vector<unsigned short> FixedLiteralLengths() {
    std::vector<unsigned short> l(288);
    for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    return l;
}

const unsigned short kLengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,
                                        17, 19, 23, 27, 31, 35, 43, 51,  59,  67,  83,
                                        99, 115, 131, 163, 195, 227, 258, 0, 0};
const unsigned short kLengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                         3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
const unsigned short kDistanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                          17,   25,   33,   49,   65,   97,    129,   193,
                                          257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                          4097, 6145, 8193, 12289, 16385, 24577};
const unsigned short kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

TEST_F(HuffmanTables, FixedLiteralLengthCode) {
    std::vector<unsigned short> lengths = FixedLiteralLengths();
    Built b = Build(lengths, 257, 7, kLengthBase, kLengthExtra);
    ASSERT_EQ(0, b.result);
    EXPECT_EQ(7, b.bits);
    std::vector<HuffmanEntry*> chain = Chain(b.table);
    EXPECT_EQ(105u, chain.size());
    std::vector<int> sizes;
    LinkedSizes(b.table, 128, &sizes);
    EXPECT_EQ(105u, sizes.size());
    EXPECT_EQ(76, std::count(sizes.begin(), sizes.end(), 2));
    EXPECT_EQ(28, std::count(sizes.begin(), sizes.end(), 4));
    int entries = 0;
    for (int s : sizes) entries += s + 1;
    EXPECT_EQ(497, entries);

    std::vector<int> l(lengths.begin(), lengths.end());
    std::vector<uint32_t> codes = CanonicalCodes(l);
    for (int sym = 0; sym < 288; ++sym) {
        Lookup f = Find(b.table, 7, codes[sym], l[sym]);
        EXPECT_EQ(l[sym], f.bits) << sym;
        if (sym < 256) {
            EXPECT_EQ(16, f.entry->extra) << sym;
            EXPECT_EQ(sym, f.entry->value) << sym;
        } else if (sym == 256) {
            EXPECT_EQ(15, f.entry->extra);
        } else if (sym < 286) {
            EXPECT_EQ(kLengthExtra[sym - 257], f.entry->extra) << sym;
            EXPECT_EQ(kLengthBase[sym - 257], f.entry->value) << sym;
        } else {
            EXPECT_EQ(99, f.entry->extra) << sym;
        }
    }
    FreeHuffmanTable(b.table);
}

TEST_F(HuffmanTables, FixedDistanceCodeIsIncomplete) {
    std::vector<unsigned short> lengths(30, 5);
    Built b = Build(lengths, 0, 5, kDistanceBase, kDistanceExtra);
    EXPECT_EQ(1, b.result);
    EXPECT_EQ(5, b.bits);
    ASSERT_EQ(1u, Chain(b.table).size());
    for (int i = 0; i < 32; ++i) {
        // Index i holds the code whose stream bits are i, first bit at bit 0.
        int sym = 0;
        for (int k = 0; k < 5; ++k) sym |= ((i >> k) & 1) << (4 - k);
        EXPECT_EQ(5, b.table[i].bits);
        if (sym >= 30) {
            EXPECT_EQ(99, b.table[i].extra) << i;
            EXPECT_TRUE(i == 15 || i == 31) << i;
        } else {
            EXPECT_EQ(kDistanceExtra[sym], b.table[i].extra) << i;
            EXPECT_EQ(kDistanceBase[sym], b.table[i].value) << i;
        }
    }
    FreeHuffmanTable(b.table);
}

TEST_F(HuffmanTables, SmallSetsAndTheirResults) {
    struct Case {
        std::vector<unsigned short> lengths;
        int asked, result, bits;
        std::vector<int> extras;  // the first-level table's entries' extra (empty: no table)
    } cases[] = {
        {{0, 0, 0, 0}, 7, 0, 0, {}},
        {std::vector<unsigned short>(19, 0), 7, 0, 0, {}},
        {{1, 1, 1}, 7, 2, 1, {}},
        {{1, 2, 2, 2}, 7, 2, 2, {}},
        {{2, 2, 2}, 7, 1, 2, {16, 16, 16, 99}},
        {{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 7, 0, 1, {16, 99}},
        {{1, 1}, 7, 0, 1, {16, 16}},
        // Shortest length above the asked width widens, longest below it narrows.
        {{3, 3, 3, 3, 3, 3, 3, 3}, 2, 0, 3, {16, 16, 16, 16, 16, 16, 16, 16}},
        {{2, 2, 2, 2}, 9, 0, 2, {16, 16, 16, 16}},
    };
    for (const Case& c : cases) {
        Built b = Build(c.lengths, (unsigned)c.lengths.size(), c.asked);
        SCOPED_TRACE(::testing::PrintToString(c.lengths));
        EXPECT_EQ(c.result, b.result);
        if (c.result != 2) {
            EXPECT_EQ(c.bits, b.bits);
        }
        if (c.extras.empty()) {
            EXPECT_EQ(nullptr, b.table);
            continue;
        }
        ASSERT_NE(nullptr, b.table);
        EXPECT_EQ(1u, Chain(b.table).size());
        for (size_t i = 0; i < c.extras.size(); ++i) EXPECT_EQ(c.extras[i], b.table[i].extra) << i;
        FreeHuffmanTable(b.table);
    }
    FreeHuffmanTable(nullptr);  // accepted, does nothing
}

TEST_F(HuffmanTables, SingleCodeOfLengthOneKeepsItsSymbol) {
    std::vector<unsigned short> lengths(19, 0);
    lengths[7] = 1;
    Built b = Build(lengths, 19, 7);
    ASSERT_EQ(0, b.result);
    EXPECT_EQ(7, b.table[0].value);
    EXPECT_EQ(1, b.table[0].bits);
    EXPECT_EQ(1, b.table[1].bits);
    FreeHuffmanTable(b.table);
}

// The out-of-memory text, then the abort; the blocks made before are released (the leak
// checker of the sanitizer build would report them otherwise).
TEST_F(HuffmanTables, OutOfMemoryAtEveryBlockOfTheFixedCode) {
    std::vector<unsigned short> lengths = FixedLiteralLengths();
    for (int n : {1, 2, 50, 105}) {
        FreshState();
        standin::FailAllocation(n);
        volatile bool returned = false;
        if (ARM_CHECKPOINT() == 0) {
            Build(lengths, 257, 7, kLengthBase, kLengthExtra);
            returned = true;
        } else {
            EXPECT_EQ(ABORT_FAILED, state.abortCode);
        }
        EXPECT_FALSE(returned) << n;
        ASSERT_EQ(1u, standin::MessageBoxes().size()) << n;
        EXPECT_EQ(kOutOfMemory, standin::MessageBoxes()[0].text);
        EXPECT_EQ(std::string("Tessly Self-Extractor"), standin::MessageBoxes()[0].caption);
    }
    // With the 106th allocation failing, the 105 blocks are all the code needs.
    FreshState();
    standin::FailAllocation(106);
    Built b = Build(lengths, 257, 7, kLengthBase, kLengthExtra);
    EXPECT_EQ(0, b.result);
    EXPECT_TRUE(standin::MessageBoxes().empty());
    FreeHuffmanTable(b.table);
}

// Random complete codes with lengths up to 15: every symbol is found with its own length,
// and the sub-tables stay within the first-level width.
TEST_F(HuffmanTables, RandomCompleteCodesDecodeEverySymbol) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        int n = round % 3 == 0 ? 30 : round % 3 == 1 ? 286 : 19;
        int asked = round % 3 == 0 ? 6 : round % 3 == 1 ? 9 : 7;
        int maxLength = n == 19 ? 7 : 15;
        int used = 2 + (int)(rng() % (n - 1));
        // Split leaves of a full binary tree until `used` leaves exist.
        std::vector<int> leaves = {0};
        while ((int)leaves.size() < used) {
            size_t i = rng() % leaves.size();
            if (leaves[i] >= maxLength) {
                bool any = false;
                for (int d : leaves) any |= d < maxLength;
                if (!any) break;
                continue;
            }
            int d = ++leaves[i];
            leaves.push_back(d);
        }
        std::vector<int> l(n, 0);
        std::vector<int> symbols(n);
        for (int i = 0; i < n; ++i) symbols[i] = i;
        std::shuffle(symbols.begin(), symbols.end(), rng);
        for (size_t i = 0; i < leaves.size(); ++i) l[symbols[i]] = leaves[i];
        std::vector<unsigned short> lengths(l.begin(), l.end());

        Built b;
        if (n == 30)
            b = Build(lengths, 0, asked, kDistanceBase, kDistanceExtra);
        else if (n == 286)
            b = Build(lengths, 257, asked, kLengthBase, kLengthExtra);
        else
            b = Build(lengths, 19, asked);
        ASSERT_EQ(0, b.result) << round;
        std::vector<uint32_t> codes = CanonicalCodes(l);
        for (int sym = 0; sym < n; ++sym) {
            if (!l[sym]) continue;
            Lookup f = Find(b.table, b.bits, codes[sym], l[sym]);
            ASSERT_EQ(l[sym], f.bits) << round << " " << sym;
            unsigned expected = n == 30                ? kDistanceBase[sym]
                                : sym < 256 || n == 19 ? sym
                                : sym == 256           ? 256
                                                       : kLengthBase[sym - 257];
            ASSERT_EQ(expected, f.entry->value) << round << " " << sym;
        }
        std::vector<int> sizes;
        LinkedSizes(b.table, 1 << b.bits, &sizes);
        EXPECT_EQ(Chain(b.table).size(), sizes.size());
        for (size_t i = 1; i < sizes.size(); ++i) EXPECT_LE(sizes[i], 1 << b.bits);
        FreeHuffmanTable(b.table);
    }
}

}  // namespace
