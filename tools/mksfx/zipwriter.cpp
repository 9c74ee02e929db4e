// mksfx build: the archive, written the way the stub reads it (front to back, trusting local
// headers): every local header carries the real CRC-32 and sizes, there are no data
// descriptors and no extra fields, names are in code page 850 with '/' between components, and
// offsets count from the start of the whole file so that ordinary unzip tools read the result
// as it is. Every record goes through the one writer of tools/common/ziprecords.h.
//
// Memory stays bounded whatever the input: a file up to kStreamAbove is read whole and
// deflated by libdeflate (its best ratio, but it needs the whole input and output at hand);
// a larger one is deflated as a stream by zlib in pieces, its local header written first and
// filled in once the CRC-32 and sizes are known. When deflating does not make a file smaller
// it is stored; for a streamed file that means rewinding and copying it again. Members of
// input ZIP files are copied in pieces.
#include <errno.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "tools/mksfx/build.h"
#include "tools/mksfx/report.h"
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
const size_t kPiece = 1 << 20;

uint32_t Offset32(uint64_t offset) {
    if (offset >= 0xFFFFFFFFull) Fail("the output would reach 4 GiB, the ZIP form's limit (ZIP64 is not supported; --compression solid takes more)");
    return (uint32_t)offset;
}

struct Writer {
    const ArchiveOptions& options;
    OutputFile* out;
    ArchiveCounts* counts;
    libdeflate_compressor* compressor;
    uint64_t bytesDone = 0;

    void Progress() {
        if (options.progress) options.progress(bytesDone, counts->members, options.context);
    }

    // Reads the next piece of an open file; a file that ends early or grows has changed.
    size_t ReadPiece(int fd, const Entry& e, uint64_t done, char* buffer, size_t want) {
        size_t got = 0;
        while (got < want) {
            ssize_t n = read(fd, buffer + got, want - got);
            if (n < 0) Fail("cannot read " + Shown(e.path) + ": " + strerror(errno));
            if (n == 0) break;
            got += (size_t)n;
        }
        if (done + got > e.size || (got < want && done + got < e.size))
            Fail(Shown(e.path) + " changed while it was being read");
        return got;
    }

    // A file that still has bytes after its size has grown since it was listed.
    void CheckEnded(int fd, const Entry& e) {
        char extra;
        ReadPiece(fd, e, e.size, &extra, 1);
        close(fd);
    }

    int Open(const Entry& e) {
        int fd = open(e.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) Fail("cannot read " + Shown(e.path) + ": " + strerror(errno));
        return fd;
    }

    // Copies the file into the output as it is, computing its CRC-32.
    void CopyStored(const Entry& e, EntryFields* f) {
        int fd = Open(e);
        std::string buffer(kPiece, '\0');
        uint32_t crc = 0;
        for (uint64_t done = 0; done < e.size;) {
            size_t n = ReadPiece(fd, e, done, &buffer[0], (size_t)std::min<uint64_t>(kPiece, e.size - done));
            crc = Crc32(buffer.data(), n, crc);
            out->Write(buffer.data(), n);
            done += n;
            bytesDone += n;
            Progress();
        }
        CheckEnded(fd, e);
        f->method = METHOD_STORED;
        f->crc = crc;
        f->packed = f->size = (uint32_t)e.size;
    }

    // Whole: read, deflate at the chosen effort, store when that is not smaller.
    void PackWhole(const Entry& e, EntryFields* f) {
        int fd = Open(e);
        std::string bytes(e.size, '\0');
        ReadPiece(fd, e, 0, &bytes[0], bytes.size());
        CheckEnded(fd, e);
        f->size = (uint32_t)bytes.size();
        f->crc = Crc32(bytes.data(), bytes.size());
        f->method = METHOD_STORED;
        f->packed = f->size;
        if (compressor && !bytes.empty()) {
            std::string packed(bytes.size(), '\0');
            // A bound of size - 1 makes the compressor give up when it cannot save a byte.
            size_t n = libdeflate_deflate_compress(compressor, bytes.data(), bytes.size(), &packed[0],
                                                   bytes.size() - 1);
            if (n > 0) {
                f->method = METHOD_DEFLATED;
                f->packed = (uint32_t)n;
                out->Write(packed.data(), n);
            }
        }
        if (f->method == METHOD_STORED) out->Write(bytes);
        bytesDone += bytes.size();
        Progress();
    }

