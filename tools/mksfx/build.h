// The parts of `mksfx build`, by the file that defines them: options.cpp reads the command
// line, inputs.cpp collects the entries of the archive, zipwriter.cpp writes the archive, and
// build.cpp puts the self-extracting file together in its fixed order.
#pragma once
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/mksfx/pe/resources.h"
#include "tools/mksfx/signing.h"
#include "tools/mksfx/files.h"
#include "tools/mksfx/zipinput.h"

namespace sfx {

// ---- options.cpp: help and options ----------------------------------------------------------
struct Options {
    std::string output, stub;
    std::vector<std::string> inputs;  // from the command line, then from --files-from
    bool haveCommand = false, haveText = false, haveAbout = false, haveCaption = false;
    std::string command, text, about, caption, icon, waitFor;
    std::string silentCommand, target;  // --silent-command, --target
    bool extractOnly = false, hideConsole = false;
    bool haveFooter = false, haveBanner = false, noFooter = false, noBanner = false;
    std::string footer, banner;   // --footer, --banner (UTF-8)
    std::string language = "de";  // --language: de, en, auto, a table FILE, joined by commas
    std::string textFrom = "--text", aboutFrom = "--about";  // "--text-file FILE" for messages
    bool wait = false, waitForGiven = false, noHeaderCheck = false;
    bool quiet = false, verbose = false;
    int level = 12;
    std::string compression = "auto";  // auto, solid, zip or store
    Elevation elevation = Elevation::AsInvoker;
    std::string elevationName;  // as given
    std::string productName, productVersion, company, description, copyright;  // UTF-8
    std::string signCert, signKey, signPassFile, signTimestamp, signPkcs12;
    SignOptions sign;  // the five above
    std::string project;  // --project FILE, whose options the command line's override
};
// The options and inputs of the command line; --help and --version print and end the
// program. Every option may be given once.
Options ParseOptions(int argc, char** argv);
// The name of every option ParseOptions takes ("-o", "--output", ...), --help aside.
std::vector<std::string> BuildOptionNames();
// The program's name and version, as --version prints it.
extern const char kVersionLine[];
// A UTF-8 text as Windows-1252 bytes within `limit` characters (with `asUtf8`: as UTF-8
// within `limit` bytes), or a failure naming where the text came from (`origin`: "--text",
// "--text-file notes.txt").
std::string AnsiText(const std::string& origin, const std::string& utf8, size_t limit, bool asUtf8 = false);
// Whether a text is sound UTF-8 that Windows-1252 cannot store: the package's texts then go
// in UTF-8 (OPT_UTF8).
bool NeedsUtf8(const std::string& utf8);
// Edits (insertions, deletions, substitutions) between two names.
size_t EditDistance(const std::string& a, const std::string& b);
// The --wait-for name as the stub stores it (Windows-1252), or a failure naming the fault.
std::string WaitForName(const std::string& utf8);
// The numbers at the start of a --product-version ("2.3" of "2.3-beta"): one to four of 0 to
// 65535 joined by dots, or "" when the text does not begin with them.
std::string VersionNumbers(const std::string& version);
// The largest --icon file read: icon files are a few hundred KiB, a PNG of 4096x4096 at most.
const uint64_t kIconFileMax = 32ull << 20;
// The stub beside the installed mksfx: ../share/tessly/sfxstub.exe, or sfxstub-solid.exe for
// the solid form.
std::string DefaultStubPath(bool solid = false);

// ---- program.cpp: the command's program against the members ----------------------------------
struct Entry;
// Fails when the program of `command` (its first word, quoted or not) names a member that the
// package lacks: a path below the package, or a bare name close to a member's (within two
// edits, or the same name in a subfolder), which is then suggested. A program given as a full
// path, with a drive or an environment variable, or far from every member (cmd, msiexec) is
// taken as the system's. `option` names the option for the message.
void CheckCommandProgram(const std::string& option, const std::string& command, const std::vector<Entry>& entries);

// ---- inputs.cpp: the entries of the archive -------------------------------------------------
struct Entry {
    std::string name;    // UTF-8, '/' between components, a trailing '/' for a folder
    std::string stored;  // the name in code page 850, or in UTF-8 where that cannot hold it
    bool utf8Name = false;  // `stored` is UTF-8 (the ZIP form flags it, ZIP_FLAG_UTF8)
    bool isDirectory = false;
    std::string origin;  // the input it came from, for messages
    // A file on disk...
    std::string path;
    uint64_t size = 0;
    uint16_t time = 0, date = 0;  // local (ZIP form), or UTC with SOURCE_DATE_EPOCH
    int64_t mtime = 0;              // Unix seconds (solid form)
    // ...or a member of an input ZIP file.
    InputFile* zipFile = nullptr;
    ZipInputMember zip;
};
struct Inputs {
    std::vector<Entry> entries;                          // in byte order of their names
    std::vector<std::unique_ptr<InputFile>> zipFiles;    // the input ZIP files, for their members
    std::vector<std::string> leftOut;                    // the output, met inside a folder input
};
// Collects the entries of every input (folders, files, ZIP files) with their times (or
// SOURCE_DATE_EPOCH) and checks their names, one by one and against each other, reporting
// every bad name before it fails. The output is refused as an input and left out of folders.
// `largeAllowed`: members and a total of 4 GiB or more are taken (the solid form).
void CollectInputs(const std::vector<std::string>& inputs, const OutputTarget& output, Inputs* into,
                   bool largeAllowed = false);

// ---- zipwriter.cpp: the archive -------------------------------------------------------------
// What the archive took, for the summary and the progress line.
struct ArchiveCounts {
    uint64_t members = 0, inputBytes = 0, packedBytes = 0, streamed = 0;
};
// Told after each piece of work: the input bytes done so far (of files and copied members).
typedef void (*ProgressHook)(uint64_t bytesDone, uint64_t membersDone, void* context);
struct ArchiveOptions {
    int level = 12;
    bool verbose = false;           // one line per member on standard output
    ProgressHook progress = nullptr;
    void* context = nullptr;
};
// Files above this size are compressed as a stream (zlib), the others whole (libdeflate), so
// that memory stays bounded whatever the input.
const uint64_t kStreamAbove = 32ull << 20;
// Appends the archive of `entries` to `out` (offsets count from the file's start), each file
// deflated or stored; answers the end record's offset.
uint32_t WriteArchive(const std::vector<Entry>& entries, const ArchiveOptions& options, OutputFile* out,
                      ArchiveCounts* counts);

}  // namespace sfx
