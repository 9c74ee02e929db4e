// The output file and the programs run while it is written: both leave nothing behind when
// a signal ends mksfx, through the one handler here.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <spawn.h>
#include <sys/wait.h>
#endif
#include <unistd.h>

#include "tools/mksfx/files.h"
#include "tools/mksfx/report.h"

namespace sfx {

// ---- the output -----------------------------------------------------------------------------

namespace {

// The temporary file of the build in progress, for the signal handler: a fixed buffer,
// since the handler may use only what is safe in a signal. During OutputFile::Replace also
// the private folder and the new file in it, and the tool that writes it.
char pendingTemp[PATH_MAX + 32], pendingFolder[PATH_MAX + 32], pendingInner[PATH_MAX + 48];
volatile sig_atomic_t havePendingTemp = 0, havePendingFolder = 0;
volatile pid_t pendingChild = 0;

void RemovePendingTemp(int signal) {
    if (pendingChild > 0) kill(pendingChild, SIGKILL);
    if (havePendingFolder) {
        unlink(pendingInner);
        rmdir(pendingFolder);
    }
    if (havePendingTemp) unlink(pendingTemp);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Blocks the cleanup signals while the temporary file's name and existence change together.
struct SignalsHeld {
    sigset_t old;
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kCleanupSignals) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

// The handler ends mksfx before the code it broke into goes on, and mksfx installs no other,
// so no read, write or wait of mksfx is cut short by a signal (EINTR) and none retries.
void CatchCleanupSignals() {
    for (int s : kCleanupSignals) {
        struct sigaction now, before;
        memset(&now, 0, sizeof now);
        now.sa_handler = RemovePendingTemp;
        sigaction(s, nullptr, &before);
        if (before.sa_handler != SIG_IGN) sigaction(s, &now, nullptr);  // nohup stays nohup
    }
}

const char* Kind(mode_t mode) {
    return S_ISDIR(mode) ? "a folder" : S_ISFIFO(mode) ? "a FIFO" : S_ISCHR(mode) ? "a character device"
         : S_ISBLK(mode) ? "a block device" : S_ISSOCK(mode) ? "a socket" : "not a regular file";
}

}  // namespace

OutputTarget CheckOutputTarget(const std::string& given, const char* role) {
    OutputTarget t;
    t.given = t.path = given;
    const std::string shown = role + Shown(given);
    for (int links = 0;; ++links) {
        if (lstat(t.path.c_str(), &t.status) != 0) {
            if (errno != ENOENT) Fail(shown + ": " + strerror(errno));
            return t;  // a new file
        }
        if (!S_ISLNK(t.status.st_mode)) break;
        if (links == 40) Fail(shown + ": too many levels of symbolic links");
        char target[PATH_MAX];
        ssize_t n = readlink(t.path.c_str(), target, sizeof target - 1);
        if (n < 0) Fail(shown + ": " + strerror(errno));
        target[n] = 0;
        size_t slash = t.path.rfind('/');
        t.path = target[0] == '/' || slash == std::string::npos ? std::string(target)
                                                               : t.path.substr(0, slash + 1) + target;
    }
    std::string what = t.path == given ? shown : shown + " (the symbolic link's file " + Shown(t.path) + ")";
    if (!S_ISREG(t.status.st_mode))
        Fail(what + " is " + Kind(t.status.st_mode) + "; only a regular file is replaced");
    if (t.status.st_nlink > 1)
        Fail(what + " has " + std::to_string(t.status.st_nlink - 1) +
             " other hard link(s), which would keep the old contents; remove it or name another file");
    t.exists = true;
    return t;
}

OutputFile::OutputFile(const OutputTarget& target) : target_(target) {
    const std::string& path = target.path;
    size_t slash = LastSeparator(path);
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    temp_ = folder + "." + path.substr(slash + 1) + ".XXXXXX";
    if (temp_.size() >= sizeof pendingTemp) Fail("-o " + Shown(target.given) + ": the path is too long");
    CatchCleanupSignals();
    // Past the file size limit a write fails with EFBIG, which ends the build with a message
    // and removes the temporary file, instead of a signal that would leave it behind.
    signal(SIGXFSZ, SIG_IGN);
    {
        SignalsHeld held;
        fd_ = mkstemp(&temp_[0]);
        if (fd_ >= 0) {
            memcpy(pendingTemp, temp_.c_str(), temp_.size() + 1);
            havePendingTemp = 1;
        }
    }
    if (fd_ < 0) Fail("cannot create a file beside " + Shown(target.given) + ": " + strerror(errno));
    if (target.exists) {
        // The owner first: changing it clears the set-user and set-group bits.
        if (fchown(fd_, target.status.st_uid, target.status.st_gid) != 0) { /* not ours to change */ }
        fchmod(fd_, target.status.st_mode & 07777);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, 0666 & ~mask);
    }
}

void OutputFile::WriteFailed(int error) const {
    Fail("cannot write " + Shown(target_.given) + ": " +
         (error == EFBIG ? std::string("the file would pass the file size limit (ulimit -f)") : strerror(error)));
}

OutputFile::~OutputFile() {
    if (fd_ < 0) return;
    SignalsHeld held;
    close(fd_);
    unlink(temp_.c_str());
    havePendingTemp = 0;
}

void OutputFile::Write(const void* data, size_t size) {
    const char* p = (const char*)data;
    while (size > 0) {
        ssize_t n = write(fd_, p, size);
        if (n <= 0) WriteFailed(n < 0 ? errno : ENOSPC);
        p += n;
        size -= (size_t)n;
        size_ += (uint64_t)n;
    }
}

void OutputFile::WriteAt(uint64_t offset, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, (off_t)(offset + done));
        if (n <= 0) WriteFailed(n < 0 ? errno : ENOSPC);
        done += (size_t)n;
    }
}

