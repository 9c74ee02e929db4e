// mksfx build: the archive, written the way the stub reads it (front to back, trusting local
// headers): every local header carries the real CRC-32 and sizes, there are no data
// descriptors and no extra fields, names are in code page 850 with '/' between components, and
// offsets count from the start of the whole file so that ordinary unzip tools read the result
// as it is. Every record goes through the one writer of tools/common/ziprecords.h.
#include <libdeflate.h>

#include <memory>

#include "tools/mksfx/build.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

namespace {

// A member as written: its entry fields, stored name and where its local header stands.
struct Written {
    EntryFields fields;
    uint32_t offset;
    bool isDirectory;
    std::string stored;
};

// The compression option bits of a deflated member (bits 1 and 2), kept from an input ZIP.
const uint16_t kDeflateOptionFlags = 0x0006;

// The member's data: deflated at the chosen effort, or stored when that is not smaller.
void PackFile(const Entry& e, int level, libdeflate_compressor* compressor, EntryFields* f,
              std::string* data) {
    std::string bytes = ReadWholeFileOrFail(e.path);
    if (bytes.size() != e.size) Fail(e.path + " changed while it was being read");
    f->size = (uint32_t)bytes.size();
    f->crc = Crc32(bytes.data(), bytes.size());
    f->method = METHOD_STORED;
    if (level > 0 && !bytes.empty()) {
        std::string packed(bytes.size(), '\0');
        // A bound of size - 1 makes the compressor give up when it cannot save a byte.
        size_t n = libdeflate_deflate_compress(compressor, bytes.data(), bytes.size(), &packed[0],
                                               bytes.size() - 1);
        if (n > 0) {
            packed.resize(n);
            f->method = METHOD_DEFLATED;
            *data = std::move(packed);
            f->packed = (uint32_t)n;
            return;
        }
    }
    *data = std::move(bytes);
    f->packed = f->size;
}

uint32_t Offset32(uint64_t offset) {
    if (offset >= 0xFFFFFFFFull) Fail("the output would reach 4 GiB (ZIP64 is not supported)");
    return (uint32_t)offset;
}

}  // namespace

uint32_t WriteArchive(const std::vector<Entry>& entries, int level, OutputFile* out) {
    libdeflate_compressor* compressor = level > 0 ? libdeflate_alloc_compressor(level) : nullptr;
    if (level > 0 && !compressor) Fail("out of memory");
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> owner(
        compressor, libdeflate_free_compressor);
    std::vector<Written> written;
    for (const Entry& e : entries) {
        Written w{};
        w.stored = e.stored;
        w.isDirectory = e.isDirectory;
        w.fields.time = e.time;
        w.fields.date = e.date;
        w.offset = Offset32(out->Size());
        std::string data;
        if (e.isDirectory) {
            // nothing: size, CRC and method 0
        } else if (e.zipBytes) {
            w.fields = e.zip;
            w.fields.flags =
                e.zip.method == METHOD_DEFLATED ? (e.zip.flags & kDeflateOptionFlags) : 0;
            data = e.zipBytes->substr(e.zip.dataOffset, e.zip.packed);
        } else {
            PackFile(e, level, compressor, &w.fields, &data);
        }
        // Version needed to extract: 2.0 for deflated data and folders, 1.0 for stored files.
        w.fields.versionNeeded = w.fields.method == METHOD_DEFLATED || w.isDirectory ? 20 : 10;
        out->Write(LocalHeader(w.fields, w.stored));
        out->Write(data);
        Offset32(out->Size());
        written.push_back(w);
    }
    uint64_t centralStart = out->Size();
    for (const Written& w : written)
        // Made by MS-DOS, version 2.0; DOS attributes: folder, or archive.
        out->Write(CentralEntry(w.fields, w.stored, 20, w.isDirectory ? 0x10 : 0x20, w.offset));
    uint32_t endRecord = Offset32(out->Size());
    out->Write(EndRecord((uint16_t)written.size(), Offset32(endRecord - centralStart),
                         Offset32(centralStart)));
    Offset32(out->Size());
    return endRecord;
}

}  // namespace sfx
