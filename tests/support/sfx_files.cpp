#include "tests/support/sfx_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "posix/standin.h"
#include "startup/startup.h"

namespace sfxtest {

using sfx::PutLe16;
using sfx::PutLe32;

namespace {

const unsigned char kSignature[PARAMETER_SIGNATURE_LENGTH] = {PARAMETER_SIGNATURE_BYTES};

}  // namespace

// ---- bytes ----------------------------------------------------------------------------------

std::string SyntheticStub(size_t size, size_t blockAt) {
    std::string image(size, '\0');
    // Filler that looks like code and data but cannot form the signature (no 0x01 or 0x02).
    uint32_t x = 0x12345678;
    for (size_t i = 0x200; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        unsigned char c = (unsigned char)(x >> 24);
        if (c == 0x01 || c == 0x02) c = 0x90;
        image[i] = (char)c;
    }
    // A PE32 i386 GUI program: headers (PE header at 0x40, section table at 0x138), .text at
    // 0x200 holding the entry point, .data from 0x400 to the end.
    auto set16 = [&](size_t at, uint32_t v) { image[at] = (char)v, image[at + 1] = (char)(v >> 8); };
    image.replace(0, 2, "MZ");
    SetLe32(&image, 0x3C, 0x40);
    image.replace(0x40, 4, "PE\0\0", 4);
    set16(0x44, 0x14C);
    set16(0x46, 2);
    set16(0x54, 224);
    set16(0x56, 0x0102);
    const size_t o = 0x58, data = size - 0x400;
    set16(o, 0x10B);
    const uint32_t fields[][2] = {{16, 0x1000}, {32, 0x1000}, {36, 0x200}, {60, 0x200}, {92, 16},
                                  {56, 0x2000 + ((uint32_t)data + 0xFFF) / 0x1000 * 0x1000}};
    for (const auto& f : fields) SetLe32(&image, o + f[0], f[1]);
    set16(o + 68, 2);
    const uint32_t sections[2][5] = {{0x200, 0x1000, 0x200, 0x200, 0x60000020},
                                     {(uint32_t)data, 0x2000, (uint32_t)data, 0x400, 0xC0000040}};
    for (int i = 0; i < 2; ++i) {
        image.replace(0x138 + 40 * i, 5, i ? ".data" : ".text");
        for (int k = 0; k < 4; ++k) SetLe32(&image, 0x138 + 40 * i + 8 + 4 * k, sections[i][k]);
        SetLe32(&image, 0x138 + 40 * i + 36, sections[i][4]);
    }
    const StubParameterBlock fresh = FRESH_PARAMETER_BLOCK;
    image.replace(blockAt, sizeof fresh, (const char*)&fresh, sizeof fresh);
    return image;
}

std::string RawDeflate(const std::string& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
    size_t n = libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size());
    libdeflate_free_compressor(c);
    out.resize(n);
    return out;
}

uint32_t Crc32(const std::string& data) {
    return (uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
}

std::string SampleIcon() {
    const int w = 16, h = 16;
    std::string image;
    PutLe32(&image, 40);     // BITMAPINFOHEADER
    PutLe32(&image, w);
    PutLe32(&image, h * 2);  // colour and mask
    PutLe16(&image, 1);
    PutLe16(&image, 4);
    PutLe32(&image, 0);
    PutLe32(&image, 0);
    PutLe32(&image, 0);
    PutLe32(&image, 0);
    PutLe32(&image, 0);
    PutLe32(&image, 0);
    static const uint32_t palette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                         0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                         0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (uint32_t c : palette) PutLe32(&image, c);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w / 2; ++x) image += (char)(((y / 4 + x / 2) % 16) * 0x11);
    image.append(h * 4, '\0');  // AND mask: all opaque
    std::string icon;
    PutLe16(&icon, 0);
    PutLe16(&icon, 1);
    PutLe16(&icon, 1);
    icon += (char)w;
    icon += (char)h;
    icon += (char)16;
    icon += (char)0;
    PutLe16(&icon, 1);
    PutLe16(&icon, 4);
    PutLe32(&icon, (uint32_t)image.size());
    PutLe32(&icon, 6 + 16);
    return icon + image;
}

std::string ConfigText(const ConfigFields& f) {
    std::string t = f.about + '\0' + f.command + '\0' + f.third + '\0' + f.text + '\0';
    if (f.hasCaption) t += f.caption + '\0';
    if (f.hasIcon)
        t += std::string(2, (char)ICON_MARKER) + f.icon;
    else
        t.append(2, '\0');
    return t;
}

std::string ZipArchive(const std::vector<ZipMember>& members, uint32_t base) {
    std::string local, central;
    for (const ZipMember& m : members) {
        std::string data = m.method == METHOD_DEFLATED ? RawDeflate(m.data) : m.data;
        sfx::EntryFields f;
        f.flags = m.flags;
        f.method = (uint16_t)m.method;
        f.time = m.time;
        f.date = m.date;
        f.crc = Crc32(m.data) ^ (m.badCrc ? 0x5A5A5A5Au : 0);
        f.packed = (uint32_t)data.size();
        f.size = (uint32_t)m.data.size();
        uint32_t offset = base + (uint32_t)local.size();
        sfx::EntryFields inLocal = f;
        if (m.zeroSizesInLocal) inLocal.crc = inLocal.packed = inLocal.size = 0;
        local += sfx::LocalHeader(inLocal, m.name) + data;
        if (m.flags & ZIP_FLAG_DESCRIPTOR) {
            PutLe32(&local, ZIP_DESCRIPTOR_SIGNATURE);
            PutLe32(&local, f.crc);
            PutLe32(&local, f.packed);
            PutLe32(&local, f.size);
        }
        central += sfx::CentralEntry(f, m.name, 20, 0x20, offset);
    }
    return local + central +
           sfx::EndRecord((uint16_t)members.size(), (uint32_t)central.size(),
                          base + (uint32_t)local.size());
}

