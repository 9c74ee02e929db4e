// mksfx build: stub image + configuration block + ZIP archive, with the stub's parameter
// block filled in and the header CRC over image and configuration.
//
// The archive is written the way the stub reads it (front to back, trusting local headers):
// every local header carries the real CRC-32 and sizes, there are no data descriptors and no
// extra fields, names are in code page 850 with '/' between components, and offsets count
// from the start of the whole file so that ordinary unzip tools read the result as it is.
// Members come in byte order of their names, and nothing depends on the order in which the
// file system lists a folder, so the same inputs give the same bytes.
#include <dirent.h>
#include <errno.h>
#include <libdeflate.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/util.h"
#include "tools/mksfx/zipinput.h"

using namespace sfx;

namespace {

const char kHelp[] =
    "usage: mksfx build -o OUTPUT [OPTIONS] INPUT...\n"
    "\n"
    "Makes a self-extracting file from the stub, a configuration block and a ZIP archive of\n"
    "the INPUTs. A folder adds its contents (names relative to the folder; empty folders\n"
    "are kept), a file adds itself under its own name, and a .zip file adds its members with\n"
    "their compressed data unchanged.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE     the file to write (replaced only when the build succeeds)\n"
    "  --command CMD         command started in the extraction folder (at most 99 characters)\n"
    "  --text TEXT           the dialog's text (at most 255 characters)\n"
    "  --text-file FILE      the same, read from a UTF-8 file\n"
    "  --about TEXT          text of the Info box (at most 515 characters)\n"
    "  --about-file FILE     the same, read from a UTF-8 file\n"
    "  --caption TEXT        the dialog's caption (at most 64 characters)\n"
    "  --icon FILE.ico       the dialog's icon\n"
    "  --wait                ask before deleting the extracted files, as the WAIT switch\n"
    "  --wait-for NAME       after the command, wait until NAME.exe no longer runs\n"
    "                        (base name, at most 9 characters)\n"
    "  --no-header-check     let the stub skip the CRC-32 check of its own header\n"
    "  --stub FILE           the stub image (default: ../share/tessly/sfxstub.exe beside\n"
    "                        the mksfx program)\n"
    "  --level N             compression effort 0 (store) to 12 (default, smallest)\n"
    "\n"
    "Texts are UTF-8 and stored in Windows-1252; member names are stored in code page 850.\n"
    "Member times come from the files, or from SOURCE_DATE_EPOCH (seconds, UTC) when that\n"
    "is set.\n";

struct Options {
    std::string output, stub;
    std::vector<std::string> inputs;
    bool haveCommand = false, haveText = false, haveAbout = false, haveCaption = false;
    std::string command, text, about, caption, icon, waitFor;
    bool wait = false, waitForGiven = false, noHeaderCheck = false;
    int level = 12;
};

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

// ---- options ------------------------------------------------------------------------------

std::string TextFileContents(const std::string& option, const std::string& path) {
    std::string text, error;
    if (!ReadWholeFile(path, &text, &error)) Fail(option + ": " + error);
    // A text file ends with a line break that is no part of the text.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            o.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            exit(0);
        }
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= argc) UsageFail("option " + arg + " needs a value");
            return argv[++i];
        };
        auto once = [&](bool* seen, const char* what) {
            if (*seen) UsageFail(std::string("the ") + what + " is given twice");
            *seen = true;
        };
        auto noValue = [&]() {
            if (inlineValue) UsageFail("option " + arg + " takes no value");
        };
        if (arg == "-o" || arg == "--output") {
            o.output = takeValue();
        } else if (arg == "--command") {
            once(&o.haveCommand, "command");
            o.command = takeValue();
        } else if (arg == "--text") {
            once(&o.haveText, "dialog text (--text or --text-file)");
            o.text = takeValue();
        } else if (arg == "--text-file") {
            once(&o.haveText, "dialog text (--text or --text-file)");
            o.text = TextFileContents("--text-file", takeValue());
        } else if (arg == "--about") {
            once(&o.haveAbout, "about text (--about or --about-file)");
            o.about = takeValue();
        } else if (arg == "--about-file") {
            once(&o.haveAbout, "about text (--about or --about-file)");
            o.about = TextFileContents("--about-file", takeValue());
        } else if (arg == "--caption") {
            once(&o.haveCaption, "caption");
            o.caption = takeValue();
        } else if (arg == "--icon") {
            o.icon = takeValue();
        } else if (arg == "--wait") {
            noValue();
            o.wait = true;
        } else if (arg == "--wait-for") {
            o.waitForGiven = true;
            o.waitFor = takeValue();
        } else if (arg == "--no-header-check") {
            noValue();
            o.noHeaderCheck = true;
        } else if (arg == "--stub") {
            o.stub = takeValue();
        } else if (arg == "--level") {
            std::string v = takeValue();
            char* end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 0 || n > 12)
                UsageFail("--level takes a number from 0 to 12, not '" + v + "'");
            o.level = (int)n;
        } else {
            UsageFail("unknown option " + arg);
        }
    }
    if (o.output.empty()) UsageFail("no output file (-o OUTPUT)");
    if (o.inputs.empty()) UsageFail("no INPUT given");
    return o;
}

