#include "tools/mksfx/sfxfile.h"

#include <errno.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "tools/mksfx/icon/icon.h"

#include "archive/archive.h"
#include "startup/startup.h"
#include "tools/common/codepages.h"

namespace sfx {

const unsigned char kSignature[PARAMETER_SIGNATURE_LENGTH] = {PARAMETER_SIGNATURE_BYTES};

size_t CountSignature(const std::string& bytes, size_t limit, size_t* first) {
    size_t count = 0;
    if (limit > bytes.size()) limit = bytes.size();
    const size_t n = PARAMETER_SIGNATURE_LENGTH;
    for (size_t at = 0; at + n <= limit; ++at) {
        at = bytes.find((const char*)kSignature, at, n);
        if (at == std::string::npos || at + n > limit) break;
        if (count++ == 0 && first) *first = at;
    }
    return count;
}

// The block is copied as it stands: the file's numbers are little-endian, as the hosts' are.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the block is read by copying it");

Block ReadBlock(const std::string& bytes, size_t position) {
    StubParameterBlock fields;
    memcpy(&fields, bytes.data() + position, sizeof fields);
    Block b;
    static_cast<StubParameterBlock&>(b) = fields;
    b.position = position;
    b.waitName.assign(b.waitForName, strnlen(b.waitForName, WAIT_NAME_BYTES));
    return b;
}

void WriteBlock(std::string* bytes, const Block& b) {
    StubParameterBlock fields = b;
    for (size_t k = 0; k < WAIT_NAME_BYTES; ++k)
        fields.waitForName[k] = k < b.waitName.size() ? b.waitName[k] : '\0';
    bytes->replace(b.position + PB_HEADER_CRC, PB_RESERVED - PB_HEADER_CRC,
                   (const char*)&fields + PB_HEADER_CRC, PB_RESERVED - PB_HEADER_CRC);
}

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
    const Bytef* p = (const Bytef*)data;
    while (size > 0) {
        uInt piece = size > 0x40000000 ? 0x40000000 : (uInt)size;
        crc = (uint32_t)crc32(crc, p, piece);
        p += piece;
        size -= piece;
    }
    return crc;
}

size_t SignedFieldsBase(const std::string& bytes, size_t length) {
    if (length > bytes.size()) length = bytes.size();
    size_t pe = length >= MZ_PE_OFFSET + 4 ? Le32(bytes, MZ_PE_OFFSET) : length;
    return pe <= length && length - pe >= PE_SIGNED_FIELDS_END ? pe : std::string::npos;
}

uint32_t HeaderCrc(const std::string& bytes, const Block& block, size_t length) {
    std::string covered = bytes.substr(0, length);
    for (size_t k = block.position + PB_HEADER_CRC; k < block.position + PB_HEADER_CRC + 4 && k < covered.size(); ++k)
        covered[k] = 0;
    size_t pe = SignedFieldsBase(covered, covered.size());
    if ((block.optionFlags & OPT_SIGNABLE) && pe != std::string::npos) {
        covered.replace(pe + PE_CHECKSUM, 4, 4, '\0');
        covered.replace(pe + PE_CERTIFICATE_ENTRY, 8, 8, '\0');
    }
    return Crc32(covered.data(), covered.size());
}

bool InflateRaw(const void* data, size_t size, size_t limit, std::string* out, size_t* consumed,
                std::string* error) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK) {
        *error = "cannot start the decoder";
        return false;
    }
    out->clear();
    const Bytef* in = (const Bytef*)data;
    size_t inLeft = size;
    unsigned char chunk[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0 && inLeft > 0) {
            z.next_in = (Bytef*)in;
            z.avail_in = inLeft > 0x40000000 ? 0x40000000 : (uInt)inLeft;
            in += z.avail_in;
            inLeft -= z.avail_in;
        }
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        out->append((const char*)chunk, sizeof chunk - z.avail_out);
        if (out->size() > limit) {
            inflateEnd(&z);
            *error = "decodes to more than " + std::to_string(limit) + " bytes";
            return false;
        }
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0) break;
        if (rc == Z_BUF_ERROR && z.avail_out == 0) rc = Z_OK;
    }
    size_t used = size - inLeft - z.avail_in;
    inflateEnd(&z);
    if (consumed) *consumed = used;
    if (rc == Z_STREAM_END) return true;
    *error = InflateFault(rc, z.msg);
    return false;
}

