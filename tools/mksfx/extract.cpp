// mksfx extract: unpacks a self-extracting file on Linux with the stub's own code — the same
// start-up checks, the same walk, the same member output — into a folder that it creates.
// The stub's questions get the answers that change nothing: an existing file is not
// overwritten, a file in use is skipped, a cancel is not confirmed. An error is said in
// English with the member it met, the stub's own text after it; the folder is then removed.
//
// What the stub does for Windows is put right for Linux afterwards: names come out of the
// stub in Windows-1252, and those that are not plain ASCII are renamed to UTF-8. Member
// times are the local times that ZIP files hold, as the stub takes them (so that a build and
// an extract in the same time zone give back the files' times).
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "posix/codepage.h"
#include "posix/standin.h"
#include "startup/startup.h"
#include "ui/ui.h"
#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/files.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/report.h"

namespace {

using sfx::Shown;

const char kUsage[] =
    "usage: mksfx extract FILE DIR\n"
    "\n"
    "Unpacks the self-extracting FILE into DIR with the stub's own code: the header and\n"
    "configuration checks, the archive walk and the member output that the stub runs on\n"
    "Windows. DIR must not exist yet; it is created, and removed again when the stub reports\n"
    "an error. Members that would overwrite an existing file are skipped, as the stub's No.\n"
    "Names are written in UTF-8 and times as the local times the archive holds. The stub does\n"
    "not create empty folders.\n";

// A text of the stub's in UTF-8: it holds them in Windows-1252, or in UTF-8 for a file whose
// texts are UTF-8.
std::string Utf8(const std::string& windowsText) {
    return state.run.codePage == CP_UTF8 ? windowsText : codepages::Cp1252ToUtf8(windowsText);
}

// What the stub reported, in English, by the purpose of its box.
const char* WhatFailed(int purpose) {
    switch (purpose) {
        case BOX_HEADER_INVALID: return "the header is damaged or cannot be read";
        case BOX_READ_FAILED: return "the file ends early or cannot be read";
        case BOX_SEEK_FAILED: return "the archive's start cannot be reached";
        case BOX_END_RECORD_BAD: return "there is no end record where the parameter block says";
        case BOX_BAD_HEADER: return "a damaged archive record or an unsafe name";
        case BOX_BAD_METHOD: return "a compression method the stub does not have";
        case BOX_BAD_CRC: return "CRC-32 mismatch, the data is damaged";
        case BOX_ENCRYPTED: return "the member is encrypted";
        case BOX_CANNOT_CREATE_FILE: return "the file cannot be created";
        case BOX_CANNOT_CREATE_FOLDER: return "a folder cannot be created";
        case BOX_WRITE_FAILED: return "the file cannot be written";
        case BOX_OUT_OF_MEMORY: return "out of memory";
        case BOX_OVERWRITE: return "skipped: a file of that name exists already";
        case BOX_MODULE_IN_USE: return "skipped: the file is in use";
        default: return "the stub reports an error";
    }
}

// One box the stub showed, and where in its file it was reading then.
struct Box {
    int purpose;
    std::string text;
    long position;  // where the walk stood; 0 before it began (start-up is about no member)
};

struct Boxes {
    std::vector<Box> errors, declined;
};

int Answer(const ShownMessageBox& box, void* context) {
    Boxes* boxes = (Boxes*)context;
    // Where the stub stands in the archive: the file's position less what it has read ahead.
    long position = state.reader.file ? (long)(state.reader.end - state.reader.left) : -1;
    Box b{box.purpose, box.text, position};
    switch (box.purpose) {
        case BOX_OVERWRITE:
            boxes->declined.push_back(b);
            return IDNO;
        case BOX_MODULE_IN_USE:  // skip it
            boxes->declined.push_back(b);
            return IDOK;
        case BOX_CANCEL_QUERY:
            return IDNO;
        default:
            boxes->errors.push_back(b);
            return IDOK;
    }
}

// The box as one line: the file, the member the stub was reading when it showed it (the
// last whose header starts before that point, if the point lies within it), what failed,
// and the stub's own text.
std::string Describe(const std::string& file, const sfx::Walk& walk, const Box& box) {
    std::string where;
    if (box.position > 0) {
        const sfx::Member* in = nullptr;
        for (const sfx::Member& m : walk.members)
            if (m.headerOffset < (uint64_t)box.position) in = &m;
        if (in && (uint64_t)box.position <= in->dataOffset + (in->IsDirectory() ? 0 : in->packed) +
                                                 ((in->flags & ZIP_FLAG_DESCRIPTOR) ? DESCRIPTOR_BYTES : 0))
            where = "member '" + Shown(sfx::NameUtf8(*in, state.run.codePage == CP_UTF8 ? OPT_UTF8 : 0)) + "': ";
    }
    return Shown(file) + ": " + where + WhatFailed(box.purpose) + " (the stub says: \"" + Shown(Utf8(box.text)) +
           "\")";
}

// Start-up's loading, under a checkpoint of its own: the header and configuration checks,
// the message table and the end-record probe.
bool LoadStub() {
    if (ARM_CHECKPOINT() != 0) return false;
    LoadStubData();
    return true;
}

std::vector<std::string> found;
int ListEntry(const char* path, const struct stat*, int, struct FTW*) {
    found.push_back(path);
    return 0;
}

// Removes `dir` the way the Setup command removes its folder after a failure.
void RemoveFolder(const std::string& dir) {
    char folder[PATH_CHARS];
    lstrcpynA(folder, dir.c_str(), PATH_CHARS);
    if (!DeleteTree(folder)) fprintf(stderr, "mksfx: could not remove %s completely\n", Shown(dir).c_str());
}

// Renames every entry below `dir` from Windows-1252 to UTF-8, deepest first (the list is taken
// before the first rename, so no renamed entry is met again).
void RenameToUtf8(const std::string& dir) {
    found.clear();
    nftw(dir.c_str(), ListEntry, 16, FTW_PHYS | FTW_DEPTH);
    for (const std::string& path : found) {
        size_t slash = path.rfind('/');
        std::string base = path.substr(slash + 1), utf8 = Utf8(base);
        if (path.size() <= dir.size() || utf8 == base) continue;
        std::string target = path.substr(0, slash + 1) + utf8;
        struct stat st;
        if (lstat(target.c_str(), &st) == 0 || rename(path.c_str(), target.c_str()) != 0)
            fprintf(stderr, "mksfx: %s keeps its Windows-1252 name\n", Shown(target).c_str());
    }
}

}  // namespace

