// The decoder against zlib on real files of this machine: every level and strategy, the
// output sizes around the stage and window boundaries, several MiB, stored blocks after coded
// ones, and hand-built streams with copies across the window's end. Memory mode and file mode.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"

namespace {

const std::string& Text() {
    static const std::string text = [] {
        std::string s = MachineBytes("/usr/share/common-licenses", 200000);
        if (s.size() < 200000) s += MachineBytes("/usr/share/doc", 200000 - s.size());
        return s;
    }();
    return text;
}

const std::string& Binary() {
    static const std::string binary = MachineBytes("/usr/bin", 200000);
    return binary;
}

class AgainstZlib : public ::testing::Test {
protected:
    void SetUp() override { FreshState(); }
    void TearDown() override { FreshState(); }

    // Both modes decode `stream` to `data` with result 0, reading the member exactly.
    void ExpectDecodes(const std::string& data, const std::string& stream) {
        std::string reference;
        ASSERT_TRUE(ZlibInflate(stream, &reference));
        ASSERT_EQ(data.size(), reference.size());
        ASSERT_TRUE(data == reference);

        Decoded m = InflateMemory(stream, data.size());
        EXPECT_EQ(0, m.result);
        EXPECT_EQ(data.size(), m.out.size());
        EXPECT_TRUE(data == m.out) << "memory mode differs";

        Decoded f = InflateFile(stream, "head", "tail bytes after the member");
        EXPECT_EQ(0, f.result);
        EXPECT_EQ(data.size(), f.out.size());
        EXPECT_TRUE(data == f.out) << "file mode differs";
        EXPECT_EQ(ZlibCrc(data), f.crc);
        EXPECT_EQ((DWORD)stream.size(), f.taken);
        // The meter counts the member's whole 2048-byte steps.
        EXPECT_EQ((DWORD)data.size() & ~2047u, f.meterBytes);
    }
};

TEST_F(AgainstZlib, EveryLevelAndStrategy) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    ASSERT_GE(Text().size(), 100000u);
    ASSERT_GE(Binary().size(), 100000u);
    for (const std::string* data : {&Text(), &Binary()}) {
        for (int level = 0; level <= 9; ++level) {
            for (int strategy : strategies) {
                SCOPED_TRACE(::testing::Message() << "level " << level << " strategy " << strategy
                                                  << (data == &Text() ? " text" : " binary"));
                ExpectDecodes(*data, RawDeflate(*data, level, strategy));
            }
        }
    }
}

TEST_F(AgainstZlib, OutputSizesAroundStageAndWindow) {
    const size_t sizes[] = {0, 1, 2047, 2048, 2049, 32767, 32768, 32769, 65536, 65537, 100000};
    for (size_t size : sizes) {
        std::string text = Text().substr(0, size), random = RandomBytes(size, (uint32_t)size);
        std::string zeros(size, '\0');
        for (const std::string* data : {&text, &random, &zeros}) {
            for (int level : {0, 1, 6, 9}) {
                SCOPED_TRACE(::testing::Message() << "size " << size << " level " << level);
                ExpectDecodes(*data, RawDeflate(*data, level));
            }
        }
    }
}

TEST_F(AgainstZlib, SeveralMebibytes) {
    std::string data = MachineBytes("/usr/bin", 4 << 20) + MachineBytes("/usr/share", 2 << 20);
    ASSERT_GE(data.size(), 3u << 20);
    for (int level : {1, 9}) {
        SCOPED_TRACE(level);
        ExpectDecodes(data, RawDeflate(data, level));
    }
}

// Flushes and level changes in mid-stream put stored blocks (often empty ones) right after
// blocks with codes, where the stored block's alignment meets bytes already looked at.
TEST_F(AgainstZlib, StoredBlocksAfterCodedBlocks) {
    const int flushes[] = {Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK, Z_NO_FLUSH};
    const std::string all = Text().substr(0, 60000) + Binary().substr(0, 60000);
    for (int step : {1, 7, 100, 777, 5000}) {
        std::string data = step < 100 ? all.substr(50000, 12000) : all;
        z_stream z{};
        ASSERT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY));
        std::string stream(deflateBound(&z, data.size()) * 2 + (data.size() / step + 1) * 16, 0);
        z.next_out = (Bytef*)&stream[0];
        z.avail_out = (uInt)stream.size();
        size_t at = 0;
        int round = 0;
        while (at < data.size()) {
            size_t n = std::min((size_t)step, data.size() - at);
            z.next_in = (Bytef*)&data[at];
            z.avail_in = (uInt)n;
            at += n;
            ++round;
            if (round % 13 == 0) {
                // A new level makes zlib end the block; level 0 then stores.
                ASSERT_EQ(Z_OK, deflateParams(&z, (round / 13) % 2 ? 0 : 9, Z_DEFAULT_STRATEGY));
            }
            ASSERT_NE(Z_STREAM_ERROR, deflate(&z, at == data.size() ? Z_FINISH
                                                                    : flushes[round % 5]));
        }
        stream.resize(z.total_out);
        deflateEnd(&z);
        SCOPED_TRACE(step);
        ExpectDecodes(data, stream);
    }
}

// Fixed-code blocks built token by token: copies whose source or destination crosses the
// window's end, distances up to 32768, length 258 at distance 1.
TEST_F(AgainstZlib, CopiesAcrossTheWindowEnd) {
    std::mt19937 rng(99);
    for (int round = 0; round < 6; ++round) {
        StreamWriter w;
        std::string expected;
        int blocks = 3;
        for (int b = 0; b < blocks; ++b) {
            w.FixedHeader(b == blocks - 1);
            while (expected.size() < (size_t)(b + 1) * 70000) {
                unsigned kind = rng() % 8;
                if (expected.size() < 300 || kind < 3) {
                    unsigned char c = (unsigned char)(rng() % 4 ? 'a' + rng() % 26 : rng());
                    w.FixedLiteral(c);
                    expected.push_back((char)c);
                    continue;
                }
                unsigned limit = (unsigned)std::min<size_t>(32768, expected.size());
                unsigned distance;
                switch (kind) {
                    case 3: distance = limit; break;
                    case 4: distance = 1 + rng() % 8; break;
                    case 5: distance = limit - rng() % 300 % limit; break;
                    default: distance = 1 + rng() % limit; break;
                }
                unsigned length = rng() % 3 ? 3 + rng() % 256 : 258;
                w.FixedMatch(length, distance);
                for (unsigned i = 0; i < length; ++i)
                    expected.push_back(expected[expected.size() - distance]);
            }
            w.FixedLiteral(256);
        }
        SCOPED_TRACE(round);
        ExpectDecodes(expected, w.Finish());
    }
}

}  // namespace
