// Arbitrary bytes as one raw DEFLATE stream in memory mode, into a buffer of bounded size:
// the decoder must end, stay inside the buffer and its input, and give zlib's output
// whenever zlib decodes the bytes to the end of a stream.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tests/support/inflate_support.h"

const size_t kCapacity = 1 << 20;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AllocateDecoderBuffers();
    // No distance may reach the window's old contents; clearing them anyway makes a run that
    // did reach them reproducible.
    memset(state.decoder.window, 0, WINDOW_ALLOC);
    std::string in((const char*)data, size);
    Decoded ours = InflateMemory(in, kCapacity);
    if (ours.result < 0 || ours.result > 2 || ours.out.size() > kCapacity) abort();
    if (ours.result != 0 && !ours.out.empty() && ours.out.size() % WINDOW_SIZE != 0) abort();
    std::string reference;
    if (ZlibInflate(in, &reference, kCapacity) && (ours.result != 0 || ours.out != reference)) abort();
    return 0;
}
