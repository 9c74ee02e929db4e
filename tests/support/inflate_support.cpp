#include "tests/support/inflate_support.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "posix/standin.h"
#include "tests/support/sfx_files.h"

void AllocateDecoderBuffers() {
    if (!state.crc32.table[1]) BuildCrcTable();
    if (!state.decoder.window)
        state.decoder.window = (unsigned char*)LocalAlloc(LPTR, WINDOW_ALLOC);
    if (!state.reader.buffer) state.reader.buffer = (unsigned char*)LocalAlloc(LPTR, READ_CHUNK);
}

Decoded InflateMemory(const std::string& in, size_t capacity) {
    AllocateDecoderBuffers();
    Decoded d;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity ? capacity : 1]);
    // An input range of its own too, so that a read past it is caught.
    std::unique_ptr<unsigned char[]> input(new unsigned char[in.size() ? in.size() : 1]);
    memcpy(input.get(), in.data(), in.size());
    state.reader.memberLeft = 0;
    state.decoder.inputPtr = input.get();
    state.decoder.inputCount = (int)in.size();
    state.decoder.outputPtr = buffer.get();
    state.decoder.outputLimit = buffer.get() + capacity;
    state.decoder.memoryMode = 1;
    d.result = InflateStream();
    state.decoder.memoryMode = 0;
    d.out.assign((const char*)buffer.get(), state.decoder.outputPtr - buffer.get());
    state.decoder.inputPtr = state.decoder.outputPtr = state.decoder.outputLimit = nullptr;
    return d;
}

Decoded InflateFile(const std::string& in, const std::string& before, const std::string& after) {
    AllocateDecoderBuffers();
    Decoded d;
    sfxtest::TempDir dir;
    std::string inPath = dir / "in", outPath = dir / "out";
    sfxtest::WriteFile(inPath, before + in + after);

    standin::Reset();
    state.reader.file = _lopen(inPath.c_str(), OF_READ);
    SeekArchive((DWORD)before.size());
    state.output.file = _lcreat(outPath.c_str(), 0);
    lstrcpyA(state.output.displayName, outPath.c_str());
    state.reader.memberLeft = (DWORD)in.size();
    state.decoder.inputCount = 0;
    state.decoder.memoryMode = state.output.memberBytes = state.progress.bytesDone = 0;
    state.crc32.value = 0xFFFFFFFF;
    d.result = InflateStream();
    d.taken = (DWORD)in.size() - state.reader.memberLeft;
    d.meterBytes = state.progress.bytesDone;
    d.crc = ~state.crc32.value;
    _lclose(state.output.file);
    _lclose(state.reader.file);
    state.output.file = state.reader.file = 0;
    state.reader.memberLeft = 0;
    d.out = sfxtest::ReadFile(outPath);
    return d;
}

std::string RawDeflate(const std::string& data, int level, int strategy) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) abort();
    std::string out(deflateBound(&z, data.size()) + 16, '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) abort();
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

bool ZlibInflate(const std::string& in, std::string* out, size_t limit) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) abort();
    out->clear();
    z.next_in = (Bytef*)in.data();
    z.avail_in = (uInt)in.size();
    char chunk[16384];
    int rc;
    do {
        z.next_out = (Bytef*)chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        size_t n = sizeof chunk - z.avail_out;
        if (out->size() + n > limit) {
            rc = Z_BUF_ERROR;
            break;
        }
        out->append(chunk, n);
    } while (rc == Z_OK);
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

uint32_t ZlibCrc(const std::string& data) {
    return (uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
}

namespace {

// Readable regular files below `folder`, sorted by path, at most six levels down.
void ListFiles(const std::string& folder, std::vector<std::string>* files, int depth) {
    for (const std::string& name : sfxtest::ListFolder(folder)) {
        std::string path = folder + "/" + name;
        struct stat st;
        if (name[0] == '.' || lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) && depth < 6)
            ListFiles(path, files, depth + 1);
        else if (S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0)
            files->push_back(path);
    }
}

}  // namespace

std::vector<std::string> MachineFiles(const std::string& folder, size_t bytes) {
    std::vector<std::string> files, contents;
    ListFiles(folder, &files, 0);
    size_t total = 0;
    for (const std::string& path : files) {
        if (total >= bytes) break;
        std::string data = sfxtest::ReadFile(path);
        if (data.empty()) continue;
        data.resize(std::min(data.size(), bytes - total));
        total += data.size();
        contents.push_back(std::move(data));
    }
    return contents;
}

std::string MachineBytes(const std::string& folder, size_t bytes) {
    std::string all;
    for (const std::string& data : MachineFiles(folder, bytes)) all += data;
    return all;
}

