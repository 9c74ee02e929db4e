// One archive for every reader. The stub reads the local headers front to back; other unzip
// tools read the central directory and follow its offsets. A file that the two ways read
// differently (sizes in the local header that cover more than the central entry says, a
// member that only one of them lists, an end record that points elsewhere) would give the
// user one thing to inspect and the stub another to run, so such a file is refused.
//
// Each local header and each central entry is folded into a digest of its own side: method,
// flags, CRC-32, both sizes and the name, and the offset of the local header. The digest is
// a sum of one 64-bit hash per record, so the order of the records does not matter. At the
// end record both sides must have the same count and digest, and the end record must count
// that many entries and place the central directory where the walk met it.
#include "archive/archive.h"

// FNV-1a (64 bits): one call for every part, so that the multiplication is there once.
__attribute__((noinline)) static unsigned long long HashBytes(unsigned long long hash,
                                                              const unsigned char* bytes,
                                                              unsigned count) {
    while (count--) hash = (hash ^ *bytes++) * 0x100000001B3ull;
    return hash;
}

void FoldEntry(ArchiveViews* views, BOOL central, const unsigned char* fields, const char* name,
               DWORD localOffset) {
    // Method and flags; CRC-32, both sizes and the name's length; the name's bytes as stored.
    unsigned long long hash = HashBytes(0xCBF29CE484222325ull, fields + ENTRY_FLAGS, 4);
    hash = HashBytes(hash, fields + ENTRY_CRC, ENTRY_EXTRA_LENGTH - ENTRY_CRC);
    hash = HashBytes(hash, (const unsigned char*)name, ReadLe16(fields + ENTRY_NAME_LENGTH));
    // A local header at its offset; a central entry with the offset it names, taken from the
    // file's start and from the archive's.
    unsigned long long* digest = central ? views->centralDigest : &views->localDigest;
    (central ? views->centralCount : views->localCount)++;
    for (DWORD side = 0; side <= (DWORD)central; ++side) {
        unsigned char offset[4];
        WriteLe32(offset, localOffset + side * views->archiveOffset);
        digest[side] += HashBytes(hash, offset, 4);
    }
}

BOOL DescriptorMatches(const unsigned char* fields, const unsigned char* descriptor) {
    return ReadLe32(descriptor) == ZIP_DESCRIPTOR_SIGNATURE &&
           __builtin_memcmp(descriptor + 4, fields + ENTRY_CRC, 12) == 0;
}

BOOL EndRecordAgrees(const ArchiveViews* views, const unsigned char* record, DWORD endOffset) {
    DWORD count = views->localCount;
    DWORD start = views->centralCount ? views->centralStart : endOffset;
    // The central directory's offset counts from the start of the file, or from the archive's
    // (a ZIP file put behind the stub as it is): the central entries' offsets count alike.
    DWORD shift = start - ReadLe32(record + END_CENTRAL_OFFSET);
    int side = shift == 0 ? 0 : shift == views->archiveOffset ? 1 : 2;
    return side < 2 && views->centralCount == count &&
           views->centralDigest[side] == views->localDigest &&
           ReadLe32(record + END_DISK) == 0 && ReadLe16(record + END_ENTRIES_HERE) == count &&
           ReadLe16(record + END_ENTRIES) == count &&
           ReadLe32(record + END_CENTRAL_SIZE) == endOffset - start;
}
