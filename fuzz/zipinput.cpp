// Any bytes as an input ZIP file of `mksfx build`: the central directory and local headers
// read, every member's data checked, then each member that passed decoded again as the copy
// pass decodes it, in pieces of another size (the first input byte picks it), and once more
// in one piece by zlib. The three must agree, and a refusal must be one line.
#include <stdint.h>
#include <stdlib.h>
#include <lzma.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/zipinput.h"

namespace {

void CheckRefusal(const std::string& error) {
    if (error.empty() || error.find('\n') != std::string::npos) abort();
}

// The member's data decoded whole: its size and CRC-32 must be the declared ones, and the
// stream must take all of its compressed bytes.
void CheckWhole(const sfx::ZipInputMember& m, const std::string& data) {
    std::string out(m.size + 1, '\0');
    uLong produced = m.size;
    if (m.method == METHOD_STORED) {
        out = data;
        produced = data.size();
    } else if (m.method == sfx::kMethodLzma) {
        // liblzma decodes the raw LZMA stream behind the four-byte header and the properties.
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
        if (data.size() < 9 || lzma_properties_decode(&filters[0], nullptr, (const uint8_t*)data.data() + 4, 5) != LZMA_OK)
            abort();
        size_t in = 9, outPos = 0;
        lzma_ret rc = lzma_raw_buffer_decode(filters, nullptr, (const uint8_t*)data.data(), &in, data.size(),
                                             (uint8_t*)&out[0], &outPos, out.size());
        free(filters[0].options);
        // Without an end marker the stream may stop short of its input's end: liblzma then
        // answers that it wants more room, having filled the declared size.
        if (rc != LZMA_OK && rc != LZMA_STREAM_END && !(rc == LZMA_BUF_ERROR && outPos == m.size)) abort();
        produced = outPos;
    } else {
        z_stream z = {};
        if (inflateInit2(&z, -15) != Z_OK) abort();
        z.next_in = (Bytef*)data.data();
        z.avail_in = (uInt)data.size();
        z.next_out = (Bytef*)&out[0];
        z.avail_out = (uInt)out.size();
        int rc = inflate(&z, Z_FINISH);
        produced = z.total_out;
        if (rc != Z_STREAM_END || z.avail_in != 0) abort();
        inflateEnd(&z);
    }
    if (produced != m.size || crc32(0, (const Bytef*)out.data(), (uInt)produced) != m.crc) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("zipinput", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        sfx::InputFile file;
        std::vector<sfx::ZipInputMember> members;
        std::string error;
        if (!file.Open(path, &error)) abort();
        if (!sfx::ReadZipDirectory(path, &file, &members, &error)) {
            CheckRefusal(error);
            return 0;
        }
        for (const sfx::ZipInputMember& m : members)
            if (m.dataOffset > size || m.packed > size - m.dataOffset) abort();
        if (!sfx::CheckZipData(path, &file, members, &error)) {
            CheckRefusal(error);
            return 0;
        }
        const size_t piece = 1 + (size ? data[0] % 61 : 0);
        for (const sfx::ZipInputMember& m : members) {
            if (m.isDirectory) continue;
            sfx::MemberDecoder decoder(m);
            std::string copied, why;
            for (uint64_t done = 0; done < m.packed;) {
                size_t n = (size_t)std::min<uint64_t>(piece, m.packed - done);
                const unsigned char* p = file.Peek(m.dataOffset + done, n);
                if (!p || !decoder.Feed(p, n, &why)) abort();
                copied.append((const char*)p, n);
                done += n;
            }
            if (!decoder.Finish(&why)) abort();
            CheckWhole(m, copied);
        }
    } catch (const sfx::Failure&) {
        abort();  // nothing here fails but reading, and the file stays as it is
    }
    return 0;
}
