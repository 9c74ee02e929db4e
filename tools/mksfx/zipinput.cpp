// A ZIP file is read through its central directory, which holds the true CRC-32 and sizes
// even when the local headers defer them to data descriptors. Offsets are corrected by the
// distance between where the central directory is and where the end record says it is, so
// archives with data in front of them (other self-extractors) read too.
#include "tools/mksfx/zipinput.h"

#include "tools/common/codepages.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

namespace {

bool Fail(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

// The end record stands in the last 65557 bytes (`tail`, which starts at `tailAt`); the one
// whose comment reaches exactly to the end of the file is preferred over a stray signature
// inside a comment.
bool FindEndRecord(const std::string& tail, uint64_t tailAt, uint64_t* at) {
    if (tail.size() < END_RECORD_BYTES) return false;
    bool found = false;
    for (size_t p = tail.size() - END_RECORD_BYTES + 1; p-- > 0;) {
        if (Le32(tail, p) != ZIP_END_SIGNATURE) continue;
        if (p + END_RECORD_BYTES + Le16(tail, p + END_COMMENT_LENGTH) == tail.size()) {
            *at = tailAt + p;
            return true;
        }
        if (!found) {
            *at = tailAt + p;
            found = true;
        }
    }
    return found;
}

// The Info-ZIP Unicode path field (0x7075) carries a UTF-8 name for archives whose plain
// name is in a legacy code page; it counts only while its CRC matches that plain name.
bool UnicodePathField(const std::string& extra, const std::string& rawName, std::string* name) {
    for (size_t p = 0; p + 4 <= extra.size();) {
        uint16_t id = Le16(extra, p), length = Le16(extra, p + 2);
        if (p + 4 + length > extra.size()) break;
        if (id == 0x7075 && length >= 5 && extra[p + 4] == 1 &&
            Le32(extra, p + 5) == Crc32(rawName.data(), rawName.size())) {
            *name = extra.substr(p + 9, length - 5);
            return true;
        }
        p += 4 + length;
    }
    return false;
}

bool HasZip64Field(const std::string& extra) {
    for (size_t p = 0; p + 4 <= extra.size();) {
        uint16_t id = Le16(extra, p), length = Le16(extra, p + 2);
        if (id == 0x0001) return true;
        p += 4 + length;
    }
    return false;
}

}  // namespace

bool ReadZipInput(const std::string& path, InputFile* file, std::vector<ZipInputMember>* members,
                  std::string* error) {
    const uint64_t size = file->Size();
    const std::string shown = Shown(path);
    std::string tail;
    uint64_t tailAt = size > END_RECORD_BYTES + 65535 ? size - END_RECORD_BYTES - 65535 : 0;
    file->Read(tailAt, size - tailAt, &tail);
    uint64_t end = 0;
    if (!FindEndRecord(tail, tailAt, &end)) return Fail(error, shown + ": not a ZIP file (no end record)");
    const std::string e = tail.substr(end - tailAt, END_RECORD_BYTES);
    const unsigned char* locator = end >= ZIP64_LOCATOR_BYTES ? file->Peek(end - ZIP64_LOCATOR_BYTES, 4) : nullptr;
    if (locator && ReadLe32(locator) == ZIP64_LOCATOR_SIGNATURE)
        return Fail(error, shown + ": ZIP64 archives are not supported");
    uint16_t disk = Le16(e, END_DISK), cdDisk = Le16(e, END_CENTRAL_DISK);
    uint16_t entriesHere = Le16(e, END_ENTRIES_HERE), entries = Le16(e, END_ENTRIES);
    uint32_t cdSize = Le32(e, END_CENTRAL_SIZE), cdOffset = Le32(e, END_CENTRAL_OFFSET);
    if (entries == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
        return Fail(error, shown + ": ZIP64 archives are not supported");
    if (disk != 0 || cdDisk != 0 || entriesHere != entries)
        return Fail(error, shown + ": archives split over several disks are not supported");
    if (cdSize > end) return Fail(error, shown + ": the central directory lies outside the file");
    uint64_t cdStart = end - cdSize;
    int64_t shift = (int64_t)cdStart - (int64_t)cdOffset;

    members->clear();
    uint64_t p = cdStart;
    for (unsigned i = 0; i < entries; ++i) {
        const std::string broken = shown + ": broken central directory (entry " + std::to_string(i + 1) + ")";
        std::string c;
        if (p + CENTRAL_HEADER_BYTES > end || !file->Read(p, CENTRAL_HEADER_BYTES, &c) ||
            Le32(c, 0) != ZIP_CENTRAL_SIGNATURE)
            return Fail(error, broken);
        ZipInputMember m;
        static_cast<EntryFields&>(m) = ReadEntryFields(c, CENTRAL_ENTRY_FIELDS);
        uint16_t n = Le16(c, CENTRAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH);
        uint16_t x = Le16(c, CENTRAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
        uint16_t k = Le16(c, CENTRAL_COMMENT_LENGTH);
        uint32_t localOffset = Le32(c, CENTRAL_LOCAL_OFFSET);
        std::string raw, extra;
        if (p + CENTRAL_HEADER_BYTES + n + x + k > end || !file->Read(p + CENTRAL_HEADER_BYTES, n, &raw) ||
            !file->Read(p + CENTRAL_HEADER_BYTES + n, x, &extra))
            return Fail(error, broken);
        unsigned host = Le16(c, CENTRAL_MADE_BY) >> 8;
        p += CENTRAL_HEADER_BYTES + n + x + k;

        if (m.flags & ZIP_FLAG_UTF8) {
            if (!codepages::ValidUtf8(raw))
                return Fail(error, shown + ": member name '" + Shown(raw) + "' " + codepages::Cp1252Fault(raw));
            m.name = raw;
        } else if (UnicodePathField(extra, raw, &m.name)) {
            // the UTF-8 name of the extra field
        } else if ((host == 3 || host == 19) && codepages::ValidUtf8(raw)) {
            // Unix tools store names in the maker's locale, which is UTF-8 nowadays.
            m.name = raw;
        } else {
            // Otherwise the name is in the DOS code page of the archive's maker.
            m.name = codepages::Cp850ToUtf8(raw);
        }
        const std::string who = shown + ": member " + Shown(m.name);
        m.isDirectory = !raw.empty() && (raw.back() == '/' || raw.back() == '\\');
        if (m.flags & (ZIP_FLAG_ENCRYPTED | ZIP_FLAG_STRONG_ENCRYPTION))
            return Fail(error, who + " is encrypted");
        if (HasZip64Field(extra) || m.packed == 0xFFFFFFFF || m.size == 0xFFFFFFFF ||
            localOffset == 0xFFFFFFFF)
            return Fail(error, who + " needs ZIP64, which is not supported (members stay under 4 GiB)");
        if (!MethodSupported(m.method))
            return Fail(error, who + " uses compression method " + std::to_string(m.method) +
                                   " (only stored and deflated are supported)");

        int64_t local = (int64_t)localOffset + shift;
        const unsigned char* header = local >= 0 ? file->Peek((uint64_t)local, LOCAL_HEADER_BYTES) : nullptr;
        if (!header || ReadLe32(header) != ZIP_LOCAL_SIGNATURE)
            return Fail(error, who + ": no local header where the central directory says");
        m.dataOffset = local + LOCAL_HEADER_BYTES + ReadLe16(header + LOCAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH) +
                       ReadLe16(header + LOCAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
        if (m.dataOffset + m.packed > size) return Fail(error, who + ": its data runs past the end of the file");
        if (m.isDirectory) {
            members->push_back(m);
            continue;
        }

        // Copied data must decode exactly as the stub will decode it: the whole compressed
        // size, to the declared size and CRC-32.
        if (m.method == METHOD_STORED && m.packed != m.size)
            return Fail(error, who + ": stored with two different sizes");
        Decoded d;
        std::string why;
        if (!DecodeData(file, m.dataOffset, m.packed, m.method, m.size, &d, &why))
            return Fail(error, who + ": " + why);
        if (d.consumed != m.packed)
            return Fail(error, who + ": its DEFLATE stream ends before its compressed size");
        if (d.size != m.size)
            return Fail(error, who + ": decodes to " + std::to_string(d.size) + " bytes, not " +
                                   std::to_string(m.size));
        if (d.crc != m.crc) return Fail(error, who + ": CRC-32 mismatch");
        members->push_back(m);
    }
    return true;
}

}  // namespace sfx
