// Helpers for the LZMA decoder's tests and benchmark: liblzma as the encoder of raw LZMA
// streams, and our decoder run on a stream from a file (the feed) into a file (the sink).
#pragma once
#include <stdint.h>

#include <string>

#include "tests/support/inflate_support.h"

struct LzmaStream {
    std::string packed;
    unsigned char props[5];  // lc/lp/pb byte and the dictionary size, as a 7z folder holds them
};

struct LzmaShape {
    unsigned lc = 3, lp = 0, pb = 2;
    uint32_t dict = 1 << 20;
    bool endMarker = false;
    int preset = 6;
    const std::string* presetDict = nullptr;  // bytes the encoder may refer back to
};

// liblzma's raw LZMA encoder (with or without the end marker); aborts on failure.
LzmaStream LzmaEncode(const std::string& data, const LzmaShape& shape = LzmaShape());

// Our decoder: the file holds `packed` then `after` (outside the member); answers its result,
// the output, the member's bytes it took and its output's CRC-32 as the sink computed it.
Decoded LzmaDecodeFile(const std::string& packed, const unsigned char props[5], uint64_t size,
                       const std::string& after = "");
