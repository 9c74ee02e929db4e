#include "tools/common/bytes.h"

#include <stdio.h>
#include <zlib.h>

namespace sfx {

void PutLe16(std::string* b, uint32_t v) {
    *b += (char)(v & 0xFF);
    *b += (char)((v >> 8) & 0xFF);
}
void PutLe32(std::string* b, uint32_t v) {
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}
void SetLe16(std::string* b, size_t at, uint32_t v) {
    for (int k = 0; k < 2; ++k) (*b)[at + k] = (char)((v >> (8 * k)) & 0xFF);
}
void SetLe32(std::string* b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) (*b)[at + k] = (char)((v >> (8 * k)) & 0xFF);
}

std::string Hex(uint64_t v) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)v);
    return text;
}

std::string InflateFault(int rc, const char* msg) {
    if (rc == Z_DATA_ERROR) return std::string("invalid DEFLATE data (") + (msg ? msg : "?") + ")";
    if (rc == Z_BUF_ERROR || rc == Z_OK) return "DEFLATE data ends before its last block";
    return "the decoder failed";
}

}  // namespace sfx
