// Streams that are invalid, impossible, truncated or damaged, the memory-mode bound, the
// bound on running past the input, and what the decoder leaves of its input at a stream's
// end (the same bytes read and the same last byte as a byte-at-a-time feed).
#include <gtest/gtest.h>

#include <random>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"

namespace {

const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

std::string Hex(const char* hex) {
    std::string s;
    for (const char* p = hex; p[0] && p[1]; p += 2) {
        while (*p == ' ') ++p;
        s.push_back((char)strtol(std::string(p, 2).c_str(), nullptr, 16));
    }
    return s;
}

// A dynamic header whose code-length code is given (lengths by symbol 0..18) and whose
// lengths are sent as code-length symbols, each with its repeat field.
struct LengthSymbol {
    int symbol, extra;
};

void RawDynamic(StreamWriter* w, bool final, int hlit, int hdist, const std::vector<int>& clen,
                const std::vector<LengthSymbol>& symbols) {
    w->Bits(final, 1);
    w->Bits(2, 2);
    w->Bits(hlit - 257, 5);
    w->Bits(hdist - 1, 5);
    w->Bits(19 - 4, 4);
    for (int j = 0; j < 19; ++j) w->Bits(clen[kOrder[j]], 3);
    std::vector<uint32_t> codes = CanonicalCodes(clen);
    for (const LengthSymbol& s : symbols) {
        w->Code(codes[s.symbol], clen[s.symbol]);
        if (s.symbol == 16) w->Bits(s.extra, 2);
        if (s.symbol == 17) w->Bits(s.extra, 3);
        if (s.symbol == 18) w->Bits(s.extra, 7);
    }
}

// Code-length code: 0, 1, 2, 3, 8, 16, 17, 18 with three bits each (complete).
std::vector<int> EightClen() {
    std::vector<int> c(19, 0);
    for (int s : {0, 1, 2, 3, 8, 16, 17, 18}) c[s] = 3;
    return c;
}

// Literal 'a' (97) and end of block with one bit each; every other length 0.
std::vector<LengthSymbol> AAndEndOfBlock(std::vector<LengthSymbol> distances) {
    std::vector<LengthSymbol> s = {{18, 86}, {1, 0}, {18, 127}, {18, 9}, {1, 0}};
    s.insert(s.end(), distances.begin(), distances.end());
    return s;
}

// Two literals 'a' and the end of block, coded with the code above (a = 0, end = 1).
void TwoAs(StreamWriter* w) {
    w->Bits(0, 1);
    w->Bits(0, 1);
    w->Bits(1, 1);
}

// A block with literal/length lengths by symbol, distance lengths, and then the symbols:
// {0, s} a literal/length symbol, {1, s} a distance symbol, {2, b} one bit as it stands.
std::string DynamicBlock(const std::vector<int>& lit, const std::vector<int>& dist,
                         const std::vector<std::pair<int, int>>& symbols) {
    StreamWriter w;
    WriteDynamicHeader(&w, true, lit, dist);
    std::vector<uint32_t> lc = CanonicalCodes(lit), dc = CanonicalCodes(dist);
    for (auto [table, sym] : symbols) {
        if (table == 0)
            w.Code(lc[sym], lit[sym]);
        else if (table == 1)
            w.Code(dc[sym], dist[sym]);
        else
            w.Bits(sym, 1);  // table 2: one raw bit
    }
    return w.Finish();
}

std::vector<int> Lengths(int n, std::vector<std::pair<int, int>> set) {
    std::vector<int> l(n, 0);
    for (auto [sym, len] : set) l[sym] = len;
    return l;
}

struct Case {
    const char* name;
    std::string stream;
    int result;
    std::string out;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    cases.push_back({"empty fixed block", Hex("0300"), 0, ""});
    cases.push_back({"empty stored block", Hex("010000FFFF"), 0, ""});
    cases.push_back({"stored complement wrong", Hex("0105000000") + "hello", 1, ""});
    cases.push_back({"block type 3", Hex("07"), 2, ""});
    {
        StreamWriter w;
        w.Stored("abc", false);
        w.Bits(1, 1);
        w.Bits(3, 2);
        cases.push_back({"type 3 after a stored block passes nothing on", w.Finish(), 2, ""});
    }
    for (auto [hlit, hdist] : {std::pair{287, 1}, {288, 1}, {257, 31}, {257, 32}}) {
        StreamWriter w;
        RawDynamic(&w, true, hlit, hdist, EightClen(), {});
        cases.push_back({"HLIT or HDIST too large", w.Finish(), 1, ""});
    }
    {
        StreamWriter w;
        RawDynamic(&w, true, 257, 11, EightClen(), AAndEndOfBlock({{18, 0}}));
        TwoAs(&w);
        cases.push_back({"repeat exactly fills the lengths", w.Finish(), 0, "aa"});
    }
    {
        StreamWriter w;
        RawDynamic(&w, true, 257, 11, EightClen(), AAndEndOfBlock({{18, 1}}));
        cases.push_back({"repeat runs past the lengths", w.Finish(), 1, ""});
    }
    {
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, EightClen(),
                   {{16, 3}, {18, 80}, {1, 0}, {18, 127}, {18, 9}, {1, 0}, {0, 0}});
        TwoAs(&w);
        cases.push_back({"code 16 first repeats length 0", w.Finish(), 0, "aa"});
    }
    {
        // 'a' to 'g' and the end of block with three bits each: 3, then 16 repeats it six times.
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, EightClen(),
                   {{18, 86}, {3, 0}, {16, 3}, {18, 127}, {17, 7}, {17, 1}, {3, 0}, {0, 0}});
        w.Code(0, 3);
        w.Code(6, 3);
        w.Code(7, 3);
        cases.push_back({"code 16 repeats the previous length", w.Finish(), 0, "ag"});
    }
    {
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, EightClen(), {{18, 127}, {18, 108}, {1, 0}});
        w.Bits(0, 8);
        cases.push_back({"literal/length code without codes", w.Finish(), 1, ""});
    }
    {
        std::vector<int> clen(19, 0);
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, clen, {});
        w.Bits(0, 16);
        cases.push_back({"code-length code without codes", w.Finish(), 1, ""});
    }
    {
        std::vector<int> clen(19, 0);
        clen[8] = 1;  // a lone one-bit code: bit 0 is length 8, bit 1 is the filler
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, clen, {{8, 0}, {8, 0}});
        w.Bits(1, 1);
        w.Bits(0, 16);
        cases.push_back({"filler of a lone one-bit code-length code", w.Finish(), 1, ""});
    }
    {
        std::vector<int> clen(19, 0);
        clen[0] = clen[1] = clen[18] = 1;
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, clen, {});
        cases.push_back({"over-full code-length code", w.Finish(), 2, ""});
    }
    {
        std::vector<int> clen(19, 0);
        clen[0] = clen[1] = clen[18] = 2;
        StreamWriter w;
        RawDynamic(&w, true, 257, 1, clen, {});
        cases.push_back({"incomplete code-length code", w.Finish(), 1, ""});
    }
    // Literal/length: 'a' 1 bit, end 2 bits, length 3 (257) 2 bits.
    std::vector<int> lit = Lengths(258, {{'a', 1}, {256, 2}, {257, 2}});
    cases.push_back({"one-bit distance code", DynamicBlock(lit, {1}, {{0, 'a'}, {0, 257}, {1, 0}, {0, 256}}),
                     0, "aaaa"});
    cases.push_back({"filler of a one-bit distance code",
                     DynamicBlock(lit, {1}, {{0, 'a'}, {0, 257}, {2, 1}, {0, 256}}), 1, ""});
    cases.push_back({"length code with no distance codes",
                     DynamicBlock(lit, {0}, {{0, 'a'}, {0, 257}, {1, 0}, {0, 256}}), 1, ""});
    cases.push_back({"literals only without distance codes",
                     DynamicBlock(lit, {0, 0, 0}, {{0, 'a'}, {0, 'a'}, {0, 256}}), 0, "aa"});
    cases.push_back({"incomplete literal/length code",
                     DynamicBlock(Lengths(257, {{'a', 1}, {256, 2}}), {1}, {{0, 'a'}, {0, 256}}),
                     1, ""});
    cases.push_back({"one-bit literal/length code",
                     DynamicBlock(Lengths(257, {{256, 1}}), {1}, {{0, 256}}), 0, ""});
    cases.push_back({"over-full literal/length code",
                     DynamicBlock(Lengths(257, {{'a', 1}, {'b', 1}, {256, 1}}), {1}, {}), 2, ""});
    cases.push_back({"over-full distance code",
                     DynamicBlock(lit, {1, 1, 1}, {{0, 'a'}, {0, 256}}), 2, ""});
    cases.push_back({"incomplete distance code",
                     DynamicBlock(lit, {1, 2}, {{0, 'a'}, {0, 256}}), 1, ""});
    for (unsigned sym : {286u, 287u}) {
        StreamWriter w;
        w.FixedHeader(true);
        w.FixedLiteral('x');
        w.FixedLiteral(sym);
        w.Bits(0, 16);
        cases.push_back({"fixed literal/length 286 or 287", w.Finish(), 1, ""});
    }
    for (unsigned sym : {30u, 31u}) {
        StreamWriter w;
        w.FixedHeader(true);
        w.FixedLiteral('x');
        w.FixedLiteral(257);
        w.FixedDistanceSymbol(sym);
        w.Bits(0, 16);
        cases.push_back({"fixed distance 30 or 31", w.Finish(), 1, ""});
    }
    // Distances that reach before the stream's first byte, whatever an earlier stream left in
    // the window: at the very start, one past the output so far (in the careful loop, behind
    // a stored block, and in the fast loop), 32768 before the window's first wrap (127 times,
    // the fast loop), and in a dynamic block.
    const unsigned tooFar[5] = {1, 2, 4, 2, 32768};
    for (int way = 0; way < 5; ++way) {
        StreamWriter w;
        if (way == 2) w.Stored("abc", false);
        w.FixedHeader(true);
        if (way == 1 || way == 3) w.FixedLiteral('a');
        for (int i = 0; i < (way == 4 ? 127 : 1); ++i)
            w.FixedMatch(way == 4 ? 258 : 3, tooFar[way]);
        for (int i = 0; i < (way == 3 ? 100 : 0); ++i) w.FixedLiteral('x');
        w.FixedLiteral(256);
        cases.push_back({"distance before the stream's first byte", w.Finish(), 1, ""});
    }
    cases.push_back({"dynamic distance before the stream's first byte",
                     DynamicBlock(lit, {1, 1}, {{0, 'a'}, {0, 257}, {1, 1}, {0, 256}}), 1, ""});
    {
        StreamWriter w;
        w.FixedHeader(false);
        w.FixedLiteral('a');
        w.FixedMatch(258, 1);
        w.FixedLiteral(256);
        w.Stored("xyz", false);
        w.FixedHeader(true);
        w.FixedLiteral(256);
        cases.push_back({"stored block between fixed blocks", w.Finish(), 0,
                         std::string(259, 'a') + "xyz"});
    }
    return cases;
}

