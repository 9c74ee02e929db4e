// The LZMA decoder's seam (lzma/lzma.h): the SDK's dictionary interface driven from the feed,
// its dictionary handed to the sink each time it fills or the stream ends.
//
// The dictionary is a ring of `dicBufSize` bytes; each call decodes up to 64 KiB, no further
// than its end (or the stream's), and what was decoded goes to the sink from the ring,
// unchanged, since later matches copy from it. A dictionary smaller than the properties ask for is enough when the
// stream is shorter: no distance can then reach further back than the stream's start, which
// the SDK refuses by itself.
#include "lzma/lzma.h"

#include "base/feed.h"
// The SDK's types header includes the system's <windows.h> on Windows; the Windows build of
// mksfx runs the core on the stand-in, whose types those would clash with.
#if defined(_WIN32) && !defined(TESSLY_WINAPI)
#undef _WIN32
#include "LzmaDec.h"
#define _WIN32 1
#else
#include "LzmaDec.h"
#endif

namespace {

enum { LZMA_PROPERTY_BYTES = 5, DICTIONARY_MIN = 4096, PROBABILITY_BASE = 1846,
       LITERAL_PROBABILITIES = 0x300, OUTPUT_STEP = 0x10000 };

void* Allocate(void*, size_t bytes) { return (void*)LocalAlloc(LMEM_FIXED, bytes); }
void Free(void*, void* block) {
    if (block) LocalFree((HLOCAL)block);
}
ISzAlloc allocator = {Allocate, Free};

// The decoder and its ring, kept from one stream to the next (zero at process start).
CLzmaDec coder;
SizeT ringBytes;  // what the ring holds; the current stream may use less

// The ring's size for a stream: the dictionary, no more than the stream, at least 4 KiB.
ULONGLONG RingFor(DWORD dictionary, ULONGLONG size) {
    ULONGLONG ring = dictionary < size ? dictionary : size;
    return ring < DICTIONARY_MIN ? (ULONGLONG)DICTIONARY_MIN : ring;
}

}  // namespace

ULONGLONG LzmaMemoryNeed(const unsigned char* props, ULONGLONG size) {
    CLzmaProps p;
    if (LzmaProps_Decode(&p, props, LZMA_PROPERTY_BYTES) != SZ_OK) return 0;
    return RingFor(p.dicSize, size) +
           (PROBABILITY_BASE + ((ULONGLONG)LITERAL_PROBABILITIES << (p.lc + p.lp))) * sizeof(CLzmaProb);
}

void ReleaseLzma(void) {
    LzmaDec_FreeProbs(&coder, &allocator);
    Free(0, coder.dic);
    coder.dic = 0;
    ringBytes = 0;
}

int DecodeLzma(const unsigned char* props, ULONGLONG size) {
    CLzmaProps p;
    if (LzmaProps_Decode(&p, props, LZMA_PROPERTY_BYTES) != SZ_OK) return LZMA_BAD_DATA;
    ULONGLONG ring = RingFor(p.dicSize, size);
    if ((SizeT)ring != ring) return LZMA_NO_MEMORY;
    if (LzmaDec_AllocateProbs(&coder, props, LZMA_PROPERTY_BYTES, &allocator) != SZ_OK)
        return LZMA_NO_MEMORY;
    if (ring > ringBytes) {
        Free(0, coder.dic);
        ringBytes = 0;
        coder.dic = (Byte*)Allocate(0, (SizeT)ring);
        if (!coder.dic) return LZMA_NO_MEMORY;
        ringBytes = (SizeT)ring;
    }
    coder.dicBufSize = (SizeT)ring;
    LzmaDec_Init(&coder);

    ULONGLONG left = size;
    unsigned char* input = 0;
    DWORD inputLeft = 0;
    bool hungry = true;  // the decoder has used up what it was given
    for (;;) {
        if (coder.dicPos == coder.dicBufSize) coder.dicPos = 0;
        // At most OUTPUT_STEP bytes a call, so that the meter moves and a cancel is seen
        // however large the dictionary.
        SizeT start = coder.dicPos, room = coder.dicBufSize - start;
        if (room > OUTPUT_STEP) room = OUTPUT_STEP;
        // The last piece of the stream must end there (with or without a marker).
        bool last = left <= room;
        SizeT limit = start + (last ? (SizeT)left : room);
        if (hungry && inputLeft == 0 && (inputLeft = TakeMemberRun(&input)) == 0)
            return LZMA_BAD_DATA;
        SizeT used = inputLeft;
        ELzmaStatus status;
        SRes result = LzmaDec_DecodeToDic(&coder, limit, input, &used,
                                          last ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
        input += used;
        inputLeft -= (DWORD)used;
        SizeT made = coder.dicPos - start;
        WriteOutput(coder.dic + start, (DWORD)made);
        left -= made;
        if (result != SZ_OK) return LZMA_BAD_DATA;
        // The decoder also answers "maybe finished" wherever the ring's end falls on a clean
        // point of the range coder: only at the stream's last byte is it the end.
        if (status == LZMA_STATUS_FINISHED_WITH_MARK ||
            (last && left == 0 && status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK))
            return left == 0 && inputLeft == 0 ? LZMA_DONE : LZMA_BAD_DATA;
        hungry = status == LZMA_STATUS_NEEDS_MORE_INPUT;
    }
}