void OutputFile::Truncate(uint64_t size) {
    if (ftruncate(fd_, (off_t)size) != 0 || lseek(fd_, (off_t)size, SEEK_SET) < 0) WriteFailed(errno);
    size_ = size;
}

void OutputFile::Replace(const std::function<void(const std::string&, const std::string&)>& make) {
    std::string folder = temp_.substr(0, temp_.rfind('.')) + ".XXXXXX";
    {
        SignalsHeld held;
        if (!mkdtemp(&folder[0])) Fail("cannot create a folder beside " + Shown(target_.given) + ": " + strerror(errno));
        std::string inner = folder + "/new.exe";  // the folder's name is as long as temp_'s
        memcpy(pendingFolder, folder.c_str(), folder.size() + 1);
        memcpy(pendingInner, inner.c_str(), inner.size() + 1);
        havePendingFolder = 1;
    }
    struct Cleanup {  // the folder goes, with what is left in it, however `make` ends
        ~Cleanup() {
            SignalsHeld held;
            unlink(pendingInner);
            rmdir(pendingFolder);
            havePendingFolder = 0;
        }
    } cleanup;
    const std::string to = pendingInner;
    make(temp_, to);
    struct stat now, made;
    int fd = open(to.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &made) != 0 || fstat(fd_, &now) != 0) {
        if (fd >= 0) close(fd);
        Fail("cannot read the new " + Shown(target_.given) + ": " + strerror(errno));
    }
    if (fchown(fd, now.st_uid, now.st_gid) != 0) { /* not ours to change */ }
    fchmod(fd, now.st_mode & 07777);
    SignalsHeld held;
    if (rename(to.c_str(), temp_.c_str()) != 0) {
        int error = errno;
        close(fd);
        Fail("cannot write " + Shown(target_.given) + ": " + strerror(error));
    }
    close(fd_);
    fd_ = fd;
    size_ = (uint64_t)made.st_size;
    lseek(fd_, 0, SEEK_END);
}

void OutputFile::Commit() {
    int error = fsync(fd_) != 0 ? errno : 0;
    SignalsHeld held;
    if (close(fd_) != 0 && !error) error = errno;
    fd_ = -1;
    if (!error && rename(temp_.c_str(), target_.path.c_str()) != 0) error = errno;
    if (error) unlink(temp_.c_str());
    havePendingTemp = 0;
    if (error) Fail("cannot write " + Shown(target_.given) + ": " + strerror(error));
}

// ---- other programs ---------------------------------------------------------------------------
// Only signing runs other programs, and signing is for Linux alone (mksfx.exe has no OpenSSL).
#ifndef _WIN32

bool OnPath(const std::string& program) {
    const char* path = getenv("PATH");
    for (std::string rest = path ? path : ""; !rest.empty();) {
        size_t colon = rest.find(':');
        std::string folder = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

int RunTool(const std::vector<std::string>& argv, std::string* output) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    pid_t pid = 0;
    int rc;
    {
        SignalsHeld held;  // the handler learns of the child before a signal can come
        rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
        if (rc == 0) pendingChild = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    output->clear();
    char chunk[4096];
    for (ssize_t n; rc == 0 && (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;) output->append(chunk, (size_t)n);
    close(pipeFds[0]);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    pendingChild = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif  // _WIN32

}  // namespace sfx
