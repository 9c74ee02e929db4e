// Reading a ZIP file made by another tool, so that its members can be copied into a
// self-extracting file with their compressed data unchanged.
#pragma once
#include <stdint.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/mksfx/lzmasdk.h"

#include "tools/common/ziprecords.h"
#include "tools/mksfx/files.h"

namespace sfx {

// LZMA in a ZIP file (method 14): decoded for the solid form, which recompresses it; the
// ZIP form cannot copy it (the stub reads stored and deflated members only).
const uint16_t kMethodLzma = 14;

// The entry fields come from the central directory.
struct ZipInputMember : EntryFields {
    std::string name;         // UTF-8, as the archive names it
    bool isDirectory = false;
    uint64_t dataOffset = 0;  // of the compressed data in the ZIP file
};

// What the inputs collected so far add up to, against the archive's limits: 65535 entries
// and under 4 GiB of members together (the stub counts them in 32 bits). Counting stops at
// the first number over a limit, so that no input makes work or memory grow past them.
const uint64_t kTotalSizeMax = 0xFFFFFFFFull;  // kEntriesMax: sfxfile.h
struct ArchiveTally {
    uint64_t entries = 0, bytes = 0;
    bool largeAllowed = false;  // the solid form: no limit on the bytes
    // Counts one entry of `size` bytes; false with `error` naming the limit that it passes.
    bool Add(uint64_t size, std::string* error);
};

// Reads the central directory of `file` (the ZIP file `path`; data in front of the archive
// is allowed) and the local header of each member, without decoding any data. Answers false
// with a one-line `error` for anything the stub cannot take as it is: encryption, ZIP64,
// several disks, methods other than stored and deflated.
bool ReadZipDirectory(const std::string& path, InputFile* file, std::vector<ZipInputMember>* members,
                      std::string* error);

// Decodes a member's data piece by piece, as it is checked and again as it is copied: its
// CRC-32 and size against what the central directory declares, stopping at the first byte
// past the declared size.
class MemberDecoder {
public:
    explicit MemberDecoder(const ZipInputMember& member);
    ~MemberDecoder();
    MemberDecoder(const MemberDecoder&) = delete;
    MemberDecoder& operator=(const MemberDecoder&) = delete;
    // The next piece of the compressed data; false with `error` once the data is wrong.
    bool Feed(const unsigned char* data, size_t size, std::string* error);
    bool FeedLzma(const unsigned char* data, size_t size, std::string* error);
    // After the last piece: the stream complete, the declared size and CRC-32 met.
    bool Finish(std::string* error);
    // Where the decoded bytes go as they come (the solid form recompresses them).
    void SetSink(std::function<void(const unsigned char*, size_t)> sink) { sink_ = std::move(sink); }

private:
    const ZipInputMember& m_;
    z_stream z_ = {};
    bool deflated_ = false, ended_ = false;
    uint64_t size_ = 0;
    uint32_t crc_ = 0;
    std::string out_;
    std::function<void(const unsigned char*, size_t)> sink_;
    CLzmaDec* lzma_ = nullptr;
    bool lzmaStarted_ = false;
    std::string head_;  // method 14's header, gathered across pieces
};

// Checks the data of every member of `members` (from ReadZipDirectory) as the stub will
// decode it, reading in pieces: the whole compressed size, to the declared size and CRC-32.
bool CheckZipData(const std::string& path, InputFile* file, const std::vector<ZipInputMember>& members,
                  std::string* error);

}  // namespace sfx
