// The LZMA decoder: one stream from the feed into the sink (base/feed.h), like the DEFLATE
// decoder beside it.
#pragma once
#include "base/base.h"

enum { LZMA_DONE = 0, LZMA_BAD_DATA = 1, LZMA_NO_MEMORY = 2 };

// Decodes one LZMA stream of `size` decoded bytes whose five property bytes are `props`,
// taking the packed bytes from the feed (TakeMemberRun, base/feed.h) and handing the decoded
// ones to the sink (WriteOutput) in runs. An end marker right after the last byte is
// accepted; input left in the feed's current run, a stream that wants more input than the
// feed gives, a distance before the stream's start or any other damage answers
// LZMA_BAD_DATA. The dictionary (the properties' size, but no more than `size`, at least
// 4 KiB) and the probability tables are allocated on the first call and reused.
int DecodeLzma(const unsigned char* props, ULONGLONG size);
// What DecodeLzma needs in bytes for these properties and size (0 for properties it refuses).
ULONGLONG LzmaMemoryNeed(const unsigned char* props, ULONGLONG size);
// Frees the dictionary and the tables (the end of a run; the next call allocates afresh).
void ReleaseLzma(void);