// A UTF-8 text as Windows-1252 bytes within `limit` characters, or a failure naming the option.
std::string AnsiText(const std::string& option, const std::string& utf8, size_t limit) {
    std::string ansi;
    if (!codepages::Utf8ToCp1252(utf8, &ansi))
        Fail(option + ": the text holds a character that Windows-1252 cannot store (or is not UTF-8)");
    if (ansi.find('\0') != std::string::npos) Fail(option + ": the text holds a NUL character");
    if (ansi.size() > limit)
        Fail(option + ": the text has " + std::to_string(ansi.size()) + " characters, at most " +
             std::to_string(limit) + " fit");
    return ansi;
}

std::string DefaultStubPath() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) Fail("cannot find the stub (no /proc/self/exe); name it with --stub");
    self[n] = 0;
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    return dir + "../share/tessly/sfxstub.exe";
}

// ---- the configuration block ------------------------------------------------------------

std::string Deflate(const std::string& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level < 1 ? 1 : level);
    if (!c) Fail("out of memory");
    std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
    size_t n = libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size());
    libdeflate_free_compressor(c);
    if (n == 0) Fail("compression failed");
    out.resize(n);
    return out;
}

std::string ConfigurationBlock(const Options& o) {
    std::string about = AnsiText("--about", o.about, kAboutMax);
    std::string command = AnsiText("--command", o.command, kCommandMax);
    std::string text = AnsiText("--text", o.text, kTextMax);
    std::string block = about + '\0' + command + '\0' + '\0' + text + '\0';
    if (o.haveCaption) block += AnsiText("--caption", o.caption, kCaptionMax) + '\0';
    if (!o.icon.empty()) {
        std::string icon, error;
        if (!ReadWholeFile(o.icon, &icon, &error)) Fail("--icon: " + error);
        if (const char* why = IconFault(icon)) Fail("--icon: " + o.icon + " is not an icon file: " + why);
        block.append(2, (char)ICON_MARKER);
        block += icon;
    } else {
        block.append(2, '\0');
    }
    if (block.size() > CONFIG_UNPACKED_MAX)
        Fail("the configuration (texts and icon) takes " + std::to_string(block.size()) +
             " bytes, the stub holds " + std::to_string(CONFIG_UNPACKED_MAX) +
             "; shorten the texts or use a smaller icon");
    std::string packed = Deflate(block, 12);
    if (packed.size() > CONFIG_PACKED_MAX)
        Fail("the configuration compresses to " + std::to_string(packed.size()) +
             " bytes, the stub reads at most " + std::to_string(CONFIG_PACKED_MAX) +
             "; use a smaller icon");
    return packed;
}

// ---- collecting the entries ----------------------------------------------------------------

