// Test helpers for self-extracting files (stand-in stub image, icons, configuration blocks,
// ZIP archives, whole files) and for loading them into the stub's start-up code on the POSIX
// stand-in; also the file and process helpers of every test, and a way to run mksfx.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "tests/support/zip_craft.h"
#include "tools/common/ziprecords.h"

namespace sfxtest {

// ---- bytes -------------------------------------------------------------------------------

// A stand-in for the stub image: a sound PE32 i386 GUI program of `size` bytes (a multiple of
// 512, at least 1536; .text at 0x200, .data from 0x400 to the end) whose .data holds filler
// without the signature and one fresh parameter block at `blockAt`.
std::string SyntheticStub(size_t size = 8192, size_t blockAt = 1024);

// Icon files drawn here: a disc of red, green, blue and yellow quarters (clockwise from the top
// left) in a black ring on a transparent square; kRich shades it, kMono is white above and
// black below, kFull paints the square black around the disc. `depth` 0 stores a PNG stream.
enum Look { kFlat, kRich, kMono, kFull };
struct IconImage {
    int side, depth;
    Look look;
};
std::string IconFile(const std::vector<IconImage>& images);
std::string PngImage(int width, int height, Look look);
inline std::string SampleIcon() { return IconFile({{16, 4, kFlat}}); }  // 318 bytes

// The inflated configuration block: about, command, third string, message text, then the
// caption when `hasCaption`, then "\x1F\x1F" + icon when `hasIcon`, else two zero bytes.
struct ConfigFields {
    std::string about, command, third, text;
    bool hasCaption = false;
    std::string caption;
    bool hasIcon = false;
    std::string icon;
    std::string target;  // after the caption, when not empty
};
std::string ConfigText(const ConfigFields& fields);

// A sound ZIP archive whose offsets count from `base` (its position in the final file).
std::string ZipArchive(const std::vector<zipcraft::Member>& members, uint32_t base = 0);

// A whole self-extracting file: stub + configuration + archive, block filled in.
struct SfxParts {
    std::string stub = SyntheticStub();
    bool hasConfig = true;
    std::string config = ConfigText(ConfigFields{});  // inflated; deflated by BuildSfx
    std::string packedConfig;       // when not empty, placed as it is instead of `config`
    std::vector<zipcraft::Member> members; // the archive, offsets from the start of the file
    std::string rawArchive;         // used instead when `members` is empty
    uint32_t optionFlags = 0x02;
    std::string waitFor;
    bool headerCheck = true;
    int64_t configOffset = -1;      // -1: right after the stub (0 without a configuration)
    int64_t archiveOffset = -1;     // -1: right after the configuration
    int64_t endRecordOffset = -1;   // -1: where the archive's last end record stands
};
std::string BuildSfx(const SfxParts& parts);

// Position of the parameter block in `bytes` (its first signature), or npos. Its fields lie
// at the PB_* offsets of base/format.h.
size_t FindBlock(const std::string& bytes);
using sfx::Le16;
using sfx::Le32;
using sfx::SetLe32;
// Recomputes the header CRC of a whole file after a change before its archive offset.
void ResealHeader(std::string* file);
// A copy resealed, or with the 32-bit field at `at` set to `value`.
std::string Resealed(std::string file);
std::string Patch32(std::string bytes, size_t at, uint32_t value);

// ---- the stub's start-up code on the stand-in ------------------------------------------------

// Back to the state of a freshly started stub (steps 1 to 5 of its start-up): FreshState, the
// four text blocks allocated and `selfPath` set.
void ResetStubState(const std::string& selfPath);
// Copies the parameter block found in `bytes` into the stub's own block; false if none.
bool LoadStubParams(const std::string& bytes);
// Runs `step` under the start-up checkpoint; answers 0 when it returned, else the abort code.
int RunUnderCheckpoint(void (*step)());
// Frees what loading and ResetStubState allocated (ReleaseResources, the table, the blocks).
void ReleaseStubState();

// ---- files and processes ----------------------------------------------------------------------

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::string File(const std::string& name) const { return *this / name; }

private:
    std::string path_;
};

bool WriteFile(const std::string& path, const std::string& bytes);  // creates parent folders
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);                           // lstat succeeds
std::vector<std::string> ListFolder(const std::string& path);       // names, sorted
void RemoveTree(const std::string& path);                           // read-only entries too
// A fuzz target's scratch folder, in memory where possible, removed when the process ends.
std::string FuzzScratchFolder();

struct RunResult {
    int exitCode = -1;
    bool timedOut = false;
    std::string out, err;
};
// Runs argv (no shell) in a process group of its own, standard input from /dev/null; `env`
// entries NAME=VALUE are set, a bare NAME is removed. Ends when the program does, even when
// its children keep its output open; after `timeoutSeconds` (0: never) the group is killed.
RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     const std::string& workDir = "", int timeoutSeconds = 0);
RunResult RunMksfx(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
bool HaveProgram(const std::string& name);  // on PATH

}  // namespace sfxtest
