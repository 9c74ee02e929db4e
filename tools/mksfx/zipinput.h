// Reading a ZIP file made by another tool, so that its members can be copied into a
// self-extracting file with their compressed data unchanged.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/common/ziprecords.h"
#include "tools/mksfx/util.h"

namespace sfx {

// The entry fields come from the central directory.
struct ZipInputMember : EntryFields {
    std::string name;         // UTF-8, as the archive names it
    bool isDirectory = false;
    uint64_t dataOffset = 0;  // of the compressed data in the ZIP file
};

// Reads the central directory of `file` (the ZIP file `path`; data in front of the archive
// is allowed) and checks every member's data against its CRC-32, reading in pieces. Answers
// false with a one-line `error` for anything the stub cannot take as it is: encryption,
// ZIP64, several disks, methods other than stored and deflated, broken data.
bool ReadZipInput(const std::string& path, InputFile* file, std::vector<ZipInputMember>* members,
                  std::string* error);

}  // namespace sfx