class Broken : public ::testing::Test {
protected:
    void SetUp() override { FreshState(); }
    void TearDown() override { FreshState(); }
};

TEST_F(Broken, EachInvalidOrImpossibleStreamAnswersItsResult) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        Decoded m = InflateMemory(c.stream, 1000);
        EXPECT_EQ(c.result, m.result);
        EXPECT_EQ(c.out, m.out);
        Decoded f = InflateFile(c.stream);
        EXPECT_EQ(c.result, f.result);
        if (c.result == 0) {
            EXPECT_EQ(c.out, f.out);
        }
        // Whatever zlib accepts, it decodes alike; what we refuse, zlib refuses too.
        std::string z;
        bool taken = ZlibInflate(c.stream, &z);
        if (c.result != 0) {
            EXPECT_FALSE(taken);
        }
        if (taken) {
            EXPECT_EQ(0, c.result);
            EXPECT_EQ(c.out, z);
        }
    }
}

TEST_F(Broken, MemoryModeNeverWritesPastTheCallersBuffer) {
    std::string data = RandomBytes(70000, 5) + std::string(30000, 'q');
    std::string stream = RawDeflate(data, 6);
    struct Expect {
        size_t capacity;
        int result;
        size_t out;
    } cases[] = {
        {100000, 0, 100000}, {99999, 1, 98304}, {65536, 1, 65536}, {65535, 1, 32768},
        {32767, 1, 0},       {0, 1, 0},
    };
    for (const Expect& e : cases) {
        Decoded m = InflateMemory(stream, e.capacity);
        EXPECT_EQ(e.result, m.result) << e.capacity;
        EXPECT_EQ(e.out, m.out.size()) << e.capacity;
        EXPECT_TRUE(data.compare(0, m.out.size(), m.out) == 0) << e.capacity;
    }
}

