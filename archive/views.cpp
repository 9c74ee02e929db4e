// One archive for every reader. The stub reads the local headers front to back; other unzip
// tools read the central directory and follow its offsets. A file that the two ways read
// differently (sizes in the local header that cover more than the central entry says, a
// member that only one of them lists, an end record that points elsewhere) would give the
// user one thing to inspect and the stub another to run, so such a file is refused.
//
// The comparison is exact and keeps no list of the members: all local headers come before
// the central directory, and the central entries name them in the order the walk met them.
// `expected` is where the next of those local headers starts. Each central entry must name
// that offset; the local header there is read again, straight from the file; `expected` steps
// over its record as the walk did, and the header must say what the entry says. At the end
// record `expected` has reached the central directory, so every local header has had its
// entry, and the end record must count the entries and place the directory where it lay.
#include "archive/archive.h"
#include "inflate/inflate.h"

BOOL CentralEntryAgrees(ArchiveViews* views, const unsigned char* record, const char* name,
                        DWORD at) {
    const unsigned char* entry = record + CENTRAL_ENTRY_FIELDS;
    DWORD named = ReadLe32(record + CENTRAL_LOCAL_OFFSET);
    // The first entry decides what the offsets count from: the file's start, or the
    // archive's (a ZIP file put behind the stub as it is).
    if (!views->centralCount++) {
        views->centralStart = at;
        if (named != views->expected) views->base = views->archiveOffset;
    }
    if (named + views->base != views->expected) return FALSE;
    // The local header and its name; a local name of another length differs in its field.
    unsigned nameLength = ReadLe16(entry + ENTRY_NAME_LENGTH);
    unsigned char local[LOCAL_HEADER_BYTES + PATH_CHARS];
    DWORD length = LOCAL_HEADER_BYTES + nameLength;
    ReadArchiveAt(views->expected, local, length);
    const unsigned char* fields = local + LOCAL_ENTRY_FIELDS;
    // The walk's step: a directory entry (its name ends in a separator) has no data, and
    // bit 3 puts a data descriptor of 16 bytes behind the data.
    length += ReadLe16(fields + ENTRY_EXTRA_LENGTH);
    char last = nameLength ? name[nameLength - 1] : 0;
    if (last != '/' && last != '\\') {
        length += ReadLe32(fields + ENTRY_PACKED);
        if (ReadLe16(fields + ENTRY_FLAGS) & ZIP_FLAG_DESCRIPTOR) length += DESCRIPTOR_BYTES;
    }
    views->expected += length;
    // Flags and method; CRC-32, both sizes and the name's length; the name's bytes as stored.
    const unsigned valuesLength = ENTRY_EXTRA_LENGTH - ENTRY_CRC;
    if (ReadLe32(local) != ZIP_LOCAL_SIGNATURE ||
        __builtin_memcmp(fields + ENTRY_FLAGS, entry + ENTRY_FLAGS, 4) != 0 ||
        __builtin_memcmp(fields + ENTRY_CRC, entry + ENTRY_CRC, valuesLength) != 0 ||
        __builtin_memcmp(local + LOCAL_HEADER_BYTES, name, nameLength) != 0)
        return FALSE;
    return TRUE;
}

BOOL DescriptorMatches(const unsigned char* fields, const unsigned char* descriptor) {
    return ReadLe32(descriptor) == ZIP_DESCRIPTOR_SIGNATURE &&
           __builtin_memcmp(descriptor + 4, fields + ENTRY_CRC, 12) == 0;
}

BOOL EndRecordAgrees(const ArchiveViews* views, const unsigned char* record, DWORD endOffset) {
    DWORD count = views->centralCount;
    DWORD start = count ? views->centralStart : endOffset;
    // The central directory's offset counts as the entries' offsets do; without entries it
    // may count from either start.
    DWORD shift = start - ReadLe32(record + END_CENTRAL_OFFSET);
    return views->expected == start &&
           (shift == views->base || (!count && shift == views->archiveOffset)) &&
           ReadLe32(record + END_DISK) == 0 && ReadLe16(record + END_ENTRIES_HERE) == count &&
           ReadLe16(record + END_ENTRIES) == count &&
           ReadLe32(record + END_CENTRAL_SIZE) == endOffset - start;
}
