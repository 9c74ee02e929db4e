#include "tests/support/sfx_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <math.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "posix/standin.h"
#include "startup/startup.h"
#include "tests/support/fresh_state.h"

namespace sfxtest {

using sfx::PutLe16;
using sfx::PutLe32;

static const unsigned char kSignature[PARAMETER_SIGNATURE_LENGTH] = {PARAMETER_SIGNATURE_BYTES};

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
    // 0x200 holding the entry point, .data from 0x400 to the end with the imports.
    image.replace(0, 2, "MZ");
    SetLe32(&image, 0x3C, 0x40);
    image.replace(0x40, 4, "PE\0\0", 4);
    const size_t o = 0x58, data = size - 0x400;
    const uint32_t words[][2] = {{0x44, 0x14C}, {0x46, 2}, {0x54, 224}, {0x56, 0x0102},
                                 {o, 0x10B},    {o + 40, 4}, {o + 48, 4}, {o + 68, 2}};
    for (const auto& w : words) sfx::SetLe16(&image, w[0], w[1]);
    const uint32_t fields[][2] = {{16, 0x1000}, {32, 0x1000}, {36, 0x200}, {60, 0x200}, {92, 16},
                                  {56, 0x2000 + ((uint32_t)data + 0xFFF) / 0x1000 * 0x1000},
                                  {64, 0x1234}, {96 + 8, 0x2000}, {96 + 12, 0x28}};
    for (const auto& f : fields) SetLe32(&image, o + f[0], f[1]);
    const uint32_t sections[2][5] = {{0x200, 0x1000, 0x200, 0x200, 0x60000020},
                                     {(uint32_t)data, 0x2000, (uint32_t)data, 0x400, 0xC0000040}};
    for (int i = 0; i < 2; ++i) {
        image.replace(0x138 + 40 * i, 5, i ? ".data" : ".text");
        for (int k = 0; k < 4; ++k) SetLe32(&image, 0x138 + 40 * i + 8 + 4 * k, sections[i][k]);
        SetLe32(&image, 0x138 + 40 * i + 36, sections[i][4]);
    }
    StubParameterBlock fresh = FRESH_PARAMETER_BLOCK;
    // It stands for the ZIP stub, which reads UTF-8; tests of the solid form set the solid
    // form's bit too.
    fresh.reserved[PB_FORMS - PB_RESERVED] = FORM_ZIP | FORM_UTF8;
    image.replace(blockAt, sizeof fresh, (const char*)&fresh, sizeof fresh);
    return image;
}

namespace {

// The picture of IconFile as RGBA pixels.
std::vector<uint8_t> Picture(int w, int h, Look look) {
    static const uint8_t quarter[4][3] = {{220, 40, 40}, {40, 180, 60}, {40, 60, 220}, {240, 220, 40}};
    std::vector<uint8_t> pixels((size_t)w * h * 4, 0);
    double r = 0.45 * std::min(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double dx = x + 0.5 - w / 2.0, dy = y + 0.5 - h / 2.0, d = sqrt(dx * dx + dy * dy) / r;
            if (d > 1 && look != kFull) continue;
            uint8_t* p = &pixels[((size_t)y * w + x) * 4];
            const uint8_t* q = quarter[(dy > 0) * 2 + (dx > 0)];
            double shade = look == kRich ? 1 - 0.4 * d : 1;
            for (int c = 0; c < 3; ++c)
                p[c] = look == kMono ? (dy < 0 ? 255 : 0) : d > 0.85 ? 0 : (uint8_t)(q[c] * shade);
            p[3] = 255;
        }
    return pixels;
}

// A bitmap as an icon file holds it (24 and 32 bits, or a palette of the picture's colours),
// with the AND mask from the alpha channel.
std::string Bitmap(int side, int bits, Look look) {
    std::vector<uint8_t> pixels = Picture(side, side, look);
    std::vector<uint32_t> palette;
    std::string colours, mask, b;
    for (int y = side - 1; y >= 0; --y) {
        std::string row(((size_t)side * bits + 31) / 32 * 4, '\0'), m((side + 31) / 32 * 4, '\0');
        for (int x = 0; x < side; ++x) {
            const uint8_t* p = &pixels[((size_t)y * side + x) * 4];
            uint32_t rgb = p[0] << 16 | p[1] << 8 | p[2];
            if (p[3] < 128) m[x / 8] = (char)(m[x / 8] | 0x80 >> x % 8);
            if (bits >= 24) {
                for (int c = 0; c < bits / 8; ++c) row[x * bits / 8 + c] = (char)p[c < 3 ? 2 - c : 3];
                continue;
            }
            size_t i = std::find(palette.begin(), palette.end(), rgb) - palette.begin();
            if (i == palette.size()) palette.push_back(rgb);
            row[x * bits / 8] = (char)(row[x * bits / 8] | i << (8 - bits - x * bits % 8));
        }
        colours += row, mask += m;
    }
    if (bits <= 8 && palette.size() > 1u << bits) abort();
    for (uint32_t v : {40, side, side * 2}) PutLe32(&b, v);
    PutLe16(&b, 1), PutLe16(&b, bits);
    for (int i = 0; i < 6; ++i) PutLe32(&b, 0);
    for (int i = 0; bits <= 8 && i < 1 << bits; ++i) PutLe32(&b, i < (int)palette.size() ? palette[i] : 0);
    return b + colours + mask;
}

}  // namespace

