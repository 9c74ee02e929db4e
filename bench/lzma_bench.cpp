// Decoding speed of our LZMA decoder against the two others the stub could carry: LzmaDec.c
// of the SDK (compiled from Debian's lzma-dev, as it is shipped) and liblzma. The same raw
// streams (liblzma, preset 6, lc 3 lp 0 pb 2, 8 MiB dictionary, no end marker) of two
// payloads: Wine's DLLs and the C++ headers of this machine. Each decoder works through a
// window of the dictionary's size and computes the CRC-32 of its output, as the stub does:
// ours through the sink (WriteOutput, writing to /dev/null), the others with zlib's crc32 over
// each new piece. Best of three runs, in CPU time of the decoding thread.
//   lzma_bench [MiB of DLLs]   (default 100; the text is 40 MiB at most)
#include <lzma.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <thread>

extern "C" {
#include <lzma/LzmaDec.h>
}

#include "lzma/lzma.h"
#include "tests/support/lzma_support.h"

namespace {

const uint32_t kDict = 8 << 20;

// The thread's CPU time: on a machine shared with other work, wall time swings far more.
struct Clock {
    double start = Now();
    static double Now() {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec + t.tv_nsec / 1e9;
    }
};
double Seconds(const Clock& since) { return Clock::Now() - since.start; }

void Check(bool ok, const char* who) {
    if (!ok) {
        fprintf(stderr, "%s failed to decode the payload\n", who);
        exit(1);
    }
}

double RunOurs(const LzmaStream& s, size_t size, uint32_t crc) {
    Clock t0;
    state.reader.ptr = (unsigned char*)s.packed.data();
    state.reader.left = state.reader.memberLeft = (DWORD)s.packed.size();
    state.output.file = _lcreat("/dev/null", 0);
    state.output.memberBytes = 0;
    state.crc32.value = 0xFFFFFFFF;
    int result = DecodeLzma(s.props, size);
    _lclose(state.output.file);
    state.output.file = 0;
    state.reader.left = 0;
    Check(result == LZMA_DONE && ~state.crc32.value == crc, "our decoder");
    return Seconds(t0);
}

void* SdkAlloc(void*, size_t n) { return malloc(n); }
void SdkFree(void*, void* p) { free(p); }

double RunSdk(const LzmaStream& s, size_t size, uint32_t crc) {
    Clock t0;
    ISzAlloc alloc = {SdkAlloc, SdkFree};
    CLzmaDec dec;
    LzmaDec_Construct(&dec);
    Check(LzmaDec_Allocate(&dec, s.props, LZMA_PROPS_SIZE, &alloc) == SZ_OK, "LzmaDec.c");
    LzmaDec_Init(&dec);
    const Byte* in = (const Byte*)s.packed.data();
    size_t inLeft = s.packed.size(), outLeft = size;
    uLong sum = crc32(0, nullptr, 0);
    while (outLeft) {
        if (dec.dicPos == dec.dicBufSize) dec.dicPos = 0;
        size_t start = dec.dicPos, limit = std::min(dec.dicBufSize, start + outLeft);
        SizeT taken = inLeft;
        ELzmaStatus status;
        Check(LzmaDec_DecodeToDic(&dec, limit, in, &taken, LZMA_FINISH_ANY, &status) == SZ_OK,
              "LzmaDec.c");
        in += taken;
        inLeft -= taken;
        size_t got = dec.dicPos - start;
        Check(got || taken, "LzmaDec.c");
        sum = crc32(sum, dec.dic + start, (uInt)got);
        outLeft -= got;
    }
    LzmaDec_Free(&dec, &alloc);
    Check(sum == crc, "LzmaDec.c");
    return Seconds(t0);
}

double RunLiblzma(const LzmaStream& s, size_t size, uint32_t crc, std::string& buffer) {
    Clock t0;
    lzma_options_lzma o{};
    o.dict_size = kDict;
    o.lc = 3, o.lp = 0, o.pb = 2;
    lzma_set_ext_size(o, size);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &o}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream z = LZMA_STREAM_INIT;
    Check(lzma_raw_decoder(&z, filters) == LZMA_OK, "liblzma");
    z.next_in = (const uint8_t*)s.packed.data();
    z.avail_in = s.packed.size();
    uLong sum = crc32(0, nullptr, 0);
    lzma_ret r = LZMA_OK;
    while (r == LZMA_OK) {
        z.next_out = (uint8_t*)&buffer[0];
        z.avail_out = buffer.size();
        r = lzma_code(&z, LZMA_FINISH);
        sum = crc32(sum, (const Bytef*)buffer.data(), (uInt)(buffer.size() - z.avail_out));
    }
    Check(r == LZMA_STREAM_END && z.total_out == size && sum == crc, "liblzma");
    lzma_end(&z);
    return Seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? (size_t)atoi(argv[1]) : 100;
    struct Payload {
        const char* name;
        std::string data;
        LzmaStream packed;
    } payloads[2] = {
        {"Wine's DLLs", MachineBytes("/usr/lib/i386-linux-gnu/wine/i386-windows", mib << 20), {}},
        {"C++ headers", MachineBytes("/usr/include", std::min<size_t>(mib, 40) << 20), {}},
    };
    LzmaShape shape;
    shape.dict = kDict;
    std::thread other([&] { payloads[1].packed = LzmaEncode(payloads[1].data, shape); });
    payloads[0].packed = LzmaEncode(payloads[0].data, shape);
    other.join();

    AllocateDecoderBuffers();
    std::string buffer(1 << 20, '\0');
    printf("%-12s %9s %9s %12s %12s %12s %10s\n", "payload", "MiB", "packed", "ours MB/s",
           "LzmaDec MB/s", "liblzma MB/s", "ours/liblzma");
    for (const Payload& p : payloads) {
        uint32_t crc = ZlibCrc(p.data);
        double ours = 1e9, sdk = 1e9, lib = 1e9;
        for (int run = 0; run < 3; ++run) {
            ours = std::min(ours, RunOurs(p.packed, p.data.size(), crc));
            sdk = std::min(sdk, RunSdk(p.packed, p.data.size(), crc));
            lib = std::min(lib, RunLiblzma(p.packed, p.data.size(), crc, buffer));
        }
        double mb = p.data.size() / 1e6;
        printf("%-12s %9.1f %9.1f %12.1f %12.1f %12.1f %10.2f\n", p.name, p.data.size() / 1048576.0,
               p.packed.packed.size() / 1048576.0, mb / ours, mb / sdk, mb / lib, lib / ours);
    }
    return 0;
}
