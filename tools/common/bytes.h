// Byte helpers of the host programs: little-endian fields read from and written into byte
// strings, offsets shown in hexadecimal, and zlib's inflate results said in words.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace sfx {

inline uint16_t Le16(const std::string& b, size_t at) {
    return (uint16_t)((unsigned char)b[at] | ((unsigned char)b[at + 1] << 8));
}
inline uint32_t Le32(const std::string& b, size_t at) {
    return Le16(b, at) | ((uint32_t)Le16(b, at + 2) << 16);
}
inline uint32_t Be32(const std::string& b, size_t at) {  // PNG's numbers
    return (uint32_t)(unsigned char)b[at] << 24 | (uint32_t)(unsigned char)b[at + 1] << 16 |
           (uint32_t)(unsigned char)b[at + 2] << 8 | (unsigned char)b[at + 3];
}
// Appends a field.
void PutLe16(std::string* b, uint32_t v);
void PutLe32(std::string* b, uint32_t v);
// Overwrites the field at `at`, which must lie inside `b`.
void SetLe16(std::string* b, size_t at, uint32_t v);
void SetLe32(std::string* b, size_t at, uint32_t v);

// "0x1A2B": offsets and field values in messages.
std::string Hex(uint64_t v);

// Why raw inflate stopped short, from its last result code and message (zlib's `msg`):
// "invalid DEFLATE data (...)", "DEFLATE data ends before its last block" (the input ran out,
// or inflate still wanted more) or "the decoder failed".
std::string InflateFault(int rc, const char* msg);

}  // namespace sfx