std::string RandomBytes(size_t n, uint32_t salt) {
    std::string s(n, '\0');
    uint32_t x = salt * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = (char)(x >> 7);
    }
    return s;
}

// ---- StreamWriter ------------------------------------------------------------------------

void StreamWriter::Bits(uint32_t value, int n) {
    for (int i = 0; i < n; ++i) {
        bitBuffer_ |= ((value >> i) & 1u) << bitCount_;
        if (++bitCount_ == 8) {
            bytes_.push_back((char)bitBuffer_);
            bitBuffer_ = 0;
            bitCount_ = 0;
        }
    }
}

void StreamWriter::Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bits((code >> i) & 1u, 1);
}

void StreamWriter::FixedHeader(bool final) {
    Bits(final ? 1 : 0, 1);
    Bits(1, 2);
}

void StreamWriter::FixedLiteral(unsigned symbol) {
    if (symbol < 144)
        Code(0x30 + symbol, 8);
    else if (symbol < 256)
        Code(0x190 + symbol - 144, 9);
    else if (symbol < 280)
        Code(symbol - 256, 7);
    else
        Code(0xC0 + symbol - 280, 8);
}

void StreamWriter::FixedDistanceSymbol(unsigned symbol) { Code(symbol, 5); }

// Length symbol 257 + l has (l - 4) / 4 extra bits from l = 8 to 27, distance symbol d has
// (d - 2) / 2 from d = 4; each base follows the previous one's range. 258 is symbol 285.
void StreamWriter::FixedMatch(unsigned length, unsigned distance) {
    auto lextra = [](unsigned l) { return l < 8 ? 0u : (l - 4) / 4; };
    auto dextra = [](unsigned d) { return d < 4 ? 0u : (d - 2) / 2; };
    unsigned l = 0, base = 3;
    while (length != 258 && base + (1u << lextra(l)) <= length) base += 1u << lextra(l++);
    FixedLiteral(length == 258 ? 285 : 257 + l);
    if (length != 258) Bits(length - base, (int)lextra(l));
    unsigned d = 0;
    for (base = 1; base + (1u << dextra(d)) <= distance;) base += 1u << dextra(d++);
    FixedDistanceSymbol(d);
    Bits(distance - base, (int)dextra(d));
}

void StreamWriter::Stored(const std::string& bytes, bool final) {
    Bits(final ? 1 : 0, 1);
    Bits(0, 2);
    if (bitCount_) Bits(0, 8 - bitCount_);
    Bits((uint32_t)bytes.size(), 16);
    Bits(~(uint32_t)bytes.size() & 0xFFFF, 16);
    for (unsigned char c : bytes) Bits(c, 8);
}

std::string StreamWriter::Finish() {
    std::string out = bytes_;
    if (bitCount_) out.push_back((char)bitBuffer_);
    return out;
}

std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
    int count[17] = {0};
    for (int l : lengths) count[l]++;
    count[0] = 0;
    uint32_t next[17] = {0}, code = 0;
    for (int bits = 1; bits <= 16; ++bits) next[bits] = code = (code + count[bits - 1]) << 1;
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i]) codes[i] = next[lengths[i]]++;
    return codes;
}

void WriteRawDynamicHeader(StreamWriter* w, bool final, int hlit, int hdist, const std::vector<int>& clen,
                           const std::vector<LengthSymbol>& symbols) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w->Bits(final ? 1 : 0, 1);
    w->Bits(2, 2);
    w->Bits((uint32_t)hlit - 257, 5);
    w->Bits((uint32_t)hdist - 1, 5);
    w->Bits(19 - 4, 4);
    for (int j = 0; j < 19; ++j) w->Bits((uint32_t)clen[order[j]], 3);
    std::vector<uint32_t> codes = CanonicalCodes(clen);
    for (const LengthSymbol& s : symbols) {
        w->Code(codes[s.symbol], clen[s.symbol]);
        if (s.symbol >= 16) w->Bits((uint32_t)s.extra, s.symbol == 16 ? 2 : s.symbol == 17 ? 3 : 7);
    }
}

void WriteDynamicHeader(StreamWriter* w, bool final, const std::vector<int>& literalLengths,
                        const std::vector<int>& distanceLengths) {
    std::vector<int> clen(19, 4);
    clen[16] = clen[17] = clen[18] = 0;
    std::vector<LengthSymbol> symbols;
    for (const std::vector<int>* set : {&literalLengths, &distanceLengths})
        for (int l : *set) symbols.push_back({l, 0});
    WriteRawDynamicHeader(w, final, (int)literalLengths.size(), (int)distanceLengths.size(), clen, symbols);
}
