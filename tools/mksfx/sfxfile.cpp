// A finished file read for list, verify and extract: the block found, the configuration
// block inflated and split, the archive's records walked.
#include "tools/mksfx/sfxfile.h"

#include <string.h>

#include <algorithm>

namespace sfx {

// The first occurrence of the signature in the file, read in windows; npos when none.
static uint64_t FindSignature(InputFile* file) {
    const size_t n = PARAMETER_SIGNATURE_LENGTH, step = InputFile::kWindow - n;
    for (uint64_t at = 0; at < file->Size(); at += step) {
        size_t length = (size_t)std::min<uint64_t>(InputFile::kWindow, file->Size() - at);
        const unsigned char* p = file->Peek(at, length);
        if (const void* hit = memmem(p, length, kSignature, n)) return at + ((const unsigned char*)hit - p);
    }
    return std::string::npos;
}

bool ReadFile(const std::string& path, File* f, std::vector<std::string>* faults) {
    std::string error;
    if (!f->in.Open(path, &error)) {
        faults->push_back(error);
        return false;
    }
    const uint64_t size = f->in.Size();
    uint64_t first = FindSignature(&f->in);
    if (first == std::string::npos || first + STUB_PARAMETER_BLOCK_SIZE > size) {
        faults->push_back("no parameter block (not a self-extracting file)");
        return false;
    }
    // Like the stub's header check, the first occurrence of the signature is the block.
    std::string blockBytes;
    f->in.Read(first, STUB_PARAMETER_BLOCK_SIZE, &blockBytes);
    f->block = ReadBlock(blockBytes, 0);
    f->block.position = first;
    const Block& k = f->block;
    if (k.archiveOffset > size || k.archiveOffset < first + STUB_PARAMETER_BLOCK_SIZE) {
        std::string why = "archive offset " + Hex(k.archiveOffset) + " lies outside the file", start;
        f->in.Read(0, std::min(size, kHeadMax), &start);
        size_t occurrences = CountSignature(start, start.size(), nullptr);
        if (occurrences > 1)
            why += " (the block's signature occurs " + std::to_string(occurrences) +
                   " times; the first was taken for the block)";
        faults->push_back(why);
        return false;
    }
    if (k.archiveOffset > kHeadMax) {
        faults->push_back("archive offset " + Hex(k.archiveOffset) + ": the stub image and configuration would be " +
                          std::to_string(k.archiveOffset) + " bytes, mksfx reads at most 64 MiB before the archive");
        return false;
    }
    f->in.Read(0, k.archiveOffset, &f->head);
    const std::string& b = f->head;
    if (k.configOffset != 0) {
        if (k.configOffset >= k.archiveOffset || k.configOffset < first + STUB_PARAMETER_BLOCK_SIZE) {
            faults->push_back("configuration offset " + Hex(k.configOffset) +
                              " does not lie between the block and the archive");
            return false;
        }
        uint32_t packed = k.archiveOffset - k.configOffset;
        if (packed > CONFIG_PACKED_MAX) {
            faults->push_back("configuration block is " + std::to_string(packed) +
                              " bytes, the stub reads at most 1500");
            return false;
        }
        size_t used = 0;
        if (!InflateRaw(b.data() + k.configOffset, packed, CONFIG_UNPACKED_MAX, &f->inflatedConfig,
                        &used, &error)) {
            faults->push_back("configuration block: " + error + " (the stub holds 2012 bytes)");
            return false;
        }
        if (used != packed)
            faults->push_back("configuration block: its stream ends " +
                              std::to_string(packed - used) + " bytes before the archive");
        f->hasConfig = true;
        for (const std::string& fault :
             ParseConfig(f->inflatedConfig, k.optionFlags, &f->config))
            faults->push_back(fault);
    }
    f->walk = WalkRecords(&f->in, k.archiveOffset);
    for (const std::string& fault : f->walk.faults) faults->push_back(fault);
    return f->walk.complete;
}

}  // namespace sfx
