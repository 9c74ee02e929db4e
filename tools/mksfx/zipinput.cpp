// A ZIP file is read through its central directory, which holds the true CRC-32 and sizes
// even when the local headers defer them to data descriptors. Offsets are corrected by the
// distance between where the central directory is and where the end record says it is, so
// archives with data in front of them (other self-extractors) read too.
#include "tools/mksfx/zipinput.h"

#include <stdlib.h>

#include <algorithm>

#include "tools/common/codepages.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

namespace {

// The end record stands in the last 65557 bytes (`tail`, which starts at `tailAt`); the one
// whose comment reaches exactly to the end of the file is preferred over a stray signature
// inside a comment.
bool FindEndRecord(const std::string& tail, uint64_t tailAt, uint64_t* at) {
    if (tail.size() < END_RECORD_BYTES) return false;
    bool found = false;
    for (size_t p = tail.size() - END_RECORD_BYTES + 1; p-- > 0;) {
        if (Le32(tail, p) != ZIP_END_SIGNATURE) continue;
        if (p + END_RECORD_BYTES + Le16(tail, p + END_COMMENT_LENGTH) == tail.size()) {
            *at = tailAt + p;
            return true;
        }
        if (!found) {
            *at = tailAt + p;
            found = true;
        }
    }
    return found;
}

// The Info-ZIP Unicode path field (0x7075) carries a UTF-8 name for archives whose plain
// name is in a legacy code page; a non-empty one counts while its CRC matches the plain name.
bool UnicodePathField(const std::string& extra, const std::string& rawName, std::string* name) {
    for (size_t p = 0; p + 4 <= extra.size();) {
        uint16_t id = Le16(extra, p), length = Le16(extra, p + 2);
        if (p + 4 + length > extra.size()) break;
        if (id == 0x7075 && length >= 6 && extra[p + 4] == 1 &&
            Le32(extra, p + 5) == Crc32(rawName.data(), rawName.size())) {
            *name = extra.substr(p + 9, length - 5);
            return true;
        }
        p += 4 + length;
    }
    return false;
}

bool HasZip64Field(const std::string& extra) {
    for (size_t p = 0; p + 4 <= extra.size();) {
        uint16_t id = Le16(extra, p), length = Le16(extra, p + 2);
        if (id == 0x0001) return true;
        p += 4 + length;
    }
    return false;
}

}  // namespace

bool ArchiveTally::Add(uint64_t size, std::string* error) {
    if (++entries > kEntriesMax)
        return Refuse(error, "the archive would hold " + std::to_string(entries) +
                                 " entries, at most " + std::to_string(kEntriesMax) +
                                 " fit (ZIP64 is not supported)");
    bytes += size;
    if (bytes > kTotalSizeMax && !largeAllowed)
        return Refuse(error, "the members add up to " + std::to_string(bytes) +
                                 " bytes or more; the ZIP form holds under 4 GiB (--compression solid takes more)");
    return true;
}

