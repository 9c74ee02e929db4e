// Decoding with zlib: the configuration block in memory, and members' data in pieces.
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

bool InflateRaw(const void* data, size_t size, size_t limit, std::string* out, size_t* consumed,
                std::string* error) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK) return Refuse(error, "cannot start the decoder");
    std::unique_ptr<z_stream, int (*)(z_stream*)> owner(&z, inflateEnd);
    // The blocks this decodes are small (a few KiB at most): one call into room for one byte
    // more than the limit, which tells a stream that decodes to more from one that fits.
    out->assign(limit + 1, '\0');
    z.next_in = (Bytef*)data;
    z.avail_in = size > 0x40000000 ? 0x40000000 : (uInt)size;
    z.next_out = (Bytef*)&(*out)[0];
    z.avail_out = (uInt)out->size();
    int rc = inflate(&z, Z_FINISH);
    out->resize(out->size() - z.avail_out);
    std::string fault = rc == Z_STREAM_END ? "" : InflateFault(rc, z.msg);
    if (consumed) *consumed = size - z.avail_in;
    if (out->size() > limit) return Refuse(error, "decodes to more than " + std::to_string(limit) + " bytes");
    if (!fault.empty()) return Refuse(error, fault);
    return true;
}

bool DecodeData(InputFile* file, uint64_t offset, uint64_t packed, unsigned method, uint64_t limit,
                Decoded* d, std::string* error) {
    *d = Decoded();
    const size_t kPiece = 256 << 10;
    if (method == METHOD_STORED) {
        for (uint64_t done = 0; done < packed;) {
            size_t n = (size_t)std::min<uint64_t>(kPiece, packed - done);
            const unsigned char* p = file->Peek(offset + done, n);
            if (!p) return Refuse(error, "its data runs past the end of the file");
            d->crc = Crc32(p, n, d->crc);
            done += n;
        }
        d->size = d->consumed = packed;
        return true;
    }
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -15) != Z_OK) return Refuse(error, "cannot start the decoder");
    std::unique_ptr<z_stream, int (*)(z_stream*)> owner(&z, inflateEnd);
    std::string out(kPiece, '\0');
    uint64_t fed = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0 && fed < packed) {
            size_t n = (size_t)std::min<uint64_t>(kPiece, packed - fed);
            const unsigned char* p = file->Peek(offset + fed, n);
            if (!p) return Refuse(error, "its data runs past the end of the file");
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
        if (d->size > limit)
            return Refuse(error, "decodes to more than " + std::to_string(limit) + " bytes");
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && fed == packed) break;
        if (rc == Z_BUF_ERROR && z.avail_out == 0) rc = Z_OK;
    }
    d->consumed = fed - z.avail_in;
    if (rc == Z_STREAM_END) return true;
    *error = InflateFault(rc, z.msg);
    return false;
}

}  // namespace sfx