// A fixed block whose input ends where the last byte, delivered again and again, codes the
// literal 0 without end: the stream stops as invalid instead of writing on.
TEST_F(Broken, StreamThatRunsOnPastItsInputStops) {
    StreamWriter w;
    w.FixedHeader(false);
    for (int i = 0; i < 5; ++i) w.FixedLiteral(200);
    w.FixedLiteral(0);
    std::string stream = w.Finish();
    ASSERT_EQ(0, (int)(w.BitLength() % 8));
    ASSERT_EQ('\x0C', stream.back());
    Decoded m = InflateMemory(stream, 1 << 20);
    EXPECT_EQ(1, m.result);
    EXPECT_EQ("", m.out);
    EXPECT_LE(state.inputOverrun, 16);
    Decoded f = InflateFile(stream, "", std::string(5000, '\x0C'));
    EXPECT_EQ(1, f.result);
    EXPECT_EQ((DWORD)stream.size(), f.taken);
}

// At a stream's end the decoder has read what a byte-at-a-time feed reads: the lookup of the
// final end-of-block code may look past the stream's last byte, but only as far as its
// width. The last byte delivered stays in inputByte.
TEST_F(Broken, InputLeftAtTheEndIsThatOfTheByteFeed) {
    std::string garbage = RandomBytes(3000, 77);
    struct Variant {
        const char* name;
        bool lookPast;  // the end-of-block lookup needs the byte after the stream
    } variants[] = {{"fixed end-of-block ends the byte", false},
                    {"one-bit end-of-block with 9-bit lookups", true}};
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        StreamWriter block;
        std::string out;
        if (!v.lookPast) {
            block.FixedHeader(true);
            for (int i = 0; i < 6; ++i) block.FixedLiteral(200 + i), out.push_back((char)(200 + i));
            block.FixedLiteral(256);
        } else {
            // end 1 bit, 'a' 2, 'b' 3, ... two codes of 9 bits: the first level is 9 bits wide.
            std::vector<int> lit = Lengths(257, {{256, 1}, {'a', 2}, {'b', 3}, {'c', 4}, {'d', 5},
                                                 {'e', 6}, {'f', 7}, {'g', 8}, {'h', 9}, {'i', 9}});
            WriteDynamicHeader(&block, true, lit, {0});
            std::vector<uint32_t> codes = CanonicalCodes(lit);
            block.Code(codes['b'], 3);
            out += "b";
            while ((block.BitLength() + 1) % 8) block.Code(codes['a'], 2), out += "a";
            block.Code(codes[256], 1);
        }
        ASSERT_EQ(0u, block.BitLength() % 8);
        std::string tail = block.Finish();
        StreamWriter head;
        std::string filler = RandomBytes(2048 - 5 - tail.size(), 8);
        head.Stored(filler, false);
        std::string stream = head.Finish() + tail;
        ASSERT_EQ(2048u, stream.size());

        Decoded f = InflateFile(stream + garbage);
        EXPECT_EQ(0, f.result);
        EXPECT_EQ(filler + out, f.out);
        EXPECT_EQ((unsigned char)(v.lookPast ? garbage[0] : stream.back()), state.inputByte);

        Decoded m = InflateMemory(stream + garbage, 1 << 16);
        EXPECT_EQ(0, m.result);
        EXPECT_EQ(filler + out, m.out);
        EXPECT_EQ((int)garbage.size() - (v.lookPast ? 1 : 0), state.inputCount);
        EXPECT_EQ((unsigned char)(v.lookPast ? garbage[0] : stream.back()), state.inputByte);
    }
}

