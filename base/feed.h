// The road of a member's bytes through a codec, which does no I/O of its own: it takes the
// member's compressed data from the feed and hands what it decodes to the sink. Both are
// defined by the archive layer (archive/reader.cpp, archive/output.cpp), which reads the
// archive and writes the member's file; a codec only calls them.
#pragma once
#include "base/base.h"

// The feed: the next run of the member's compressed data, as much as is buffered (reading
// when nothing is): its length, with *run set to its first byte, or 0 once the member's data
// is used up (at once outside a member, so that a memory range ends where it ends).
DWORD TakeMemberRun(unsigned char** run);

// The sink: passes a run of the member's decoded bytes on (meter, CRC-32, write, now and
// then a chance to cancel).
void WriteOutput(const unsigned char* bytes, DWORD count);
