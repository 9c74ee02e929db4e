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

// The end record stands in the last 65557 bytes; the one whose comment reaches exactly to
// the end of the file is preferred over a stray signature inside a comment.
bool FindEndRecord(const std::string& b, size_t* at) {
    if (b.size() < END_RECORD_BYTES) return false;
    size_t lowest = b.size() > END_RECORD_BYTES + 65535 ? b.size() - END_RECORD_BYTES - 65535 : 0;
    bool found = false;
    for (size_t p = b.size() - END_RECORD_BYTES + 1; p-- > lowest;) {
        if (Le32(b, p) != ZIP_END_SIGNATURE) continue;
        if (p + END_RECORD_BYTES + Le16(b, p + END_COMMENT_LENGTH) == b.size()) {
            *at = p;
            return true;
        }
        if (!found) {
            *at = p;
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

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + extra >= s.size() + (extra ? 0 : 1)) return false;
        for (int k = 1; k <= extra; ++k)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

bool ReadZipInput(const std::string& path, const std::string& b,
                  std::vector<ZipInputMember>* members, std::string* error) {
    size_t end = 0;
    if (!FindEndRecord(b, &end)) return Fail(error, path + ": not a ZIP file (no end record)");
    if (end >= ZIP64_LOCATOR_BYTES && Le32(b, end - ZIP64_LOCATOR_BYTES) == ZIP64_LOCATOR_SIGNATURE)
        return Fail(error, path + ": ZIP64 archives are not supported");
    uint16_t disk = Le16(b, end + END_DISK), cdDisk = Le16(b, end + END_CENTRAL_DISK);
    uint16_t entriesHere = Le16(b, end + END_ENTRIES_HERE), entries = Le16(b, end + END_ENTRIES);
    uint32_t cdSize = Le32(b, end + END_CENTRAL_SIZE), cdOffset = Le32(b, end + END_CENTRAL_OFFSET);
    if (entries == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
        return Fail(error, path + ": ZIP64 archives are not supported");
    if (disk != 0 || cdDisk != 0 || entriesHere != entries)
        return Fail(error, path + ": archives split over several disks are not supported");
    if (cdSize > end) return Fail(error, path + ": the central directory lies outside the file");
    uint64_t cdStart = end - cdSize;
    int64_t shift = (int64_t)cdStart - (int64_t)cdOffset;

    members->clear();
    uint64_t p = cdStart;
    for (unsigned i = 0; i < entries; ++i) {
        if (p + CENTRAL_HEADER_BYTES > end || Le32(b, p) != ZIP_CENTRAL_SIGNATURE)
            return Fail(error, path + ": broken central directory (entry " + std::to_string(i + 1) + ")");
        ZipInputMember m;
        static_cast<EntryFields&>(m) = ReadEntryFields(b, p + CENTRAL_ENTRY_FIELDS);
        uint16_t n = Le16(b, p + CENTRAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH);
        uint16_t x = Le16(b, p + CENTRAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
        uint16_t k = Le16(b, p + CENTRAL_COMMENT_LENGTH);
        uint32_t localOffset = Le32(b, p + CENTRAL_LOCAL_OFFSET);
        if (p + CENTRAL_HEADER_BYTES + n + x + k > end)
            return Fail(error, path + ": broken central directory (entry " + std::to_string(i + 1) + ")");
        unsigned host = Le16(b, p + CENTRAL_MADE_BY) >> 8;
        std::string raw = b.substr(p + CENTRAL_HEADER_BYTES, n);
        std::string extra = b.substr(p + CENTRAL_HEADER_BYTES + n, x);
        p += CENTRAL_HEADER_BYTES + n + x + k;

        if (m.flags & ZIP_FLAG_UTF8) {
            if (!ValidUtf8(raw)) return Fail(error, path + ": member name is not valid UTF-8");
            m.name = raw;
        } else if (UnicodePathField(extra, raw, &m.name)) {
            // the UTF-8 name of the extra field
        } else if ((host == 3 || host == 19) && ValidUtf8(raw)) {
            // Unix tools store names in the maker's locale, which is UTF-8 nowadays.
            m.name = raw;
        } else {
            // Otherwise the name is in the DOS code page of the archive's maker.
            m.name = codepages::Cp850ToUtf8(raw);
        }
        const std::string who = path + ": member " + m.name;
        m.isDirectory = !raw.empty() && (raw.back() == '/' || raw.back() == '\\');
        if (m.flags & (ZIP_FLAG_ENCRYPTED | ZIP_FLAG_STRONG_ENCRYPTION))
            return Fail(error, who + " is encrypted");
        if (HasZip64Field(extra) || m.packed == 0xFFFFFFFF || m.size == 0xFFFFFFFF ||
            localOffset == 0xFFFFFFFF)
            return Fail(error, who + " needs ZIP64, which is not supported");
        if (!MethodSupported(m.method))
            return Fail(error, who + " uses compression method " + std::to_string(m.method) +
                                   " (only stored and deflated are supported)");

        int64_t local = (int64_t)localOffset + shift;
        if (local < 0 || (uint64_t)local + LOCAL_HEADER_BYTES > b.size() ||
            Le32(b, local) != ZIP_LOCAL_SIGNATURE)
            return Fail(error, who + ": no local header where the central directory says");
        m.dataOffset = local + LOCAL_HEADER_BYTES +
                       Le16(b, local + LOCAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH) +
                       Le16(b, local + LOCAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
        if (m.dataOffset + m.packed > b.size())
            return Fail(error, who + ": its data runs past the end of the file");
        if (m.isDirectory) {
            members->push_back(m);
            continue;
        }

        // Copied data must decode exactly as the stub will decode it: the whole compressed
        // size, to the declared size and CRC-32.
        std::string data;
        if (m.method == METHOD_STORED) {
            if (m.packed != m.size) return Fail(error, who + ": stored with two different sizes");
            data = b.substr(m.dataOffset, m.packed);
        } else {
            size_t used = 0;
            std::string why;
            if (!InflateRaw(b.data() + m.dataOffset, m.packed, m.size, &data, &used, &why))
                return Fail(error, who + ": " + why);
            if (used != m.packed)
                return Fail(error, who + ": its DEFLATE stream ends before its compressed size");
        }
        if (data.size() != m.size)
            return Fail(error, who + ": decodes to " + std::to_string(data.size()) +
                                   " bytes, not " + std::to_string(m.size));
        if (Crc32(data.data(), data.size()) != m.crc) return Fail(error, who + ": CRC-32 mismatch");
        members->push_back(m);
    }
    return true;
}

}  // namespace sfx