std::vector<std::string> RealStreams() {
    std::string text = MachineBytes("/usr/share/common-licenses", 6000);
    std::string binary = MachineBytes("/usr/bin", 5000);
    return {RawDeflate(text, 9), RawDeflate(binary, 1), RawDeflate(text, 6, 4 /* fixed */),
            RawDeflate(text.substr(0, 300), 0)};
}

// Every prefix: the decoder ends, stays inside the output it may write and never reads past
// the range or the member.
TEST_F(Broken, EveryPrefixOfRealStreamsEnds) {
    for (const std::string& stream : RealStreams()) {
        for (size_t n = 0; n < stream.size(); ++n) {
            std::string prefix = stream.substr(0, n);
            Decoded m = InflateMemory(prefix, 64 << 10);
            EXPECT_LE(m.out.size(), 64u << 10);
            if (n % 97 == 0 || n + 3 > stream.size()) {
                Decoded f = InflateFile(prefix, "xx", "after the member");
                EXPECT_EQ((DWORD)n, f.taken) << n;
                EXPECT_EQ(m.result, f.result) << n;
            }
        }
    }
}

TEST_F(Broken, RandomDamageEndsAndAgreesWithZlibWhereItDecodes) {
    std::mt19937 rng(4242);
    int agreed = 0;
    for (const std::string& stream : RealStreams()) {
        for (int round = 0; round < 400; ++round) {
            std::string damaged = stream;
            int flips = 1 + (int)(rng() % 4);
            for (int i = 0; i < flips; ++i) damaged[rng() % damaged.size()] ^= (char)(1 << (rng() % 8));
            Decoded m = InflateMemory(damaged, 256 << 10);
            std::string z;
            if (ZlibInflate(damaged, &z, 256 << 10)) {
                // zlib refuses distances before the stream's start; where it accepts, both agree.
                EXPECT_EQ(0, m.result) << round;
                EXPECT_TRUE(z == m.out) << round;
                ++agreed;
            }
        }
    }
    EXPECT_GT(agreed, 0);
}

}  // namespace