bool DecodeData(InputFile* file, uint64_t offset, uint64_t packed, unsigned method, uint64_t limit,
                Decoded* d, std::string* error) {
    *d = Decoded();
    const size_t kPiece = 256 << 10;
    if (method == METHOD_STORED) {
        for (uint64_t done = 0; done < packed;) {
            size_t n = (size_t)std::min<uint64_t>(kPiece, packed - done);
            const unsigned char* p = file->Peek(offset + done, n);
            if (!p) {
                *error = "its data runs past the end of the file";
                return false;
            }
            d->crc = Crc32(p, n, d->crc);
            done += n;
        }
        d->size = d->consumed = packed;
        return true;
    }
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK) {
        *error = "cannot start the decoder";
        return false;
    }
    std::unique_ptr<z_stream, int (*)(z_stream*)> owner(&z, inflateEnd);
    std::string out(kPiece, '\0');
    uint64_t fed = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0 && fed < packed) {
            size_t n = (size_t)std::min<uint64_t>(kPiece, packed - fed);
            const unsigned char* p = file->Peek(offset + fed, n);
            if (!p) {
                *error = "its data runs past the end of the file";
                return false;
            }
            z.next_in = (Bytef*)p;
            z.avail_in = (uInt)n;
            fed += n;
        }
        // No more than one byte past the limit is decoded: a stream that claims little and
        // expands to gigabytes stops there.
        const size_t room = (size_t)std::min<uint64_t>(out.size(), limit - d->size + 1);
        z.next_out = (Bytef*)&out[0];
        z.avail_out = (uInt)room;
        rc = inflate(&z, Z_NO_FLUSH);
        size_t produced = room - z.avail_out;
        d->crc = Crc32(out.data(), produced, d->crc);
        d->size += produced;
        if (d->size > limit) {
            *error = "decodes to more than " + std::to_string(limit) + " bytes";
            return false;
        }
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed == packed) break;
        if (rc == Z_BUF_ERROR && z.avail_out == 0) rc = Z_OK;
    }
    d->consumed = fed - z.avail_in;
    if (rc == Z_STREAM_END) return true;
    *error = InflateFault(rc, z.msg);
    return false;
}

std::string DescribeIcon(const std::string& icon, std::string* fault) {
    // First as the stub checks it before use, then as the icon reader decodes it.
    if (const char* why = IconFault(icon)) {
        *fault = why;
        return "";
    }
    IconFile file;
    if (!ReadIconFile(icon, &file, fault)) return "";
    // The platform takes the icon's images as they are; each must decode.
    std::string shown;
    for (size_t i = 0; i < file.entries.size(); ++i) {
        const IconEntry& e = file.entries[i];
        RgbaImage pixels;
        if (!DecodeIconImage(e, &pixels, nullptr, fault)) return "";
        shown += (i ? "; " : "") + std::to_string(e.width) + "x" + std::to_string(e.height) + ", " +
                 (e.png ? std::string("PNG") : e.bitCount <= 8 ? std::to_string(1 << e.bitCount) + " colours"
                                                              : std::to_string(e.bitCount) + "-bit");
    }
    return shown + ", " + std::to_string(icon.size()) + " bytes";
}

const char* IconFault(const std::string& icon) {
    switch (CheckIconFile((const unsigned char*)icon.data(), (DWORD)icon.size())) {
        case ICON_SOUND: return nullptr;
        case ICON_NO_DIRECTORY: return "no icon directory at its start";
        case ICON_NO_IMAGE: return "the icon directory lists no image";
        case ICON_DIRECTORY_CUT: return "the icon directory runs past the end of the file";
        case ICON_IMAGE_OUTSIDE: return "an icon image lies outside the file";
        case ICON_NOT_BITMAP:
            return "an icon image has no 40-byte bitmap header (PNG images are not taken)";
        case ICON_BAD_SIZE: return "an icon image is not 1 to 256 pixels wide and high";
        case ICON_BAD_FORMAT:
            return "an icon image is not a plain bitmap of 1, 4, 8, 24 or 32 bits with a fitting "
                   "palette";
        default: return "an icon image needs more bytes than its directory entry gives it";
    }
}