std::string PngImage(int width, int height, Look look) {
    std::vector<uint8_t> pixels = Picture(width, height, look);
    png_image png{};
    png.version = PNG_IMAGE_VERSION, png.width = width, png.height = height, png.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&png, nullptr, &size, 0, pixels.data(), 0, nullptr);
    std::string out(size, '\0');
    if (!png_image_write_to_memory(&png, &out[0], &size, 0, pixels.data(), 0, nullptr)) abort();
    return out.substr(0, size);
}

std::string IconFile(const std::vector<IconImage>& images) {
    std::string head, body;
    PutLe16(&head, 0), PutLe16(&head, 1), PutLe16(&head, (uint32_t)images.size());
    for (const IconImage& i : images) {
        std::string bytes = i.depth ? Bitmap(i.side, i.depth, i.look) : PngImage(i.side, i.side, i.look);
        head += (char)(i.side & 0xFF), head += (char)(i.side & 0xFF), head += '\0', head += '\0';
        PutLe16(&head, 1), PutLe16(&head, i.depth ? i.depth : 32), PutLe32(&head, (uint32_t)bytes.size());
        PutLe32(&head, (uint32_t)(6 + 16 * images.size() + body.size()));
        body += bytes;
    }
    return head + body;
}

std::string ConfigText(const ConfigFields& f) {
    std::string t = f.about + '\0' + f.command + '\0' + f.third + '\0' + f.text + '\0';
    if (f.hasCaption) t += f.caption + '\0';
    if (!f.target.empty()) t += f.target + '\0';
    return t + (f.hasIcon ? std::string(2, (char)ICON_MARKER) + f.icon : std::string(2, '\0'));
}

std::string ZipArchive(const std::vector<zipcraft::Member>& members, uint32_t base) {
    zipcraft::Archive archive(base);
    for (const zipcraft::Member& m : members) archive.Add(m);
    return archive.Finish().bytes();
}

size_t FindBlock(const std::string& bytes) {
    return bytes.find((const char*)kSignature, 0, sizeof kSignature);
}

void ResealHeader(std::string* f) {
    size_t block = FindBlock(*f);
    SetLe32(f, block + PB_HEADER_CRC, 0);
    SetLe32(f, block + PB_HEADER_CRC, ZlibCrc(f->substr(0, Le32(*f, block + PB_ARCHIVE_OFFSET))));
}

std::string Resealed(std::string file) {
    ResealHeader(&file);
    return file;
}

std::string Patch32(std::string bytes, size_t at, uint32_t value) {
    SetLe32(&bytes, at, value);
    return bytes;
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
    for (const zipcraft::Member& m : p.members) total += (uint32_t)m.content.size();
    size_t end = archive.rfind("PK\x05\x06");
    uint32_t endRecord = end == std::string::npos ? 0 : archiveStart + (uint32_t)end;

    SetLe32(&file, block + PB_ARCHIVE_OFFSET, p.archiveOffset >= 0 ? (uint32_t)p.archiveOffset : archiveStart);
    SetLe32(&file, block + PB_CONFIG_OFFSET, p.configOffset >= 0 ? (uint32_t)p.configOffset : configOffset);
    SetLe32(&file, block + PB_END_RECORD_OFFSET, p.endRecordOffset >= 0 ? (uint32_t)p.endRecordOffset : endRecord);
    SetLe32(&file, block + PB_TOTAL_SIZE, total);
    SetLe32(&file, block + PB_OPTION_FLAGS, p.optionFlags);
    for (size_t k = 0; k < WAIT_NAME_BYTES; ++k)
        file[block + PB_WAIT_FOR_NAME + k] = k < p.waitFor.size() ? p.waitFor[k] : '\0';
    SetLe32(&file, block + PB_HEADER_CRC, 0);
    if (p.headerCheck) {
        uint32_t covered = p.archiveOffset >= 0 ? (uint32_t)p.archiveOffset : archiveStart;
        if (covered > file.size()) covered = (uint32_t)file.size();
        SetLe32(&file, block + PB_HEADER_CRC, ZlibCrc(file.substr(0, covered)));
    }
    return file;
}

