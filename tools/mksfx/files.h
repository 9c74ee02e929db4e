// Files for the mksfx commands: inputs read in pieces (so that memory does not grow with the
// input), an output file that appears under its name only once it is complete, and other
// programs run while it is being written.
#pragma once
#include <stdint.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace sfx {

// Windows paths: '\\' separates as '/' does (mksfx.exe).
#ifdef _WIN32
constexpr bool kWindowsPaths = true;
#else
constexpr bool kWindowsPaths = false;
#endif

// Where a path's last name begins, less one: its last separator, '/' (and on Windows '\'
// too), or npos.
inline size_t LastSeparator(const std::string& path) {
#ifdef _WIN32
    return path.find_last_of("/\\");
#else
    return path.rfind('/');
#endif
}
inline bool IsSeparator(char c) { return c == '/' || (kWindowsPaths && c == '\\'); }

// The whole of `path` ('-': standard input); a file larger than `limit` bytes is refused
// once that many have been read.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error, uint64_t limit = UINT64_MAX);
std::string ReadWholeFileOrFail(const std::string& path);

// A regular file read at any offset through a window of at most kWindow bytes (at least
// 64 KiB), so that readers of large files hold only what they look at. Read errors fail.
class InputFile {
public:
    static constexpr size_t kWindow = 1 << 20;
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
    bool Open(const std::string& path, std::string* error);
    const std::string& Path() const { return path_; }
    uint64_t Size() const { return status_.st_size; }
    const struct stat& Status() const { return status_; }
    // Bytes [at, at + n), n at most kWindow; nullptr when they run past the end of the file.
    const unsigned char* Peek(uint64_t at, size_t n);
    // Bytes [at, at + n) appended to `out`; false when they run past the end.
    bool Read(uint64_t at, uint64_t n, std::string* out);
    // Frees the window, for a file that stays open while others are read.
    void Forget() { std::string().swap(window_); }

private:
    int fd_ = -1;
    std::string path_;
    struct stat status_ = {};
    uint64_t windowAt_ = 0;
    std::string window_;
};

// Where a build's output goes. A symbolic link is followed: the file it names is replaced
// and the link stays. Anything but a regular file, and a file with other hard links (whose
// other names would keep the old contents), is refused.
struct OutputTarget {
    std::string given;  // as named on the command line
    std::string path;   // after symbolic links
    bool exists = false;
    struct stat status = {};  // of the existing file
};
// `role` begins each message ("-o ", or "" where the file is named by itself).
OutputTarget CheckOutputTarget(const std::string& given, const char* role = "-o ");

// Written to a temporary file beside the target and renamed over it by Commit, with the
// mode (and, where permitted, the owner) of the file it replaces. Destroyed without Commit,
// or on SIGINT, SIGTERM or SIGHUP, it removes the temporary file.
class OutputFile {
public:
    explicit OutputFile(const OutputTarget& target);
    ~OutputFile();
    void Write(const void* data, size_t size);
    void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
    void WriteAt(uint64_t offset, const std::string& bytes);
    void Truncate(uint64_t size);  // drops what follows `size`; writing goes on from there
    // Replaces what was written by the file that `make` writes, from `written` (the
    // temporary file as it stands), at the new path `to` in a private folder beside it: for
    // tools that write only new files. Mode and owner stay; a cleanup signal removes that
    // file and folder too, and ends a tool that RunTool runs meanwhile.
    void Replace(const std::function<void(const std::string& written, const std::string& to)>& make);
    uint64_t Size() const { return size_; }
    void Commit();

private:
    [[noreturn]] void WriteFailed(int error) const;
    OutputTarget target_;
    std::string temp_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// ---- other programs ---------------------------------------------------------------------------

bool OnPath(const std::string& program);
// Runs `argv` (its first word looked up on PATH), with standard input from /dev/null, and
// waits for it. Answers its exit status (128 + N when signal N ended it, -1 when it could
// not be started); `output` receives what it wrote to standard output and error.
int RunTool(const std::vector<std::string>& argv, std::string* output);

}  // namespace sfx