    // As a stream, for files too large to hold: zlib in pieces, at level 9 at most.
    void PackStream(const Entry& e, EntryFields* f) {
        uint64_t dataStart = out->Size();
        z_stream z;
        memset(&z, 0, sizeof z);
        if (deflateInit2(&z, std::min(options.level, 9), Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
            Fail("out of memory");
        std::unique_ptr<z_stream, int (*)(z_stream*)> owner(&z, deflateEnd);
        int fd = Open(e);
        std::string in(kPiece, '\0'), packed(kPiece, '\0');
        uint32_t crc = 0;
        uint64_t done = 0, written = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            size_t n = 0;
            if (done < e.size) {
                n = ReadPiece(fd, e, done, &in[0], (size_t)std::min<uint64_t>(kPiece, e.size - done));
                crc = Crc32(in.data(), n, crc);
                done += n;
            }
            z.next_in = (Bytef*)in.data();
            z.avail_in = (uInt)n;
            int flush = done == e.size ? Z_FINISH : Z_NO_FLUSH;
            do {
                z.next_out = (Bytef*)&packed[0];
                z.avail_out = (uInt)packed.size();
                rc = deflate(&z, flush);
                size_t produced = packed.size() - z.avail_out;
                written += produced;
                // Past the file's own size the stored form wins; no need to write more.
                if (written < e.size) out->Write(packed.data(), produced);
            } while (z.avail_out == 0 && rc != Z_STREAM_END);
            bytesDone += n;
            Progress();
        }
        CheckEnded(fd, e);
        f->size = (uint32_t)e.size;
        f->crc = crc;
        if (written < e.size) {
            f->method = METHOD_DEFLATED;
            f->packed = (uint32_t)written;
            return;
        }
        out->Truncate(dataStart);
        bytesDone -= e.size;
        CopyStored(e, f);
        if (f->crc != crc) Fail(Shown(e.path) + " changed while it was being read");
    }

    // Copies a member of an input ZIP file with its compressed data as it is, decoding it
    // again on the way: the local header takes the CRC-32 and sizes that the check pass saw,
    // so the bytes copied must still have them.
    void CopyZipMember(const Entry& e, EntryFields* f) {
        *f = e.zip;
        f->flags = e.zip.method == METHOD_DEFLATED ? (e.zip.flags & kDeflateOptionFlags) : 0;
        const std::string changed = Shown(e.zipFile->Path()) + " changed while it was read: member " + Shown(e.zip.name);
        MemberDecoder decoder(e.zip);
        std::string why;
        for (uint64_t done = 0; done < e.zip.packed;) {
            size_t n = (size_t)std::min<uint64_t>(kPiece, e.zip.packed - done);
            const unsigned char* p = e.zipFile->Peek(e.zip.dataOffset + done, n);
            if (!p) Fail(changed + ": its data runs past the end of the file");
            if (!decoder.Feed(p, n, &why)) Fail(changed + ": " + why);
            out->Write(p, n);
            done += n;
        }
        if (!decoder.Finish(&why)) Fail(changed + ": " + why);
        e.zipFile->Forget();
        bytesDone += e.size;
        Progress();
    }
};

}  // namespace

uint32_t WriteArchive(const std::vector<Entry>& entries, const ArchiveOptions& options, OutputFile* out,
                      ArchiveCounts* counts) {
    libdeflate_compressor* compressor = options.level > 0 ? libdeflate_alloc_compressor(options.level) : nullptr;
    if (options.level > 0 && !compressor) Fail("out of memory");
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> owner(
        compressor, libdeflate_free_compressor);
    Writer writer{options, out, counts, compressor};
    std::vector<Written> written;
    for (const Entry& e : entries) {
        Written w{};
        w.stored = e.stored;
        w.isDirectory = e.isDirectory;
        w.fields.time = e.time;
        w.fields.date = e.date;
        w.offset = Offset32(out->Size());
        // The header first, with the fields that are known; rewritten once the data is.
        std::string header = LocalHeader(w.fields, w.stored);
        out->Write(header);
        bool streamed = false;
        if (e.isDirectory) {
            // nothing: size, CRC and method 0
        } else if (e.zipFile) {
            if (e.zip.method == kMethodLzma)
                Fail("member " + Shown(e.origin) + " is LZMA-compressed (method 14), which the ZIP form cannot hold; "
                     "--compression solid recompresses it");
            writer.CopyZipMember(e, &w.fields);
        } else if (options.level == 0) {
            writer.CopyStored(e, &w.fields);
        } else if (e.size > kStreamAbove) {
            writer.PackStream(e, &w.fields);
            streamed = true;
        } else {
            writer.PackWhole(e, &w.fields);
        }
        if (e.utf8Name) w.fields.flags |= ZIP_FLAG_UTF8;
        // Version needed to extract: 2.0 for deflated data and folders, 1.0 for stored files.
        w.fields.versionNeeded = w.fields.method == METHOD_DEFLATED || w.isDirectory ? 20 : 10;
        out->WriteAt(w.offset, LocalHeader(w.fields, w.stored));
        Offset32(out->Size());
        counts->members++;
        counts->inputBytes += w.fields.size;
        counts->packedBytes += w.fields.packed;
        counts->streamed += streamed;
        if (options.verbose)
            printf("  %-8s %10u -> %10u  %s\n", w.isDirectory ? "folder" : w.fields.method ? "deflated" : "stored",
                   w.fields.size, w.fields.packed, Shown(e.name).c_str());
        written.push_back(w);
    }
    uint64_t centralStart = out->Size();
    for (const Written& w : written)
        // Made by MS-DOS, version 2.0; DOS attributes: folder, or archive.
        out->Write(CentralEntry(w.fields, w.stored, 20, w.isDirectory ? 0x10 : 0x20, w.offset));
    uint32_t endRecord = Offset32(out->Size());
    out->Write(EndRecord((uint16_t)written.size(), Offset32(endRecord - centralStart), Offset32(centralStart)));
    Offset32(out->Size());
    return endRecord;
}

}  // namespace sfx
