// The file format's records as the host programs write and read them: little-endian fields in
// byte strings, and the ZIP records (local header, central entry, end record) built from their
// fields. Offsets and signatures are those of startup/format.h; mksfx and the tests write every
// ZIP record through here.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "startup/format.h"

namespace sfx {

inline uint16_t Le16(const std::string& b, size_t at) {
    return (uint16_t)ReadLe16((const unsigned char*)b.data() + at);
}
inline uint32_t Le32(const std::string& b, size_t at) {
    return (uint32_t)ReadLe32((const unsigned char*)b.data() + at);
}
void PutLe16(std::string* b, uint32_t v);
void PutLe32(std::string* b, uint32_t v);
void SetLe16(std::string* b, size_t at, uint32_t v);
void SetLe32(std::string* b, size_t at, uint32_t v);

// The fields that a local header and a central entry share (ENTRY_* in startup/format.h); the
// name and extra-field lengths are written from the strings that follow.
struct EntryFields {
    uint16_t versionNeeded = 20, flags = 0, method = 0, time = 0, date = 0;
    uint32_t crc = 0, packed = 0, size = 0;
};
// Reads the fields at `at`: a record's start plus LOCAL_ENTRY_FIELDS or CENTRAL_ENTRY_FIELDS.
EntryFields ReadEntryFields(const std::string& bytes, size_t at);

std::string LocalHeader(const EntryFields& fields, const std::string& name,
                        const std::string& extra = "");
// A central entry: `madeBy` is the version-made-by field (host in the high byte).
std::string CentralEntry(const EntryFields& fields, const std::string& name, uint16_t madeBy,
                         uint32_t externalAttributes, uint32_t localOffset,
                         const std::string& extra = "", const std::string& comment = "");
std::string EndRecord(uint16_t entries, uint32_t centralSize, uint32_t centralOffset,
                      const std::string& comment = "");

}  // namespace sfx