std::vector<std::string> ParseConfig(const std::string& data, bool hasCaption, Config* c) {
    std::vector<std::string> faults;
    size_t pos = 0;
    struct Field { const char* what; std::string* into; size_t limit; };
    std::vector<Field> fields = {{"about text", &c->about, kAboutMax},
                                 {"command", &c->command, kCommandMax},
                                 {"third string", &c->unused, 0xFFFF},
                                 {"message text", &c->text, kTextMax}};
    if (hasCaption) fields.push_back({"caption", &c->caption, kCaptionMax});
    for (const Field& f : fields) {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos) {
            faults.push_back(std::string("configuration: the ") + f.what +
                             " runs past the end of the block");
            *f.into = data.substr(pos);
            return faults;
        }
        *f.into = data.substr(pos, end - pos);
        if (f.into->size() > f.limit)
            faults.push_back(std::string("configuration: the ") + f.what + " has " +
                             std::to_string(f.into->size()) + " characters, its field holds " +
                             std::to_string(f.limit));
        pos = end + 1;
    }
    if (pos + 2 <= data.size() && data[pos] == ICON_MARKER && data[pos + 1] == ICON_MARKER) {
        c->hasIcon = true;
        c->icon = data.substr(pos + 2);
        std::string why;
        if (DescribeIcon(c->icon, &why).empty())
            faults.push_back("configuration: the icon is unusable: " + why);
    }
    return faults;
}

// ---- names -----------------------------------------------------------------------------------

// The name as the stub holds it: converted from code page 850 to Windows-1252 the way
// Windows converts it, characters without a place there taking their nearest form.
static std::string AnsiName(const std::string& cp850) {
    std::string ansi(cp850.size(), '\0');
    OemToCharBuffA(cp850.data(), &ansi[0], (DWORD)cp850.size());
    return ansi;
}

const char* UnsafeNameReason(const std::string& name) {
    // Leading "./" components name the extraction folder itself, as the stub takes them.
    std::string path = SkipCurrentFolders(name.c_str());
    if (path.empty() && !name.empty()) return nullptr;  // "./", the folder itself
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return "empty name";
    if (name.size() > kNameMax) return "name longer than 200 bytes";
    if (path[0] == '/') return "absolute path";
    if (path.find('\\') != std::string::npos) return "backslash in the name";
    if (path.find('\0') != std::string::npos) return "character not allowed in Windows file names";
    switch (MemberNameFault(AnsiName(path).c_str())) {
        case NAME_SOUND: return nullptr;
        case NAME_EMPTY_COMPONENT: return "empty path component";
        case NAME_CURRENT_FOLDER: return "'.' component";
        case NAME_PARENT_FOLDER: return "'..' component";
        case NAME_TRAILING_DOT_OR_BLANK:
            return "a component ends in a dot or a blank, which Windows drops";
        case NAME_COLON: return "colon or drive letter in the name";
        case NAME_BAD_CHARACTER: return "character not allowed in Windows file names";
        default: return "reserved Windows device name";
    }
}

std::string WindowsFoldedName(const std::string& name) {
    std::string folded = AnsiName(SkipCurrentFolders(name.c_str()));
    for (char& ch : folded) {
        unsigned char c = (unsigned char)ch;
        if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c -= 0x20;  // ASCII and the Latin-1 letters
        else if (c == 0x9A || c == 0x9C || c == 0x9E)
            c -= 0x10;  // š œ ž
        else if (c == 0xFF)
            c = 0x9F;  // ÿ
        ch = (char)c;
    }
    return folded;
}

std::vector<std::string> NameClashes(const std::vector<std::string>& names) {
    std::vector<std::string> faults;
    std::map<std::string, const std::string*> files;
    for (const std::string& name : names) {
        auto [at, added] = files.emplace(WindowsFoldedName(name), &name);
        if (!added)
            faults.push_back("members '" + codepages::Cp850ToUtf8(*at->second) + "' and '" +
                             codepages::Cp850ToUtf8(name) + "' would be the same file on Windows");
    }
    for (const std::string& name : names) {
        std::string folded = WindowsFoldedName(name);
        for (size_t slash = folded.find('/'); slash != std::string::npos;
             slash = folded.find('/', slash + 1)) {
            auto file = files.find(folded.substr(0, slash));
            if (file != files.end())
                faults.push_back("member '" + codepages::Cp850ToUtf8(name) +
                                 "' needs a folder where the file '" +
                                 codepages::Cp850ToUtf8(*file->second) + "' is");
        }
    }
    return faults;
}

