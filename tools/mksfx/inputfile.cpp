// Input files: whole small ones, and large ones through a window.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "tools/mksfx/files.h"
#include "tools/mksfx/report.h"

namespace sfx {

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error, uint64_t limit) {
    int fd = path == "-" ? dup(0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string name = path == "-" ? "standard input" : path;
    if (fd < 0) return Refuse(error, "cannot read " + name + ": " + strerror(errno));
    bytes->clear();
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 || bytes->size() + (uint64_t)n > limit) {
            *error = n < 0 ? "cannot read " + name + ": " + strerror(errno)
                           : name + " is larger than " + std::to_string(limit) + " bytes, more than it can hold";
            close(fd);
            return false;
        }
        if (n == 0) break;
        bytes->append(chunk, (size_t)n);
    }
    close(fd);
    return true;
}

std::string ReadWholeFileOrFail(const std::string& path) {
    std::string bytes, error;
    if (!ReadWholeFile(path, &bytes, &error)) Fail(error);
    return bytes;
}

// ---- InputFile ------------------------------------------------------------------------------

InputFile::~InputFile() {
    if (fd_ >= 0) close(fd_);
}

bool InputFile::Open(const std::string& path, std::string* error) {
    path_ = path;
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 || fstat(fd_, &status_) != 0)
        return Refuse(error, "cannot read " + Shown(path) + ": " + strerror(errno));
    if (!S_ISREG(status_.st_mode)) return Refuse(error, Shown(path) + " is not a regular file");
    return true;
}

const unsigned char* InputFile::Peek(uint64_t at, size_t n) {
    if (n > kWindow || at > Size() || n > Size() - at) return nullptr;
    if (at < windowAt_ || at + n > windowAt_ + window_.size()) {
        // Enough for what is asked and what usually follows it (a walk's next header), not
        // a whole window each time: a walk over large members reads little.
        size_t want = (size_t)std::min<uint64_t>(std::max<size_t>(n, 64 << 10), Size() - at);
        window_.resize(want);
        size_t done = 0;
        while (done < want) {
            ssize_t r = pread(fd_, &window_[done], want - done, (off_t)(at + done));
            if (r < 0) Fail("cannot read " + Shown(path_) + ": " + strerror(errno));
            if (r == 0) Fail(Shown(path_) + " became shorter while it was being read");
            done += (size_t)r;
        }
        windowAt_ = at;
    }
    return (const unsigned char*)window_.data() + (at - windowAt_);
}

bool InputFile::Read(uint64_t at, uint64_t n, std::string* out) {
    while (n > 0) {
        size_t piece = (size_t)std::min<uint64_t>(n, kWindow);
        const unsigned char* p = Peek(at, piece);
        if (!p) return false;
        out->append((const char*)p, piece);
        at += piece;
        n -= piece;
    }
    return true;
}

}  // namespace sfx
