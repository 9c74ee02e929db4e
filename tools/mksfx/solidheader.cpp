// The 7z header of the solid form, written and read back for `mksfx list`. Only the shapes
// the stub takes: a plain header, or an encoded one (one LZMA stream that unpacks to the plain
// header, described by a small header of its own), one pack stream per folder, folders of
// LZMA alone or the x86 branch converter in front of LZMA, CRCs of every file, names in
// UTF-16LE, times and attributes of every entry.
#include <stdio.h>
#include <string.h>

#include "tools/common/codepages.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/solid.h"

namespace sfx {

const unsigned char k7zSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

namespace {

enum {
    kEnd = 0x00, kHeader = 0x01, kMainStreamsInfo = 0x04, kFilesInfo = 0x05, kPackInfo = 0x06,
    kUnPackInfo = 0x07, kSubStreamsInfo = 0x08, kSize = 0x09, kCRC = 0x0A, kFolder = 0x0B,
    kCodersUnPackSize = 0x0C, kNumUnPackStream = 0x0D, kEmptyStream = 0x0E, kEmptyFile = 0x0F,
    kName = 0x11, kMTime = 0x14, kWinAttributes = 0x15, kEncodedHeader = 0x17, kDummy = 0x19,
};
const unsigned char kLzmaId[] = {0x03, 0x01, 0x01};
const unsigned char kX86Id[] = {0x03, 0x03, 0x01, 0x03};

void Le(std::string* out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back((char)(v >> (8 * i)));
}

// 7z's numbers: the first byte's leading one bits say how many bytes follow.
void Number(std::string* out, uint64_t v) {
    int extra = 0;
    while (extra < 8 && v >= (1ull << (7 * (extra + 1)))) ++extra;
    if (extra == 8) {
        out->push_back((char)0xFF);
        Le(out, v, 8);
        return;
    }
    unsigned char first = (unsigned char)(0xFF00 >> extra);
    first |= (unsigned char)(v >> (8 * extra));
    out->push_back((char)first);
    Le(out, v, extra);
}

std::string Bits(const std::vector<bool>& bits) {
    std::string out((bits.size() + 7) / 8, '\0');
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) out[i / 8] |= (char)(0x80 >> (i % 8));
    return out;
}

void Property(std::string* out, int id, const std::string& data) {
    Number(out, id);
    Number(out, data.size());
    *out += data;
}

// Names come checked as UTF-8 (or converted from code page 850). A character past the Basic
// Multilingual Plane takes two units, a surrogate pair, as Windows names hold it.
std::vector<uint16_t> Utf16(const std::string& utf8) {
    std::vector<uint16_t> units;
    uint32_t v;
    for (size_t i = 0; i < utf8.size();) {
        if (!codepages::DecodeUtf8(utf8, &i, &v)) v = 0xFFFD, ++i;
        if (v > 0xFFFF) {
            units.push_back((uint16_t)(0xD800 + ((v - 0x10000) >> 10)));
            v = 0xDC00 + (v & 0x3FF);
        }
        units.push_back((uint16_t)v);
    }
    return units;
}

// Reading: a surrogate pair is one character; a lone surrogate shows as U+FFFD.
std::string Utf8(const std::vector<uint16_t>& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i], next = i + 1 < units.size() ? units[i + 1] : 0;
        if (u >> 10 == 0xD800 >> 10 && next >> 10 == 0xDC00 >> 10)
            u = 0x10000 + ((u & 0x3FF) << 10) + (units[++i] & 0x3FF);
        else if (u >> 11 == 0xD800 >> 11)
            u = 0xFFFD;
        codepages::AppendUtf8(&out, u);
    }
    return out;
}

struct Reader {
    const std::string& b;
    size_t at = 0;
    bool bad = false;
    uint64_t Byte() {
        if (at >= b.size()) return bad = true, 0;
        return (unsigned char)b[at++];
    }
    uint64_t Le(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= Byte() << (8 * i);
        return v;
    }
    uint64_t Number() {
        uint64_t first = Byte();
        int extra = 0;
        while (extra < 8 && (first & (0x80 >> extra))) ++extra;
        uint64_t v = Le(extra);
        if (extra < 7) v |= (first & ((1u << (7 - extra)) - 1)) << (8 * extra);
        return v;
    }
    bool Expect(uint64_t id) { return !bad && Number() == id; }
    std::vector<bool> Bits(size_t n) {
        std::vector<bool> bits(n);
        unsigned char byte = 0;
        for (size_t i = 0; i < n; ++i) {
            if (i % 8 == 0) byte = (unsigned char)Byte();
            bits[i] = byte & (0x80 >> (i % 8));
        }
        return bits;
    }
};

}  // namespace