int CommandExtract(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (argv[i][0] == '-' && argv[i][1])
            sfx::UsageFail(std::string("unknown option ") + Shown(argv[i]));
        args.push_back(argv[i]);
    }
    if (args.size() != 2)
        sfx::UsageFail("extract takes FILE and DIR, " + std::to_string(args.size()) +
                       (args.size() == 1 ? " argument" : " arguments") + " given");
    const std::string& file = args[0];
    std::string dir = args[1];
    while (dir.size() > 1 && sfx::IsSeparator(dir.back())) dir.pop_back();

    // The stub's paths use backslashes, which the Linux build turns into slashes: a name
    // that holds one would be taken apart differently here. On Windows both separate.
    if (!sfx::kWindowsPaths && (file.find('\\') != std::string::npos || dir.find('\\') != std::string::npos))
        sfx::Fail("paths with a backslash are not supported: " +
                  Shown(file.find('\\') != std::string::npos ? file : dir));
    if (file.size() >= SELF_PATH_CHARS) sfx::Fail("path too long: " + Shown(file));
    if (dir.size() >= PATH_CHARS - 2) sfx::Fail("path too long: " + Shown(dir));
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) sfx::Fail(Shown(dir) + " exists already");

    // Our own reading of the records, to name the member that an error meets.
    sfx::File layout;
    std::vector<std::string> faults;
    sfx::ReadFile(file, &layout, &faults);
    if (memcmp(layout.block.signature, sfx::kSignature, sizeof sfx::kSignature) != 0)
        sfx::Fail(Shown(file) + ": " +
                  (faults.empty() ? "not a self-extracting file" : faults.front()));

    Boxes boxes;
    standin::SetMessageBoxAnswer(Answer, &boxes);
    // Without TZ the C library reads the zone file again for every conversion; naming the
    // default zone file once keeps the zone it stands for and reads it once.
#ifndef _WIN32
    if (!getenv("TZ")) setenv("TZ", ":/etc/localtime", 1);
#endif
    if (!AllocateTextBlocks()) sfx::Fail("out of memory");
    stubParams = static_cast<const StubParameterBlock&>(layout.block);
    lstrcpynA(state.run.selfPath, file.c_str(), SELF_PATH_CHARS);
    if (!LoadStub()) {
        sfx::Fail(boxes.errors.empty() ? "cannot load " + Shown(file)
                                       : Describe(file, layout.walk, boxes.errors.back()));
    }

    if (mkdir(dir.c_str(), 0777) != 0)
        sfx::Fail("cannot create " + Shown(dir) + ": " + strerror(errno));
    lstrcpyA(state.output.folder, dir.c_str());
    state.progress.bytesDone = 0;
    state.progress.lastMark = 0;
    state.meter.shown = 0;
    // Start-up may have written a file of its own (the icon's): only the walk's are members.
    long long filesBefore = standin::FilesCreated(), bytesBefore = standin::BytesWritten();
    int code = RunExtraction();
    for (const Box& box : boxes.declined) fprintf(stderr, "mksfx: %s\n", Describe(file, layout.walk, box).c_str());
    if (code != 0) {
        RemoveFolder(dir);
        // A failure shows its box; a cancel shows none and reads as the stub's status line.
        if (boxes.errors.empty())
            sfx::Fail(Shown(file) + ": cancelled (" + Utf8(GetMessageText(MSG_ABORTED)) + ")");
        sfx::Fail(Describe(file, layout.walk, boxes.errors.back()));
    }
    ReleaseResources();

    // Names of seven-bit characters come out as they are; only others need the walk (and
    // any name our own reading of the records may have missed).
    bool renaming = !layout.walk.complete;
    for (const sfx::Member& m : layout.walk.members)
        for (unsigned char c : m.name) renaming |= c >= 0x80;
    // On Windows the stub's names went to the system as Windows-1252 text: they are right. So
    // are those of a file whose texts are UTF-8: the stub held its names in UTF-8.
    if (renaming && !sfx::kWindowsPaths && state.run.codePage != CP_UTF8) RenameToUtf8(dir);
    // Every file the walk made, and every byte it wrote, is a member's.
    printf("%lld files, %lld bytes extracted into %s\n", standin::FilesCreated() - filesBefore,
           standin::BytesWritten() - bytesBefore, Shown(dir).c_str());
    return 0;
}
