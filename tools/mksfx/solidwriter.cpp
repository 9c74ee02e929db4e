// mksfx build, the solid form: each folder's files read one after another as the LZMA
// encoder asks for bytes (programs through the x86 branch converter on the way), the packed
// stream written as it comes, then the header, and the signature header in front. Memory is
// the encoder's (about ten times the dictionary) and a few buffers, whatever the input.
//
// The encoder is the LZMA SDK's, compiled from the lzma-dev package, single-threaded: the
// same code makes the same bytes wherever mksfx runs.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <exception>
#include <memory>

#include "tools/mksfx/lzmasdk.h"

#include "lzma/x86.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"
#include "lzma/lzma.h"
#include "tools/mksfx/solid.h"

namespace sfx {

namespace {

void* Allocate(void*, size_t size) { return malloc(size); }
void Release(void*, void* address) { free(address); }
ISzAlloc allocator = {Allocate, Release};

// The largest dictionary: 64 MiB makes the encoder take some 700 MB; see docs/benchmarks.md
// for what it buys over smaller ones.
const uint32_t kDictionaryMin = 64u << 10, kDictionaryMax = 64u << 20;

uint32_t DictionaryFor(uint64_t size) {
    uint32_t dict = kDictionaryMin;
    while (dict < kDictionaryMax && dict < size) dict <<= 1;
    return dict;
}

// --level 1 to 12 as the encoder's effort: 1 to 4 the fast mode (hash chains), 5 to 9 the
// SDK's levels (9: 64 fast bytes), 10 to 12 longer matches (80 and 96 fast bytes).
CLzmaEncProps EncoderProps(int level, uint64_t size) {
    CLzmaEncProps p;
    LzmaEncProps_Init(&p);
    p.level = std::min(level, 9);
    p.dictSize = DictionaryFor(size);
    p.lc = 3;
    p.lp = 0;
    p.pb = 2;
    // Measured on Wine's DLLs (first 128 MiB): 96 fast bytes gave the smallest stream of 64,
    // 96 and 273 (273 lost 0.2% to 96); 12 searches deeper on top (128 cycles: 0.1% smaller
    // than the default 64, and 256 cycles lost some of that again).
    if (level >= 10) p.fb = level == 10 ? 80 : 96;
    if (level == 12) p.mc = 128;
    p.numThreads = 1;
    p.writeEndMark = 0;
    return p;
}

// The bytes of one folder as the encoder reads them: its files in order, each one's CRC-32
// taken before the x86 converter changes it.
struct FolderInput {
    ISeqInStream vt;  // first: the encoder passes its address back as `this`
    const std::vector<Entry>& entries;
    const SolidFolder& folder;
    const ArchiveOptions& options;
    uint64_t* bytesDone;
    uint64_t* membersDone;
    size_t next = 0;
    std::unique_ptr<EntryReader> reader;
    std::vector<uint32_t> crcs;
    X86State x86 = {0, 0};
    std::string staged = std::string(1 << 16, '\0');
    size_t have = 0, ready = 0, served = 0;
    bool ended = false;
    std::exception_ptr failure;

    // Up to `want` bytes of the files, in order; 0 once every file is read.
    size_t Fill(unsigned char* to, size_t want) {
        while (next < folder.files.size()) {
            if (!reader) reader.reset(new EntryReader(entries[folder.files[next]]));
            size_t n = reader->Read(to, want);
            if (n > 0) {
                *bytesDone += n;
                return n;
            }
            crcs.push_back(reader->Crc());
            reader.reset();
            ++next;
            ++*membersDone;
            if (options.progress) options.progress(*bytesDone, *membersDone, options.context);
        }
        return 0;
    }

    size_t Take(unsigned char* to, size_t want) {
        if (!folder.x86) return Fill(to, want);
        if (served == ready) {
            // The bytes the converter left unfinished move to the front and wait for more.
            staged.erase(0, served);
            staged.resize(1 << 16);
            have -= served;
            served = ready = 0;
            while (!ended && have < staged.size()) {
                size_t n = Fill((unsigned char*)&staged[have], staged.size() - have);
                if (n == 0) ended = true;
                have += n;
            }
            ready = ConvertX86(&x86, (unsigned char*)&staged[0], (DWORD)have, true);
            if (ended) ready = have;
        }
        size_t n = std::min(want, ready - served);
        std::copy(staged.begin() + served, staged.begin() + served + n, to);
        served += n;
        return n;
    }

