// The decoder's input feed and window flush: the end of a member and of a memory range,
// failed reads, the writes of the window and the memory-mode bound.
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
        state.readLeft = 0;
        standin::Reset();
    }

    ScratchDir dir_;
    std::string path_;
};

// The feed delivers exactly the member's bytes, whatever the reads bring, and what follows
// the member is left for the walker.
TEST_F(Feed, MemberEndsAtItsSizeAndTheRestStaysForTheWalk) {
    for (DWORD size : {5000u, 65535u, 65536u, 65537u, 140000u, 1u, 0u}) {
        SCOPED_TRACE(size);
        std::string data = RandomBytes(size + 100, size);  // more in the file than the member
        OpenMember(data, size);
        std::string got;
        unsigned short cell = 0;
        while (NextInputByte(&cell) == 8) got.push_back((char)cell);
        EXPECT_EQ(data.substr(0, size), got);
        // Further requests answer 0, and the cell keeps the last byte.
        unsigned short before = cell;
        EXPECT_EQ(0, NextInputByte(&cell));
        EXPECT_EQ(0, NextInputByte(&cell));
        EXPECT_EQ(before, cell);
        EXPECT_EQ(0, state.inputCount);
        EXPECT_EQ(0u, ReadLe32(state.localHeader + ENTRY_PACKED));
        char next[100];
        ReadArchive(next, sizeof next);
        EXPECT_EQ(data.substr(size), std::string(next, sizeof next));
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
    OpenMember(RandomBytes(70000, 1), 70000);
    standin::FailRead(2);
    unsigned short cell;
    int delivered = 0;
    if (ARM_CHECKPOINT() == 0) {
        while (NextInputByte(&cell)) ++delivered;
        FAIL() << "no abort";
    }
    EXPECT_EQ(READ_CHUNK, delivered);
    ASSERT_EQ(1u, standin::MessageBoxes().size());
    EXPECT_NE(std::string::npos, standin::MessageBoxes()[0].text.find("C:\\setup\\sfx.exe"));
    EXPECT_EQ(0u, standin::MessageBoxes()[0].text.find("Fehler beim Lesen von")) << standin::MessageBoxes()[0].text;
}

// Window flushes reach the file in order, with the CRC over what was written; the meter
// counts only the member's whole 2048-byte steps.
TEST_F(Feed, WindowFlushesWriteTheFile) {
    std::string out = dir_.File("out");
    state.outputFile = _lcreat(out.c_str(), 0);
    std::string window = RandomBytes(WINDOW_SIZE, 3);
    memcpy(state.window, window.data(), WINDOW_SIZE);
    state.crc = 0xFFFFFFFF;
    EXPECT_EQ(0, FlushWindow(1000));
    EXPECT_EQ(0u, state.bytesDone);
    EXPECT_EQ(0, FlushWindow(WINDOW_SIZE));
    EXPECT_EQ(32768u, state.bytesDone);
    EXPECT_EQ(0, FlushWindow(1100));
    EXPECT_EQ(34816u, state.bytesDone);
    _lclose(state.outputFile);
    state.outputFile = 0;
    std::string written = ReadFileBytes(out);
    EXPECT_EQ(window.substr(0, 1000) + window + window.substr(0, 1100), written);
    EXPECT_EQ(ZlibCrc(written), ~state.crc);
}

TEST_F(Feed, MemoryModeFlushStaysInsideTheCallersBuffer) {
    std::string window = RandomBytes(WINDOW_SIZE, 4);
    memcpy(state.window, window.data(), WINDOW_SIZE);
    std::vector<unsigned char> buffer(5000, 0xEE);
    state.memoryMode = 1;
    state.outputPtr = buffer.data();
    state.outputLimit = buffer.data() + buffer.size();
    EXPECT_EQ(0, FlushWindow(3000));
    EXPECT_EQ(0, memcmp(buffer.data(), window.data(), 3000));
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
