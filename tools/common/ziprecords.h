// The ZIP records as the host programs write and read them: the local header, the central
// entry and the end record built from their fields (little-endian, through bytes.h).
// Offsets and signatures are those of base/format.h; mksfx and the tests write every
// ZIP record through here.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "base/format.h"
#include "tools/common/bytes.h"

namespace sfx {

// The fields that a local header and a central entry share (ENTRY_* in base/format.h); the
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
