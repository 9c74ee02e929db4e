// The stub's executable image as a PE32 file: the check that `--stub` and `verify` make
// before trusting it, and the one change mksfx makes to its structure, a section appended
// after the last one (the resources of the finished file).
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

namespace sfx {

const int kDirectoryResources = 2, kDirectoryCertificates = 4;
const uint32_t kSectionReadOnlyData = 0x40000040;  // initialised data, readable

struct PeSection {
    std::string name;  // up to 8 bytes, NULs dropped
    uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0, characteristics = 0;
};

// What the check learned of a sound image; offsets are file offsets.
struct PeImage {
    size_t optionalAt = 0;      // the optional header
    size_t sectionTableAt = 0;
    uint32_t fileAlignment = 0, sectionAlignment = 0, sizeOfHeaders = 0, sizeOfImage = 0;
    uint32_t directoryCount = 0;
    std::vector<PeSection> sections;
    size_t ChecksumOffset() const { return optionalAt + 64; }
    size_t DirectoryOffset(int index) const { return optionalAt + 96 + 8 * (size_t)index; }
};

// Checks that file bytes [0, imageEnd) are a sound 32-bit Windows GUI program for i386:
// signatures, machine, optional header, section table inside the headers, every section's
// data inside the image and in file order, nothing after the last section, entry point and
// data directories inside sections. A certificate table, which follows the image, must lie
// within [imageEnd, fileSize) (fileSize 0: file.size(), for `file` holding the whole file).
// Answers true when sound, else false with what is wrong in one line in `error`; `image`
// (may be null) receives the layout.
bool CheckPeImage(const std::string& file, size_t imageEnd, PeImage* image, std::string* error,
                  uint64_t fileSize = 0);

// The address the next appended section gets; `layout` is a sound image's.
uint32_t NextSectionAddress(const PeImage& layout);

// Appends a section holding `data` to the image `bytes` (the whole string), which
// CheckPeImage has found sound with `layout`, without moving or changing any existing byte
// outside the headers: its header goes into the free room after the section table, its data
// after the last section, both aligned. Updates the section count, SizeOfImage,
// SizeOfInitializedData and data directory `directory` (which must be empty; -1 for none),
// and sets the checksum to 0 (not computed), since the old one no longer holds. False with
// `error` saying why the section cannot be added.
bool AppendPeSection(std::string* bytes, const PeImage& layout, const char* name, const std::string& data,
                     uint32_t characteristics, int directory, std::string* error);

}  // namespace sfx
