// Decoding speed of our decoder against zlib's inflate, both with the CRC-32 of the output,
// on real files of this machine (one member per file, as in an archive), packed once by zlib
// at level 9 and once by libdeflate at level 12. Ours runs in file mode (reads of 2048 bytes
// from a file, WriteOutput with its CRC and writes to /dev/null) and in memory mode (then the
// CRC over the buffer); zlib inflates into memory and runs its crc32. Best of three runs.
//   inflate_bench [MiB]   (default 110)
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/inflate_support.h"

namespace {

struct Member {
    std::string packed;
    size_t size = 0;
    uint32_t crc = 0;
};

std::vector<Member> Pack(const std::vector<std::string>& files, bool libdeflate) {
    std::vector<Member> members(files.size());
    auto work = [&](size_t first) {
        libdeflate_compressor* c = libdeflate ? libdeflate_alloc_compressor(12) : nullptr;
        for (size_t i = first; i < files.size(); i += 2) {
            const std::string& f = files[i];
            Member& m = members[i];
            m.size = f.size();
            m.crc = ZlibCrc(f);
            if (libdeflate) {
                m.packed.resize(libdeflate_deflate_compress_bound(c, f.size()));
                m.packed.resize(libdeflate_deflate_compress(c, f.data(), f.size(), &m.packed[0],
                                                            m.packed.size()));
            } else {
                m.packed = RawDeflate(f, 9);
            }
        }
        if (c) libdeflate_free_compressor(c);
    };
    std::thread other(work, 1);
    work(0);
    other.join();
    return members;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double RunZlib(const std::vector<Member>& members, std::string& buffer, bool withCrc) {
    auto t0 = std::chrono::steady_clock::now();
    z_stream z{};
    inflateInit2(&z, -15);
    for (const Member& m : members) {
        inflateReset(&z);
        z.next_in = (Bytef*)m.packed.data();
        z.avail_in = (uInt)m.packed.size();
        z.next_out = (Bytef*)&buffer[0];
        z.avail_out = (uInt)buffer.size();
        int rc = inflate(&z, Z_FINISH);
        size_t n = buffer.size() - z.avail_out;
        uint32_t crc = withCrc ? (uint32_t)crc32(0, (const Bytef*)buffer.data(), (uInt)n) : m.crc;
        if (rc != Z_STREAM_END || crc != m.crc || n != m.size) {
            fprintf(stderr, "zlib failed on a member\n");
            exit(1);
        }
    }
    inflateEnd(&z);
    return Seconds(t0);
}

double RunOursInMemory(const std::vector<Member>& members, std::string& buffer, bool withCrc) {
    auto t0 = std::chrono::steady_clock::now();
    unsigned char* out = (unsigned char*)&buffer[0];
    for (const Member& m : members) {
        state.decoder.inputPtr = (unsigned char*)m.packed.data();
        state.decoder.inputCount = (int)m.packed.size();
        state.decoder.outputPtr = out;
        state.decoder.outputLimit = out + buffer.size();
        state.decoder.memoryMode = 1;
        int result = InflateStream();
        state.decoder.memoryMode = 0;
        state.crc32.value = ~m.crc;
        if (withCrc) {
            state.crc32.value = 0xFFFFFFFF;
            Crc32Update(out, (DWORD)(state.decoder.outputPtr - out));
        }
        if (result != 0 || ~state.crc32.value != m.crc ||
            (size_t)(state.decoder.outputPtr - out) != m.size) {
            fprintf(stderr, "our decoder failed on a member (memory mode)\n");
            exit(1);
        }
    }
    return Seconds(t0);
}

double RunOursFromFile(const std::vector<Member>& members, const std::string& path) {
    auto t0 = std::chrono::steady_clock::now();
    state.reader.file = _lopen(path.c_str(), OF_READ);
    state.output.file = _lcreat("/dev/null", 0);
    state.reader.left = 0;
    for (const Member& m : members) {
        state.reader.memberLeft = (DWORD)m.packed.size();
        state.decoder.inputCount = 0;
        state.output.memberBytes = 0;
        state.crc32.value = 0xFFFFFFFF;
        int result = InflateStream();
        if (result != 0 || ~state.crc32.value != m.crc) {
            fprintf(stderr, "our decoder failed on a member (file mode)\n");
            exit(1);
        }
    }
    _lclose(state.output.file);
    _lclose(state.reader.file);
    state.output.file = state.reader.file = 0;
    return Seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? (size_t)atoi(argv[1]) : 110;
    size_t bytes = mib << 20;
    std::vector<std::string> files = MachineFiles("/usr/lib", bytes * 2 / 3);
    size_t have = 0;
    for (const std::string& f : files) have += f.size();
    for (std::string& f : MachineFiles("/usr/share", bytes - have)) files.push_back(std::move(f));
    size_t total = 0, largest = 0;
    for (const std::string& f : files) {
        total += f.size();
        largest = std::max(largest, f.size());
    }
    printf("data: %zu files, %.1f MiB from /usr/lib and /usr/share\n", files.size(),
           total / 1048576.0);

    AllocateDecoderBuffers();
    std::string buffer(largest, '\0');
    char path[] = "/tmp/tessly-bench-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    for (bool libdeflate : {false, true}) {
        std::vector<Member> members = Pack(files, libdeflate);
        size_t packed = 0;
        {
            std::ofstream f(path, std::ios::binary);
            for (const Member& m : members) {
                f << m.packed;
                packed += m.packed.size();
            }
        }
        double zlib = 1e9, zlibBare = 1e9, memory = 1e9, memoryBare = 1e9, file = 1e9;
        for (int run = 0; run < 3; ++run) {
            zlib = std::min(zlib, RunZlib(members, buffer, true));
            zlibBare = std::min(zlibBare, RunZlib(members, buffer, false));
            memory = std::min(memory, RunOursInMemory(members, buffer, true));
            memoryBare = std::min(memoryBare, RunOursInMemory(members, buffer, false));
            file = std::min(file, RunOursFromFile(members, path));
        }
        double mb = total / 1e6;
        printf("%s: %.1f MiB packed\n", libdeflate ? "libdeflate level 12" : "zlib level 9",
               packed / 1048576.0);
        printf("  zlib inflate + crc32        %8.1f MB/s\n", mb / zlib);
        printf("  (zlib inflate alone         %8.1f MB/s; ours alone %.1f MB/s, ratio %.2f)\n",
               mb / zlibBare, mb / memoryBare, zlibBare / memoryBare);
        printf("  ours, memory mode + CRC     %8.1f MB/s   ratio %.2f\n", mb / memory, zlib / memory);
        printf("  ours, file mode (with CRC)  %8.1f MB/s   ratio %.2f\n", mb / file, zlib / file);
    }
    unlink(path);
    return 0;
}
