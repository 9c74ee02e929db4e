#include "tools/mksfx/util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sfx {

void Fail(const std::string& message) { throw Failure{1, message}; }
void UsageFail(const std::string& message) { throw Failure{2, message}; }

int RunCommand(int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const Failure& f) {
        fprintf(stderr, "mksfx: %s\n", f.message.c_str());
        if (f.code == 2) fprintf(stderr, "Try 'mksfx %s --help'.\n", argv[0]);
        return f.code;
    }
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    bytes->clear();
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + strerror(errno);
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

OutputFile::OutputFile(const std::string& path) : path_(path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (slash != std::string::npos && folder.empty()) folder = "/";
    temp_ = (slash == std::string::npos ? std::string() : folder) + "." + base + ".XXXXXX";
    fd_ = mkstemp(&temp_[0]);
    if (fd_ < 0) Fail("cannot create a file beside " + path + ": " + strerror(errno));
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(temp_.c_str());
    }
}

void OutputFile::Write(const void* data, size_t size) {
    const char* p = (const char*)data;
    while (size > 0) {
        ssize_t n = write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("cannot write " + path_ + ": " + strerror(n < 0 ? errno : ENOSPC));
        p += n;
        size -= (size_t)n;
        size_ += (uint64_t)n;
    }
}

void OutputFile::WriteAt(uint64_t offset, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("cannot write " + path_ + ": " + strerror(n < 0 ? errno : ENOSPC));
        done += (size_t)n;
    }
}

void OutputFile::Commit() {
    if (fsync(fd_) != 0 || close(fd_) != 0) {
        int e = errno;
        fd_ = -1;
        unlink(temp_.c_str());
        Fail("cannot write " + path_ + ": " + strerror(e));
    }
    fd_ = -1;
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        int e = errno;
        unlink(temp_.c_str());
        Fail("cannot create " + path_ + ": " + strerror(e));
    }
}

std::string SingleFileArgument(int argc, char** argv, const char* help, const char* command) {
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(help, stdout);
            return "";
        }
        if (argv[i][0] == '-' && argv[i][1]) UsageFail(std::string("unknown option ") + argv[i]);
        if (!path.empty()) UsageFail(std::string(command) + " takes one FILE");
        path = argv[i];
    }
    if (path.empty()) UsageFail("no FILE given");
    return path;
}

}  // namespace sfx
