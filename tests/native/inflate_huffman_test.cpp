// The table builder on its own: complete, incomplete and over-full sets, the width it picks,
// sub-tables, allocation failures, and random complete codes decoded symbol by symbol. (The
// length and distance bases are the decoder's business; the streams against zlib cover them.)
#include <gtest/gtest.h>

#include <random>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"

namespace {

struct Built {
    int result = -1;
    int bits = 0;
    HuffmanEntry* table = nullptr;
};

// Every symbol plain, so that an entry's value is its symbol.
Built Build(const std::vector<int>& l, int asked) {
    std::vector<unsigned short> lengths(l.begin(), l.end());
    Built b;
    b.bits = asked;
    b.result = BuildHuffmanTable(lengths.data(), (unsigned)lengths.size(), (unsigned)lengths.size(), nullptr,
                                 nullptr, &b.table, &b.bits);
    return b;
}

// The tables of one code, found through the chain entries.
size_t ChainLength(HuffmanEntry* table) {
    size_t n = 0;
    for (HuffmanEntry* t = table; t; t = t[-1].subTable) ++n;
    return n;
}

// Looks up a code given first bit = top bit, as the decoder does; answers the entry and the
// stream bits the code took in all.
std::pair<const HuffmanEntry*, int> Find(const HuffmanEntry* table, int lookupBits, uint32_t code, int length) {
    uint32_t stream = 0;  // reversed: first bit at bit 0
    for (int i = 0; i < length; ++i) stream |= ((code >> (length - 1 - i)) & 1u) << i;
    const HuffmanEntry* t = &table[stream & ((1u << lookupBits) - 1)];
    int taken = 0;
    while (t->extra > CODE_LINK && t->extra <= 32) {
        taken += t->bits;
        t = &t->subTable[(stream >> taken) & ((1u << (t->extra - CODE_LINK)) - 1)];
    }
    return {t, taken + t->bits};
}

class HuffmanTables : public ::testing::Test {
protected:
    void SetUp() override { FreshState(); }
    void TearDown() override { FreshState(); }
};

TEST_F(HuffmanTables, SmallSetsAndTheirResults) {
    std::vector<int> lone(19, 0), distances(30, 5), fillers(32, CODE_LITERAL);
    lone[7] = 1;
    fillers[15] = fillers[31] = CODE_INVALID;  // the two five-bit codes no symbol owns
    const int L = CODE_LITERAL;
    struct Case {
        std::vector<int> lengths;
        int asked, result, bits;
        std::vector<int> extras;  // the first-level table's entries' extra (empty: no table)
        size_t tables;            // blocks chained for the code
        int firstValue;           // entry 0's symbol (-1: not looked at)
    } cases[] = {
        {{0, 0, 0, 0}, 7, TABLE_COMPLETE, 0, {}, 0, -1},
        {std::vector<int>(19, 0), 7, TABLE_COMPLETE, 0, {}, 0, -1},
        {{1, 1, 1}, 7, TABLE_OVERFULL, 1, {}, 0, -1},
        {{1, 2, 2, 2}, 7, TABLE_OVERFULL, 2, {}, 0, -1},
        {{2, 2, 2}, 7, TABLE_INCOMPLETE, 2, {L, L, L, CODE_INVALID}, 1, 0},
        {distances, 5, TABLE_INCOMPLETE, 5, fillers, 1, 0},
        {lone, 7, TABLE_COMPLETE, 1, {L, CODE_INVALID}, 1, 7},
        {{1, 1}, 7, TABLE_COMPLETE, 1, {L, L}, 1, 0},
        // Shortest length above the asked width widens, longest below it narrows.
        {{3, 3, 3, 3, 3, 3, 3, 3}, 2, TABLE_COMPLETE, 3, std::vector<int>(8, L), 1, 0},
        {{2, 2, 2, 2}, 9, TABLE_COMPLETE, 2, {L, L, L, L}, 1, 0},
        {{2, 1, 3, 3}, 7, TABLE_COMPLETE, 3, std::vector<int>(8, L), 1, 1},
        // At two bits the two 3-bit codes share a sub-table of one further bit.
        {{2, 1, 3, 3}, 2, TABLE_COMPLETE, 2, {L, L, L, CODE_LINK + 1}, 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.lengths) + " at " + std::to_string(c.asked));
        long long live = standin::LiveBlocks();
        Built b = Build(c.lengths, c.asked);
        EXPECT_EQ(c.result, b.result);
        if (c.result != TABLE_OVERFULL) {
            EXPECT_EQ(c.bits, b.bits);
        }
        EXPECT_EQ(c.tables, ChainLength(b.table));
        for (size_t i = 0; b.table && i < c.extras.size(); ++i) EXPECT_EQ(c.extras[i], b.table[i].extra) << i;
        if (c.firstValue >= 0) {
            EXPECT_EQ(c.firstValue, b.table[0].value);
        }
        FreeHuffmanTable(b.table);
        EXPECT_EQ(live, standin::LiveBlocks());
    }
    FreeHuffmanTable(nullptr);  // accepted, does nothing
}

// Each allocation of a code with many sub-tables fails in turn: the out-of-memory box, the
// abort, and the blocks made before are released.
TEST_F(HuffmanTables, OutOfMemoryAtEveryBlock) {
    // Called directly: an abort skips the destructors of whatever Build would hold.
    unsigned short fixed[288];
    for (int i = 0; i < 288; ++i) fixed[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    int failures = 0;
    for (int n = 1;; ++n) {
        FreshState();
        long long live = standin::LiveBlocks();
        standin::FailAllocation(n);
        if (ARM_CHECKPOINT() == 0) {
            Built b;
            b.bits = 7;
            EXPECT_EQ(TABLE_COMPLETE, BuildHuffmanTable(fixed, 288, 288, nullptr, nullptr, &b.table, &b.bits));
            EXPECT_TRUE(standin::MessageBoxes().empty());
            EXPECT_EQ((size_t)n - 1, ChainLength(b.table));
            FreeHuffmanTable(b.table);
            break;
        }
        ++failures;
        EXPECT_EQ(ABORT_FAILED, state.abortCode);
        EXPECT_EQ(live, standin::LiveBlocks()) << n;
        ASSERT_EQ(1u, standin::MessageBoxes().size()) << n;
        EXPECT_EQ(BOX_OUT_OF_MEMORY, standin::MessageBoxes()[0].purpose);
    }
    EXPECT_GT(failures, 50);
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
                if (*std::min_element(leaves.begin(), leaves.end()) >= maxLength) break;
                continue;
            }
            leaves.push_back(++leaves[i]);
        }
        std::vector<int> l(n, 0), symbols(n);
        for (int i = 0; i < n; ++i) symbols[i] = i;
        std::shuffle(symbols.begin(), symbols.end(), rng);
        for (size_t i = 0; i < leaves.size(); ++i) l[symbols[i]] = leaves[i];

        Built b = Build(l, asked);
        ASSERT_EQ(TABLE_COMPLETE, b.result) << round;
        std::vector<uint32_t> codes = CanonicalCodes(l);
        for (int sym = 0; sym < n; ++sym) {
            if (!l[sym]) continue;
            auto [entry, bits] = Find(b.table, b.bits, codes[sym], l[sym]);
            ASSERT_EQ(l[sym], bits) << round << " " << sym;
            ASSERT_EQ(sym, entry->value) << round << " " << sym;
        }
        for (HuffmanEntry* t = b.table; t; t = t[-1].subTable) EXPECT_LE(t[-1].bits, b.bits);
        FreeHuffmanTable(b.table);
    }
}

}  // namespace