void DosTime(time_t t, bool utc, uint16_t* date, uint16_t* time) {
    struct tm tm;
    if (!(utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm))) {
        *date = (1 << 5) | 1;
        *time = 0;
        return;
    }
    int year = tm.tm_year + 1900;
    // DOS times cover 1980 to 2107; times outside are held at the ends.
    if (year < 1980) {
        *date = (1 << 5) | 1;
        *time = 0;
        return;
    }
    if (year > 2107) {
        *date = (uint16_t)((127 << 9) | (12 << 5) | 31);
        *time = (uint16_t)((23 << 11) | (59 << 5) | 29);
        return;
    }
    *date = (uint16_t)(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    *time = (uint16_t)((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
}

struct Collector {
    std::vector<Entry> entries;
    std::vector<std::unique_ptr<std::string>> zipFiles;  // kept alive for their members
    bool haveEpoch = false;
    time_t epoch = 0;

    void Stamp(Entry* e, time_t mtime) {
        DosTime(haveEpoch ? epoch : mtime, haveEpoch, &e->date, &e->time);
    }

    void AddFile(const std::string& path, const std::string& name, const struct stat& st) {
        Entry e;
        e.name = name;
        e.origin = path;
        e.path = path;
        e.size = (uint64_t)st.st_size;
        if (e.size >= 0xFFFFFFFFull) Fail(path + " is 4 GiB or larger (ZIP64 is not supported)");
        Stamp(&e, st.st_mtime);
        entries.push_back(e);
    }

    // Adds the contents of a folder; answers how many entries it added.
    size_t AddFolder(const std::string& folder, const std::string& prefix,
                     std::vector<std::pair<dev_t, ino_t>>* chain) {
        DIR* dir = opendir(folder.c_str());
        if (!dir) Fail("cannot read folder " + folder + ": " + strerror(errno));
        std::vector<std::string> names;
        errno = 0;
        while (struct dirent* d = readdir(dir)) {
            if (strcmp(d->d_name, ".") && strcmp(d->d_name, "..")) names.push_back(d->d_name);
        }
        int readError = errno;
        closedir(dir);
        if (readError) Fail("cannot read folder " + folder + ": " + strerror(readError));
        std::sort(names.begin(), names.end());
        size_t added = 0;
        for (const std::string& n : names) {
            std::string path = folder + "/" + n;
            struct stat st;
            if (stat(path.c_str(), &st) != 0) Fail("cannot read " + path + ": " + strerror(errno));
            if (S_ISDIR(st.st_mode)) {
                for (const auto& link : *chain)
                    if (link.first == st.st_dev && link.second == st.st_ino)
                        Fail(path + ": the folder contains itself (a symbolic link loop)");
                chain->emplace_back(st.st_dev, st.st_ino);
                size_t inner = AddFolder(path, prefix + n + "/", chain);
                chain->pop_back();
                if (inner == 0) {
                    // The stub makes folders only on the way to files; an entry keeps an
                    // empty one for other unzip tools.
                    Entry e;
                    e.name = prefix + n + "/";
                    e.origin = path;
                    e.isDirectory = true;
                    Stamp(&e, st.st_mtime);
                    entries.push_back(e);
                    inner = 1;
                }
                added += inner;
            } else if (S_ISREG(st.st_mode)) {
                AddFile(path, prefix + n, st);
                ++added;
            } else {
                Fail(path + " is neither a file nor a folder");
            }
        }
        return added;
    }

    void AddZip(const std::string& path) {
        zipFiles.push_back(std::make_unique<std::string>(ReadWholeFileOrFail(path)));
        const std::string* bytes = zipFiles.back().get();
        std::vector<ZipInputMember> members;
        std::string error;
        if (!ReadZipInput(path, *bytes, &members, &error)) Fail(error);
        for (const ZipInputMember& m : members) {
            // Tools that archive "." name their members "./x"; the prefix means nothing.
            std::string name = m.name;
            while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
            if (name.empty()) continue;
            Entry e;
            e.name = name;
            e.isDirectory = m.isDirectory;
            e.origin = path + ": " + m.name;
            e.zipBytes = bytes;
            e.zip = m;
            e.size = m.size;
            e.time = m.time;
            e.date = m.date;
            entries.push_back(e);
        }
    }

    void AddInput(const std::string& input) {
        struct stat st;
        if (stat(input.c_str(), &st) != 0) Fail("cannot read " + input + ": " + strerror(errno));
        if (S_ISDIR(st.st_mode)) {
            std::vector<std::pair<dev_t, ino_t>> chain{{st.st_dev, st.st_ino}};
            std::string folder = input;
            while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
            AddFolder(folder, "", &chain);
            return;
        }
        if (!S_ISREG(st.st_mode)) Fail(input + " is neither a file nor a folder");
        std::string base = input.substr(input.rfind('/') + 1);
        std::string lower = base;
        for (char& c : lower) c = (char)tolower((unsigned char)c);
        if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".zip") == 0)
            AddZip(input);
        else
            AddFile(input, base, st);
    }
};

std::string Lower(std::string s) {
    for (char& c : s) c = (char)tolower((unsigned char)c);
    return s;
}

