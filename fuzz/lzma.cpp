// Arbitrary bytes as one LZMA stream: five property bytes, the decoded size (three bytes, at
// most 1 MiB), then the packed bytes. The decoder must end, stay inside its buffers and its
// input, never pass on more than the declared size, answer LZMA_DONE only with all of it, and
// give liblzma's output whenever both take the stream.
#include <lzma.h>
#include <stdint.h>
#include <stdlib.h>

#include "lzma/lzma.h"
#include "tests/support/lzma_support.h"

namespace {

bool Liblzma(const unsigned char* props, uint64_t size, const std::string& packed, std::string* out) {
    lzma_options_lzma o{};
    o.lc = props[0] % 9, o.lp = props[0] / 9 % 5, o.pb = props[0] / 45;
    o.dict_size = props[1] | props[2] << 8 | props[3] << 16 | (uint32_t)props[4] << 24;
    o.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    lzma_set_ext_size(o, size);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream z = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&z, filters) != LZMA_OK) return false;
    out->assign(size + 1, '\0');
    z.next_in = (const uint8_t*)packed.data();
    z.avail_in = packed.size();
    z.next_out = (uint8_t*)&(*out)[0];
    z.avail_out = out->size();
    lzma_ret r = lzma_code(&z, LZMA_FINISH);
    out->resize(z.total_out);
    bool taken = r == LZMA_STREAM_END && z.avail_in == 0 && out->size() == size;
    lzma_end(&z);
    return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || data[0] >= 225) return 0;
    const unsigned char* props = data;
    uint64_t declared = (data[5] | data[6] << 8 | data[7] << 16) & 0xFFFFF;
    std::string packed((const char*)data + 8, size - 8);
    Decoded ours = LzmaDecodeFile(packed, props, declared);
    if (ours.result < LZMA_DONE || ours.result > LZMA_NO_MEMORY || ours.out.size() > declared) abort();
    if (ours.result == LZMA_DONE && ours.out.size() != declared) abort();
    std::string reference;
    if (ours.result == LZMA_DONE && Liblzma(props, declared, packed, &reference) &&
        ours.out != reference)
        abort();
    return 0;
}
