// Helpers for the decoder's tests, fuzz target and benchmark: running the decoder in memory
// mode and in file mode, zlib as the reference, real files of the machine as sample data, and
// a small writer for hand-built streams.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "inflate/inflate.h"
#include "posix/windows.h"

// Allocates the decoder's window and buffers, as start-up does, unless they exist already.
void AllocateDecoderBuffers();

struct Decoded {
    int result = -1;
    std::string out;               // what reached the caller's buffer or the output file
    DWORD taken = 0;               // the member's bytes the feed took (file mode)
    DWORD meterBytes = 0;          // what the output counted towards the meter (file mode)
    DWORD crc = 0;                 // the CRC the sink computed (file mode), complemented
};

// Memory mode: `in` is the whole range; the output buffer holds exactly `capacity` bytes (an
// allocation of its own, so a write past it is caught).
Decoded InflateMemory(const std::string& in, size_t capacity);

// File mode: the file holds `before`, the member's `in`, then `after`; the compressed size is
// in.size().
Decoded InflateFile(const std::string& in, const std::string& before = "", const std::string& after = "");

// zlib as the reference: raw streams (no wrapper).
std::string RawDeflate(const std::string& data, int level = 9, int strategy = 0);
// True when zlib decodes the whole stream to its end-of-stream; *out gets at most `limit` bytes.
bool ZlibInflate(const std::string& in, std::string* out, size_t limit = (size_t)1 << 30);
uint32_t ZlibCrc(const std::string& data);

// Real files of the machine: bytes of readable regular files under `folder` (recursively,
// sorted by path), concatenated until `bytes` are reached; fewer if the folder holds less.
std::string MachineBytes(const std::string& folder, size_t bytes);
// The same files one by one (the last one cut so that the total is `bytes`).
std::vector<std::string> MachineFiles(const std::string& folder, size_t bytes);
// A deterministic pseudo-random byte string.
std::string RandomBytes(size_t n, uint32_t salt);

// Writes a DEFLATE stream bit by bit: fields least significant bit first, Huffman codes most
// significant bit first, and blocks with the fixed codes built from tokens.
class StreamWriter {
public:
    void Bits(uint32_t value, int n);                 // a field of n bits
    void Code(uint32_t code, int length);             // a Huffman code, first bit = top bit

    void FixedHeader(bool final);                     // block header of a fixed-code block
    void FixedLiteral(unsigned symbol);               // literal/length symbol 0..287
    void FixedMatch(unsigned length, unsigned distance);  // 3..258, 1..32768
    void FixedDistanceSymbol(unsigned symbol);        // 0..31, no extra bits
    void Stored(const std::string& bytes, bool final);  // header, alignment, LEN, NLEN, bytes

    std::string Finish();                             // the stream, last byte zero-padded
    size_t BitLength() const { return bytes_.size() * 8 + bitCount_; }

private:
    std::string bytes_;
    uint32_t bitBuffer_ = 0;
    int bitCount_ = 0;
};

// Canonical codes (RFC 1951, 3.2.2) for the given lengths; code[i] is written first bit = top.
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths);

// A dynamic block header with `hlit` and `hdist` lengths sent as code-length symbols, each with
// its repeat field, in the code-length code `clen` (19 lengths by symbol).
struct LengthSymbol {
    int symbol, extra;
};
void WriteRawDynamicHeader(StreamWriter* w, bool final, int hlit, int hdist, const std::vector<int>& clen,
                           const std::vector<LengthSymbol>& symbols);
// The same with the lengths sent one by one in sixteen 4-bit codes for the lengths 0..15.
void WriteDynamicHeader(StreamWriter* w, bool final, const std::vector<int>& literalLengths,
                        const std::vector<int>& distanceLengths);
