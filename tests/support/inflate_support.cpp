#include "tests/support/inflate_support.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>

#include "posix/standin.h"

void AllocateDecoderBuffers() {
    if (!state.crcTable[1]) BuildCrcTable();
    if (!state.window) state.window = (unsigned char*)LocalAlloc(LPTR, WINDOW_ALLOC);
    if (!state.readBuffer) state.readBuffer = (unsigned char*)LocalAlloc(LPTR, READ_CHUNK);
}

Decoded InflateMemory(const std::string& in, size_t capacity) {
    AllocateDecoderBuffers();
    Decoded d;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity ? capacity : 1]);
    // An input range of its own too, so that a read past it is caught.
    std::unique_ptr<unsigned char[]> input(new unsigned char[in.size() ? in.size() : 1]);
    memcpy(input.get(), in.data(), in.size());
    WriteLe32(state.localHeader + ENTRY_PACKED, 0);
    state.inputPtr = input.get();
    state.inputCount = (int)in.size();
    state.outputPtr = buffer.get();
    state.outputLimit = buffer.get() + capacity;
    state.memoryMode = 1;
    d.result = InflateStream();
    state.memoryMode = 0;
    d.out.assign((const char*)buffer.get(), state.outputPtr - buffer.get());
    state.inputPtr = nullptr;
    state.outputPtr = nullptr;
    state.outputLimit = nullptr;
    return d;
}

namespace {

std::string TempName(const char* tag) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessly-inflate-" + tag +
                          "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) abort();
    close(fd);
    return name.data();
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

Decoded InflateFile(const std::string& in, const std::string& before, const std::string& after) {
    AllocateDecoderBuffers();
    Decoded d;
    std::string inPath = TempName("in"), outPath = TempName("out");
    std::ofstream(inPath, std::ios::binary) << before << in << after;

    standin::Reset();
    state.archiveFile = _lopen(inPath.c_str(), OF_READ);
    SeekArchive((DWORD)before.size());
    state.outputFile = _lcreat(outPath.c_str(), 0);
    lstrcpyA(state.displayName, outPath.c_str());
    WriteLe32(state.localHeader + ENTRY_PACKED, (DWORD)in.size());
    state.inputCount = 0;
    state.memoryMode = 0;
    state.memberBytes = 0;
    state.bytesDone = 0;
    state.crc = 0xFFFFFFFF;
    d.result = InflateStream();
    d.taken = (DWORD)in.size() - ReadLe32(state.localHeader + ENTRY_PACKED);
    d.meterBytes = state.bytesDone;
    d.crc = ~state.crc;
    _lclose(state.outputFile);
    _lclose(state.archiveFile);
    state.outputFile = 0;
    state.archiveFile = 0;
    WriteLe32(state.localHeader + ENTRY_PACKED, 0);
    d.out = Slurp(outPath);
    unlink(inPath.c_str());
    unlink(outPath.c_str());
    return d;
}

std::string RawDeflate(const std::string& data, int level, int strategy, int memLevel) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK) abort();
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

void ListFiles(const std::string& folder, std::vector<std::string>* files, int depth) {
    if (depth > 6) return;
    DIR* d = opendir(folder.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = folder + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
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
        std::string data = Slurp(path);
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

void StreamWriter::AlignToByte() {
    if (bitCount_) Bits(0, 8 - bitCount_);
}

void StreamWriter::Bytes(const std::string& bytes) {
    for (unsigned char c : bytes) Bits(c, 8);
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

void StreamWriter::FixedMatch(unsigned length, unsigned distance) {
    static const unsigned lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                            15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                            67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned distanceBase[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    int l = 28;
    while (lengthBase[l] > length) --l;
    FixedLiteral(257 + l);
    int lextra = l < 8 || l == 28 ? 0 : (l - 4) / 4;
    Bits(length - lengthBase[l], lextra);
    int d = 29;
    while (distanceBase[d] > distance) --d;
    FixedDistanceSymbol(d);
    int dextra = d < 4 ? 0 : (d - 2) / 2;
    Bits(distance - distanceBase[d], dextra);
}

void StreamWriter::Stored(const std::string& bytes, bool final) {
    Bits(final ? 1 : 0, 1);
    Bits(0, 2);
    AlignToByte();
    Bits((uint32_t)bytes.size(), 16);
    Bits(~(uint32_t)bytes.size() & 0xFFFF, 16);
    Bytes(bytes);
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
    for (int bits = 1; bits <= 16; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i]) codes[i] = next[lengths[i]]++;
    return codes;
}

void WriteDynamicHeader(StreamWriter* w, bool final, const std::vector<int>& literalLengths,
                        const std::vector<int>& distanceLengths) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w->Bits(final ? 1 : 0, 1);
    w->Bits(2, 2);
    w->Bits((uint32_t)literalLengths.size() - 257, 5);
    w->Bits((uint32_t)distanceLengths.size() - 1, 5);
    w->Bits(19 - 4, 4);
    for (int j = 0; j < 19; ++j) w->Bits(order[j] < 16 ? 4 : 0, 3);
    for (int l : literalLengths) w->Code((uint32_t)l, 4);
    for (int l : distanceLengths) w->Code((uint32_t)l, 4);
}
