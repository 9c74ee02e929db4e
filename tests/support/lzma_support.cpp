#include "tests/support/lzma_support.h"

#include <lzma.h>
#include <stdlib.h>

#include "archive/archive.h"
#include "lzma/lzma.h"
#include "posix/standin.h"
#include "tests/support/sfx_files.h"

LzmaStream LzmaEncode(const std::string& data, const LzmaShape& shape) {
    lzma_options_lzma o;
    if (lzma_lzma_preset(&o, (uint32_t)shape.preset)) abort();
    o.lc = shape.lc;
    o.lp = shape.lp;
    o.pb = shape.pb;
    o.dict_size = shape.dict;
    if (shape.presetDict) {
        o.preset_dict = (const uint8_t*)shape.presetDict->data();
        o.preset_dict_size = (uint32_t)shape.presetDict->size();
    }
    o.ext_flags = shape.endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream z = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&z, filters) != LZMA_OK) abort();
    LzmaStream s;
    s.packed.resize(data.size() + data.size() / 8 + 1024);
    z.next_in = (const uint8_t*)data.data();
    z.avail_in = data.size();
    z.next_out = (uint8_t*)&s.packed[0];
    z.avail_out = s.packed.size();
    if (lzma_code(&z, LZMA_FINISH) != LZMA_STREAM_END) abort();
    s.packed.resize(z.total_out);
    lzma_end(&z);
    s.props[0] = (unsigned char)((shape.pb * 5 + shape.lp) * 9 + shape.lc);
    for (int i = 0; i < 4; ++i) s.props[1 + i] = (unsigned char)(shape.dict >> (8 * i));
    return s;
}

Decoded LzmaDecodeFile(const std::string& packed, const unsigned char props[5], uint64_t size,
                       const std::string& after) {
    AllocateDecoderBuffers();
    Decoded d;
    sfxtest::TempDir dir;
    std::string inPath = dir / "in", outPath = dir / "out";
    sfxtest::WriteFile(inPath, packed + after);
    state.reader.file = _lopen(inPath.c_str(), OF_READ);
    SeekArchive(0);
    state.output.file = _lcreat(outPath.c_str(), 0);
    lstrcpyA(state.output.displayName, outPath.c_str());
    state.reader.memberLeft = (DWORD)packed.size();
    state.output.memberBytes = state.progress.bytesDone = 0;
    state.crc32.value = 0xFFFFFFFF;
    d.result = DecodeLzma(props, size);
    d.taken = (DWORD)packed.size() - state.reader.memberLeft;
    d.meterBytes = state.progress.bytesDone;
    d.crc = ~state.crc32.value;
    _lclose(state.output.file);
    _lclose(state.reader.file);
    state.output.file = state.reader.file = 0;
    state.reader.memberLeft = 0;
    d.out = sfxtest::ReadFile(outPath);
    return d;
}
