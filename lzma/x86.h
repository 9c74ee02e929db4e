// The x86 branch converter: the 32-bit operands of CALL (E8) and JMP (E9) instructions turned
// from relative to absolute targets before compression, so that repeated calls of one function
// become repeated bytes, and back after decoding. The same rules as the x86 filter of the 7z
// and xz formats, so that either side of a stream can be made or read by other tools.
#pragma once
#include "base/platform.h"

struct X86State {
    DWORD position;  // the stream position of the next byte offered
    DWORD mask;      // which of the three bytes before it were E8/E9 bytes left unconverted
};

// Converts data[0 .. size) in place (encoding: relative to absolute; decoding: back) and
// answers how many bytes at the front are final. The rest, at most 4, must be offered again
// in front of the bytes that follow; at the end of the stream they stay as they are.
DWORD ConvertX86(X86State* s, unsigned char* data, DWORD size, bool encoding);
