#include "tests/support/solid_craft.h"

#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace solidcraft {

namespace {

// A folder's coders: LZMA alone, or the x86 coder feeding LZMA's output to the file (as 7-Zip
// lists them, the x86 one first; bind pair: its input is LZMA's output).
const std::string kLzma("\x23\x03\x01\x01\x05", 5), kBcj("\x04\x03\x03\x01\x03", 5);

std::string Coders(bool x86, const std::string& props) {
    return x86 ? '\x02' + kBcj + kLzma + props + std::string("\x00\x01", 2) : '\x01' + kLzma + props;
}

void Le(std::string* s, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s->push_back((char)(v >> (8 * i)));
}

// A number of the header: as many leading one bits in the first byte as bytes follow.
void Num(std::string* s, uint64_t v) {
    int n = 0;
    while (n < 8 && v >= 1ull << (7 * (n + 1))) ++n;
    if (n == 8) {
        s->push_back((char)0xFF);
        Le(s, v, 8);
        return;
    }
    s->push_back((char)(((0xFF00 >> n) & 0xFF) | (v >> (8 * n))));
    Le(s, v, n);
}

uint32_t Crc(const std::string& s) { return (uint32_t)crc32(0, (const Bytef*)s.data(), (uInt)s.size()); }

uint64_t Size(const File& f) { return f.zeros + f.data.size(); }

uint32_t Crc(const File& f) {
    static const std::string zeros(1 << 20, '\0');
    uLong crc = 0;
    for (uint64_t left = f.zeros; left;) {
        size_t n = (size_t)std::min<uint64_t>(left, zeros.size());
        crc = crc32(crc, (const Bytef*)zeros.data(), (uInt)n);
        left -= n;
    }
    return (uint32_t)crc32(crc, (const Bytef*)f.data.data(), (uInt)f.data.size());
}

std::string Bits(const std::vector<bool>& bits) {
    std::string s((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) s[i / 8] |= (char)(0x80 >> (i % 8));
    return s;
}

void Property(std::string* h, unsigned id, const std::string& body) {
    Num(h, id);
    Num(h, body.size());
    *h += body;
}

}  // namespace

std::string Utf16(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        uint32_t cp = c;
        int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (more) cp = c & (0x3F >> more);
        for (int k = 1; k <= more && i + k < utf8.size(); ++k) cp = cp << 6 | (utf8[i + k] & 0x3F);
        i += 1 + more;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            Le(&out, 0xD800 + (cp >> 10), 2);
            cp = 0xDC00 + (cp & 0x3FF);
        }
        Le(&out, cp, 2);
    }
    Le(&out, 0, 2);
    return out;
}

std::string Compress(const std::vector<const File*>& files, bool x86, uint32_t dictionary, std::string* props) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = dictionary;
    for (const File* f : files)
        if (f->zeros) lzma_lzma_preset(&options, 0), options.dict_size = dictionary;  // fast on long runs
    lzma_filter filters[3];
    int n = 0;
    if (x86) filters[n++] = {LZMA_FILTER_X86, nullptr};
    filters[n++] = {LZMA_FILTER_LZMA1, &options};
    filters[n] = {LZMA_VLI_UNKNOWN, nullptr};
    uint8_t p[5];
    if (lzma_properties_encode(&filters[n - 1], p) != LZMA_OK) throw std::runtime_error("lzma properties");
    props->assign((const char*)p, 5);
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK) throw std::runtime_error("lzma encoder");
    std::string out, buffer(1 << 20, '\0');
    const std::string zeros(1 << 20, '\0');
    auto feed = [&](const char* data, size_t size, lzma_action action) {
        strm.next_in = (const uint8_t*)data;
        strm.avail_in = size;
        for (;;) {
            strm.next_out = (uint8_t*)&buffer[0];
            strm.avail_out = buffer.size();
            lzma_ret r = lzma_code(&strm, action);
            out.append(buffer, 0, buffer.size() - strm.avail_out);
            if (r == LZMA_STREAM_END) return;
            if (r != LZMA_OK) throw std::runtime_error("lzma encoding");
            if (action == LZMA_RUN && strm.avail_in == 0) return;
        }
    };
    for (const File* f : files) {
        for (uint64_t left = f->zeros; left;) {
            size_t n = (size_t)std::min<uint64_t>(left, zeros.size());
            feed(zeros.data(), n, LZMA_RUN);
            left -= n;
        }
        feed(f->data.data(), f->data.size(), LZMA_RUN);
    }
    feed(nullptr, 0, LZMA_FINISH);
    lzma_end(&strm);
    return out;
}

std::string Assemble(const std::string& packed, const std::string& header, bool badStartCrc,
                     int64_t nextOffsetDelta) {
    std::string start;
    Le(&start, packed.size() + nextOffsetDelta, 8);
    Le(&start, header.size(), 8);
    Le(&start, Crc(header), 4);
    std::string s("7z\xBC\xAF\x27\x1C\x00\x04", 8);
    Le(&s, Crc(start) ^ (badStartCrc ? 1 : 0), 4);
    return s + start + packed + header;
}