    static SRes Read(void* p, void* buf, size_t* size) {
        FolderInput* in = (FolderInput*)p;
        try {
            *size = in->Take((unsigned char*)buf, *size);
            return SZ_OK;
        } catch (...) {
            in->failure = std::current_exception();
            *size = 0;
            return SZ_ERROR_READ;
        }
    }
};

struct PackedOutput {
    ISeqOutStream vt;
    OutputFile* out;
    uint64_t written = 0;
    std::exception_ptr failure;
    static size_t Write(void* p, const void* data, size_t size) {
        PackedOutput* o = (PackedOutput*)p;
        try {
            o->out->Write(data, size);
            o->written += size;
            return size;
        } catch (...) {
            o->failure = std::current_exception();
            return 0;
        }
    }
};

// The plain header LZMA-encoded (its stream to `packed`, the small header that describes it
// to `info`) when the two together are smaller than it: a package of a few files keeps its
// header plain, where the encoded one would cost more than it saves.
bool PackHeader(const std::string& plain, uint64_t packPos, int level, std::string* packed, std::string* info) {
    PackedHeader p;
    p.packPos = packPos;
    p.unpacked = plain.size();
    p.crc = Crc32(plain.data(), plain.size());
    CLzmaEncProps props = EncoderProps(level, plain.size());
    SizeT packedSize = plain.size(), propsSize = sizeof p.props;
    packed->resize(packedSize);
    // room for no more than the plain header: a stream that needs more is not taken
    SRes rc = LzmaEncode((Byte*)&(*packed)[0], &packedSize, (const Byte*)plain.data(), plain.size(), &props, p.props,
                         &propsSize, 0, nullptr, &allocator, &allocator);
    if (rc == SZ_ERROR_OUTPUT_EOF) return false;
    if (rc == SZ_ERROR_MEM) Fail("out of memory (the LZMA encoder)");
    if (rc != SZ_OK) Fail("the LZMA encoder failed on the header (" + std::to_string(rc) + ")");
    packed->resize(packedSize);
    p.packSize = packedSize;
    *info = EncodeHeaderInfo(p);
    return packed->size() + info->size() < plain.size();
}

}  // namespace

// The stub's decoder says what it needs.
uint64_t LzmaDecodeMemory(const unsigned char props[5], uint64_t size) { return LzmaMemoryNeed(props, size); }

SolidResult WriteSolidArchive(const std::vector<Entry>& entries, const ArchiveOptions& options, OutputFile* out,
                              ArchiveCounts* counts) {
    SolidPlan plan = PlanSolid(entries);
    SolidResult result;
    result.duplicates = plan.duplicates;
    uint64_t start = out->Size();
    out->Write(std::string(kSignatureHeaderSize, '\0'));
    SevenZipHeader header;
    uint64_t bytesDone = 0, membersDone = 0;
    for (const SolidFolder& folder : plan.folders) {
        CLzmaEncHandle encoder = LzmaEnc_Create(&allocator);
        if (!encoder) Fail("out of memory");
        std::unique_ptr<void, void (*)(void*)> owner(encoder, [](void* e) { LzmaEnc_Destroy(e, &allocator, &allocator); });
        CLzmaEncProps props = EncoderProps(options.level, folder.size);
        SevenZipFolder f;
        SizeT propsSize = sizeof f.props;
        if (LzmaEnc_SetProps(encoder, &props) != SZ_OK || LzmaEnc_WriteProperties(encoder, f.props, &propsSize) != SZ_OK)
            Fail("the LZMA encoder refuses its settings");
        FolderInput in{{FolderInput::Read}, entries, folder, options, &bytesDone, &membersDone};
        PackedOutput packed{{PackedOutput::Write}, out};
        SRes rc = LzmaEnc_Encode(encoder, &packed.vt, &in.vt, nullptr, &allocator, &allocator);
        if (in.failure) std::rethrow_exception(in.failure);
        if (packed.failure) std::rethrow_exception(packed.failure);
        if (rc == SZ_ERROR_MEM) Fail("out of memory (the LZMA encoder)");
        if (rc != SZ_OK) Fail("the LZMA encoder failed (" + std::to_string(rc) + ")");
        f.x86 = folder.x86;
        f.packed = packed.written;
        f.unpacked = folder.size;
        f.files = folder.files.size();
        header.folders.push_back(f);
        for (size_t k = 0; k < folder.files.size(); ++k) {
            const Entry& e = entries[folder.files[k]];
            SevenZipFile file;
            file.name = e.name;
            file.hasData = true;
            file.size = e.size;
            file.crc = in.crcs[k];
            file.attributes = 0x20;  // archive
            file.mtime = FileTime(e.mtime);
            header.files.push_back(file);
            if (options.verbose)
                printf("  %-8s %10llu  %s\n", folder.x86 ? "x86" : "lzma", (unsigned long long)e.size, Shown(e.name).c_str());
        }
        result.coders.push_back(CoderText(f));
        result.memoryNeed = std::max(result.memoryNeed, LzmaDecodeMemory(f.props, f.unpacked));
        counts->inputBytes += f.unpacked;
        counts->packedBytes += f.packed;
    }
    for (size_t i : plan.empty) {
        const Entry& e = entries[i];
        SevenZipFile file;
        file.name = e.isDirectory ? e.name.substr(0, e.name.size() - 1) : e.name;
        file.isDirectory = e.isDirectory;
        file.attributes = e.isDirectory ? 0x10 : 0x20;
        file.mtime = FileTime(e.mtime);
        header.files.push_back(file);
        if (options.verbose) printf("  %-8s %10d  %s\n", e.isDirectory ? "folder" : "empty", 0, Shown(e.name).c_str());
    }
    counts->members = entries.size();
    std::string encoded = EncodeHeader(header), packed, info;
    uint64_t headerOffset = out->Size() - start - kSignatureHeaderSize;
    if (PackHeader(encoded, headerOffset, options.level, &packed, &info)) {
        out->Write(packed);
        headerOffset += packed.size();
        encoded = info;
    }
    out->Write(encoded);
    out->WriteAt(start, SignatureHeader(headerOffset, encoded));
    return result;
}

}  // namespace sfx