size_t FindBlock(const std::string& bytes) {
    return bytes.find((const char*)kSignature, 0, sizeof kSignature);
}

void ResealHeader(std::string* f) {
    size_t block = FindBlock(*f);
    SetLe32(f, block + PB_HEADER_CRC, 0);
    SetLe32(f, block + PB_HEADER_CRC, Crc32(f->substr(0, Le32(*f, block + PB_ARCHIVE_OFFSET))));
}

std::string BuildSfx(const SfxParts& p) {
    std::string file = p.stub;
    size_t block = FindBlock(file);
    if (block == std::string::npos) return file;
    std::string config;
    if (p.hasConfig) config = p.packedConfig.empty() ? RawDeflate(p.config) : p.packedConfig;
    uint32_t configOffset = p.hasConfig ? (uint32_t)file.size() : 0;
    file += config;
    uint32_t archiveStart = (uint32_t)file.size();
    std::string archive = p.members.empty() ? p.rawArchive : ZipArchive(p.members, archiveStart);
    file += archive;

    uint32_t total = 0;
    for (const ZipMember& m : p.members) total += (uint32_t)m.data.size();
    size_t end = archive.rfind("PK\x05\x06");
    uint32_t endRecord = end == std::string::npos ? 0 : archiveStart + (uint32_t)end;

    SetLe32(&file, block + PB_ARCHIVE_OFFSET,
            p.archiveOffset >= 0 ? (uint32_t)p.archiveOffset : archiveStart);
    SetLe32(&file, block + PB_CONFIG_OFFSET,
            p.configOffset >= 0 ? (uint32_t)p.configOffset : configOffset);
    SetLe32(&file, block + PB_END_RECORD_OFFSET,
            p.endRecordOffset >= 0 ? (uint32_t)p.endRecordOffset : endRecord);
    SetLe32(&file, block + PB_TOTAL_SIZE, p.totalSize >= 0 ? (uint32_t)p.totalSize : total);
    SetLe32(&file, block + PB_OPTION_FLAGS, p.optionFlags);
    for (size_t k = 0; k < WAIT_NAME_BYTES; ++k)
        file[block + PB_WAIT_FOR_NAME + k] = k < p.waitFor.size() ? p.waitFor[k] : '\0';
    SetLe32(&file, block + PB_HEADER_CRC, 0);
    if (p.headerCheck) {
        uint32_t covered = p.archiveOffset >= 0 ? (uint32_t)p.archiveOffset : archiveStart;
        if (covered > file.size()) covered = (uint32_t)file.size();
        SetLe32(&file, block + PB_HEADER_CRC, Crc32(file.substr(0, covered)));
    }
    return file;
}

// ---- the stub's start-up code ------------------------------------------------------------------

namespace {
StubParameterBlock builtInBlock;
bool haveBuiltInBlock = false;
}  // namespace

void ResetStubState(const std::string& selfPath) {
    if (!haveBuiltInBlock) {
        builtInBlock = stubParams;
        haveBuiltInBlock = true;
    }
    stubParams = builtInBlock;
    standin::Reset();
    char title[sizeof state.appTitle];
    memcpy(title, state.appTitle, sizeof title);
    memset((void*)&state, 0, sizeof state);
    memcpy(state.appTitle, title, sizeof title);
    AllocateTextBlocks();
    snprintf(state.selfPath, sizeof state.selfPath, "%s", selfPath.c_str());
}

bool LoadStubParams(const std::string& bytes) {
    size_t at = FindBlock(bytes);
    if (at == std::string::npos || at + sizeof(StubParameterBlock) > bytes.size()) return false;
    memcpy(&stubParams, bytes.data() + at, sizeof(StubParameterBlock));
    return true;
}

int RunUnderCheckpoint(void (*step)()) {
    int code = ARM_CHECKPOINT();
    if (code != 0) return code;
    step();
    return 0;
}

void ReleaseStubState() {
    ReleaseResources();
    if (state.messageTable) LocalFree((HLOCAL)state.messageTable);
    state.messageTable = nullptr;
    FreeTextBlocks();
}

// ---- files and processes ------------------------------------------------------------------------

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/sfxtest.XXXXXX";
    path_ = mkdtemp(&pattern[0]) ? pattern : std::string();
}

static void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& n : ListFolder(path)) RemoveTree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) RemoveTree(path_);
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return (bool)out.flush();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& workDir) {
    RunResult r;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
        for (const std::string& e : env) putenv(strdup(e.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            ssize_t n = read(fds[k].fd, chunk, sizeof chunk);
            if (n <= 0) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            } else {
                (k == 0 ? r.out : r.err).append(chunk, (size_t)n);
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

RunResult RunMksfx(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv{TESSLY_MKSFX};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, env);
}

bool HaveProgram(const std::string& name) {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    return false;
}

}  // namespace sfxtest