// Names in code page 850, checked one by one and against each other: Windows compares
// names without regard to case, so two that differ only in case would meet in one file.
void CheckNames(std::vector<Entry>* entries) {
    std::sort(entries->begin(), entries->end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::map<std::string, const Entry*> byFolded;
    std::set<std::string> files;
    for (Entry& e : *entries) {
        if (!codepages::Utf8ToCp850(e.name, &e.stored))
            Fail("entry '" + e.name + "' (from " + e.origin +
                 "): the name holds a character that code page 850 cannot store");
        if (const char* why = UnsafeNameReason(e.stored))
            Fail("entry '" + e.name + "' (from " + e.origin + "): unsafe name: " + why);
        std::string folded = Lower(e.name);
        if (!folded.empty() && folded.back() == '/') folded.pop_back();
        auto seen = byFolded.find(folded);
        if (seen != byFolded.end())
            Fail("entries '" + seen->second->name + "' and '" + e.name +
                 "' would be the same file on Windows");
        byFolded[folded] = &e;
        if (!e.isDirectory) files.insert(folded);
    }
    for (const Entry& e : *entries) {
        std::string folded = Lower(e.name);
        for (size_t slash = folded.find('/'); slash != std::string::npos && slash + 1 < folded.size();
             slash = folded.find('/', slash + 1))
            if (files.count(folded.substr(0, slash)))
                Fail("entry '" + e.name + "' needs a folder where the file '" +
                     folded.substr(0, slash) + "' is");
    }
}

// ---- writing -------------------------------------------------------------------------------

// A member as written: its entry fields, stored name and where its local header stands.
struct Written {
    EntryFields fields;
    uint32_t offset;
    bool isDirectory;
    std::string stored;
};

// The compression option bits of a deflated member (bits 1 and 2), kept from an input ZIP.
const uint16_t kDeflateOptionFlags = 0x0006;

// The member's data: deflated at the chosen effort, or stored when that is not smaller.
void PackFile(const Entry& e, int level, libdeflate_compressor* compressor, EntryFields* f,
              std::string* data) {
    std::string bytes = ReadWholeFileOrFail(e.path);
    if (bytes.size() != e.size) Fail(e.path + " changed while it was being read");
    f->size = (uint32_t)bytes.size();
    f->crc = Crc32(bytes.data(), bytes.size());
    f->method = METHOD_STORED;
    if (level > 0 && !bytes.empty()) {
        std::string packed(bytes.size(), '\0');
        // A bound of size - 1 makes the compressor give up when it cannot save a byte.
        size_t n = libdeflate_deflate_compress(compressor, bytes.data(), bytes.size(), &packed[0],
                                               bytes.size() - 1);
        if (n > 0) {
            packed.resize(n);
            f->method = METHOD_DEFLATED;
            *data = std::move(packed);
            f->packed = (uint32_t)n;
            return;
        }
    }
    *data = std::move(bytes);
    f->packed = f->size;
}

uint32_t Offset32(uint64_t offset) {
    if (offset >= 0xFFFFFFFFull) Fail("the output would reach 4 GiB (ZIP64 is not supported)");
    return (uint32_t)offset;
}

int Build(int argc, char** argv) {
    Options o = ParseOptions(argc, argv);

    uint32_t ourFlags = 0;
    std::string waitName;
    if (o.waitForGiven) {
        if (!codepages::Utf8ToCp1252(o.waitFor, &waitName))
            Fail("--wait-for: the name holds a character that Windows-1252 cannot store");
        if (waitName.empty()) Fail("--wait-for: the name is empty");
        if (waitName.size() > kWaitNameMax)
            Fail("--wait-for: '" + o.waitFor + "' is longer than 9 characters");
        for (unsigned char c : waitName)
            if (c < 0x20 || strchr("\\/:*?\"<>|.", c))
                Fail("--wait-for: '" + o.waitFor + "' is not a program's base name");
        ourFlags |= OPT_WAIT_FOR_PROGRAM;
    }
    if (o.haveCaption) ourFlags |= OPT_CUSTOM_CAPTION;
    if (o.wait) ourFlags |= OPT_WAIT_MODE;

    std::string config = ConfigurationBlock(o);

    std::string stubPath = o.stub.empty() ? DefaultStubPath() : o.stub;
    std::string image, error;
    if (!ReadWholeFile(stubPath, &image, &error)) Fail("stub: " + error);
    size_t blockAt = 0;
    size_t occurrences = CountSignature(image, image.size(), &blockAt);
    if (occurrences != 1 || blockAt + STUB_PARAMETER_BLOCK_SIZE > image.size())
        Fail("stub " + stubPath + ": its parameter block must occur exactly once, found " +
             std::to_string(occurrences));
    Block block = ReadBlock(image, blockAt);

    Collector collector;
    if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        errno = 0;
        long long v = strtoll(epoch, &end, 10);
        if (!*epoch || *end || errno || v < 0)
            Fail(std::string("SOURCE_DATE_EPOCH is not a number of seconds: '") + epoch + "'");
        collector.haveEpoch = true;
        collector.epoch = (time_t)v;
    }
    for (const std::string& input : o.inputs) collector.AddInput(input);
    std::vector<Entry>& entries = collector.entries;
    if (entries.size() > 65535)
        Fail("the archive would hold " + std::to_string(entries.size()) +
             " entries, at most 65535 fit (ZIP64 is not supported)");
    CheckNames(&entries);

    uint64_t totalSize = 0;
    for (const Entry& e : entries) totalSize += e.isDirectory ? 0 : e.size;
    if (totalSize > 0xFFFFFFFFull)
        Fail("the members add up to 4 GiB or more (the stub counts in 32 bits)");

    OutputFile out(o.output);
    uint64_t archiveOffset = image.size() + config.size();
    out.Write(std::string(archiveOffset, '\0'));  // the head, filled in last

    libdeflate_compressor* compressor = o.level > 0 ? libdeflate_alloc_compressor(o.level) : nullptr;
    if (o.level > 0 && !compressor) Fail("out of memory");
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> owner(
        compressor, libdeflate_free_compressor);
    std::vector<Written> written;
    for (const Entry& e : entries) {
        Written w{};
        w.stored = e.stored;
        w.isDirectory = e.isDirectory;
        w.fields.time = e.time;
        w.fields.date = e.date;
        w.offset = Offset32(out.Size());
        std::string data;
        if (e.isDirectory) {
            // nothing: size, CRC and method 0
        } else if (e.zipBytes) {
            w.fields = e.zip;
            w.fields.flags = e.zip.method == METHOD_DEFLATED ? (e.zip.flags & kDeflateOptionFlags) : 0;
            data = e.zipBytes->substr(e.zip.dataOffset, e.zip.packed);
        } else {
            PackFile(e, o.level, compressor, &w.fields, &data);
        }
        // Version needed to extract: 2.0 for deflated data and folders, 1.0 for stored files.
        w.fields.versionNeeded = w.fields.method == METHOD_DEFLATED || w.isDirectory ? 20 : 10;
        out.Write(LocalHeader(w.fields, w.stored));
        out.Write(data);
        Offset32(out.Size());
        written.push_back(w);
    }
    uint64_t centralStart = out.Size();
    for (const Written& w : written)
        // Made by MS-DOS, version 2.0; DOS attributes: folder, or archive.
        out.Write(CentralEntry(w.fields, w.stored, 20, w.isDirectory ? 0x10 : 0x20, w.offset));
    uint32_t endRecord = Offset32(out.Size());
    out.Write(EndRecord((uint16_t)written.size(), Offset32(endRecord - centralStart),
                        Offset32(centralStart)));
    Offset32(out.Size());

    std::string head = image + config;
    block.configOffset = (uint32_t)image.size();
    block.archiveOffset = (uint32_t)archiveOffset;
    block.endRecordOffset = endRecord;
    block.totalSize = (uint32_t)totalSize;
    // Bits the stub does not test stay as the image carries them.
    block.optionFlags = (block.optionFlags & ~(OPT_WAIT_FOR_PROGRAM | OPT_CUSTOM_CAPTION | OPT_WAIT_MODE)) |
                        ourFlags;
    block.waitForName = waitName;
    block.headerCrc = 0;
    WriteBlock(&head, block);
    if (!o.noHeaderCheck) {
        block.headerCrc = HeaderCrc(head, blockAt, head.size());
        WriteBlock(&head, block);
    }
    out.WriteAt(0, head);
    out.Commit();
    return 0;
}

}  // namespace

int CommandBuild(int argc, char** argv) { return Build(argc, argv); }
