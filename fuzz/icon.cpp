// Arbitrary bytes through the stub's icon check. What it calls sound is read as the platform's
// loader reads it (header, palette, rows and mask of every image, sizes in 64 bits) from a copy
// of exactly the input's size, so an image the check let through that does not fit is caught.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "startup/startup.h"

// What the reads add up to; kept so that they are not left out.
unsigned iconByteSum;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> icon(data, data + size);
    int fault = CheckIconFile(icon.data(), (DWORD)size);
    if (fault < ICON_SOUND || fault > ICON_IMAGE_CUT) abort();
    if (fault != ICON_SOUND) return 0;
    unsigned sum = 0;
    for (uint64_t i = 0, count = ReadLe16(&icon[4]); i < count; ++i) {
        const unsigned char* entry = &icon[6 + 16 * i];
        const unsigned char* header = &icon[ReadLe32(entry + 12)];
        uint64_t width = ReadLe32(header + 4), height = ReadLe32(header + 8) / 2;
        uint64_t bits = ReadLe16(header + 14), colours = ReadLe32(header + 32);
        if (bits <= 8 && colours == 0) colours = 1u << bits;
        uint64_t rowBytes = (width * bits + 31) / 32 * 4 + (width + 31) / 32 * 4;
        uint64_t bytes = 40 + 4 * colours + height * rowBytes;
        if (bytes > ReadLe32(entry + 8)) abort();
        for (uint64_t k = 0; k < bytes; ++k) sum += header[k];
    }
    iconByteSum = sum;
    return 0;
}
