// Solid-form archives for the tests and the fuzz target: a small 7z writer over liblzma's raw
// LZMA encoder and x86 filter, in the shapes the builder writes, with knobs that make the
// faults a hostile file may hold.
#pragma once
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace solidcraft {

const uint64_t kFileTime = 0x01D9A2B3C4D5E6F0ull;  // some day in 2023, 100 ns since 1601

struct File {
    std::string name;   // UTF-8; stored as UTF-16
    std::string data;   // after `zeros` zero bytes
    bool folder = false;
    bool program = false;  // goes into the x86 folder
    uint64_t mtime = kFileTime;
    uint64_t zeros = 0;
};

struct Archive {
    std::vector<File> files;
    uint32_t dictionary = 1 << 16;
    bool bcjFirst = true;          // the x86 coder listed before LZMA (else after, as 7-Zip writes)
    bool programsLast = false;     // the x86 folder after the LZMA-only one (else before it)
    // faults
    int64_t unpackDelta = 0;       // added to the first folder's unpack size
    int64_t packCut = 0;           // bytes cut from the end of the first pack stream
    std::string packTail;          // bytes added after the first pack stream's data
    uint32_t crcXor = 0;           // on the last file's CRC-32
    std::function<void(std::string*)> editHeader;  // before its CRC-32 is taken
    bool badStartCrc = false;
    int64_t nextOffsetDelta = 0;
    // The header LZMA-encoded behind the pack streams (twice: the encoded header's small
    // header encoded again), and the faults of that.
    int encodeHeader = 0;
    int64_t headerSizeDelta = 0;    // added to the unpacked size it declares
    uint64_t headerPackCut = 0;     // bytes cut from the end of its stream
    uint64_t headerPackAtDelta = 0;  // added to where its stream is said to start
    uint32_t headerCrcXor = 0;      // on the unpacked header's CRC-32
    bool headerTwice = false;       // its stream given twice, as two folders
    bool headerX86 = false;         // its folder through the x86 coder too
    // The header's bytes as written, and the whole archive.
    std::string header;
    std::string Build();
};

// The signature header and the rest: `packed` (the pack streams), then `header`.
std::string Assemble(const std::string& packed, const std::string& header, bool badStartCrc = false,
                     int64_t nextOffsetDelta = 0);
// A raw LZMA stream (liblzma) of the files' contents one after the other, through the x86
// filter first when `x86`; `props` gets the five property bytes.
std::string Compress(const std::vector<const File*>& files, bool x86, uint32_t dictionary, std::string* props);
// UTF-8 to UTF-16LE with its NUL.
std::string Utf16(const std::string& utf8);

}  // namespace solidcraft
