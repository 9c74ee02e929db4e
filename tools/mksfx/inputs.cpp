// mksfx build: the entries of the archive. A folder adds its contents (names relative to it,
// empty folders kept as entries), a file adds itself under its own name, and a .zip file adds
// its members with their compressed data. Members come in byte order of their names, and
// nothing depends on the order in which the file system lists a folder, so the same inputs
// give the same bytes.
#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <map>
#include <memory>

#include "tools/common/codepages.h"
#include "tools/mksfx/build.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

namespace {

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
    std::vector<Entry>& entries;
    std::vector<std::unique_ptr<InputFile>>& zipFiles;  // kept open for their members
    std::vector<std::string>& leftOut;
    const OutputTarget& output;
    bool haveEpoch = false;
    time_t epoch = 0;
    ArchiveTally tally;

    // Counts an entry as it is collected: the first one over a limit ends the collection.
    void Count(uint64_t size) {
        std::string over;
        if (!tally.Add(size, &over)) Fail(over);
    }

    bool IsOutput(const struct stat& st) const {
        return output.exists && st.st_dev == output.status.st_dev && st.st_ino == output.status.st_ino;
    }

    void Stamp(Entry* e, time_t mtime) {
        e->mtime = haveEpoch ? epoch : mtime;
        DosTime(e->mtime, haveEpoch, &e->date, &e->time);
    }

    void AddFile(const std::string& path, const std::string& name, const struct stat& st) {
        Entry e;
        e.name = name;
        e.origin = path;
        e.path = path;
        e.size = (uint64_t)st.st_size;
        if (e.size >= 0xFFFFFFFFull && !tally.largeAllowed)
            Fail(Shown(path) + " is 4 GiB or larger; a member of the ZIP form must stay under 4 GiB (ZIP64 is not supported; --compression solid takes it)");
        Stamp(&e, st.st_mtime);
        Count(e.size);
        entries.push_back(e);
    }

    // Adds the contents of a folder; answers how many entries it added.
    size_t AddFolder(const std::string& folder, const std::string& prefix,
                     std::vector<std::pair<dev_t, ino_t>>* chain) {
        std::vector<std::string> names;
        int readError;
        {  // the folder is closed before its subfolders are read
            std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
            if (!dir) Fail("cannot read folder " + Shown(folder) + ": " + strerror(errno));
            errno = 0;
            while (struct dirent* d = readdir(dir.get())) {
                if (strcmp(d->d_name, ".") && strcmp(d->d_name, "..")) names.push_back(d->d_name);
                // Every name but the output's becomes an entry at least.
                if (names.size() > kEntriesMax + 1)
                    Fail("folder " + Shown(folder) + " holds more than " + std::to_string(kEntriesMax) +
                         " entries, the most an archive holds (ZIP64 is not supported)");
            }
            readError = errno;
        }
        if (readError) Fail("cannot read folder " + Shown(folder) + ": " + strerror(readError));
        std::sort(names.begin(), names.end());
        size_t added = 0;
        for (const std::string& n : names) {
            std::string path = folder + "/" + n;
            struct stat st;
            if (stat(path.c_str(), &st) != 0) Fail("cannot read " + Shown(path) + ": " + strerror(errno));
            if (IsOutput(st)) {
                leftOut.push_back(path);
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                // Symbolic links can make a tree of names far deeper than the folders on disk;
                // a name this long cannot be stored in any code page (see CheckNames).
                if (prefix.size() + n.size() > 3 * kNameMax)
                    Fail(Shown(path) + ": the name is longer than " + std::to_string(kNameMax) +
                         " bytes (symbolic links that lead into each other?)");
                for (const auto& link : *chain)
                    if (link.first == st.st_dev && link.second == st.st_ino)
                        Fail(Shown(path) + ": the folder contains itself (a symbolic link loop)");
                chain->emplace_back(st.st_dev, st.st_ino);
                size_t inner = AddFolder(path, prefix + n + "/", chain);
                chain->pop_back();
                if (inner == 0) {
                    // The stub makes folders only on the way to files; an entry keeps an
                    // empty one for other unzip tools (the help and the README say so).
                    Entry e;
                    e.name = prefix + n + "/";
                    e.origin = path;
                    e.isDirectory = true;
                    Stamp(&e, st.st_mtime);
                    Count(0);
                    entries.push_back(e);
                    inner = 1;
                }
                added += inner;
            } else if (S_ISREG(st.st_mode)) {
                AddFile(path, prefix + n, st);
                ++added;
            } else {
                Fail(Shown(path) + " is neither a file nor a folder");
            }
        }
        return added;
    }