std::string Archive::Build() {
    // Programs with data first (the x86 folder), then the others in their order; or the
    // others first with programsLast.
    std::vector<File> ordered;
    for (bool programs : {!programsLast, programsLast})
        for (const File& f : files)
            if ((f.program && Size(f)) == programs) ordered.push_back(f);
    struct Folder {
        bool bcj;
        std::vector<const File*> members;
        std::string props, packed;
        uint64_t size;
    };
    std::vector<Folder> folders;
    for (bool bcj : {!programsLast, programsLast}) {
        Folder folder{bcj, {}, "", "", 0};
        for (const File& f : ordered)
            if (!f.folder && Size(f) && f.program == bcj) folder.members.push_back(&f), folder.size += Size(f);
        if (!folder.members.empty()) folders.push_back(folder);
    }
    std::string packed;
    for (size_t i = 0; i < folders.size(); ++i) {
        Folder& f = folders[i];
        f.packed = Compress(f.members, f.bcj, dictionary, &f.props);
        if (i == 0) {
            f.packed.resize(f.packed.size() - std::min<size_t>(packCut, f.packed.size()));
            f.packed += packTail;
        }
        packed += f.packed;
    }

    std::string h;
    h += '\x01';
    if (!folders.empty()) {
        h += '\x04';
        h += '\x06';
        Num(&h, 0);
        Num(&h, folders.size());
        h += '\x09';
        for (const Folder& f : folders) Num(&h, f.packed.size());
        h += '\x00';
        h += '\x07';
        h += '\x0B';
        Num(&h, folders.size());
        h += '\x00';
        for (const Folder& f : folders)
            h += !f.bcj || bcjFirst ? Coders(f.bcj, f.props) : '\x02' + kLzma + f.props + kBcj + std::string("\x01\x00", 2);
        h += '\x0C';
        for (size_t i = 0; i < folders.size(); ++i) {
            uint64_t size = folders[i].size + (i == 0 ? unpackDelta : 0);
            Num(&h, size);
            if (folders[i].bcj) Num(&h, size);
        }
        h += '\x00';
        h += '\x08';
        h += '\x0D';
        for (const Folder& f : folders) Num(&h, f.members.size());
        h += '\x09';
        for (const Folder& f : folders)
            for (size_t i = 0; i + 1 < f.members.size(); ++i) Num(&h, Size(*f.members[i]));
        h += '\x0A';
        h += '\x01';
        std::vector<const File*> all;
        for (const Folder& f : folders)
            for (const File* m : f.members) all.push_back(m);
        for (size_t i = 0; i < all.size(); ++i)
            Le(&h, Crc(*all[i]) ^ (i + 1 == all.size() ? crcXor : 0), 4);
        h += '\x00';
        h += '\x00';
    }
    if (!ordered.empty()) {
        h += '\x05';
        Num(&h, ordered.size());
        std::vector<bool> emptyStream, emptyFile;
        for (const File& f : ordered) {
            bool empty = f.folder || !Size(f);
            emptyStream.push_back(empty);
            if (empty) emptyFile.push_back(!f.folder);
        }
        if (!emptyFile.empty()) {
            Property(&h, 0x0E, Bits(emptyStream));
            Property(&h, 0x0F, Bits(emptyFile));
        }
        std::string names(1, '\0'), times("\x01\x00", 2), attributes("\x01\x00", 2);
        for (const File& f : ordered) {
            names += Utf16(f.name);
            Le(&times, f.mtime, 8);
            Le(&attributes, f.folder ? 0x10 : 0x20, 4);
        }
        Property(&h, 0x11, names);
        Property(&h, 0x14, times);
        Property(&h, 0x15, attributes);
        h += '\x00';
    }
    h += '\x00';
    if (editHeader) editHeader(&h);
    for (int round = 0; round < encodeHeader; ++round) {
        File plain{"", h};
        std::string props, stream = Compress({&plain}, headerX86, dictionary, &props);
        stream.resize(stream.size() - std::min<size_t>(headerPackCut, stream.size()));
        const int folders = headerTwice ? 2 : 1;
        std::string info("\x17\x06", 2);
        Num(&info, packed.size() + headerPackAtDelta);
        Num(&info, folders);
        info += '\x09';
        for (int f = 0; f < folders; ++f) Num(&info, stream.size());
        info += std::string("\x00\x07\x0B", 3);
        Num(&info, folders);
        info += '\x00';
        for (int f = 0; f < folders; ++f) info += Coders(headerX86, props);
        info += '\x0C';
        for (int f = 0; f < folders * (headerX86 ? 2 : 1); ++f) Num(&info, h.size() + headerSizeDelta);
        info += std::string("\x0A\x01", 2);
        for (int f = 0; f < folders; ++f) Le(&info, Crc(h) ^ headerCrcXor, 4);
        info += std::string("\x00\x00", 2);
        for (int f = 0; f < folders; ++f) packed += stream;
        h = info;
    }
    header = h;
    return Assemble(packed, h, badStartCrc, nextOffsetDelta);
}

}  // namespace solidcraft
