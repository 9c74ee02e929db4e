// The record walk of list, verify and extract: the archive's records front to back from the
// archive offset, as the stub's walker takes them (archive/walker.cpp), with what other unzip
// tools read of each record kept beside it.
#include <stdio.h>

#include "tools/mksfx/sfxfile.h"

namespace sfx {

// The first extra field in `extra` that other unzip tools read in place of the header's own
// fields (Zip64 sizes and offsets, a UTF-8 path), or 0. The stub reads none of them.
static uint16_t PeerField(const unsigned char* extra, size_t size) {
    for (size_t p = 0; p + 4 <= size;) {
        uint16_t id = (uint16_t)ReadLe16(extra + p);
        if (id == 0x0001 || id == 0x7075) return id;
        p += 4 + ReadLe16(extra + p + 2);
    }
    return 0;
}

Walk WalkRecords(InputFile* file, uint64_t pos) {
    Walk w;
    // Bytes [at, at + n) of the file, or null with the fault noted.
    auto need = [&](uint64_t at, size_t n, const char* what) -> const unsigned char* {
        if (const unsigned char* p = file->Peek(at, n)) return p;
        w.faults.push_back(std::string("archive cut short in ") + what + " at offset " + Hex(at));
        return nullptr;
    };
    auto tooMany = [&](size_t count, const char* what) {
        if (count < kEntriesMax) return false;
        w.faults.push_back(std::string("more than 65535 ") + what + " at offset " + Hex(pos) +
                           ", more than an end record counts");
        return true;
    };
    for (;;) {
        const unsigned char* r = need(pos, 4, "a record signature");
        if (!r) return w;
        uint32_t sig = ReadLe32(r);
        if (sig == ZIP_LOCAL_SIGNATURE) {
            if (tooMany(w.members.size(), "local headers")) return w;
            if (!(r = need(pos, LOCAL_HEADER_BYTES, "a local header"))) return w;
            Member m;
            m.headerOffset = pos;
            std::string fields((const char*)r, LOCAL_HEADER_BYTES);
            static_cast<EntryFields&>(m) = ReadEntryFields(fields, LOCAL_ENTRY_FIELDS);
            uint16_t nameLength = Le16(fields, LOCAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH);
            uint16_t extraLength = Le16(fields, LOCAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
            if (!(r = need(pos + LOCAL_HEADER_BYTES, nameLength, "a member name"))) return w;
            m.name.assign((const char*)r, nameLength);
            if (nameLength > 263) {
                w.faults.push_back("member name at " + Hex(pos) + " is " +
                                   std::to_string(nameLength) + " bytes, the stub holds 263");
                return w;
            }
            if (!(r = need(pos + LOCAL_HEADER_BYTES + nameLength, extraLength, "an extra field"))) return w;
            m.peerField = PeerField(r, extraLength);
            if (!w.central.empty()) w.localAfterCentral = true;
            pos += LOCAL_HEADER_BYTES + nameLength + extraLength;
            m.dataOffset = pos;
            // As the stub: a directory entry ends right after its extra field.
            if (!m.IsDirectory()) {
                pos += m.packed;
                if (m.flags & ZIP_FLAG_DESCRIPTOR) {
                    if (!(r = need(pos, DESCRIPTOR_BYTES, "a data descriptor"))) return w;
                    std::string d((const char*)r, DESCRIPTOR_BYTES);
                    m.descriptorSigned = Le32(d, 0) == ZIP_DESCRIPTOR_SIGNATURE;
                    m.descriptor.crc = Le32(d, 4), m.descriptor.packed = Le32(d, 8), m.descriptor.size = Le32(d, 12);
                    pos += DESCRIPTOR_BYTES;
                }
            }
            w.members.push_back(m);
        } else if (sig == ZIP_CENTRAL_SIGNATURE) {
            if (tooMany(w.central.size(), "central directory entries")) return w;
            if (!(r = need(pos, CENTRAL_HEADER_BYTES, "a central directory entry"))) return w;
            std::string c((const char*)r, CENTRAL_HEADER_BYTES);
            uint16_t n = Le16(c, CENTRAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH);
            uint16_t m = Le16(c, CENTRAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
            uint16_t k = Le16(c, CENTRAL_COMMENT_LENGTH);
            Central e;
            static_cast<EntryFields&>(e) = ReadEntryFields(c, CENTRAL_ENTRY_FIELDS);
            e.position = pos;
            e.localOffset = Le32(c, CENTRAL_LOCAL_OFFSET);
            e.disk = Le16(c, CENTRAL_DISK);
            e.madeBy = Le16(c, CENTRAL_MADE_BY);
            e.attributes = Le32(c, CENTRAL_EXTERNAL_ATTRIBUTES);
            if (!(r = need(pos + CENTRAL_HEADER_BYTES, n, "a central directory name"))) return w;
            e.name.assign((const char*)r, n);
            if (n > 263) {
                w.faults.push_back("central entry name at " + Hex(pos) + " is " + std::to_string(n) +
                                   " bytes, the stub holds 263");
                return w;
            }
            if (!(r = need(pos + CENTRAL_HEADER_BYTES + n, m, "an extra field"))) return w;
            e.peerField = PeerField(r, m);
            pos += CENTRAL_HEADER_BYTES + n + m + k;
            e.end = pos;
            w.central.push_back(std::move(e));
        } else if (sig == ZIP_END_SIGNATURE) {
            if (!(r = need(pos, END_RECORD_BYTES, "the end record"))) return w;
            w.endRecord.assign((const char*)r, END_RECORD_BYTES);
            w.endRecordPosition = pos;
            w.complete = true;
            return w;
        } else {
            w.faults.push_back("no record signature at offset " + Hex(pos) +
                               " (the stub stops with its invalid-header message)");
            return w;
        }
    }
}

}  // namespace sfx
