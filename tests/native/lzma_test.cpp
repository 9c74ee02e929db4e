// The LZMA codec's parts against liblzma: the x86 branch converter; the decoder, on streams
// that liblzma encodes over the properties, window sizes and kinds of data, decoded byte for
// byte, and on damaged, truncated, over-long and lying streams, which end as damage without a
// byte read or written outside the decoder's buffers (ASan watches).
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lzma/lzma.h"
#include "lzma/x86.h"
#include "posix/standin.h"
#include "tests/support/fresh_state.h"
#include "tests/support/lzma_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// liblzma's x86 filter output: compressed through the filter and LZMA1, decompressed through
// LZMA1 alone.
Bytes LiblzmaX86(const Bytes& in) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    lzma_filter both[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_filter lzmaOnly[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    auto run = [](lzma_filter* filters, bool encode, const Bytes& from, size_t room) {
        lzma_stream s = LZMA_STREAM_INIT;
        EXPECT_EQ(LZMA_OK, encode ? lzma_raw_encoder(&s, filters) : lzma_raw_decoder(&s, filters));
        Bytes out(room);
        s.next_in = from.data(), s.avail_in = from.size();
        s.next_out = out.data(), s.avail_out = out.size();
        lzma_ret ret = lzma_code(&s, encode ? LZMA_FINISH : LZMA_RUN);
        EXPECT_TRUE(ret == LZMA_STREAM_END || (!encode && ret == LZMA_OK));
        out.resize(out.size() - s.avail_out);
        lzma_end(&s);
        return out;
    };
    Bytes packed = run(both, true, in, in.size() * 2 + 65536);
    return run(lzmaOnly, false, packed, in.size());
}

// Ours, offered in pieces of `piece` bytes: what a call leaves unconverted goes again in front
// of the next piece, and the tail stays as it is.
Bytes Ours(Bytes data, size_t piece, bool encoding) {
    X86State s = {0, 0};
    size_t done = 0;
    for (;;) {
        size_t end = std::min(data.size(), done + std::max(piece, (size_t)5));
        DWORD final = ConvertX86(&s, data.data() + done, (DWORD)(end - done), encoding);
        EXPECT_LE(end - done - final, 4u);
        EXPECT_EQ(done + final, s.position);
        done += final;
        if (end == data.size() && (final == 0 || done == end)) break;
    }
    return data;
}

Bytes FileHead(const char* path, size_t most) {
    std::ifstream f(path, std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() > most) b.resize(most);
    return b;
}

// Random bytes dense with E8/E9 and near operands, so that every history arises.
Bytes Dense(size_t n, unsigned start) {
    std::mt19937 random(start);
    Bytes b(n);
    for (auto& c : b) {
        unsigned r = random() % 8;
        c = r < 3 ? (unsigned char)(0xE8 + (random() & 1)) : r < 6 ? (unsigned char)(r & 1 ? 0 : 0xFF) : (unsigned char)random();
    }
    return b;
}

TEST(X86Converter, MatchesLiblzmaAndComesBackInAnyPieces) {
    struct Case {
        const char* what;
        Bytes data;
    } cases[] = {
        {"a Windows DLL", FileHead("/usr/lib/i386-linux-gnu/wine/i386-windows/shell32.dll", 1 << 20)},
        {"an ELF library", FileHead("/usr/lib/i386-linux-gnu/libc.so.6", 256 << 10)},
        {"dense opcodes", Dense(200000, 7)},
        {"dense opcodes, short", Dense(37, 8)},
        {"shorter than an instruction", Bytes{0xE8, 0, 0, 0}},
        {"one call at the end", Bytes{0x90, 0xE8, 1, 2, 3, 0}},
        {"empty", Bytes{}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.data.size() > 0 || std::string(c.what) == "empty") << c.what;
        // The smallest pieces go through the first 64 KiB: call by call, that is enough to meet
        // every state the converter keeps between calls.
        const Bytes head(c.data.begin(), c.data.begin() + std::min(c.data.size(), (size_t)65536));
        const Bytes expected = LiblzmaX86(c.data), expectedHead = LiblzmaX86(head);
        ASSERT_EQ(c.data.size(), expected.size()) << c.what;
        for (size_t piece : {(size_t)1 << 30, (size_t)65536, (size_t)4099, (size_t)5, (size_t)1}) {
            const Bytes& in = piece > 5 ? c.data : head;
            Bytes encoded = Ours(in, piece, true);
            ASSERT_TRUE(encoded == (piece > 5 ? expected : expectedHead)) << c.what << " in pieces of " << piece;
            ASSERT_TRUE(Ours(encoded, piece, false) == in) << c.what << " back, pieces of " << piece;
        }
    }
}

}  // namespace