// ---- the stub's start-up code ------------------------------------------------------------------

void ResetStubState(const std::string& selfPath) {
    FreshState();
    AllocateTextBlocks();
    snprintf(state.run.selfPath, sizeof state.run.selfPath, "%s", selfPath.c_str());
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
    if (state.texts.ownTable) LocalFree((HLOCAL)state.texts.ownTable);
    if (state.texts.languageArea) LocalFree((HLOCAL)state.texts.languageArea);
    state.texts.messageTable = state.texts.ownTable = state.texts.languageArea = nullptr;
    FreeTextBlocks();
}

std::string FrenchTable() {
    std::string table = ReadFile(TESSLY_SOURCE_DIR "/messages/en.txt");
    const std::pair<const char*, const char*> changes[] = {
        {"language en", "language fr"},
        {"%s could not be started", "%s n'a pas pu \xC3\xAAtre lanc\xC3\xA9"},
        {"&Close", "&Fermer"},
        {"SETUP_BUTTON\n&Setup", "SETUP_BUTTON\n&Installer"},
    };
    for (const auto& c : changes) table.replace(table.find(c.first), strlen(c.first), c.second);
    return table;
}

// ---- files and processes ------------------------------------------------------------------------

// TMPDIR, else memory (/dev/shm) where it can be written: the tests make and remove many
// small files, which on a disk take three times as long.
TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/sfxtest.XXXXXX";
    path_ = mkdtemp(&pattern[0]) ? pattern : std::string();
}

void RemoveTree(const std::string& path) {
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

static std::string fuzzScratch;

std::string FuzzScratchFolder() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tessly-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) abort();
    fuzzScratch = pattern;
    atexit([] { RemoveTree(fuzzScratch); });
    return fuzzScratch;
}

TempDir::~TempDir() { RemoveTree(path_); }  // nothing when mkdtemp failed: lstat("") fails

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

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
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
                     const std::string& workDir, int timeoutSeconds) {
    RunResult r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
    // The child's arguments and environment ("NAME" removes, "NAME=VALUE" sets) are made
    // here: it shares this process's memory until it execs (vfork spares copying the page
    // tables of a sanitized test, which cost more than the program run), so it only makes
    // system calls.
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) environment.push_back(*e);
    for (const std::string& e : env) {
        const std::string name = e.substr(0, e.find('=')) + "=";
        environment.erase(std::remove_if(environment.begin(), environment.end(),
                                         [&](const std::string& v) { return v.compare(0, name.size(), name) == 0; }),
                          environment.end());
        if (e.size() >= name.size()) environment.push_back(e);
    }
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = vfork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(127);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // The output ends at EOF; but programs the child started may hold the pipes open after it
    // has ended (Wine's helpers do), so its end is also looked for every 50 ms.
    auto now = [] {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts.tv_sec + ts.tv_nsec / 1e9;
    };
    double deadline = now() + (timeoutSeconds > 0 ? timeoutSeconds : 1e9);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int status = 0, open = 2;
    bool ended = false;
    while (!ended) {
        if (open > 0) poll(fds, 2, 50);
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[4096];
            ssize_t n = read(fds[k].fd, chunk, sizeof chunk);
            if (n > 0) {
                (k == 0 ? r.out : r.err).append(chunk, (size_t)n);
                continue;
            }
            close(fds[k].fd);
            fds[k].fd = -1;
            --open;
        }
        if (waitpid(pid, &status, open > 0 ? WNOHANG : 0) == pid) {
            ended = true;
        } else if (now() > deadline) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            ended = true;
        }
    }
    for (int k = 0; k < 2; ++k) {
        if (fds[k].fd < 0) continue;
        fcntl(fds[k].fd, F_SETFL, O_NONBLOCK);
        char chunk[4096];
        for (ssize_t n; (n = read(fds[k].fd, chunk, sizeof chunk)) > 0;) (k == 0 ? r.out : r.err).append(chunk, (size_t)n);
        close(fds[k].fd);
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

RunResult RunMksfx(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv{TESSLY_MKSFX};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, env);
}

bool HaveProgram(const std::string& name) {
    return RunProgram({"sh", "-c", "command -v \"$0\"", name}).exitCode == 0;
}

}  // namespace sfxtest
