// PE32 images: the check of the stub image and the appending of one section.
//
// The check follows the file from the front: the MZ header names where the PE header
// stands; the COFF header gives the machine, the section count and the size of the optional
// header; the optional header gives the alignments, the image and header sizes, the
// subsystem and the data directories; the section table follows it. Everything is held to
// what the loader maps: each section's data lies in the image after the headers, in file
// order, and sections follow each other in memory. Nothing may follow the last section,
// since the builder appends the configuration block and the archive right there, and
// anything found there would mean a finished setup file or a signed stub was given.
//
// Appending keeps every existing byte where it is: the section header takes the free,
// zeroed room after the section table, the data goes after the last section's data, padded
// to the file alignment, and the section is placed in memory after the last one.
#include "tools/mksfx/pe/peimage.h"

#include <stdio.h>

#include "tools/common/bytes.h"
#include "tools/mksfx/report.h"

namespace sfx {

namespace {

const size_t kCoffSize = 20, kSectionHeaderSize = 40, kOptionalMin = 96;
const uint32_t kScnCode = 0x20, kScnExecute = 0x20000000;

const char* const kDirectoryNames[16] = {
    "exports", "imports", "resources", "exceptions", "certificates", "base relocations", "debug data",
    "architecture data", "global pointer", "thread-local storage", "load configuration", "bound imports",
    "import address table", "delayed imports", "runtime header", "reserved"};

uint64_t AlignUp(uint64_t v, uint64_t alignment) { return (v + alignment - 1) / alignment * alignment; }
bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Bytes a section occupies in memory: its virtual size, or its data size when that is 0.
uint64_t Extent(const PeSection& s) { return s.virtualSize ? s.virtualSize : s.rawSize; }

bool CheckSections(const std::string& file, size_t imageEnd, PeImage* p, std::string* error) {
    uint64_t rawEnd = p->sizeOfHeaders, memoryEnd = p->sectionAlignment;
    for (size_t i = 0; i < p->sections.size(); ++i) {
        const PeSection& s = p->sections[i];
        std::string who = "section " + std::to_string(i + 1) + " (" + s.name + ")";
        if (s.virtualAddress % p->sectionAlignment != 0)
            return Refuse(error, who + " is not aligned in memory (" + Hex(s.virtualAddress) + ")");
        if (s.virtualAddress < memoryEnd)
            return Refuse(error, who + " overlaps what precedes it in memory (" +
                                     Hex(s.virtualAddress) + ")");
        if (i > 0 && s.virtualAddress != memoryEnd)
            return Refuse(error, who + " leaves a gap in memory after the previous section");
        memoryEnd = AlignUp(s.virtualAddress + Extent(s), p->sectionAlignment);
        if (s.rawSize == 0) continue;
        if (s.rawPointer < rawEnd)
            return Refuse(error, who + "'s data at " + Hex(s.rawPointer) +
                                     " overlaps the headers or the previous section");
        rawEnd = (uint64_t)s.rawPointer + s.rawSize;
        if (rawEnd > imageEnd)
            return Refuse(error, who + "'s data runs past the end of the image (" + Hex(rawEnd) +
                                     " > " + Hex(imageEnd) + "): cut short?");
    }
    if (p->sizeOfImage < memoryEnd)
        return Refuse(error, "SizeOfImage " + Hex(p->sizeOfImage) +
                                 " is less than the sections need (" + Hex(memoryEnd) + ")");
    // Zero padding up to the next file-alignment boundary is part of the last section.
    for (uint64_t at = rawEnd; at < imageEnd; ++at)
        if (file[at] != 0 || at >= AlignUp(rawEnd, p->fileAlignment))
            return Refuse(error, std::to_string(imageEnd - rawEnd) +
                                     " bytes follow the last section (" + Hex(rawEnd) +
                                     "): a finished setup file or a signed image?");
    return true;
}

// The section whose memory holds [rva, rva + size), or null.
const PeSection* SectionOf(const PeImage& p, uint64_t rva, uint64_t size) {
    for (const PeSection& s : p.sections)
        if (rva >= s.virtualAddress && rva + size <= s.virtualAddress + Extent(s)) return &s;
    return nullptr;
}

bool CheckDirectories(const std::string& file, size_t imageEnd, uint64_t fileSize, const PeImage& p,
                      std::string* error) {
    for (uint32_t i = 0; i < p.directoryCount; ++i) {
        uint64_t rva = Le32(file, p.DirectoryOffset(i)), size = Le32(file, p.DirectoryOffset(i) + 4);
        if (rva == 0 && size == 0) continue;
        std::string who = std::string("the ") + kDirectoryNames[i] + " directory";
        if (i == kDirectoryCertificates) {  // a file offset, after the image
            if (rva < imageEnd || rva + size > fileSize)
                return Refuse(error, who + " (" + Hex(rva) + ", " + Hex(size) +
                                         " bytes) does not lie after the image");
            continue;
        }
        if (rva + size > p.sizeOfHeaders && !SectionOf(p, rva, size))
            return Refuse(error, who + " (" + Hex(rva) + ", " + Hex(size) +
                                     " bytes) lies outside every section");
    }
    return true;
}

}  // namespace

bool CheckPeImage(const std::string& file, size_t imageEnd, PeImage* image, std::string* error,
                  uint64_t fileSize) {
    PeImage p;
    if (fileSize < file.size()) fileSize = file.size();
    if (imageEnd > file.size()) return Refuse(error, "the image is longer than the file");
    if (imageEnd < 64 || file[0] != 'M' || file[1] != 'Z')
        return Refuse(error, "no MZ signature: not a Windows program");
    uint64_t pe = Le32(file, 0x3C);
    if (pe + 4 + kCoffSize + kOptionalMin > imageEnd)
        return Refuse(error, "the PE header offset " + Hex(pe) + " lies outside the image");
    if (file.compare(pe, 4, "PE\0\0", 4) != 0)
        return Refuse(error, "no PE signature at " + Hex(pe));
    size_t coff = pe + 4;
    if (Le16(file, coff) != 0x14C)
        return Refuse(error, "machine " + Hex(Le16(file, coff)) + ", not i386");
    uint32_t count = Le16(file, coff + 2), optionalSize = Le16(file, coff + 16), flags = Le16(file, coff + 18);
    if (!(flags & 0x0002) || (flags & 0x2000))
        return Refuse(error, "not an executable program (characteristics " + Hex(flags) + ")");
    if (count == 0 || count > 96)
        return Refuse(error, std::to_string(count) + " sections (a program has 1 to 96)");
    p.optionalAt = coff + kCoffSize;
    const size_t o = p.optionalAt;
    if (optionalSize < kOptionalMin)
        return Refuse(error, "optional header of " + std::to_string(optionalSize) + " bytes");
    if (Le16(file, o) != 0x10B)
        return Refuse(error, "optional header magic " + Hex(Le16(file, o)) + ", not PE32");
    p.sectionAlignment = Le32(file, o + 32);
    p.fileAlignment = Le32(file, o + 36);
    p.sizeOfImage = Le32(file, o + 56);
    p.sizeOfHeaders = Le32(file, o + 60);
    uint32_t subsystem = Le16(file, o + 68);
    p.directoryCount = Le32(file, o + 92);
    if (subsystem != 2)
        return Refuse(error,
                      "subsystem " + std::to_string(subsystem) + ", not a Windows GUI program");
    if (!PowerOfTwo(p.fileAlignment) || p.fileAlignment < 512 || p.fileAlignment > 65536 ||
        !PowerOfTwo(p.sectionAlignment) || p.sectionAlignment < p.fileAlignment)
        return Refuse(error, "alignments " + Hex(p.fileAlignment) + " (file) and " +
                                 Hex(p.sectionAlignment) +
                                 " (memory) are not powers of two with 512 <= file <= memory");
    if (p.directoryCount > 16 || kOptionalMin + 8ull * p.directoryCount > optionalSize)
        return Refuse(error, std::to_string(p.directoryCount) +
                                 " data directories do not fit the optional header");
    p.sectionTableAt = o + optionalSize;
    uint64_t tableEnd = p.sectionTableAt + (uint64_t)count * kSectionHeaderSize;
    if (tableEnd > p.sizeOfHeaders || p.sizeOfHeaders > imageEnd)
        return Refuse(error, "the section table (to " + Hex(tableEnd) +
                                 ") does not lie inside the headers (" + Hex(p.sizeOfHeaders) +
                                 " bytes, image " + Hex(imageEnd) + ")");
    for (uint32_t i = 0; i < count; ++i) {
        size_t h = p.sectionTableAt + i * kSectionHeaderSize;
        PeSection s;
        s.name = file.substr(h, 8);
        s.name = s.name.substr(0, s.name.find('\0'));
        s.virtualSize = Le32(file, h + 8);
        s.virtualAddress = Le32(file, h + 12);
        s.rawSize = Le32(file, h + 16);
        s.rawPointer = Le32(file, h + 20);
        s.characteristics = Le32(file, h + 36);
        p.sections.push_back(s);
    }
    if (!CheckSections(file, imageEnd, &p, error) ||
        !CheckDirectories(file, imageEnd, fileSize, p, error))
        return false;
    uint32_t entry = Le32(file, o + 16);
    const PeSection* code = SectionOf(p, entry, 1);
    if (!code || !(code->characteristics & (kScnCode | kScnExecute)))
        return Refuse(error, "the entry point " + Hex(entry) + " is not in a code section");
    if (image) *image = p;
    return true;
}

uint32_t NextSectionAddress(const PeImage& p) {
    const PeSection& last = p.sections.back();
    return (uint32_t)AlignUp(last.virtualAddress + Extent(last), p.sectionAlignment);
}

bool AppendPeSection(std::string* bytes, const PeImage& p, const char* name, const std::string& data,
                     uint32_t characteristics, int directory, std::string* error) {
    if (data.empty()) return Refuse(error, "an empty section");
    if (directory >= (int)p.directoryCount)
        return Refuse(error, std::string("the image has no entry for the ") +
                                 kDirectoryNames[directory] + " directory");
    if (directory >= 0 && (Le32(*bytes, p.DirectoryOffset(directory)) || Le32(*bytes, p.DirectoryOffset(directory) + 4)))
        return Refuse(error,
                      std::string("the image has ") + kDirectoryNames[directory] + " already");
    size_t header = p.sectionTableAt + p.sections.size() * kSectionHeaderSize;
    uint64_t firstData = p.sizeOfHeaders;
    for (const PeSection& s : p.sections)
        if (s.rawSize && s.rawPointer < firstData) firstData = s.rawPointer;
    bool room = header + kSectionHeaderSize <= firstData && p.sections.size() < 96;
    for (size_t at = header; room && at < header + kSectionHeaderSize; ++at) room = (*bytes)[at] == 0;
    if (!room)
        return Refuse(error, "no free room for another section header after the section table");

    uint32_t address = NextSectionAddress(p);
    uint64_t rawPointer = AlignUp(bytes->size(), p.fileAlignment);
    uint64_t rawSize = AlignUp(data.size(), p.fileAlignment);
    uint64_t sizeOfImage = AlignUp((uint64_t)address + data.size(), p.sectionAlignment);
    if (rawPointer + rawSize > 0xFFFFFFFFu || sizeOfImage > 0xFFFFFFFFu)
        return Refuse(error, "the section makes the image too large");

    std::string h(kSectionHeaderSize, '\0');
    for (size_t k = 0; k < 8 && name[k]; ++k) h[k] = name[k];
    SetLe32(&h, 8, (uint32_t)data.size());
    SetLe32(&h, 12, address);
    SetLe32(&h, 16, (uint32_t)rawSize);
    SetLe32(&h, 20, (uint32_t)rawPointer);
    SetLe32(&h, 36, characteristics);
    bytes->replace(header, kSectionHeaderSize, h);

    size_t o = p.optionalAt, coff = o - kCoffSize;
    SetLe16(bytes, coff + 2, (uint32_t)p.sections.size() + 1);
    if (characteristics & 0x40) SetLe32(bytes, o + 8, Le32(*bytes, o + 8) + (uint32_t)rawSize);
    if (sizeOfImage > p.sizeOfImage) SetLe32(bytes, o + 56, (uint32_t)sizeOfImage);
    SetLe32(bytes, p.ChecksumOffset(), 0);
    if (directory >= 0) {
        SetLe32(bytes, p.DirectoryOffset(directory), address);
        SetLe32(bytes, p.DirectoryOffset(directory) + 4, (uint32_t)data.size());
    }
    bytes->resize(rawPointer, '\0');
    *bytes += data;
    bytes->resize(rawPointer + rawSize, '\0');
    return true;
}

}  // namespace sfx
