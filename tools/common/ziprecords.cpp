#include "tools/common/ziprecords.h"

namespace sfx {

EntryFields ReadEntryFields(const std::string& b, size_t at) {
    EntryFields f;
    f.versionNeeded = Le16(b, at + ENTRY_VERSION_NEEDED);
    f.flags = Le16(b, at + ENTRY_FLAGS);
    f.method = Le16(b, at + ENTRY_METHOD);
    f.time = Le16(b, at + ENTRY_TIME);
    f.date = Le16(b, at + ENTRY_DATE);
    f.crc = Le32(b, at + ENTRY_CRC);
    f.packed = Le32(b, at + ENTRY_PACKED);
    f.size = Le32(b, at + ENTRY_SIZE);
    return f;
}

// The one writer of the entry fields, for both kinds of header.
static void PutEntryFields(std::string* b, const EntryFields& f, const std::string& name,
                           const std::string& extra) {
    PutLe16(b, f.versionNeeded);
    PutLe16(b, f.flags);
    PutLe16(b, f.method);
    PutLe16(b, f.time);
    PutLe16(b, f.date);
    PutLe32(b, f.crc);
    PutLe32(b, f.packed);
    PutLe32(b, f.size);
    PutLe16(b, (uint32_t)name.size());
    PutLe16(b, (uint32_t)extra.size());
}

std::string LocalHeader(const EntryFields& f, const std::string& name, const std::string& extra) {
    std::string h;
    PutLe32(&h, ZIP_LOCAL_SIGNATURE);
    PutEntryFields(&h, f, name, extra);
    return h + name + extra;
}

std::string CentralEntry(const EntryFields& f, const std::string& name, uint16_t madeBy,
                         uint32_t externalAttributes, uint32_t localOffset,
                         const std::string& extra, const std::string& comment) {
    std::string h;
    PutLe32(&h, ZIP_CENTRAL_SIGNATURE);
    PutLe16(&h, madeBy);
    PutEntryFields(&h, f, name, extra);
    PutLe16(&h, (uint32_t)comment.size());
    PutLe16(&h, 0);  // disk
    PutLe16(&h, 0);  // internal attributes
    PutLe32(&h, externalAttributes);
    PutLe32(&h, localOffset);
    return h + name + extra + comment;
}

std::string EndRecord(uint16_t entries, uint32_t centralSize, uint32_t centralOffset,
                      const std::string& comment) {
    std::string e;
    PutLe32(&e, ZIP_END_SIGNATURE);
    PutLe16(&e, 0);  // this disk
    PutLe16(&e, 0);  // the central directory's disk
    PutLe16(&e, entries);
    PutLe16(&e, entries);
    PutLe32(&e, centralSize);
    PutLe32(&e, centralOffset);
    PutLe16(&e, (uint32_t)comment.size());
    return e + comment;
}

}  // namespace sfx
