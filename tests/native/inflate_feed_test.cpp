// The decoder's input feed and window flush: piece sizes of the reads, the end of a memory
// range, short reads, the 2048-byte output stage and the memory-mode bound.
#include <gtest/gtest.h>

#include "tests/support/fresh_state.h"
#include "tests/support/inflate_support.h"

namespace {

class Feed : public ::testing::Test {
protected:
    void SetUp() override {
        FreshState();
        AllocateDecoderBuffers();
    }
    void TearDown() override {
        if (state.archiveFile) _lclose(state.archiveFile);
        state.archiveFile = 0;
        FreshState();
    }

    // Opens a file of `data` as the archive, positioned at its start, with the member's
    // compressed size set to `size`.
    void OpenMember(const std::string& data, DWORD size) {
        path_ = dir_.File("member");
        WriteFileBytes(path_, data);
        state.archiveFile = _lopen(path_.c_str(), OF_READ);
        ASSERT_NE(HFILE_ERROR, state.archiveFile);
        WriteLe32(state.localHeader + ENTRY_PACKED, size);
        state.inputCount = 0;
        standin::Reset();
    }

    ScratchDir dir_;
    std::string path_;
};

TEST_F(Feed, MemberIsReadInPiecesOfAtMost2048) {
    struct Case {
        DWORD size;
        std::vector<UINT> reads;
    } cases[] = {
        {5000, {2048, 2048, 904}},
        {2048, {2048}},
        {2049, {2048, 1}},
        {1, {1}},
        {0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string data = RandomBytes(c.size + 100, c.size);  // more in the file than the member
        OpenMember(data, c.size);
        std::string got;
        unsigned short cell = 0;
        while (NextInputByte(&cell) == 8) got.push_back((char)cell);
        EXPECT_EQ(data.substr(0, c.size), got);
        EXPECT_EQ(c.reads, standin::ReadSizes());
        // Further requests answer 0 without reading, and the cell keeps the last byte.
        unsigned short before = cell;
        EXPECT_EQ(0, NextInputByte(&cell));
        EXPECT_EQ(0, NextInputByte(&cell));
        EXPECT_EQ(before, cell);
        EXPECT_EQ(c.reads.size(), standin::ReadSizes().size());
        EXPECT_EQ(0, state.inputCount);
        EXPECT_EQ(0u, ReadLe32(state.localHeader + ENTRY_PACKED));
        EXPECT_EQ((LONG)c.size, _llseek(state.archiveFile, 0, 1));
        _lclose(state.archiveFile);
        state.archiveFile = 0;
    }
}

TEST_F(Feed, MemoryRangeEndsAfterItsLastByte) {
    std::string data = RandomBytes(81, 7);
    state.inputPtr = (unsigned char*)&data[0];
    state.inputCount = 81;
    unsigned short cell = 0xABCD;
    for (int i = 0; i < 81; ++i) {
        ASSERT_EQ(8, NextInputByte(&cell));
        EXPECT_EQ((unsigned char)data[i], cell);
    }
    EXPECT_EQ(0, NextInputByte(&cell));
    EXPECT_EQ((unsigned char)data[80], cell);
    EXPECT_EQ(0, state.inputCount);
    EXPECT_EQ(0, standin::ReadCalls());
}

TEST_F(Feed, ShortReadReportsTheOwnFile) {
    FreshState();
    LoadMessages();
    state.messageBuffer = (char*)GlobalLock(GlobalAlloc(GHND, MESSAGE_BUFFER_BYTES));
    lstrcpyA(state.selfPath, "C:\\setup\\sfx.exe");
    OpenMember(RandomBytes(5000, 1), 5000);
    standin::FailRead(2);
    unsigned short cell;
    int delivered = 0;
    if (ARM_CHECKPOINT() == 0) {
        while (NextInputByte(&cell)) ++delivered;
        FAIL() << "no abort";
    }
    EXPECT_EQ(2048, delivered);
    ASSERT_EQ(1u, standin::MessageBoxes().size());
    EXPECT_NE(std::string::npos, standin::MessageBoxes()[0].text.find("C:\\setup\\sfx.exe"));
    EXPECT_EQ(0u, standin::MessageBoxes()[0].text.find("Fehler beim Lesen von")) << standin::MessageBoxes()[0].text;
}

// The window goes out in pieces that fill the 2048-byte stage; each full stage is one write.
TEST_F(Feed, WindowFlushFillsTheOutputStage) {
    std::string out = dir_.File("out");
    state.outputFile = _lcreat(out.c_str(), 0);
    std::string window = RandomBytes(WINDOW_SIZE, 3);
    memcpy(state.window, window.data(), WINDOW_SIZE);
    memset(state.outputBuffer, 'x', 1000);
    state.outputPtr = state.outputBuffer + 1000;
    state.outputCount = 1000;
    state.crc = 0xFFFFFFFF;
    EXPECT_EQ(0, FlushWindow(WINDOW_SIZE));
    EXPECT_EQ(std::vector<UINT>(16, 2048), standin::WriteSizes());
    EXPECT_EQ(1000, state.outputCount);
    EXPECT_EQ(state.outputBuffer + 1000, state.outputPtr);
    EXPECT_EQ(0, memcmp(state.outputBuffer, window.data() + WINDOW_SIZE - 1000, 1000));
    _lclose(state.outputFile);
    state.outputFile = 0;
    std::string written = ReadFileBytes(out);
    EXPECT_EQ(std::string(1000, 'x') + window.substr(0, WINDOW_SIZE - 1000), written);
    EXPECT_EQ(ZlibCrc(written), ~state.crc);
    EXPECT_EQ((DWORD)written.size(), state.bytesDone);
}

TEST_F(Feed, MemoryModeFlushStaysInsideTheCallersBuffer) {
    std::string window = RandomBytes(WINDOW_SIZE, 4);
    memcpy(state.window, window.data(), WINDOW_SIZE);
    std::vector<unsigned char> buffer(5000, 0xEE);
    state.memoryMode = 1;
    state.outputPtr = buffer.data();
    state.outputLimit = buffer.data() + buffer.size();
    state.outputCount = 2000;
    EXPECT_EQ(0, FlushWindow(3000));
    EXPECT_EQ(0, memcmp(buffer.data(), window.data(), 3000));
    EXPECT_EQ(904, state.outputCount);  // the sink reset the count twice
    // 2000 bytes are left: 2001 do not fit and nothing of them is written.
    EXPECT_EQ(1, FlushWindow(2001));
    EXPECT_EQ(buffer.data() + 3000, state.outputPtr);
    EXPECT_EQ(0xEE, buffer[3000]);
    EXPECT_EQ(0, FlushWindow(2000));
    EXPECT_EQ(buffer.data() + 5000, state.outputPtr);
    EXPECT_EQ(0, FlushWindow(0));
    EXPECT_EQ(1, FlushWindow(1));
    EXPECT_EQ(0, standin::WriteSizes().size());
}

}  // namespace