    void AddZip(const std::string& path) {
        zipFiles.push_back(std::make_unique<InputFile>());
        InputFile* file = zipFiles.back().get();
        std::vector<ZipInputMember> members;
        std::string error;
        if (!file->Open(path, &error) || !ReadZipDirectory(path, file, &members, &error)) Fail(error);
        // Counted by what the directory declares before any data is decoded; decoding stops
        // at the first byte past a declared size.
        std::vector<std::string> names;
        for (const ZipInputMember& m : members) {
            // Tools that archive "." name their members "./x"; the prefix means nothing.
            std::string name = m.name;
            while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
            names.push_back(name);
            if (!name.empty()) Count(m.isDirectory ? 0 : m.size);
        }
        if (!CheckZipData(path, file, members, &error)) Fail(error);
        file->Forget();
        for (size_t i = 0; i < members.size(); ++i) {
            const ZipInputMember& m = members[i];
            const std::string& name = names[i];
            if (name.empty()) {
                // "./" alone is the archive's own folder; a file without a name has no place.
                if (!m.isDirectory) Fail(Shown(path) + ": member " + std::to_string(i + 1) + " has no name");
                continue;
            }
            Entry e;
            e.name = name;
            e.isDirectory = m.isDirectory;
            e.origin = path + ": " + m.name;
            e.zipFile = file;
            e.zip = m;
            e.size = m.size;
            e.time = m.time;
            e.date = m.date;
            // The stub takes a ZIP member's time as local time; so does the builder here.
            struct tm tm = {};
            tm.tm_year = (m.date >> 9) + 80;
            tm.tm_mon = ((m.date >> 5) & 15) - 1;
            tm.tm_mday = m.date & 31;
            tm.tm_hour = m.time >> 11;
            tm.tm_min = (m.time >> 5) & 63;
            tm.tm_sec = (m.time & 31) * 2;
            tm.tm_isdst = -1;
            e.mtime = mktime(&tm);
            entries.push_back(e);
        }
    }

    void AddInput(const std::string& input) {
        struct stat st;
        if (stat(input.c_str(), &st) != 0) Fail("cannot read " + Shown(input) + ": " + strerror(errno));
        if (IsOutput(st))
            UsageFail("the output " + Shown(output.given) + " is also an input (" + Shown(input) +
                      "); it would be replaced while it is read");
        if (S_ISDIR(st.st_mode)) {
            std::vector<std::pair<dev_t, ino_t>> chain{{st.st_dev, st.st_ino}};
            std::string folder = input;
            while (folder.size() > 1 && IsSeparator(folder.back())) folder.pop_back();
            AddFolder(folder, "", &chain);
            return;
        }
        if (!S_ISREG(st.st_mode)) Fail(Shown(input) + " is neither a file nor a folder");
        std::string base = input.substr(LastSeparator(input) + 1);
        std::string lower = base;
        for (char& c : lower) c = (char)tolower((unsigned char)c);
        if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".zip") == 0)
            AddZip(input);
        else
            AddFile(input, base, st);
    }
};

std::string Who(const Entry& e) { return "'" + Shown(e.name) + "' (from " + Shown(e.origin) + ")"; }

// Names in code page 850 (or UTF-8 where it cannot hold them), checked one by one and against each other: Windows compares
// names without regard to case (WindowsFoldedName), so two that differ only in case would
// meet in one file. Every bad name is reported before the build fails, so that one run
// finds them all.
void CheckNames(std::vector<Entry>* entries) {
    std::sort(entries->begin(), entries->end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    std::vector<std::string> faults;
    std::map<std::string, const Entry*> byFolded;
    std::map<std::string, const Entry*> files;
    for (Entry& e : *entries) {
        // A name that code page 850 cannot hold is stored as it is given, in UTF-8.
        e.utf8Name = !codepages::Utf8ToCp850(e.name, &e.stored);
        if (e.utf8Name) {
            if (!codepages::ValidUtf8(e.name)) {
                faults.push_back("entry " + Who(e) + ": the name " + codepages::Cp850Fault(e.name));
                continue;
            }
            e.stored = e.name;
        }
        std::string why;
        if (!SafeName(e.stored, &why, e.utf8Name)) {
            faults.push_back("entry " + Who(e) + ": unsafe name: " + why);
            continue;
        }
        std::string folded = WindowsFoldedName(e.stored, e.utf8Name);
        if (!folded.empty() && folded.back() == '/') folded.pop_back();
        auto seen = byFolded.find(folded);
        if (seen != byFolded.end()) {
            faults.push_back("entries " + Who(*seen->second) + " and " + Who(e) +
                             " would be the same file on Windows");
            continue;
        }
        byFolded[folded] = &e;
        if (!e.isDirectory) files[folded] = &e;
    }
    for (const Entry& e : *entries) {
        std::string folded = WindowsFoldedName(e.stored, e.utf8Name);
        for (size_t slash = folded.find('/'); slash != std::string::npos && slash + 1 < folded.size();
             slash = folded.find('/', slash + 1)) {
            auto file = files.find(folded.substr(0, slash));
            if (file != files.end()) {
                faults.push_back("entry " + Who(e) + " needs a folder where the file " + Who(*file->second) +
                                 " is");
                break;
            }
        }
    }
    if (faults.size() == 1) Fail(faults[0]);
    if (faults.empty()) return;
    for (const std::string& fault : faults) Complain(fault);
    Fail(std::to_string(faults.size()) + " names cannot be stored (each named above); nothing was written");
}

}  // namespace

void CollectInputs(const std::vector<std::string>& inputs, const OutputTarget& output, Inputs* into,
                   bool largeAllowed) {
    Collector collector{into->entries, into->zipFiles, into->leftOut, output};
    collector.tally.largeAllowed = largeAllowed;
    if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        errno = 0;
        long long v = strtoll(epoch, &end, 10);
        if (!*epoch || *end || errno || v < 0)
            Fail(std::string("SOURCE_DATE_EPOCH is not a number of seconds: '") + epoch + "'");
        collector.haveEpoch = true;
        collector.epoch = (time_t)v;
    }
    for (const std::string& input : inputs) collector.AddInput(input);
    CheckNames(&into->entries);
}

}  // namespace sfx