uint64_t FileTime(int64_t unixSeconds) { return (uint64_t)(unixSeconds * 10000000 + 116444736000000000ll); }

std::string SignatureHeader(uint64_t offset, const std::string& header) {
    std::string start;
    Le(&start, offset, 8);
    Le(&start, header.size(), 8);
    Le(&start, Crc32(header.data(), header.size()), 4);
    std::string out((const char*)k7zSignature, 6);
    out += std::string("\0\x04", 2);
    Le(&out, Crc32(start.data(), start.size()), 4);
    return out + start;
}

std::string EncodeHeader(const SevenZipHeader& h) {
    std::string s;
    Number(&s, kHeader);
    if (!h.folders.empty()) {
        Number(&s, kMainStreamsInfo);
        Number(&s, kPackInfo);
        Number(&s, 0);
        Number(&s, h.folders.size());
        Number(&s, kSize);
        for (const SevenZipFolder& f : h.folders) Number(&s, f.packed);
        Number(&s, kEnd);
        Number(&s, kUnPackInfo);
        Number(&s, kFolder);
        Number(&s, h.folders.size());
        s.push_back(0);  // not external
        for (const SevenZipFolder& f : h.folders) {
            Number(&s, f.x86 ? 2 : 1);
            if (f.x86) {
                s.push_back(sizeof kX86Id);  // simple coder, no properties
                s.append((const char*)kX86Id, sizeof kX86Id);
            }
            s.push_back(0x20 | sizeof kLzmaId);  // simple coder with properties
            s.append((const char*)kLzmaId, sizeof kLzmaId);
            Number(&s, 5);
            s.append((const char*)f.props, 5);
            if (f.x86) {
                // BCJ's input (in-stream 0) is LZMA's output (out-stream 1); the pack
                // stream feeds in-stream 1.
                Number(&s, 0);
                Number(&s, 1);
            }
        }
        Number(&s, kCodersUnPackSize);
        for (const SevenZipFolder& f : h.folders)
            for (int i = 0; i < (f.x86 ? 2 : 1); ++i) Number(&s, f.unpacked);
        Number(&s, kEnd);
        Number(&s, kSubStreamsInfo);
        bool counts = false;
        for (const SevenZipFolder& f : h.folders) counts |= f.files != 1;
        if (counts) {
            Number(&s, kNumUnPackStream);
            for (const SevenZipFolder& f : h.folders) Number(&s, f.files);
        }
        std::string sizes, crcs;
        size_t k = 0;
        for (const SevenZipFolder& f : h.folders)
            for (uint64_t i = 0; i < f.files; ++i, ++k) {
                const SevenZipFile& file = h.files[k];
                if (i + 1 < f.files) Number(&sizes, file.size);
                Le(&crcs, file.crc, 4);
            }
        if (!sizes.empty()) {
            Number(&s, kSize);
            s += sizes;
        }
        Number(&s, kCRC);
        s.push_back(1);  // all defined
        s += crcs;
        Number(&s, kEnd);
        Number(&s, kEnd);
    }
    if (!h.files.empty()) {
        Number(&s, kFilesInfo);
        Number(&s, h.files.size());
        std::vector<bool> emptyStream, emptyFile;
        for (const SevenZipFile& f : h.files) {
            emptyStream.push_back(!f.hasData);
            if (!f.hasData) emptyFile.push_back(!f.isDirectory);
        }
        if (!emptyFile.empty()) {
            Property(&s, kEmptyStream, Bits(emptyStream));
            Property(&s, kEmptyFile, Bits(emptyFile));
        }
        std::string names(1, '\0'), times("\x01\x00", 2), attributes("\x01\x00", 2);
        for (const SevenZipFile& f : h.files) {
            for (uint16_t unit : Utf16(f.name)) Le(&names, unit, 2);
            Le(&names, 0, 2);
            Le(&times, f.mtime, 8);
            Le(&attributes, f.attributes, 4);
        }
        Property(&s, kName, names);
        Property(&s, kMTime, times);
        Property(&s, kWinAttributes, attributes);
        Number(&s, kEnd);
    }
    Number(&s, kEnd);
    return s;
}

