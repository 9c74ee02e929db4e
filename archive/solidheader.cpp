// The solid form's header: the 7z signature header probed at start-up, the header read and
// checked before anything is extracted. The builder writes it LZMA-encoded when that is
// smaller: a small plain header then describes one pack stream that unpacks to the real one.
//
// The header is taken in the shapes the builder writes and no others: pack streams from
// position 0 (one a folder), one or two folders of either LZMA alone or the x86 converter
// bound to LZMA, the files' sizes and CRC-32s per folder, then the files: which have no data,
// which of those are empty files (the rest are folders), names, times. Properties that the
// stub does not use are stepped over by their size. Anything else is a damaged header
// (message 31), as a damaged ZIP record is.
#include "archive/archive.h"
#include "lzma/lzma.h"

#if TESSLY_SOLID

namespace {

enum {
    SIGNATURE_HEADER_BYTES = 32,
    // The largest header, plain or unpacked, that is taken: 65535 files with names of 200
    // characters (402 bytes in UTF-16), sizes, CRC-32s, times and attributes need about 28 MB.
    HEADER_BYTES_MAX = 32 << 20,
    FILES_MAX = 65535,
    // property ids
    ID_END = 0x00, ID_HEADER = 0x01, ID_MAIN_STREAMS = 0x04, ID_FILES = 0x05, ID_PACK_INFO = 0x06,
    ID_UNPACK_INFO = 0x07, ID_SUBSTREAMS = 0x08, ID_SIZE = 0x09, ID_CRC = 0x0A, ID_FOLDER = 0x0B,
    ID_UNPACK_SIZES = 0x0C, ID_STREAM_COUNT = 0x0D, ID_EMPTY_STREAM = 0x0E, ID_EMPTY_FILE = 0x0F,
    ID_NAME = 0x11, ID_MTIME = 0x14, ID_ENCODED_HEADER = 0x17,
};

const unsigned char SIGNATURE[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
const unsigned char LZMA_ID[3] = {3, 1, 1};
const unsigned char BCJ_ID[4] = {3, 3, 1, 3};

[[noreturn]] void Damaged(void) { FatalMessage(BOX_BAD_HEADER, MSG_BAD_HEADER); }

DWORD Crc32Of(const unsigned char* bytes, DWORD count) {
    state.crc32.value = 0xFFFFFFFF;
    Crc32Update(bytes, count);
    return ~state.crc32.value;
}

// The program's own memcmp (startup/runtime, the C library natively).
bool Same(const unsigned char* a, const unsigned char* b, DWORD count) { return __builtin_memcmp(a, b, count) == 0; }

ULONGLONG Le64(const unsigned char* p) { return ReadLe32(p) | (ULONGLONG)ReadLe32(p + 4) << 32; }

// The header as it is walked: a cursor that never leaves it.
const unsigned char* at;
const unsigned char* end;

__attribute__((noinline)) unsigned Byte(void) {
    if (at >= end) Damaged();
    return *at++;
}

// A number: the first byte's leading one bits say how many bytes follow (little-endian); its
// remaining bits are the top of the value.
__attribute__((noinline)) ULONGLONG Number(void) {
    unsigned first = Byte(), mask = 0x80;
    ULONGLONG value = 0;
    for (int shift = 0; shift < 64; shift += 8, mask >>= 1) {
        if (!(first & mask)) return value | (ULONGLONG)(first & (mask - 1)) << shift;
        value |= (ULONGLONG)Byte() << shift;
    }
    return value;
}

// A number that counts something the header holds: no more than `limit`.
__attribute__((noinline)) DWORD Count(DWORD limit) {
    ULONGLONG n = Number();
    if (n > limit) Damaged();
    return (DWORD)n;
}

__attribute__((noinline)) const unsigned char* Take(ULONGLONG count) {
    if (count > (ULONGLONG)(end - at)) Damaged();
    const unsigned char* start = at;
    at += count;
    return start;
}

__attribute__((noinline)) void Expect(unsigned id) {
    if (Byte() != id) Damaged();
}

// A coder of a folder: LZMA (its five property bytes kept) or the x86 converter; true for the
// converter.
bool ReadCoder(unsigned char* props) {
    unsigned flags = Byte(), idBytes = flags & 0x0F;
    // 0x10: more than one stream in or out; 0x20: properties follow; others are not ours.
    if (flags & ~0x3Fu) Damaged();
    const unsigned char* id = Take(idBytes);
    if (flags & 0x10) {
        if (Number() != 1 || Number() != 1) Damaged();
    }
    DWORD propBytes = flags & 0x20 ? Count(HEADER_BYTES_MAX) : 0;
    const unsigned char* p = Take(propBytes);
    if (idBytes == 4 && Same(id, BCJ_ID, 4) && propBytes == 0) return true;
    if (idBytes != 3 || !Same(id, LZMA_ID, 3) || propBytes != 5) Damaged();
    __builtin_memcpy(props, p, 5);
    return false;
}

// A folder: LZMA alone, or the converter and LZMA with the converter's input bound to LZMA's
// output (in either order of the two coders).
void ReadFolder(DWORD index) {
    DWORD coders = Count(2);
    if (coders == 0) Damaged();
    bool converter[2] = {false, false};
    for (DWORD i = 0; i < coders; ++i) converter[i] = ReadCoder(state.solid.props[index]);
    state.solid.folderBcj[index] = coders == 2;
    if (coders == 2) {
        // one converter and one LZMA coder, bound the one way that works
        if (converter[0] == converter[1]) Damaged();
        DWORD bcj = converter[0] ? 0 : 1;
        if (Number() != bcj || Number() != 1 - bcj) Damaged();
    } else if (converter[0]) {
        Damaged();
    }
}

// The files of the folders: how many each has, their sizes (all but each folder's last, kept
// for the extraction to read) and their CRC-32s, all of which must be there.
void ReadSubstreams(void) {
    DWORD total = state.solid.folderCount;
    for (DWORD f = 0; f < 2; ++f) state.solid.streams[f] = 1;
    unsigned id = Byte();
    if (id == ID_STREAM_COUNT) {
        total = 0;
        for (DWORD f = 0; f < state.solid.folderCount; ++f) {
            // every folder holds at least one file: an empty one would be a pack stream of nothing
            DWORD n = Count(FILES_MAX);
            if (n == 0) Damaged();
            state.solid.streams[f] = n;
            total += n;
        }
        if (total > FILES_MAX) Damaged();
        id = Byte();
    }
    if (id == ID_SIZE) {
        state.solid.sizes = at;
        // the sizes are checked against their folder's as the files come
        for (DWORD i = total - state.solid.folderCount; i; --i) Number();
        state.solid.sizesEnd = at;
        id = Byte();
    } else if (total != state.solid.folderCount) {
        Damaged();
    }
    if (id != ID_CRC || Byte() != 1) Damaged();
    state.solid.crcs = Take(4 * (ULONGLONG)total);
    Expect(ID_END);
}

// Streams info: the pack streams from their position (returned), the folders with their
// unpacked sizes (and, as an encoded header has them, their CRC-32s: `folderCrcs`), then the
// files of the folders when the substreams are there (`state.solid.crcs` is set then).
const unsigned char* folderCrcs;

ULONGLONG ReadStreams(void) {
    Expect(ID_PACK_INFO);
    ULONGLONG packPos = Number();
    DWORD packs = Count(2);
    Expect(ID_SIZE);
    for (DWORD i = 0; i < packs; ++i) state.solid.packSize[i] = Number();
    // no CRC-32s of the pack streams: each file's is checked
    Expect(ID_END);
    Expect(ID_UNPACK_INFO);
    Expect(ID_FOLDER);
    DWORD folders = Count(2);
    if (folders != packs || folders == 0 || Byte() != 0) Damaged();
    state.solid.folderCount = folders;
    for (DWORD f = 0; f < folders; ++f) ReadFolder(f);
    Expect(ID_UNPACK_SIZES);
    for (DWORD f = 0; f < folders; ++f) {
        ULONGLONG size = Number();
        // the converter's output and LZMA's are the same length
        if (state.solid.folderBcj[f] && Number() != size) Damaged();
        state.solid.unpackSize[f] = size;
    }
    unsigned id = Byte();
    folderCrcs = 0;
    if (id == ID_CRC) {
        Expect(1);
        folderCrcs = Take(4 * folders);
        id = Byte();
    }
    if (id != ID_END) Damaged();
    state.solid.crcs = 0;
    if ((id = Byte()) == ID_SUBSTREAMS) {
        ReadSubstreams();
        id = Byte();
    }
    if (id != ID_END) Damaged();
    return packPos;
}

// The encoded header: its streams info gives one folder of LZMA alone and no files, its pack
// stream lies between the archive's start and the header, and its size unpacked is no larger
// than a plain header may be. The stream is decoded into memory by the extraction's decoder
// (the sink of archive/solid.cpp lays it down there): it must end where that size says, with
// all its packed bytes read, and the CRC-32 must be right when given. Its bytes then take the
// place of the plain header; they must not be an encoded header again.
void UnpackHeader(void) {
    ULONGLONG room = state.solid.headerAt - state.solid.packAt, packPos = ReadStreams(),
              packSize = state.solid.packSize[0], size = state.solid.unpackSize[0];
    if (state.solid.folderCount != 1 || state.solid.folderBcj[0] || state.solid.crcs || size > HEADER_BYTES_MAX ||
        packPos > room || packSize > room - packPos)
        Damaged();
    const unsigned char* crc = folderCrcs;
    unsigned char* header = (unsigned char*)LocalAlloc(LMEM_FIXED, (DWORD)size);
    if (!header) Damaged();
    SeekArchive(state.solid.packAt + packPos);
    state.reader.memberLeft = 0;
    state.solid.packLeft = packSize;
    int result = UnpackSolid(header, state.solid.props[0], size);
    if (result != LZMA_DONE || state.reader.memberLeft || state.solid.packLeft ||
        (crc && Crc32Of(header, (DWORD)size) != ReadLe32(crc)))
        Damaged();
    LocalFree((HLOCAL)state.solid.header);  // the plain header, read no further
    state.solid.header = header;
    state.solid.folderCount = 0;  // the real header's streams info says what it holds
    at = header;
    end = header + size;
}

DWORD CountBits(const unsigned char* bits, DWORD count) {
    DWORD n = 0;
    for (DWORD i = 0; i < count; ++i) n += bits[i >> 3] >> (7 - (i & 7)) & 1;
    return n;
}

void ReadFiles(void) {
    DWORD files = state.solid.fileCount = Count(FILES_MAX), empty = 0;
    for (ULONGLONG id; (id = Number()) != ID_END;) {
        // each property is read inside its own bytes, then the cursor goes on after them
        ULONGLONG size = Number();
        const unsigned char* next = Take(size);
        const unsigned char* headerEnd = end;
        end = at;
        at = next;
        if (id == ID_EMPTY_STREAM) {
            state.solid.emptyStream = Take((files + 7) / 8);
            empty = CountBits(state.solid.emptyStream, files);
        } else if (id == ID_EMPTY_FILE) {
            if (!state.solid.emptyStream) Damaged();
            state.solid.emptyFile = Take((empty + 7) / 8);
        } else if (id == ID_NAME) {
            Expect(0);
            state.solid.names = at;
            state.solid.namesEnd = end;
        } else if (id == ID_MTIME) {
            Expect(1);
            Expect(0);
            state.solid.times = Take(8 * (ULONGLONG)files);
        }
        at = end;
        end = headerEnd;
    }
    // every file with data has its place in a folder, and every file a name
    DWORD streams = 0;
    for (DWORD f = 0; f < state.solid.folderCount; ++f) streams += state.solid.streams[f];
    if (files - empty != streams) Damaged();
    if (files && !state.solid.names) Damaged();
}

}  // namespace

BOOL ProbeSolidArchive(void) {
    unsigned char head[SIGNATURE_HEADER_BYTES];
    if (!SeekFile(state.reader.file, stubParams.archiveOffset) ||
        _lread(state.reader.file, head, SIGNATURE_HEADER_BYTES) != SIGNATURE_HEADER_BYTES ||
        !Same(head, SIGNATURE, 6))
        return FALSE;
    state.solid.form = TRUE;
    // the start header: its CRC-32, then where the header stands, within the file
    LONG high = 0;
    DWORD low = SetFilePointer((HANDLE)(INT_PTR)state.reader.file, 0, &high, FILE_END);
    ULONGLONG start = (ULONGLONG)stubParams.archiveOffset + SIGNATURE_HEADER_BYTES,
              room = ((ULONGLONG)(DWORD)high << 32 | low) - start, offset = Le64(head + 12),
              size = Le64(head + 20);
    if (head[6] != 0 || ReadLe32(head + 8) != Crc32Of(head + 12, 20) || offset > room ||
        size > room - offset)
        FatalMessage(BOX_END_RECORD_BAD, MSG_END_RECORD_BAD);
    state.solid.packAt = start;
    state.solid.headerAt = start + offset;
    // 0 for a header too large to be ours (or an empty one), which ReadSolidHeader refuses
    state.solid.headerBytes = size > HEADER_BYTES_MAX ? 0 : (DWORD)size;
    state.solid.headerCrc = ReadLe32(head + 28);
    return TRUE;
}

void ReadSolidHeader(void) {
    DWORD bytes = state.solid.headerBytes;
    if (bytes == 0) Damaged();  // larger than any header the builder writes
    unsigned char* header = state.solid.header = (unsigned char*)LocalAlloc(LMEM_FIXED, bytes);
    if (!header) OutOfMemory();
    SeekArchive(state.solid.headerAt);
    ReadArchive(header, bytes);
    if (Crc32Of(header, bytes) != state.solid.headerCrc) Damaged();
    at = header;
    end = header + bytes;
    unsigned id = Byte();
    if (id == ID_ENCODED_HEADER) {
        UnpackHeader();
        id = Byte();
    }
    if (id != ID_HEADER) Damaged();
    id = Byte();
    if (id == ID_MAIN_STREAMS) {
        // the real header's pack streams start the archive, and its files are all there
        if (ReadStreams() || !state.solid.crcs) Damaged();
        id = Byte();
    }
    if (id == ID_FILES) {
        ReadFiles();
        id = Byte();
    } else if (state.solid.folderCount) {
        Damaged();
    }
    if (id != ID_END) Damaged();
}

ULONGLONG TakeSolidSize(void) {
    at = state.solid.sizes;
    end = state.solid.sizesEnd;
    ULONGLONG size = Number();
    state.solid.sizes = at;
    return size;
}

void TakeSolidName(BOOL convert) {
    UTF16 wide[PATH_CHARS];
    const unsigned char* p = state.solid.names;
    DWORD n = 0;
    // every name ends inside the list, and fits the buffers as a ZIP name must
    for (; p + 1 >= state.solid.namesEnd || p[0] | p[1]; p += 2) {
        if (n == PATH_CHARS - 1 || p + 1 >= state.solid.namesEnd) Damaged();
        wide[n++] = (unsigned short)ReadLe16(p);
    }
    wide[n] = 0;
    state.solid.names = p + 2;
    if (convert && !WideToRunName(wide)) Damaged();
}

#endif  // TESSLY_SOLID