bool ReadZipDirectory(const std::string& path, InputFile* file, std::vector<ZipInputMember>* members,
                      std::string* error) {
    const uint64_t size = file->Size();
    const std::string shown = Shown(path);
    std::string tail;
    uint64_t tailAt = size > END_RECORD_BYTES + 65535 ? size - END_RECORD_BYTES - 65535 : 0;
    file->Read(tailAt, size - tailAt, &tail);
    uint64_t end = 0;
    if (!FindEndRecord(tail, tailAt, &end)) return Refuse(error, shown + ": not a ZIP file (no end record)");
    const std::string e = tail.substr(end - tailAt, END_RECORD_BYTES);
    const unsigned char* locator = end >= ZIP64_LOCATOR_BYTES ? file->Peek(end - ZIP64_LOCATOR_BYTES, 4) : nullptr;
    if (locator && ReadLe32(locator) == ZIP64_LOCATOR_SIGNATURE)
        return Refuse(error, shown + ": ZIP64 archives are not supported");
    uint16_t disk = Le16(e, END_DISK), cdDisk = Le16(e, END_CENTRAL_DISK);
    uint16_t entriesHere = Le16(e, END_ENTRIES_HERE), entries = Le16(e, END_ENTRIES);
    uint32_t cdSize = Le32(e, END_CENTRAL_SIZE), cdOffset = Le32(e, END_CENTRAL_OFFSET);
    if (entries == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
        return Refuse(error, shown + ": ZIP64 archives are not supported");
    if (disk != 0 || cdDisk != 0 || entriesHere != entries)
        return Refuse(error, shown + ": archives split over several disks are not supported");
    if (cdSize > end) return Refuse(error, shown + ": the central directory lies outside the file");
    uint64_t cdStart = end - cdSize;
    int64_t shift = (int64_t)cdStart - (int64_t)cdOffset;

    members->clear();
    uint64_t p = cdStart;
    for (unsigned i = 0; i < entries; ++i) {
        const std::string broken = shown + ": broken central directory (entry " + std::to_string(i + 1) + ")";
        std::string c;
        if (p + CENTRAL_HEADER_BYTES > end || !file->Read(p, CENTRAL_HEADER_BYTES, &c) ||
            Le32(c, 0) != ZIP_CENTRAL_SIGNATURE)
            return Refuse(error, broken);
        ZipInputMember m;
        static_cast<EntryFields&>(m) = ReadEntryFields(c, CENTRAL_ENTRY_FIELDS);
        uint16_t n = Le16(c, CENTRAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH);
        uint16_t x = Le16(c, CENTRAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
        uint16_t k = Le16(c, CENTRAL_COMMENT_LENGTH);
        uint32_t localOffset = Le32(c, CENTRAL_LOCAL_OFFSET);
        std::string raw, extra;
        if (p + CENTRAL_HEADER_BYTES + n + x + k > end || !file->Read(p + CENTRAL_HEADER_BYTES, n, &raw) ||
            !file->Read(p + CENTRAL_HEADER_BYTES + n, x, &extra))
            return Refuse(error, broken);
        unsigned host = Le16(c, CENTRAL_MADE_BY) >> 8;
        p += CENTRAL_HEADER_BYTES + n + x + k;

        if (m.flags & ZIP_FLAG_UTF8) {
            if (!codepages::ValidUtf8(raw))
                return Refuse(error, shown + ": member name '" + Shown(raw) + "' " + codepages::Cp1252Fault(raw));
            m.name = raw;
        } else if (UnicodePathField(extra, raw, &m.name)) {
            // the UTF-8 name of the extra field
        } else if ((host == 3 || host == 19) && codepages::ValidUtf8(raw)) {
            // Unix tools store names in the maker's locale, which is UTF-8 nowadays.
            m.name = raw;
        } else {
            // Otherwise the name is in the DOS code page of the archive's maker.
            m.name = codepages::Cp850ToUtf8(raw);
        }
        const std::string who = shown + ": member " + Shown(m.name);
        m.isDirectory = !raw.empty() && (raw.back() == '/' || raw.back() == '\\');
        if (m.flags & (ZIP_FLAG_ENCRYPTED | ZIP_FLAG_STRONG_ENCRYPTION))
            return Refuse(error, who + " is encrypted");
        if (HasZip64Field(extra) || m.packed == 0xFFFFFFFF || m.size == 0xFFFFFFFF ||
            localOffset == 0xFFFFFFFF)
            return Refuse(error, who + " needs ZIP64, which is not supported (members stay under 4 GiB)");
        if (!MethodSupported(m.method) && m.method != kMethodLzma)
            return Refuse(error, who + " uses compression method " + std::to_string(m.method) +
                                   " (only stored, deflated and LZMA are supported)");

        int64_t local = (int64_t)localOffset + shift;
        const unsigned char* header = local >= 0 ? file->Peek((uint64_t)local, LOCAL_HEADER_BYTES) : nullptr;
        if (!header || ReadLe32(header) != ZIP_LOCAL_SIGNATURE)
            return Refuse(error, who + ": no local header where the central directory says");
        // Tools that read the local header first would take the data as encrypted.
        if (ReadLe16(header + LOCAL_ENTRY_FIELDS + ENTRY_FLAGS) & (ZIP_FLAG_ENCRYPTED | ZIP_FLAG_STRONG_ENCRYPTION))
            return Refuse(error, who + " is encrypted (its local header says so)");
        m.dataOffset = local + LOCAL_HEADER_BYTES + ReadLe16(header + LOCAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH) +
                       ReadLe16(header + LOCAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
        if (m.dataOffset + m.packed > size) return Refuse(error, who + ": its data runs past the end of the file");
        if (!m.isDirectory && m.method == METHOD_STORED && m.packed != m.size)
            return Refuse(error, who + ": stored with two different sizes");
        members->push_back(m);
    }
    return true;
}

namespace {
void* Allocate(void*, size_t size) { return malloc(size); }
void Release(void*, void* address) { free(address); }
ISzAlloc lzmaAllocator = {Allocate, Release};
}  // namespace

MemberDecoder::MemberDecoder(const ZipInputMember& member) : m_(member), deflated_(member.method == METHOD_DEFLATED) {
    if (deflated_ && inflateInit2(&z_, -15) != Z_OK) Fail("out of memory");
    if (member.method == kMethodLzma) {
        lzma_ = new CLzmaDec;
        LzmaDec_Construct(lzma_);
    }
}

MemberDecoder::~MemberDecoder() {
    if (deflated_) inflateEnd(&z_);
    if (lzma_) LzmaDec_Free(lzma_, &lzmaAllocator);
    delete lzma_;
}

// Method 14: a version (two bytes), the properties' size (two bytes, 5), the five LZMA
// properties, then the LZMA stream, with an end marker when flag bit 1 says so.
bool MemberDecoder::FeedLzma(const unsigned char* data, size_t size, std::string* error) {
    const std::string past = "decodes to more than " + std::to_string(m_.size) + " bytes";
    while (head_.size() < 9 && size > 0) head_.push_back((char)*data++), --size;
    if (head_.size() < 9) return true;
    if (!lzmaStarted_) {
        if (head_[2] != 5 || head_[3] != 0) return Refuse(error, "its LZMA properties are not five bytes");
        SRes rc = LzmaDec_Allocate(lzma_, (const Byte*)head_.data() + 4, 5, &lzmaAllocator);
        if (rc == SZ_ERROR_MEM) Fail("out of memory");
        if (rc != SZ_OK) return Refuse(error, "its LZMA properties are invalid");
        LzmaDec_Init(lzma_);
        lzmaStarted_ = true;
    }
    if (out_.empty()) out_.resize(64 << 10);
    while (!ended_) {
        SizeT outLen = (SizeT)std::min<uint64_t>(out_.size(), m_.size - size_ + 1), inLen = size;
        ELzmaStatus status;
        SRes rc = LzmaDec_DecodeToBuf(lzma_, (Byte*)&out_[0], &outLen, data, &inLen, LZMA_FINISH_ANY, &status);
        data += inLen, size -= inLen;
        size_ += outLen;
        if (rc != SZ_OK) return Refuse(error, "its LZMA data is damaged");
        if (size_ > m_.size) return Refuse(error, past);
        crc_ = Crc32(out_.data(), outLen, crc_);
        if (sink_ && outLen) sink_((const unsigned char*)out_.data(), outLen);
        if (status == LZMA_STATUS_FINISHED_WITH_MARK) ended_ = true;
        if (inLen == 0 && outLen == 0) break;
    }
    if (ended_ && size > 0) return Refuse(error, "its LZMA stream ends before its compressed size");
    return true;
}

bool MemberDecoder::Feed(const unsigned char* data, size_t size, std::string* error) {
    const std::string past = "decodes to more than " + std::to_string(m_.size) + " bytes";
    if (lzma_) return FeedLzma(data, size, error);
    if (!deflated_) {
        size_ += size;
        if (size_ > m_.size) return Refuse(error, past);
        crc_ = Crc32(data, size, crc_);
        if (sink_) sink_(data, size);
        return true;
    }
    if (size > 0 && ended_) return Refuse(error, "its DEFLATE stream ends before its compressed size");
    if (out_.empty()) out_.resize(64 << 10);
    z_.next_in = (Bytef*)data;
    z_.avail_in = (uInt)size;
    while (!ended_) {
        // Room for one byte past the declared size at most: that byte is the fault.
        z_.next_out = (Bytef*)&out_[0];
        z_.avail_out = (uInt)std::min<uint64_t>(out_.size(), m_.size - size_ + 1);
        int rc = inflate(&z_, Z_NO_FLUSH);
        size_t produced = (size_t)(z_.next_out - (Bytef*)&out_[0]);
        size_ += produced;
        if (size_ > m_.size) return Refuse(error, past);
        crc_ = Crc32(out_.data(), produced, crc_);
        if (sink_ && produced) sink_((const unsigned char*)out_.data(), produced);
        if (rc == Z_STREAM_END) {
            ended_ = true;
        } else if (rc == Z_BUF_ERROR) {
            break;  // no progress possible: the piece is used up
        } else if (rc != Z_OK) {
            return Refuse(error, InflateFault(rc, z_.msg));
        }
        if (z_.avail_in == 0 && z_.avail_out > 0) break;
    }
    if (ended_ && z_.avail_in > 0) return Refuse(error, "its DEFLATE stream ends before its compressed size");
    return true;
}

bool MemberDecoder::Finish(std::string* error) {
    if (deflated_ && !ended_) return Refuse(error, "DEFLATE data ends before its last block");
    if (lzma_ && (m_.flags & 0x0002) && !ended_) return Refuse(error, "its LZMA stream lacks its end marker");
    if (size_ != m_.size)
        return Refuse(error, "decodes to " + std::to_string(size_) + " bytes, not " + std::to_string(m_.size));
    if (crc_ != m_.crc) return Refuse(error, "CRC-32 mismatch");
    return true;
}

bool CheckZipData(const std::string& path, InputFile* file, const std::vector<ZipInputMember>& members,
                  std::string* error) {
    const size_t kPiece = 256 << 10;
    for (const ZipInputMember& m : members) {
        if (m.isDirectory) continue;
        MemberDecoder decoder(m);
        std::string why;
        bool sound = true;
        for (uint64_t done = 0; sound && done < m.packed;) {
            size_t n = (size_t)std::min<uint64_t>(kPiece, m.packed - done);
            const unsigned char* p = file->Peek(m.dataOffset + done, n);
            if (!p) return Refuse(error, Shown(path) + ": member " + Shown(m.name) + ": its data runs past the end of the file");
            sound = decoder.Feed(p, n, &why);
            done += n;
        }
        if (!sound || !decoder.Finish(&why)) return Refuse(error, Shown(path) + ": member " + Shown(m.name) + ": " + why);
    }
    return true;
}

}  // namespace sfx