bool DecodeHeader(const std::string& bytes, SevenZipHeader* h, std::string* error) {
    Reader r{bytes};
    auto bad = [&](const std::string& what) { return Refuse(error, "7z header: " + what); };
    if (!r.Expect(kHeader)) return bad("not a plain header");
    uint64_t id = r.Number();
    std::vector<uint64_t> fileSizes, crcs;
    if (id == kMainStreamsInfo) {
        if (!r.Expect(kPackInfo) || r.Number() != 0) return bad("no pack info at position 0");
        uint64_t n = r.Number();
        if (n > 2 || !r.Expect(kSize)) return bad("other than one pack stream per folder");
        h->folders.resize(n);
        for (SevenZipFolder& f : h->folders) f.packed = r.Number();
        if (!r.Expect(kEnd) || !r.Expect(kUnPackInfo) || !r.Expect(kFolder) || r.Number() != n || r.Byte() != 0)
            return bad("folders other than one per pack stream");
        for (SevenZipFolder& f : h->folders) {
            uint64_t coders = r.Number();
            if (coders != 1 && coders != 2) return bad("a folder of other coders");
            f.x86 = coders == 2;
            if (f.x86 && (r.Byte() != sizeof kX86Id || r.Le(4) != 0x03010303)) return bad("a coder other than BCJ");
            if (r.Byte() != (0x20 | sizeof kLzmaId) || r.Le(3) != 0x010103 || r.Number() != 5)
                return bad("a coder other than LZMA");
            for (unsigned char& p : f.props) p = (unsigned char)r.Byte();
            if (f.x86 && (r.Number() != 0 || r.Number() != 1)) return bad("coders bound another way");
        }
        if (!r.Expect(kCodersUnPackSize)) return bad("no unpacked sizes");
        for (SevenZipFolder& f : h->folders) {
            f.unpacked = r.Number();
            if (f.x86 && r.Number() != f.unpacked) return bad("the two coders' sizes differ");
            f.files = 1;
        }
        if (!r.Expect(kEnd) || !r.Expect(kSubStreamsInfo)) return bad("no substreams");
        id = r.Number();
        if (id == kNumUnPackStream) {
            for (SevenZipFolder& f : h->folders) f.files = r.Number();
            id = r.Number();
        }
        uint64_t total = 0;
        for (SevenZipFolder& f : h->folders) total += f.files;
        if (total > kEntriesMax) return bad("too many files");
        bool sizes = id == kSize;
        for (SevenZipFolder& f : h->folders) {
            uint64_t left = f.unpacked;
            for (uint64_t i = 0; i < f.files; ++i) {
                uint64_t size = i + 1 < f.files ? (sizes ? r.Number() : 0) : left;
                if (size > left) return bad("file sizes past the folder's");
                left -= size;
                fileSizes.push_back(size);
            }
        }
        if (sizes) id = r.Number();
        if (id != kCRC || r.Byte() != 1) return bad("not every file has its CRC");
        for (size_t i = 0; i < fileSizes.size(); ++i) crcs.push_back(r.Le(4));
        if (!r.Expect(kEnd) || !r.Expect(kEnd)) return bad("streams info does not end");
        id = r.Number();
    }
    if (id == kFilesInfo) {
        uint64_t n = r.Number();
        if (n > kEntriesMax || n < fileSizes.size()) return bad("a file count that does not fit");
        h->files.resize(n);
        std::vector<bool> emptyStream(n), emptyFile;
        for (uint64_t property; !r.bad && (property = r.Number()) != kEnd;) {
            uint64_t size = r.Number();
            if (size > bytes.size() - r.at) return bad("a property runs past the header");
            size_t end = r.at + size;
            if (property == kEmptyStream) {
                emptyStream = r.Bits(n);
            } else if (property == kEmptyFile) {
                size_t empties = 0;
                for (bool e : emptyStream) empties += e;
                emptyFile = r.Bits(empties);
            } else if (property == kName && r.Byte() == 0) {
                std::vector<uint16_t> units;
                for (SevenZipFile& f : h->files) {
                    units.clear();
                    for (uint64_t u; r.at < end && (u = r.Le(2)) != 0;) units.push_back((uint16_t)u);
                    f.name = Utf8(units);
                }
            } else if ((property == kMTime || property == kWinAttributes) && r.Byte() == 1 && r.Byte() == 0) {
                for (SevenZipFile& f : h->files) {
                    if (property == kMTime) f.mtime = r.Le(8);
                    else f.attributes = (uint32_t)r.Le(4);
                }
            }
            if (r.at > end) return bad("a property runs past its size");
            r.at = end;
        }
        size_t k = 0, e = 0, withData = 0;
        for (uint64_t i = 0; i < n; ++i) {
            SevenZipFile& f = h->files[i];
            f.hasData = !emptyStream[i];
            if (!f.hasData) {
                f.isDirectory = !(e < emptyFile.size() && emptyFile[e]);
                ++e;
                continue;
            }
            if (k >= fileSizes.size()) return bad("more files with data than streams");
            f.size = fileSizes[k];
            f.crc = (uint32_t)crcs[k++];
            ++withData;
        }
        if (withData != fileSizes.size()) return bad("fewer files with data than streams");
        id = r.Number();
    } else if (!fileSizes.empty()) {
        return bad("streams without files");
    }
    if (r.bad || id != kEnd) return bad("it ends early or holds more");
    return true;
}

