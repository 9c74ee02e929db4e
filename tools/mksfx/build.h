// The parts of `mksfx build`, by the file that defines them: options.cpp reads the command
// line, inputs.cpp collects the entries of the archive, zipwriter.cpp writes the archive, and
// build.cpp puts the self-extracting file together in its fixed order.
#pragma once
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/mksfx/util.h"
#include "tools/mksfx/zipinput.h"

namespace sfx {

// ---- options.cpp: help and options ----------------------------------------------------------
struct Options {
    std::string output, stub;
    std::vector<std::string> inputs;
    bool haveCommand = false, haveText = false, haveAbout = false, haveCaption = false;
    std::string command, text, about, caption, icon, waitFor;
    bool wait = false, waitForGiven = false, noHeaderCheck = false;
    int level = 12;
};
// The options and inputs of the command line; --help prints the help and ends the program.
Options ParseOptions(int argc, char** argv);
// A UTF-8 text as Windows-1252 bytes within `limit` characters, or a failure naming the option.
std::string AnsiText(const std::string& option, const std::string& utf8, size_t limit);
// The --wait-for name as the stub stores it (Windows-1252), or a failure naming the fault.
std::string WaitForName(const std::string& utf8);
// The stub beside the installed mksfx: ../share/tessly/sfxstub.exe.
std::string DefaultStubPath();

// ---- inputs.cpp: the entries of the archive -------------------------------------------------
struct Entry {
    std::string name;    // UTF-8, '/' between components, a trailing '/' for a folder
    std::string stored;  // the name in code page 850
    bool isDirectory = false;
    std::string origin;  // the input it came from, for messages
    // A file on disk...
    std::string path;
    uint64_t size = 0;
    uint16_t time = 0, date = 0;
    // ...or a member of an input ZIP file.
    const std::string* zipBytes = nullptr;
    ZipInputMember zip;
};
struct Inputs {
    std::vector<Entry> entries;                          // in byte order of their names
    std::vector<std::unique_ptr<std::string>> zipFiles;  // the input ZIP files, for their members
};
// Collects the entries of every input (folders, files, ZIP files) with their times (or
// SOURCE_DATE_EPOCH) and checks their names, one by one and against each other.
void CollectInputs(const std::vector<std::string>& inputs, Inputs* into);

// ---- zipwriter.cpp: the archive -------------------------------------------------------------
// Appends the archive of `entries` to `out` (offsets count from the file's start), each file
// deflated at `level` or stored; answers the end record's offset.
uint32_t WriteArchive(const std::vector<Entry>& entries, int level, OutputFile* out);

}  // namespace sfx
