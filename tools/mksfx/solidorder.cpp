// The solid form's order: which folder each file goes into and where in it. Programs go
// through the x86 branch converter, other data straight into LZMA. Within a folder, files of
// one kind (extension) stand together, and a copy of a file stands right behind it: LZMA then
// sees it as one long match at the last distance, which costs a few bytes per 273.
#include <errno.h>
#include <fcntl.h>
#include <zlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/solid.h"

namespace sfx {

struct EntryReader::Zip {
    MemberDecoder decoder;
    std::string buffer;
    size_t at = 0;
    uint64_t packedDone = 0;
    explicit Zip(const ZipInputMember& m) : decoder(m) {}
};

EntryReader::EntryReader(const Entry& e) : e_(e) {
    if (e.zipFile) {
        zip_ = new Zip(e.zip);
        zip_->decoder.SetSink([this](const unsigned char* data, size_t n) { zip_->buffer.append((const char*)data, n); });
        return;
    }
    fd_ = open(e.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Fail("cannot read " + Shown(e.path) + ": " + strerror(errno));
}

EntryReader::~EntryReader() {
    if (fd_ >= 0) close(fd_);
    if (zip_) e_.zipFile->Forget();
    delete zip_;
}

void EntryReader::Finish() {
    finished_ = true;
    if (zip_) {
        std::string why;
        if (!zip_->decoder.Finish(&why)) Fail(Shown(e_.zipFile->Path()) + ": member " + Shown(e_.zip.name) + ": " + why);
        return;
    }
    char extra;
    if (read(fd_, &extra, 1) != 0) Fail(Shown(e_.path) + " changed while it was being read");
}

size_t EntryReader::Read(unsigned char* to, size_t want) {
    if (finished_ || want == 0) return 0;
    size_t got = 0;
    if (zip_) {
        Zip& z = *zip_;
        while (z.at == z.buffer.size() && z.packedDone < e_.zip.packed) {
            z.buffer.clear();
            z.at = 0;
            // Small pieces: a piece of DEFLATE data decodes to at most about 1000 times its size.
            size_t n = (size_t)std::min<uint64_t>(16 << 10, e_.zip.packed - z.packedDone);
            const unsigned char* p = e_.zipFile->Peek(e_.zip.dataOffset + z.packedDone, n);
            std::string why = "its data runs past the end of the file";
            if (!p || !z.decoder.Feed(p, n, &why))
                Fail(Shown(e_.zipFile->Path()) + " changed while it was read: member " + Shown(e_.zip.name) + ": " + why);
            z.packedDone += n;
        }
        got = std::min(want, z.buffer.size() - z.at);
        memcpy(to, z.buffer.data() + z.at, got);
        z.at += got;
    } else if (done_ < e_.size) {
        ssize_t n = read(fd_, to, (size_t)std::min<uint64_t>(want, e_.size - done_));
        if (n < 0) Fail("cannot read " + Shown(e_.path) + ": " + strerror(errno));
        if (n == 0) Fail(Shown(e_.path) + " changed while it was being read");
        got = (size_t)n;
    }
    if (got == 0) {
        Finish();
        return 0;
    }
    done_ += got;
    crc_ = Crc32(to, got, crc_);
    return got;
}

namespace {

// A PE image: "MZ", and "PE\0\0" where the offset at 0x3C points within the first 4 KiB.
bool IsProgram(const Entry& e) {
    unsigned char head[4096];
    EntryReader reader(e);
    size_t n = 0;
    for (size_t got; n < sizeof head && (got = reader.Read(head + n, sizeof head - n)) > 0;) n += got;
    if (n < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
    uint32_t pe = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | (uint32_t)head[0x3F] << 24;
    return pe <= n - 4 && memcmp(head + pe, "PE\0\0", 4) == 0;
}

// Two independent checksums of the contents (CRC-32 and Adler-32, 64 bits together). Files
// that agree are placed side by side; two different files that agreed by chance would only be
// placed less well, never stored wrongly.
std::string Digest(const Entry& e) {
    uLong crc = crc32(0L, Z_NULL, 0), adler = adler32(0L, Z_NULL, 0);
    std::string buffer(1 << 20, '\0');
    EntryReader reader(e);
    for (size_t n; (n = reader.Read((unsigned char*)&buffer[0], buffer.size())) > 0;) {
        crc = crc32(crc, (const Bytef*)buffer.data(), (uInt)n);
        adler = adler32(adler, (const Bytef*)buffer.data(), (uInt)n);
    }
    return std::to_string(crc) + "/" + std::to_string(adler);
}

std::string Extension(const std::string& name) {
    size_t slash = name.rfind('/');
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = (char)tolower((unsigned char)c);
    return ext;
}

}  // namespace

SolidPlan PlanSolid(const std::vector<Entry>& entries) {
    SolidPlan plan;
    std::vector<size_t> kinds[2];  // plain data, programs
    std::map<uint64_t, int> sizes;  // how many files have each size
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (e.isDirectory || e.size == 0) {
            plan.empty.push_back(i);
            continue;
        }
        kinds[IsProgram(e)].push_back(i);
        sizes[e.size]++;
    }
    for (int x86 = 1; x86 >= 0; --x86) {
        std::vector<size_t>& files = kinds[x86];
        if (files.empty()) continue;
        std::vector<std::string> ext(entries.size());
        for (size_t i : files) ext[i] = Extension(entries[i].name);
        std::stable_sort(files.begin(), files.end(), [&](size_t a, size_t b) {
            return ext[a] != ext[b] ? ext[a] < ext[b] : entries[a].name < entries[b].name;
        });
        // Only files that share their size with another can be copies; only those are hashed.
        std::map<std::string, std::vector<size_t>> copies;  // by size and digest, in order
        std::vector<std::string> key(entries.size());
        for (size_t i : files)
            if (sizes[entries[i].size] > 1) {
                key[i] = std::to_string(entries[i].size) + ":" + Digest(entries[i]);
                copies[key[i]].push_back(i);
            }
        SolidFolder folder;
        folder.x86 = x86;
        std::vector<bool> placed(entries.size());
        for (size_t i : files) {
            if (placed[i]) continue;
            std::vector<size_t> same{i};
            if (!key[i].empty()) same = copies[key[i]];
            for (size_t k : same) {
                placed[k] = true;
                folder.files.push_back(k);
                folder.size += entries[k].size;
            }
            plan.duplicates += same.size() - 1;
        }
        plan.folders.push_back(folder);
    }
    return plan;
}

}  // namespace sfx
