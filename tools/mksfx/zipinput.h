// Reading a ZIP file made by another tool, so that its members can be copied into a
// self-extracting file with their compressed data unchanged.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace sfx {

struct ZipInputMember {
    std::string name;         // UTF-8, as the archive names it
    bool isDirectory = false;
    uint16_t method = 0, flags = 0, time = 0, date = 0;
    uint32_t crc = 0, packed = 0, size = 0;  // from the central directory
    uint64_t dataOffset = 0;  // of the compressed data in the ZIP file
};

// Reads the central directory of `bytes` (the ZIP file `path`; data in front of the archive
// is allowed) and checks every member's data against its CRC-32. Answers false with a
// one-line `error` for anything the stub cannot take as it is: encryption, ZIP64, several
// disks, methods other than stored and deflated, broken data.
bool ReadZipInput(const std::string& path, const std::string& bytes,
                  std::vector<ZipInputMember>* members, std::string* error);

}  // namespace sfx