std::string DosTimeText(uint16_t date, uint16_t time) {
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9),
             (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

// ---- a whole file ------------------------------------------------------------------------------

// The first occurrence of the signature in the file, read in windows; npos when none.
static uint64_t FindSignature(InputFile* file) {
    const size_t n = PARAMETER_SIGNATURE_LENGTH, step = InputFile::kWindow - n;
    for (uint64_t at = 0; at < file->Size(); at += step) {
        size_t length = (size_t)std::min<uint64_t>(InputFile::kWindow, file->Size() - at);
        const unsigned char* p = file->Peek(at, length);
        if (const void* hit = memmem(p, length, kSignature, n)) return at + ((const unsigned char*)hit - p);
    }
    return std::string::npos;
}

bool ReadFile(const std::string& path, File* f, std::vector<std::string>* faults) {
    std::string error;
    if (!f->in.Open(path, &error)) {
        faults->push_back(error);
        return false;
    }
    const uint64_t size = f->in.Size();
    uint64_t first = FindSignature(&f->in);
    if (first == std::string::npos || first + STUB_PARAMETER_BLOCK_SIZE > size) {
        faults->push_back("no parameter block (not a self-extracting file)");
        return false;
    }
    // Like the stub's header check, the first occurrence of the signature is the block.
    std::string blockBytes;
    f->in.Read(first, STUB_PARAMETER_BLOCK_SIZE, &blockBytes);
    f->block = ReadBlock(blockBytes, 0);
    f->block.position = first;
    const Block& k = f->block;
    if (k.archiveOffset > size || k.archiveOffset < first + STUB_PARAMETER_BLOCK_SIZE) {
        std::string why = "archive offset " + Hex(k.archiveOffset) + " lies outside the file", start;
        f->in.Read(0, std::min(size, kHeadMax), &start);
        size_t occurrences = CountSignature(start, start.size(), nullptr);
        if (occurrences > 1)
            why += " (the block's signature occurs " + std::to_string(occurrences) +
                   " times; the first was taken for the block)";
        faults->push_back(why);
        return false;
    }
    if (k.archiveOffset > kHeadMax) {
        faults->push_back("archive offset " + Hex(k.archiveOffset) + ": the stub image and configuration would be " +
                          std::to_string(k.archiveOffset) + " bytes, mksfx reads at most 64 MiB before the archive");
        return false;
    }
    f->in.Read(0, k.archiveOffset, &f->head);
    const std::string& b = f->head;
    if (k.configOffset != 0) {
        if (k.configOffset >= k.archiveOffset || k.configOffset < first + STUB_PARAMETER_BLOCK_SIZE) {
            faults->push_back("configuration offset " + Hex(k.configOffset) +
                              " does not lie between the block and the archive");
            return false;
        }
        uint32_t packed = k.archiveOffset - k.configOffset;
        if (packed > CONFIG_PACKED_MAX) {
            faults->push_back("configuration block is " + std::to_string(packed) +
                              " bytes, the stub reads at most 1500");
            return false;
        }
        size_t used = 0;
        if (!InflateRaw(b.data() + k.configOffset, packed, CONFIG_UNPACKED_MAX, &f->inflatedConfig,
                        &used, &error)) {
            faults->push_back("configuration block: " + error + " (the stub holds 2012 bytes)");
            return false;
        }
        if (used != packed)
            faults->push_back("configuration block: its stream ends " +
                              std::to_string(packed - used) + " bytes before the archive");
        f->hasConfig = true;
        for (const std::string& fault :
             ParseConfig(f->inflatedConfig, (k.optionFlags & OPT_CUSTOM_CAPTION) != 0, &f->config))
            faults->push_back(fault);
    }
    f->walk = WalkRecords(&f->in, k.archiveOffset);
    for (const std::string& fault : f->walk.faults) faults->push_back(fault);
    return f->walk.complete;
}

}  // namespace sfx
