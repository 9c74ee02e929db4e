// mksfx build, the solid form: every member compressed as one LZMA stream (programs through
// the x86 branch converter first) in a 7z archive behind the stub. solidorder.cpp puts the
// members in order and into folders, solidwriter.cpp encodes them, solidheader.cpp writes and
// reads the archive's header; solidlist.cpp shows a finished file.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/mksfx/build.h"

namespace sfx {

// The byte of the parameter block that says which forms a stub reads (PB_FORMS): 0 in stubs
// older than the solid form, which read ZIP only.
const size_t kFormsByte = PB_FORMS;
const unsigned char kFormZip = FORM_ZIP, kFormSolid = FORM_SOLID;
// The forms a stub image reads, from its parameter block at `blockAt`.
unsigned StubForms(const std::string& image, size_t blockAt);

// The 7z signature header: signature, version 0.4, start-header CRC, next header offset,
// size and CRC.
const size_t kSignatureHeaderSize = 32;
extern const unsigned char k7zSignature[6];

// ---- solidorder.cpp ---------------------------------------------------------------------------

// Sequential reader of one entry's bytes: a file on disk or a member of an input ZIP file
// (decoded: stored or deflated). It fails the build when the bytes differ in number from
// what was listed, or when a ZIP member's CRC-32 does not match.
class EntryReader {
public:
    explicit EntryReader(const Entry& e);
    ~EntryReader();
    EntryReader(const EntryReader&) = delete;
    EntryReader& operator=(const EntryReader&) = delete;
    // Up to `want` bytes; 0 only at the end, where the size and CRC-32 are checked.
    size_t Read(unsigned char* to, size_t want);
    uint32_t Crc() const { return crc_; }

private:
    struct Zip;
    void Finish();
    const Entry& e_;
    int fd_ = -1;
    uint64_t done_ = 0;
    uint32_t crc_ = 0;
    bool finished_ = false;
    Zip* zip_ = nullptr;
};

// One folder of the archive: its files (indexes into the entries), in the order they are
// encoded, and whether the x86 branch converter runs before LZMA.
struct SolidFolder {
    bool x86 = false;
    std::vector<size_t> files;
    uint64_t size = 0;  // their bytes together
};
struct SolidPlan {
    std::vector<SolidFolder> folders;  // the programs' folder first; either may be absent
    std::vector<size_t> empty;         // folders and empty files, by name
    uint64_t duplicates = 0;           // files placed right behind another with the same bytes
};
// Programs (a PE image: "MZ" and the "PE" signature where it points) go into the x86 folder,
// the rest into the plain one. Within a folder files are grouped by extension, then by name,
// and a file with the same bytes as one before it is placed right behind that one, so that
// LZMA takes it as one long match.
SolidPlan PlanSolid(const std::vector<Entry>& entries);

// ---- solidwriter.cpp --------------------------------------------------------------------------

struct SolidResult {
    std::vector<std::string> coders;  // per folder, as list shows it: "LZMA:24 BCJ"
    uint64_t memoryNeed = 0;          // the largest folder's dictionary and tables when decoding
    uint64_t duplicates = 0;
};
// Appends the 7z archive of `entries` to `out`, which holds the head (stub and configuration
// block) so far. `level` 1 to 12 maps to the encoder's effort.
SolidResult WriteSolidArchive(const std::vector<Entry>& entries, const ArchiveOptions& options, OutputFile* out,
                              ArchiveCounts* counts);
// What the stub needs to decode a folder with these LZMA properties and size: the dictionary
// (no larger than the data, at least 4 KiB) and the probability tables.
uint64_t LzmaDecodeMemory(const unsigned char props[5], uint64_t size);

// ---- solidheader.cpp --------------------------------------------------------------------------

struct SevenZipFile {
    std::string name;  // UTF-8, '/' between folders
    bool hasData = false, isDirectory = false;
    uint64_t size = 0;
    uint32_t crc = 0, attributes = 0;
    uint64_t mtime = 0;  // FILETIME: 100 ns since 1601 UTC
};
struct SevenZipFolder {
    bool x86 = false;
    unsigned char props[5] = {};
    uint64_t packed = 0, unpacked = 0;
    uint64_t files = 0;
};
struct SevenZipHeader {
    std::vector<SevenZipFolder> folders;
    std::vector<SevenZipFile> files;  // those with data in folder order
};
// The plain header as the stub reads it (kHeader).
std::string EncodeHeader(const SevenZipHeader& h);
// Reads a header of the shapes EncodeHeader writes; false with `error` for anything else.
bool DecodeHeader(const std::string& bytes, SevenZipHeader* h, std::string* error);
// The header LZMA-encoded: the plain header's stream at `packPos` (from the end of the
// signature header), `packSize` long, unpacking to `unpacked` bytes with CRC-32 `crc`.
// EncodeHeaderInfo writes the small header that describes it (property 0x17),
// DecodeHeaderInfo reads one.
struct PackedHeader {
    uint64_t packPos = 0, packSize = 0, unpacked = 0;
    unsigned char props[5] = {};
    bool hasCrc = true;
    uint32_t crc = 0;
};
// The largest header, plain or unpacked, that the stub takes (65535 files of the longest
// names need about 28 MB).
const uint64_t kHeaderBytesMax = 32u << 20;
std::string EncodeHeaderInfo(const PackedHeader& p);
bool DecodeHeaderInfo(const std::string& bytes, PackedHeader* p, std::string* error);
// The signature header for a next header at `offset` (from the end of the signature header).
std::string SignatureHeader(uint64_t offset, const std::string& header);
// Unix seconds as a FILETIME.
uint64_t FileTime(int64_t unixSeconds);
// "LZMA:24 BCJ" for a folder; "LZMA:1536k" when the dictionary is no power of two of MiB.
std::string CoderText(const SevenZipFolder& f);

// ---- solidlist.cpp ----------------------------------------------------------------------------

// Prints the folders and members of a solid file; answers the faults found.
std::vector<std::string> ListSolid(InputFile* in, uint64_t archiveOffset);

}  // namespace sfx
