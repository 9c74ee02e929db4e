// CRC-32 of ZIP (reflected polynomial 0xEDB88320), one table step per byte.
#include "startup/state.h"

void BuildCrcTable(void) {
    for (DWORD i = 0; i < 256; ++i) {
        DWORD c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320 : c >> 1;
        state.crcTable[i] = c;
    }
}

void Crc32Update(const unsigned char* bytes, DWORD count) {
    DWORD c = state.crc;
    const DWORD* table = state.crcTable;
    while (count--) c = table[(c ^ *bytes++) & 0xFF] ^ (c >> 8);
    state.crc = c;
}