namespace {

class LzmaTest : public ::testing::Test {
  protected:
    void SetUp() override { FreshState(); }
    void TearDown() override { FreshState(); }
};

const char* const kDlls = "/usr/lib/i386-linux-gnu/wine/i386-windows";

// Long runs of a few bytes with short literal stretches between them: matches of every
// length, the longest ones most often, and distance 1.
std::string Runs(size_t n) {
    std::string s;
    uint32_t x = 12345;
    while (s.size() < n) {
        x = x * 1103515245 + 12345;
        size_t run = (x >> 8) % 700 + 1;
        s.append(run, (char)("ab\0\xff"[(x >> 20) & 3]));
        s += RandomBytes((x >> 12) % 5, x);
    }
    s.resize(n);
    return s;
}

// Random 4 KiB, then stretches of 100 bytes copied from 1000 or from 4096 bytes back, each
// after a random byte: matches that reach back to the oldest bytes of a 4 KiB window, right
// after matches that end just before those bytes.
std::string Repeats(size_t n) {
    std::string s = RandomBytes(4096, 3), noise = RandomBytes(n, 4);
    for (size_t k = 0; s.size() < n; ++k) {
        size_t back = (noise[k] & 1) ? 1000 : 4096;
        for (int i = 0; i < 100; ++i) s += s[s.size() - back];
        s += noise[k + 1];
    }
    s.resize(n);
    return s;
}

std::string Text(size_t n) { return MachineBytes("/usr/include/c++", n); }
std::string Code(size_t n) { return MachineBytes(kDlls, n); }
std::string Random(size_t n) { return RandomBytes(n, 7); }

struct Row {
    const char* name;
    std::function<std::string(size_t)> data;
    size_t size;
    LzmaShape shape;
};

LzmaShape Shape(unsigned lc, unsigned lp, unsigned pb, uint32_t dict, bool marker) {
    LzmaShape s;
    s.lc = lc, s.lp = lp, s.pb = pb, s.dict = dict, s.endMarker = marker;
    return s;
}

TEST_F(LzmaTest, StreamsOfLiblzmaDecodeByteForByte) {
    const Row rows[] = {
        {"empty", Text, 0, Shape(3, 0, 2, 1 << 16, false)},
        {"empty with the end marker", Text, 0, Shape(3, 0, 2, 1 << 16, true)},
        {"one byte", Random, 1, Shape(3, 0, 2, 1 << 16, false)},
        {"text, lc 0 lp 4 pb 4", Text, 300000, Shape(0, 4, 4, 1 << 16, false)},
        {"text, lc 4 pb 0, end marker", Text, 300000, Shape(4, 0, 0, 1 << 16, true)},
        {"code, lc 1 lp 3 pb 1", Code, 400000, Shape(1, 3, 1, 1 << 20, false)},
        {"code, lc 2 lp 2 pb 3, end marker", Code, 400000, Shape(2, 2, 3, 1 << 20, true)},
        {"code, 1 MiB through a 64 KiB window", Code, 1 << 20, Shape(3, 0, 2, 1 << 16, false)},
        {"random bytes", Random, 100000, Shape(3, 0, 2, 1 << 16, true)},
        {"runs, 4 KiB window, end marker", Runs, 200000, Shape(3, 0, 2, 4096, true)},
        {"runs up to one byte short of a 4 KiB window", Runs, 4095, Shape(3, 0, 2, 4096, false)},
        {"runs filling a 4 KiB window exactly", Runs, 4096, Shape(3, 0, 2, 4096, true)},
        {"runs one byte past a 4 KiB window", Runs, 4097, Shape(3, 0, 2, 4096, false)},
        {"runs a longest match past a 4 KiB window", Runs, 4096 + 273, Shape(3, 0, 2, 4096, true)},
        {"runs past the longest match behind the window", Runs, 4096 + 300,
         Shape(3, 0, 2, 4096, false)},
        {"copies from the window's oldest bytes after nearer ones", Repeats, 50000,
         Shape(3, 0, 2, 4096, false)},
        {"code through an odd window size, pb 4", Code, 60000, Shape(3, 0, 4, 5001, false)},
        {"text through an odd window size, lp 3, end marker", Text, 60000,
         Shape(0, 3, 0, 4099, true)},
        {"code, a window larger than the stream", Code, 50000, Shape(3, 0, 2, 1 << 24, true)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string data = r.data(r.size);
        ASSERT_EQ(r.size, data.size());
        LzmaStream s = LzmaEncode(data, r.shape);
        Decoded d =
            LzmaDecodeFile(s.packed, s.props, data.size(), "trailing bytes outside the member");
        EXPECT_EQ(LZMA_DONE, d.result);
        EXPECT_TRUE(d.out == data)
            << "decoded " << d.out.size() << " of " << data.size() << " bytes";
        EXPECT_EQ(s.packed.size(), d.taken);
        EXPECT_EQ(ZlibCrc(data), d.crc);
        EXPECT_GE(LzmaMemoryNeed(s.props, data.size()),
                  std::min<size_t>(data.size(), r.shape.dict));
    }
}

struct Damage {
    const char* name;
    std::string packed;
    unsigned char props[5];
    uint64_t size;
    int result;
};

LzmaStream With(const std::string& packed, const unsigned char* props) {
    LzmaStream s{packed, {}};
    std::copy(props, props + 5, s.props);
    return s;
}

Damage Make(const char* name, const LzmaStream& s, uint64_t size, int result = LZMA_BAD_DATA) {
    Damage d{name, s.packed, {}, size, result};
    std::copy(s.props, s.props + 5, d.props);
    return d;
}

TEST_F(LzmaTest, DamagedAndLyingStreamsAreRefused) {
    const std::string text = Text(50000), code = Code(200000);
    const LzmaStream plain = LzmaEncode(text),
                     marked = LzmaEncode(text, Shape(3, 0, 2, 1 << 20, true));
    const LzmaStream far = LzmaEncode(code, Shape(3, 0, 2, 1 << 20, false));
    LzmaShape withDict;
    withDict.presetDict = &text;
    const LzmaStream before = LzmaEncode(text.substr(0, 20000), withDict);
    const std::string as(100, 'a');
    withDict.presetDict = &as;
    const LzmaStream repeatFirst = LzmaEncode(as + text.substr(0, 1000), withDict);
    const unsigned char outOfRange[5] = {225, 0, 0, 1, 0}, small[5] = {far.props[0], 0, 16, 0, 0},
                        huge[5] = {plain.props[0], 0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<Damage> rows = {
        Make("no input", With("", plain.props), 10),
        Make("only the coder's first bytes", With(plain.packed.substr(0, 5), plain.props),
             text.size()),
        Make("last byte missing",
             With(plain.packed.substr(0, plain.packed.size() - 1), plain.props), text.size()),
        Make("half missing", With(plain.packed.substr(0, plain.packed.size() / 2), plain.props),
             text.size()),
        Make("end marker's last byte missing",
             With(marked.packed.substr(0, marked.packed.size() - 1), marked.props), text.size()),
        Make("a byte after the stream", With(plain.packed + "x", plain.props), text.size()),
        Make("a byte after the end marker",
             With(marked.packed + std::string(1, '\0'), marked.props), text.size()),
        Make("declared one byte short", plain, text.size() - 1),
        Make("declared one byte short, end marker", marked, text.size() - 1),
        Make("declared one byte long", plain, text.size() + 1),
        Make("declared one byte long, end marker", marked, text.size() + 1),
        Make("declared far beyond 4 GiB", plain, 0x123456789ull),
        Make("coder's first byte not zero", With("\x01" + plain.packed.substr(1), plain.props),
             text.size()),
        Make("properties byte out of range", With(plain.packed, outOfRange), text.size()),
        Make("distances before the stream's start", before, 20000),
        Make("a repeated distance at the stream's start", repeatFirst, 1100),
        Make("distances beyond the declared window", With(far.packed, small), code.size()),
        Make("a window the memory cannot hold", With(plain.packed, huge), 0x100000000ull,
             LZMA_NO_MEMORY),
    };
    Damage flipped = Make("the last byte changed", plain, text.size());
    flipped.packed.back() ^= 1;
    rows.push_back(flipped);
    for (const Damage& r : rows) {
        SCOPED_TRACE(r.name);
        Decoded d = LzmaDecodeFile(r.packed, r.props, r.size);
        EXPECT_EQ(r.result, d.result);
        EXPECT_LE(d.out.size(), std::min<uint64_t>(r.size, 1 << 22));
    }
}

// What liblzma decodes of the first `n` packed bytes: the bytes that the prefix decides.
size_t TrueBytes(const LzmaStream& s, size_t n, size_t size) {
    lzma_filter filter = {LZMA_FILTER_LZMA1, nullptr};
    EXPECT_EQ(LZMA_OK, lzma_properties_decode(&filter, nullptr, s.props, 5));
    lzma_filter chain[] = {filter, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream z = LZMA_STREAM_INIT;
    EXPECT_EQ(LZMA_OK, lzma_raw_decoder(&z, chain));
    std::string out(size, '\0');
    z.next_in = (const uint8_t*)s.packed.data(), z.avail_in = n;
    z.next_out = (uint8_t*)&out[0], z.avail_out = size;
    lzma_code(&z, LZMA_RUN);
    size_t made = size - z.avail_out;
    lzma_end(&z);
    free(filter.options);
    return made;
}

// Every prefix of a stream is refused, and the sink has had every byte that the prefix
// decides (so that the member where the stream was cut is the one that fails its check);
// every single damaged byte ends with a result, never with more output than declared, and
// LZMA_DONE only with the whole output.
TEST_F(LzmaTest, PrefixesAndChangedBytesStayInBounds) {
    const std::string data = Code(6000) + Runs(3000);
    for (bool marker : {false, true}) {
        LzmaStream s = LzmaEncode(data, Shape(3, 0, 2, 4096, marker));
        for (size_t n = 0; n < s.packed.size(); ++n) {
            Decoded d = LzmaDecodeFile(s.packed.substr(0, n), s.props, data.size());
            ASSERT_EQ(LZMA_BAD_DATA, d.result) << n << " of " << s.packed.size() << " bytes";
            ASSERT_LE(d.out.size(), data.size());
            size_t decided = std::min(TrueBytes(s, n, data.size()), d.out.size());
            // liblzma hands out a match's bytes as they come, ours the whole symbol (at most 273)
            ASSERT_GE(d.out.size() + 273, TrueBytes(s, n, data.size())) << n << " packed bytes";
            ASSERT_EQ(0, data.compare(0, decided, d.out, 0, decided)) << n << " packed bytes";
        }
        for (size_t i = 0; i < s.packed.size(); ++i) {
            std::string damaged = s.packed;
            damaged[i] ^= (char)(1 << (i % 8));
            Decoded d = LzmaDecodeFile(damaged, s.props, data.size());
            ASSERT_LE(d.out.size(), data.size()) << "byte " << i;
            if (d.result == LZMA_DONE) {
                ASSERT_EQ(data.size(), d.out.size()) << "byte " << i;
            }
        }
    }
}

// The window and tables are allocated once and grown when a stream needs more; a failed
// allocation answers LZMA_NO_MEMORY and the next stream still decodes.
TEST_F(LzmaTest, MemoryIsReusedAndItsFailureReported) {
    const std::string data = Runs(4 << 20);  // a window larger than any other test's
    LzmaStream small = LzmaEncode(data, Shape(0, 0, 0, 1 << 16, false));
    LzmaStream large = LzmaEncode(data, Shape(4, 0, 2, 1 << 22, false));
    EXPECT_LT(LzmaMemoryNeed(small.props, data.size()), LzmaMemoryNeed(large.props, data.size()));
    ASSERT_EQ(LZMA_DONE, LzmaDecodeFile(small.packed, small.props, data.size()).result);
    standin::FailAllocation(1);
    EXPECT_EQ(LZMA_NO_MEMORY, LzmaDecodeFile(large.packed, large.props, data.size()).result);
    standin::FailAllocation(1);
    Decoded again = LzmaDecodeFile(large.packed, large.props, data.size());
    EXPECT_EQ(LZMA_NO_MEMORY, again.result) << "the failed allocation was not retried";
    standin::FailAllocation(0);
    again = LzmaDecodeFile(large.packed, large.props, data.size());
    EXPECT_EQ(LZMA_DONE, again.result);
    EXPECT_TRUE(again.out == data);
    standin::FailAllocation(1);
    EXPECT_EQ(LZMA_DONE, LzmaDecodeFile(small.packed, small.props, data.size()).result)
        << "a smaller stream needs no new allocation";
    standin::FailAllocation(0);
}

}  // namespace
