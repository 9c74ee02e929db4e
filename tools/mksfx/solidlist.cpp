// mksfx list, the solid form: the 7z archive behind the stub read from its signature header:
// the folders (coders, packed and unpacked sizes), the memory the stub needs to decode them,
// and the members with size, time and CRC-32.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "tools/mksfx/lzmasdk.h"

#include "tools/mksfx/listing.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/solid.h"

namespace sfx {

namespace {

void* Allocate(void*, size_t size) { return malloc(size); }
void Release(void*, void* address) { free(address); }
ISzAlloc lzmaAllocator = {Allocate, Release};

uint64_t Le(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= (uint64_t)p[i] << (8 * i);
    return v;
}

std::string TimeText(uint64_t filetime) {
    time_t t = (time_t)((int64_t)(filetime - 116444736000000000ull) / 10000000);
    struct tm tm;
    char text[32] = "-";
    if (gmtime_r(&t, &tm)) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// An encoded header's plain one, from its stream between the archive's start and the header
// at `offset` (from `at`), as the stub takes it: LZMA alone, within the size a header may
// have, the stream ending where its size says, the CRC-32 right.
bool UnpackHeader(InputFile* in, uint64_t at, uint64_t offset, std::string* bytes, std::string* error) {
    PackedHeader p;
    if (!DecodeHeaderInfo(*bytes, &p, error)) return false;
    if (p.packPos > offset || p.packSize > offset - p.packPos) return Refuse(error, "7z encoded header: it lies outside the archive");
    if (p.unpacked == 0 || p.unpacked > kHeaderBytesMax) return Refuse(error, "7z encoded header: an unpacked size past the limit");
    std::string packed;
    if (!in->Read(at + p.packPos, p.packSize, &packed)) return Refuse(error, "7z encoded header: it lies outside the file");
    std::string plain(p.unpacked, '\0');
    SizeT plainSize = plain.size(), packedSize = packed.size();
    ELzmaStatus status;
    SRes rc = LzmaDecode((Byte*)&plain[0], &plainSize, (const Byte*)packed.data(), &packedSize, p.props, 5,
                         LZMA_FINISH_END, &status, &lzmaAllocator);
    if (rc != SZ_OK || plainSize != plain.size() || packedSize != packed.size() ||
        (status != LZMA_STATUS_FINISHED_WITH_MARK && status != LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK))
        return Refuse(error, "7z encoded header: its stream does not decode to its size");
    if (p.hasCrc && Crc32(plain.data(), plain.size()) != p.crc) return Refuse(error, "7z encoded header: CRC-32 mismatch");
    if (!plain.empty() && plain[0] == 0x17) return Refuse(error, "7z encoded header: it unpacks to another one");
    *bytes = plain;
    return true;
}

// The header at `offset`, its size and CRC checked as the signature header gives them.
bool ReadHeader(InputFile* in, uint64_t archiveOffset, SevenZipHeader* h, std::string* error) {
    const unsigned char* s = in->Peek(archiveOffset, kSignatureHeaderSize);
    if (!s || memcmp(s, k7zSignature, sizeof k7zSignature) != 0) return Refuse(error, "no 7z signature at the archive offset");
    if (Crc32(s + 12, 20) != (uint32_t)Le(s + 8, 4)) return Refuse(error, "7z start header: CRC-32 mismatch");
    uint64_t offset = Le(s + 12, 8), size = Le(s + 20, 8);
    uint32_t crc = (uint32_t)Le(s + 28, 4);
    uint64_t at = archiveOffset + kSignatureHeaderSize;
    if (offset > in->Size() || size > in->Size() - at - std::min(offset, in->Size() - at) || size > kHeaderBytesMax)
        return Refuse(error, "7z header: it lies outside the file");
    std::string bytes;
    if (!in->Read(at + offset, size, &bytes)) return Refuse(error, "7z header: it lies outside the file");
    if (Crc32(bytes.data(), bytes.size()) != crc) return Refuse(error, "7z header: CRC-32 mismatch");
    if (!bytes.empty() && bytes[0] == 0x17 && !UnpackHeader(in, at, offset, &bytes, error)) return false;
    if (!DecodeHeader(bytes, h, error)) return false;
    uint64_t packed = 0;
    for (const SevenZipFolder& f : h->folders) packed += f.packed;
    if (packed > offset) return Refuse(error, "7z header: the packed streams run into the header");
    return true;
}

}  // namespace

unsigned StubForms(const std::string& image, size_t blockAt) {
    unsigned forms = blockAt + kFormsByte < image.size() ? (unsigned char)image[blockAt + kFormsByte] : 0;
    return forms ? forms : kFormZip;  // stubs older than the solid form read ZIP only
}

bool ListSolidArchive(InputFile* in, uint64_t archiveOffset, Listing* l, std::string* error) {
    SevenZipHeader h;
    if (!ReadHeader(in, archiveOffset, &h, error)) return false;
    size_t first = 0;
    for (const SevenZipFolder& f : h.folders) {
        ListedFolder folder;
        folder.method = CoderText(f);
        folder.packed = f.packed;
        folder.unpacked = f.unpacked;
        folder.first = first;
        folder.count = (size_t)f.files;
        first += (size_t)f.files;
        l->folders.push_back(folder);
        l->memoryNeed = std::max(l->memoryNeed, LzmaDecodeMemory(f.props, f.unpacked));
    }
    for (const SevenZipFile& f : h.files) {
        ListedMember m;
        m.name = f.name;
        m.size = f.size;
        m.folder = f.isDirectory;
        m.method = f.isDirectory ? "folder" : f.hasData ? "file" : "empty";
        m.time = TimeText(f.mtime);
        m.crc = f.hasData ? f.crc : 0;
        l->members.push_back(m);
    }
    return true;
}

std::vector<std::string> ListSolid(InputFile* in, uint64_t archiveOffset) {
    Listing l;
    std::string error;
    if (!ListSolidArchive(in, archiveOffset, &l, &error)) return {error};
    printf("Folders (solid, 7z):\n");
    printf("  %-14s %12s %12s %10s\n", "Coders", "Packed", "Unpacked", "Files");
    for (const ListedFolder& f : l.folders)
        printf("  %-14s %12llu %12llu %10llu\n", f.method.c_str(), (unsigned long long)f.packed,
               (unsigned long long)f.unpacked, (unsigned long long)f.count);
    printf("Memory to decode: %llu bytes (dictionary and tables)\n", (unsigned long long)l.memoryNeed);
    printf("Members:\n");
    printf("%12s %-8s %-19s %-8s %s\n", "Size", "Kind", "Time (UTC)", "CRC-32", "Name");
    for (const ListedMember& m : l.members) {
        char crc[16] = "";
        if (m.method == "file") snprintf(crc, sizeof crc, "%08x", m.crc);
        printf("%12llu %-8s %-19s %-8s %s\n", (unsigned long long)m.size, m.folder ? "folder" : "file",
               m.time.c_str(), crc, Shown(m.name).c_str());
    }
    printf("%zu %s\n", l.members.size(), l.members.size() == 1 ? "member" : "members");
    return {};
}

}  // namespace sfx
