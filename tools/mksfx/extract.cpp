// mksfx extract: unpacks a self-extracting file on Linux with the stub's own code — the same
// start-up checks, the same walk, the same member output, the same texts — into a folder
// that it creates. The stub's questions get the answers that change nothing: an existing
// file is not overwritten, a file in use is skipped, a cancel is not confirmed. Any error
// is the stub's own message; the folder is then removed again.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "posix/standin.h"
#include "startup/startup.h"
#include "ui/ui.h"
#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/sfxfile.h"

namespace {

const char kUsage[] =
    "usage: mksfx extract FILE DIR\n"
    "\n"
    "Unpacks the self-extracting FILE into DIR with the stub's own code: the header and\n"
    "configuration checks, the archive walk and the member output that the stub runs on\n"
    "Windows. DIR must not exist yet; it is created, and removed again when the stub reports\n"
    "an error. Members that would overwrite an existing file are skipped, as the stub's No.\n";

std::string Utf8(const std::string& windowsText) { return codepages::Cp1252ToUtf8(windowsText); }

// The stub's questions and error boxes: errors are collected, questions answered so that
// nothing is overwritten or cancelled.
struct Boxes {
    std::vector<std::string> errors;
    std::vector<std::string> declined;
};

int Answer(const ShownMessageBox& box, void* context) {
    Boxes* boxes = (Boxes*)context;
    switch (box.purpose) {
        case BOX_OVERWRITE:
            boxes->declined.push_back(box.text);
            return IDNO;
        case BOX_MODULE_IN_USE:  // skip it
            boxes->declined.push_back(box.text);
            return IDOK;
        case BOX_CANCEL_QUERY:
            return IDNO;
        default:
            boxes->errors.push_back(box.text);
            return IDOK;
    }
}

// Finds the parameter block by its signature and loads it into the program's own block. The
// header-invalid text stays the built-in one: the file's bytes behind its block are not
// trusted to hold it.
bool LoadParameterBlock(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    const size_t want = STUB_PARAMETER_BLOCK_SIZE;
    std::string window;
    char chunk[65536];
    bool found = false;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        window.append(chunk, (size_t)n);
        size_t at = window.find((const char*)sfx::kSignature, 0, sizeof sfx::kSignature);
        if (at != std::string::npos) {
            // Read on until the whole block is at hand (or the file ends).
            while (window.size() < at + want) {
                n = read(fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                window.append(chunk, (size_t)n);
            }
            if (window.size() >= at + want) {
                memcpy(&stubData.params, window.data() + at, want);
                found = true;
            }
            break;
        }
        // Keep the tail that could hold the start of a signature cut by the chunk boundary.
        size_t keep = sizeof sfx::kSignature - 1;
        if (window.size() > keep) window.erase(0, window.size() - keep);
    }
    close(fd);
    if (!found) *error = path + " is not a self-extracting file (no parameter block)";
    return found;
}

// Start-up's loading, under a checkpoint of its own: the header and configuration checks,
// the message table and the end-record probe.
bool LoadStub() {
    if (ARM_CHECKPOINT() != 0) return false;
    LoadStubData();
    return true;
}

uint64_t filesFound, bytesFound;
int CountEntry(const char*, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_F && S_ISREG(st->st_mode)) {
        ++filesFound;
        bytesFound += (uint64_t)st->st_size;
    }
    return 0;
}

// Removes `dir` the way the Setup command removes its folder after a failure.
void RemoveFolder(const std::string& dir) {
    char folder[PATH_CHARS];
    lstrcpynA(folder, dir.c_str(), PATH_CHARS);
    if (!DeleteTree(folder)) fprintf(stderr, "mksfx: could not remove %s completely\n", dir.c_str());
}

int Fail(const std::string& message) {
    fprintf(stderr, "mksfx: %s\n", message.c_str());
    return 1;
}

}  // namespace

int CommandExtract(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(kUsage, stdout);
            return 0;
        }
        args.push_back(argv[i]);
    }
    if (args.size() != 2) {
        fputs(kUsage, stderr);
        return 2;
    }
    const std::string& file = args[0];
    std::string dir = args[1];
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();

    // The stub's paths use backslashes, which the Linux build turns into slashes: a name
    // that holds one would be taken apart differently here.
    if (file.find('\\') != std::string::npos || dir.find('\\') != std::string::npos)
        return Fail("paths with a backslash are not supported: " +
                    (file.find('\\') != std::string::npos ? file : dir));
    if (file.size() >= SELF_PATH_CHARS) return Fail("path too long: " + file);
    if (dir.size() >= PATH_CHARS - 2) return Fail("path too long: " + dir);
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) return Fail(dir + " exists already");

    std::string error;
    if (!LoadParameterBlock(file, &error)) return Fail(error);

    Boxes boxes;
    standin::SetMessageBoxAnswer(Answer, &boxes);
    if (!AllocateTextBlocks()) return Fail("out of memory");
    lstrcpynA(state.selfPath, file.c_str(), SELF_PATH_CHARS);
    if (!LoadStub()) {
        return Fail(boxes.errors.empty() ? std::string("cannot load ") + file
                                         : Utf8(boxes.errors.back()));
    }

    if (mkdir(dir.c_str(), 0777) != 0) return Fail("cannot create " + dir + ": " + strerror(errno));
    lstrcpyA(state.extractFolder, dir.c_str());
    state.bytesDone = 0;
    state.lastMeterBytes = 0;
    state.meterShown = 0;
    int code = RunExtraction();
    for (const std::string& text : boxes.declined) fprintf(stderr, "mksfx: %s - No\n", Utf8(text).c_str());
    if (code != 0) {
        // A failure shows its box; a cancel shows none and reads as the stub's status line.
        std::string text = boxes.errors.empty() ? GetMessageText(MSG_ABORTED) : boxes.errors.back();
        RemoveFolder(dir);
        return Fail(Utf8(text));
    }
    ReleaseResources();

    filesFound = bytesFound = 0;
    nftw(dir.c_str(), CountEntry, 16, FTW_PHYS);
    printf("%llu files, %llu bytes extracted into %s\n", (unsigned long long)filesFound,
           (unsigned long long)bytesFound, dir.c_str());
    return 0;
}
