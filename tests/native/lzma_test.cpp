// The LZMA codec's parts against liblzma: the x86 branch converter.
#include <gtest/gtest.h>
#include <lzma.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "lzma/x86.h"

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
Bytes Dense(size_t n, unsigned seed) {
    std::mt19937 random(seed);
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
        Bytes expected = LiblzmaX86(c.data);
        ASSERT_EQ(c.data.size(), expected.size()) << c.what;
        for (size_t piece : {(size_t)1 << 30, (size_t)65536, (size_t)4099, (size_t)5, (size_t)1}) {
            Bytes encoded = Ours(c.data, piece, true);
            ASSERT_TRUE(encoded == expected) << c.what << " in pieces of " << piece;
            ASSERT_TRUE(Ours(encoded, piece, false) == c.data) << c.what << " back, pieces of " << piece;
        }
    }
}

}  // namespace