std::string EncodeHeaderInfo(const PackedHeader& p) {
    std::string s;
    Number(&s, kEncodedHeader);
    Number(&s, kPackInfo);
    Number(&s, p.packPos);
    Number(&s, 1);
    Number(&s, kSize);
    Number(&s, p.packSize);
    Number(&s, kEnd);
    Number(&s, kUnPackInfo);
    Number(&s, kFolder);
    Number(&s, 1);
    s.push_back(0);  // not external
    Number(&s, 1);
    s.push_back(0x20 | sizeof kLzmaId);
    s.append((const char*)kLzmaId, sizeof kLzmaId);
    Number(&s, 5);
    s.append((const char*)p.props, 5);
    Number(&s, kCodersUnPackSize);
    Number(&s, p.unpacked);
    Number(&s, kCRC);
    s.push_back(1);
    Le(&s, p.crc, 4);
    Number(&s, kEnd);
    Number(&s, kEnd);
    return s;
}

bool DecodeHeaderInfo(const std::string& bytes, PackedHeader* p, std::string* error) {
    Reader r{bytes};
    auto bad = [&](const std::string& what) { return Refuse(error, "7z encoded header: " + what); };
    if (!r.Expect(kEncodedHeader) || !r.Expect(kPackInfo)) return bad("no pack info");
    p->packPos = r.Number();
    if (r.Number() != 1 || !r.Expect(kSize)) return bad("other than one pack stream");
    p->packSize = r.Number();
    if (!r.Expect(kEnd) || !r.Expect(kUnPackInfo) || !r.Expect(kFolder) || r.Number() != 1 || r.Byte() != 0 ||
        r.Number() != 1 || r.Byte() != (0x20 | sizeof kLzmaId) || r.Le(3) != 0x010103 || r.Number() != 5)
        return bad("a folder other than LZMA alone");
    for (unsigned char& c : p->props) c = (unsigned char)r.Byte();
    if (!r.Expect(kCodersUnPackSize)) return bad("no unpacked size");
    p->unpacked = r.Number();
    uint64_t id = r.Number();
    p->hasCrc = id == kCRC;
    if (p->hasCrc) {
        if (r.Byte() != 1) return bad("no CRC-32");
        p->crc = (uint32_t)r.Le(4);
        id = r.Number();
    }
    if (r.bad || id != kEnd || !r.Expect(kEnd)) return bad("it ends early or holds more");
    return true;
}

std::string CoderText(const SevenZipFolder& f) {
    uint32_t dict = 0;
    for (int i = 0; i < 4; ++i) dict |= (uint32_t)f.props[1 + i] << (8 * i);
    int log = 0;
    while (log < 32 && (1u << log) < dict) ++log;
    std::string text = "LZMA:" + (log < 32 && (1u << log) == dict ? std::to_string(log)
                                                                   : std::to_string(dict >> 10) + "k");
    return text + (f.x86 ? " BCJ" : "");
}

}  // namespace sfx
