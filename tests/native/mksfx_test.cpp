// mksfx end to end: builds that unzip, verify and the stub's start-up accept; refusals of one
// line that leave no file; other tools' ZIP files copied unchanged with trustworthy local
// headers; verify and list naming each fault of damaged and crafted files.
#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <openssl/pem.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "posix/standin.h"
#include "startup/startup.h"
#include "tests/support/hostile.h"
#include "tests/support/sfx_files.h"
#include "tools/common/codepages.h"
#include "tools/mksfx/build.h"
#include "tools/mksfx/report.h"
#include "tests/support/solid_craft.h"

using namespace sfxtest;

namespace {

// A tree with text, incompressible data, an empty file, a non-ASCII name and an empty folder.
struct Inputs {
    TempDir dir;
    std::string tree = dir / "tree", stub = dir / "stub.exe", icon = dir / "app.ico";
    Inputs() {
        std::string text;
        for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " of the read-me file\n";
        WriteFile(tree + "/readme.txt", text);
        WriteFile(tree + "/bin/setup.exe", RandomBytes(9000, 1));  // incompressible: stored
        WriteFile(tree + "/bin/zero.dat", "");
        WriteFile(tree + "/docs/Gr\xC3\xBC\xC3\x9F" "e.txt", "Gr\xC3\xBC\xC3\x9F" "e\n");
        mkdir((tree + "/empty").c_str(), 0755);
        WriteFile(stub, SyntheticStub(0x11000));  // fields of the image above 64 KiB
        WriteFile(icon, SampleIcon());
    }
    // "build -o OUT --stub STUB --extract-only" and `extra`, whose own -o, --stub or command
    // (or a response file, which may hold one) replaces the default.
    std::vector<std::string> Build(const std::string& out, std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{"build"};
        auto has = [&](const char* option) { return std::find(extra.begin(), extra.end(), option) != extra.end(); };
        if (!has("-o")) args.insert(args.end(), {"-o", out});
        if (!has("--stub")) args.insert(args.end(), {"--stub", stub});
        bool responseFile = std::any_of(extra.begin(), extra.end(), [](const std::string& a) { return a[0] == '@'; });
        if (!has("--command") && !has("--extract-only") && !has("--silent-command") && !responseFile)
            args.push_back("--extract-only");
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // unzip tests `out` without a warning and unpacks the tree's files from it unchanged.
    void ExpectUnzipReads(const std::string& out) const {
        RunResult test = RunProgram({"unzip", "-t", out});
        EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
        EXPECT_EQ((test.out + test.err).find("warning"), std::string::npos) << test.out << test.err;
        RemoveTree(dir / "unpacked");
        ASSERT_EQ(RunProgram({"unzip", "-q", out, "-x", "docs/*", "-d", dir / "unpacked"}).exitCode, 0);
        for (const char* name : {"readme.txt", "bin/setup.exe", "bin/zero.dat"})
            EXPECT_EQ(ReadFile(dir / "unpacked/" + name), ReadFile(tree + "/" + name)) << name;
    }
};

// A self-signed certificate of CN=Tessly Test, as the signing rows use it, and its key.
bool MakeTestCertificate(const std::string& key, const std::string& cert) {
    return RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
                       "-subj", "/CN=Tessly Test"}).exitCode == 0;
}

// `mksfx COMMAND --json FILE` rendered back into what COMMAND prints without --json (the
// listing; the verdict or the faults) by tests/support/listing_json.py, which also holds the
// document to its schema.
std::string JsonRendered(const std::string& command, const std::string& file, int code) {
    RunResult json = RunMksfx({command, "--json", file});
    EXPECT_EQ(json.exitCode, code) << json.err;
    EXPECT_EQ(json.out.empty() ? 0 : json.out.back(), '\n') << "the document ends its line";
    TempDir dir;
    WriteFile(dir / "listing.json", json.out);
    RunResult r = RunProgram({"python3", "-S", TESSLY_SOURCE_DIR "/tests/support/listing_json.py", dir / "listing.json"});
    EXPECT_EQ(r.exitCode, 0) << r.err << json.out;
    return r.out;
}

// Loads `path` into the stub's start-up code for a user whose UI language is `ui`; answers
// the abort code (0 when loaded).
std::string Times(const std::string& text, int count) {
    std::string all;
    while (count-- > 0) all += text;
    return all;
}

int LoadInStub(const std::string& path, LANGID ui = 0x0407) {
    std::string bytes = ReadFile(path);
    ResetStubState(path);
    standin::SetUiLanguage(ui);
    if (!LoadStubParams(bytes)) return -1;
    return RunUnderCheckpoint(LoadStubData);
}

// A stub that reads both forms and UTF-8, as sfxstub-solid.exe does: the synthetic stub with
// the forms byte of its block set (`forms`: another set, as an older stub has it).
std::string SolidStub(const std::string& stub, char forms = FORM_ZIP | FORM_SOLID | FORM_UTF8) {
    std::string s = stub;
    s[FindBlock(s) + 46] = forms;
    return s;
}

struct Record : sfx::EntryFields {
    std::string name;
    std::string data;  // the compressed bytes
};

// The record whose entry fields stand at `fields`, its name right after `fixedEnd`.
Record ReadRecord(const std::string& b, size_t fields, size_t fixedEnd) {
    Record r;
    static_cast<sfx::EntryFields&>(r) = sfx::ReadEntryFields(b, fields);
    r.name = b.substr(fixedEnd, Le16(b, fields + ENTRY_NAME_LENGTH));
    return r;
}

size_t LocalDataOffset(const std::string& b, size_t local) {
    return local + LOCAL_HEADER_BYTES + Le16(b, local + LOCAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH) +
           Le16(b, local + LOCAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH);
}

// Members of a ZIP file (possibly behind other data) through its central directory.
std::vector<Record> CentralRecords(const std::string& b) {
    std::vector<Record> out;
    size_t end = b.rfind("PK\x05\x06");
    if (end == std::string::npos) return out;
    uint32_t cdSize = Le32(b, end + END_CENTRAL_SIZE), cdOffset = Le32(b, end + END_CENTRAL_OFFSET);
    size_t shift = end - cdSize - cdOffset;
    for (size_t p = end - cdSize; p < end && Le32(b, p) == ZIP_CENTRAL_SIGNATURE;) {
        Record r = ReadRecord(b, p + CENTRAL_ENTRY_FIELDS, p + CENTRAL_HEADER_BYTES);
        r.data = b.substr(LocalDataOffset(b, Le32(b, p + CENTRAL_LOCAL_OFFSET) + shift), r.packed);
        out.push_back(r);
        p += CENTRAL_HEADER_BYTES + Le16(b, p + CENTRAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH) +
             Le16(b, p + CENTRAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH) + Le16(b, p + CENTRAL_COMMENT_LENGTH);
    }
    return out;
}

// Local headers of a self-extracting file, from its archive offset (local records only).
std::vector<Record> LocalRecords(const std::string& f) {
    std::vector<Record> out;
    size_t block = FindBlock(f);
    for (size_t p = Le32(f, block + PB_ARCHIVE_OFFSET);
         p + LOCAL_HEADER_BYTES <= f.size() && Le32(f, p) == ZIP_LOCAL_SIGNATURE;) {
        Record r = ReadRecord(f, p + LOCAL_ENTRY_FIELDS, p + LOCAL_HEADER_BYTES);
        size_t data = LocalDataOffset(f, p);
        r.data = f.substr(data, r.packed);
        out.push_back(r);
        p = data + r.packed;
    }
    return out;
}

// Info-ZIP zip on Unix stores this name's bytes as they are, others set the UTF-8 flag: it
// arrives in code page 850 either way.
const std::string kName = "docs/Gr\xC3\xBC\xC3\x9F" "e.txt", kNameIn850 = "docs/Gr\x81\xE1" "e.txt";

// Builds from `zip`, then checks what every consumer of the result sees.
void BuildAndCheck(const Inputs& fx, const std::string& zip) {
    std::string out = fx.dir / "out.exe";
    RunResult r = RunMksfx({"build", "-o", out, "--stub", fx.stub, "--command", "run.bat", zip});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RunResult verify = RunMksfx({"verify", out});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    fx.ExpectUnzipReads(out);

    std::string file = ReadFile(out);
    std::vector<Record> inputs = CentralRecords(ReadFile(zip));
    std::vector<Record> locals = LocalRecords(file);
    size_t files = 0;
    for (const Record& in : inputs) {
        std::string name = in.name.compare(0, 2, "./") == 0 ? in.name.substr(2) : in.name;
        if (name.empty()) continue;
        if (name == kName) name = kNameIn850;
        const Record* found = nullptr;
        for (const Record& l : locals)
            if (l.name == name) found = &l;
        ASSERT_NE(found, nullptr) << name;
        EXPECT_EQ(found->flags & 0x0008, 0) << name;
        EXPECT_EQ(found->crc, in.crc) << name;
        EXPECT_EQ(found->size, in.size) << name;
        EXPECT_EQ(found->method, in.method) << name;
        EXPECT_EQ(found->data, in.data) << name;  // the compressed bytes, unchanged
        if (name.back() != '/') ++files;
    }
    EXPECT_EQ(files, 3u + FileExists(fx.tree + "/" + kName));

    ASSERT_EQ(LoadInStub(out), 0);
    EXPECT_STREQ(state.run.command, "run.bat");
    ReleaseStubState();
}

const char kPythonZip[] = R"(
import os, sys, zipfile
tree, target, mode = sys.argv[1], sys.argv[2], sys.argv[3]
class Unseekable:
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()
with open(target, 'wb') as raw:
    out = Unseekable(raw) if mode == 'stream' else raw
    with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
        for base, dirs, files in sorted(os.walk(tree)):
            for name in sorted(files):
                path = os.path.join(base, name)
                z.write(path, os.path.relpath(path, tree))
)";

TEST(MksfxZipInput, ArchivesOfOtherTools) {
    struct Tool {
        const char* what;
        const char* program;
        std::vector<std::string> argv;  // run in the tree, writing ../in.zip
        bool descriptors;               // the tool writes data descriptors
    } tools[] = {
        {"Info-ZIP zip", "zip", {"zip", "-q", "-r", "../in.zip", "."}, false},
        {"7-Zip", "7z", {"7z", "a", "-tzip", "-bso0", "-bsp0", "../in.zip", "."}, false},
        {"bsdtar", "bsdtar", {"bsdtar", "-a", "-cf", "../in.zip", "."}, false},
        {"Python zipfile", "python3", {"python3", "-c", kPythonZip, ".", "../in.zip", "file"}, false},
        {"Python zipfile to a stream", "python3", {"python3", "-c", kPythonZip, ".", "../in.zip", "stream"}, true},
        {"fastjar", "fastjar", {"fastjar", "-cMf", "../in.zip", "."}, false},  // mangles non-ASCII names
        {"jar", "jar", {"jar", "cfM", "../in.zip", "."}, true},
    };
    for (const Tool& t : tools) {
        SCOPED_TRACE(t.what);
        if (!HaveProgram(t.program)) {
            // Every tool but the JDK's jar comes from scripts/setup.sh.
            if (std::string(t.program) != "jar") ADD_FAILURE() << t.program << " is not installed";
            continue;
        }
        Inputs fx;
        if (t.program == std::string("fastjar")) unlink((fx.tree + "/" + kName).c_str());
        RunResult made = RunProgram(t.argv, {"LC_ALL=C.UTF-8"}, fx.tree);
        ASSERT_EQ(made.exitCode, 0) << made.err;
        std::string zip = fx.dir / "in.zip";
        if (t.descriptors) {
            bool any = false;
            for (const Record& r : CentralRecords(ReadFile(zip))) any |= (r.flags & 0x0008) != 0;
            ASSERT_TRUE(any) << "the input was expected to use data descriptors";
        }
        BuildAndCheck(fx, zip);
    }
}

TEST(MksfxZipInput, CraftedArchivesThatCopy) {
    std::string text = "text text text text text text\n";
    std::vector<zipcraft::Member> members = {{"readme.txt", text},
                                      {"bin/tool.dat", std::string(500, 'q'), 0},
                                      {"bin/tiny.txt", "x", 8, 0x0008}};
    members[2].zeroSizesInLocal = true;
    // An Info-ZIP Unicode path field in the central entry of "bin/u.dat", behind a field of
    // another kind: version 1, the CRC of that plain name, the UTF-8 name.
    const std::string plainU = ZipArchive({members[0], {"bin/u.dat", "u", 0}, members[2]});
    const size_t second = plainU.find("PK\x01\x02", plainU.find("PK\x01\x02") + 4);
    auto withUnicode = [&](const std::string& utf8) {
        std::string z = plainU, field = std::string("\x66\x66\x04\0pad!\x75\x70\0\0\x01", 13) + std::string(4, '\0') + utf8;
        field[10] = (char)(5 + utf8.size());
        SetLe32(&field, 13, ZlibCrc("bin/u.dat"));
        z.insert(second + 46 + 9, field), z[second + 30] = (char)field.size();
        SetLe32(&z, z.size() - 22 + 12, Le32(z, z.size() - 22 + 12) + (uint32_t)field.size());
        return z;
    };
    const std::string unicode = withUnicode("bin/\xC3\xBC.dat");
    std::string otherName = unicode;  // its CRC no longer that of the plain name: not taken
    otherName[second + 46 + 9 + 13] ^= 1;
    // The same name's bytes from a Unix or OS X tool: taken as UTF-8, the maker's locale.
    auto madeOn = [&](char host) {
        std::string z = ZipArchive({members[0], {"bin/\xC3\xBC.dat", "u", 0}, members[2]});
        z[z.find("PK\x01\x02", z.find("PK\x01\x02") + 4) + CENTRAL_MADE_BY + 1] = host;
        return z;
    };
    // Fixed codes, ending so that the decoder has read every input byte while a byte of
    // output is still to come past its first 256 KiB.
    zipcraft::Member late = {"bin/tool.dat", zipcraft::SampleText(262145, 5)};
    late.haveData = true, late.data = RawDeflate(late.content, 9, Z_FIXED);
    struct Case {
        const char* what;
        std::string zip;
        std::string middle = "bin/tool.dat";
    } cases[] = {
        {"data descriptor with zero sizes in the local header", ZipArchive(members)},
        {"behind other data, offsets from the start of the file", std::string(777, 'j') + ZipArchive(members, 777)},
        {"behind other data, offsets from the archive", std::string(777, 'j') + ZipArchive(members, 0)},
        // A DOS name in code page 850 whose bytes happen to be valid UTF-8 stays as it is.
        {"DOS name that reads as UTF-8", ZipArchive({members[0], {"bin/\xC3\xBC.dat", "u", 0}, members[2]}), "bin/\xC3\xBC.dat"},
        {"name from the Unicode path field", unicode, "bin/\x81.dat"},
        {"UTF-8 name made on Unix", madeOn(3), "bin/\x81.dat"},
        {"UTF-8 name made on OS X", madeOn(19), "bin/\x81.dat"},
        {"Unicode path field of another name", otherName, "bin/u.dat"},
        {"Unicode path field without a name: the plain one stands", withUnicode(""), "bin/u.dat"},
        {"Unicode path field of one character", withUnicode("c"), "c"},
        {"output that goes on after the last byte of input", ZipArchive({members[0], late, members[2]})},
        {"a name of one character", ZipArchive({members[0], {"c", "u", 0}, members[2]}), "c"},
        {"end record followed by as much as a comment may hold", ZipArchive(members) + std::string(65535, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string zip = dir / "in.zip", out = dir / "out.exe", stub = dir / "stub.exe";
        WriteFile(zip, c.zip);
        WriteFile(stub, SyntheticStub());
        RunResult r = RunMksfx({"build", "-o", out, "--stub", stub, "--extract-only", zip});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(RunMksfx({"verify", out}).exitCode, 0);
        std::vector<Record> locals = LocalRecords(ReadFile(out));
        ASSERT_EQ(locals.size(), 3u);
        EXPECT_EQ(locals[0].name + "|" + locals[1].name + "|" + locals[2].name, "bin/tiny.txt|" + c.middle + "|readme.txt");
        EXPECT_EQ(locals[0].flags, 0);
        EXPECT_EQ(locals[0].crc, ZlibCrc("x"));
        EXPECT_EQ(locals[0].size, 1u);
    }
}

TEST(MksfxZipInput, ArchivesTheStubCannotTake) {
    TempDir dir;
    std::string stub = dir / "stub.exe";
    WriteFile(stub, SyntheticStub());
    std::string zip64 = ZipArchive({{"a.txt", "alpha"}});  // a ZIP64 end-of-directory locator before the end record
    zip64.insert(zip64.size() - 22, std::string("PK\x06\x07", 4) + std::string(16, '\0'));
    std::string truncatedStream = ZipArchive({{"a.txt", std::string(5000, 'a')}});
    truncatedStream[30 + 5 + 3] ^= 0x55;  // inside the DEFLATE data
    std::string localOnly = ZipArchive({{"a.txt", "alpha"}});
    localOnly[6] |= 0x01;  // encrypted, says the local header alone
    // Three members that declare 2 GiB each: refused by what they declare, before decoding.
    zipcraft::Member huge{"h1", "small", 8};
    huge.size = 0x7FFFFFFF;
    std::vector<zipcraft::Member> huges{huge, huge, huge};
    huges[1].name = "h2", huges[2].name = "h3";

    // One stored member, "a.txt", with one field of its end record or central entry set.
    const std::string one = ZipArchive({{"a.txt", "alpha", 0}});
    const size_t end = one.size() - END_RECORD_BYTES, cd = Le32(one, end + END_CENTRAL_OFFSET);
    auto set = [&](size_t at, uint32_t v, int bytes = 4) {
        std::string z = one;
        bytes == 2 ? sfx::SetLe16(&z, at, v) : sfx::SetLe32(&z, at, v);
        return z;
    };
    const std::string zip64Field = [&] {  // a ZIP64 extra field in the central entry, after a time field
        std::string z = one, field("\x55\x54\x05\0\x01\0\0\0\0" "\x01\0\x08\0\x05\0\0\0\0\0\0\0", 21);
        z.insert(cd + CENTRAL_HEADER_BYTES + 5, field);
        sfx::SetLe16(&z, cd + CENTRAL_ENTRY_FIELDS + ENTRY_EXTRA_LENGTH, 21);
        sfx::SetLe32(&z, z.size() - END_RECORD_BYTES + END_CENTRAL_SIZE, Le32(one, end + END_CENTRAL_SIZE) + 21);
        return z;
    }();
    struct Case {
        const char* what;
        std::string zip;
        const char* message;
    } cases[] = {
        {"end record: 65535 entries", set(end + END_ENTRIES, 0xFFFF, 2), "ZIP64 archives"},
        {"end record: directory size 0xFFFFFFFF", set(end + END_CENTRAL_SIZE, 0xFFFFFFFF), "ZIP64 archives"},
        {"end record: directory offset 0xFFFFFFFF", set(end + END_CENTRAL_OFFSET, 0xFFFFFFFF), "ZIP64 archives"},
        {"end record: disk 1", set(end + END_DISK, 1, 2), "several disks"},
        {"end record: directory on disk 1", set(end + END_CENTRAL_DISK, 1, 2), "several disks"},
        {"end record: entries here not all", set(end + END_ENTRIES_HERE, 2, 2), "several disks"},
        {"end record: directory larger than the file", set(end + END_CENTRAL_SIZE, (uint32_t)end + 1),
         "the central directory lies outside the file"},
        {"central entry 2 missing", set(end + END_ENTRIES_HERE, 0x20002), "broken central directory (entry 2)"},
        {"central entry's signature", set(cd, 0x02014B51), "broken central directory (entry 1)"},
        {"central entry's name past the end", set(cd + CENTRAL_ENTRY_FIELDS + ENTRY_NAME_LENGTH, 0xFFFF, 2),
         "broken central directory (entry 1)"},
        {"ZIP64 field", zip64Field, "member a.txt needs ZIP64"},
        {"packed size 0xFFFFFFFF", set(cd + CENTRAL_ENTRY_FIELDS + ENTRY_PACKED, 0xFFFFFFFF), "member a.txt needs ZIP64"},
        {"size 0xFFFFFFFF", set(cd + CENTRAL_ENTRY_FIELDS + ENTRY_SIZE, 0xFFFFFFFF), "member a.txt needs ZIP64"},
        {"local offset 0xFFFFFFFF", set(cd + CENTRAL_LOCAL_OFFSET, 0xFFFFFFFF), "member a.txt needs ZIP64"},
        {"local header elsewhere", set(cd + CENTRAL_LOCAL_OFFSET, 1), "a.txt: no local header where"},
        {"data past the end", set(cd + CENTRAL_ENTRY_FIELDS + ENTRY_PACKED, 100000), "its data runs past the end"},
        {"stored with two sizes", set(cd + CENTRAL_ENTRY_FIELDS + ENTRY_SIZE, 6), "stored with two different sizes"},
        {"encrypted member", ZipArchive({{"a.txt", "alpha", 0, 0x0001}}), "member a.txt is encrypted"},
        {"encrypted by its local header", localOnly, "member a.txt is encrypted (its local header says so)"},
        {"declared sizes over 4 GiB", ZipArchive(huges), "the members add up to 6442450941 bytes or more"},
        {"bzip2 member", ZipArchive({{"a.txt", "alpha", 12}}), "compression method 12"},
        {"ZIP64", zip64, "ZIP64"},
        {"ZIP64 locator at the very start", std::string("PK\x06\x07", 4) + std::string(16, '\0') + std::string("PK\x05\x06", 4) +
                                                std::string(18, '\0'), "ZIP64"},
        {"'..' in a name", ZipArchive({{"../evil.txt", "x"}}), "'..' component"},
        {"absolute name", ZipArchive({{"/etc/evil", "x"}}), "absolute path"},
        {"drive letter", ZipArchive({{"C:evil.txt", "x"}}), "drive letter"},
        {"backslash", ZipArchive({{"sub\\evil.txt", "x"}}), "backslash"},
        {"CRC mismatch", ZipArchive({{"a.txt", "alpha alpha alpha", 8, 0, 0x6000, 0x5A21, 0x12345678}}), "CRC-32 mismatch"},
        {"broken data", truncatedStream, "member a.txt"},
        {"not a ZIP file", std::string(300, 'n'), "not a ZIP file"},
        {"end record further from the end than a comment reaches",
         std::string("PK\x05\x06", 4) + std::string(18 + 65536, '\0'), "not a ZIP file (no end record)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string zip = dir / "in.zip", out = dir / "out.exe";
        WriteFile(zip, c.zip);
        RunResult r = RunMksfx({"build", "-o", out, "--stub", stub, "--extract-only", zip});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
        EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.zip", "stub.exe"}));
    }
}

// Messages 7 and 81 and the log's error line of the stub's own German table (Windows-1252).
const char kGermanWords[] = "%s konnte nicht ausgef\xFChrt werden|Sch&lie\xDF" "en|error %s";

// Builds of every kind: what build prints, and a file that unzip, verify, list and the stub's
// start-up all accept. Any .ico or .png becomes the stored icon that fits.
TEST(MksfxBuild, EachBuildIsSoundForPeersListAndTheStub) {
    Inputs in;
    ASSERT_TRUE(HaveProgram("convert")) << "run scripts/setup.sh (imagemagick)";
    ASSERT_EQ(RunProgram({"convert", "rose:", "-define", "icon:auto-resize=64,48,32,16", in.dir / "app4.ico"}).exitCode, 0);
    ASSERT_EQ(RunProgram({"convert", "rose:", "-alpha", "on", "png32:" + in.dir / "rose.png"}).exitCode, 0);
    ASSERT_EQ(RunProgram({"convert", "-size", "600x400", "xc:#3080C0", "png32:" + in.dir / "big.png"}).exitCode, 0);
    // A PNG whose private chunk holds the parameter block's signature: the file's icon carries
    // it into the resources, after the stub's own block, which the stub finds first.
    ASSERT_EQ(RunProgram({"convert", "-size", "48x48", "xc:#C03080", "png32:" + in.dir / "marked.png"}).exitCode, 0);
    std::string marked = ReadFile(in.dir / "marked.png"), chunk = std::string("prVt") + "rdk\x01sfx\x02";
    auto be32 = [](uint32_t v) { return std::string{(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v}; };
    WriteFile(in.dir / "marked.png", marked.insert(33, be32(8) + chunk + be32(ZlibCrc(chunk))));
    WriteFile(in.dir / "atend.exe", SyntheticStub(0x2000, 0x2000 - STUB_PARAMETER_BLOCK_SIZE));
    WriteFile(in.dir / "solid.exe", SolidStub(ReadFile(in.stub)));
    // A project file whose paths count from its folder, and response files, one naming another.
    WriteFile(in.dir / "proj/setup.project", "# Beispiel\n  command = from-project.exe\ncaption = \"  Projekt \"  \n"
              "text=Willkommen\r\nicon = ../app.ico\ninput = ../tree\nwait\nno-header-check = no\n");
    WriteFile(in.dir / "build.args", "--command \"bin\\\\setup.exe /s\" --caption 'Mein \\'Setup\\''\n\t--text Gr\\\"un "
              "--about \"\" @" + in.dir / "inputs.args");
    WriteFile(in.dir / "inputs.args", in.tree);
    WriteFile(in.dir / "fr.txt", FrenchTable());
    // A packager's Russian table, and names in Japanese, Greek and Polish beside the tree.
    std::string russian = FrenchTable();
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"language fr", "language ru"}, {"&Fermer", "&\xD0\x97\xD0\xB0\xD0\xBA\xD1\x80\xD1\x8B\xD1\x82\xD1\x8C"}})
        russian.replace(russian.find(c.first), c.first.size(), c.second);
    WriteFile(in.dir / "ru.txt", russian);
    // A French table with a letter that Windows-1252 holds and code page 850 does not.
    std::string ligature = FrenchTable();
    ligature.replace(ligature.find("&Fermer"), 7, "&Fermer l'\xC5\x93uvre");
    WriteFile(in.dir / "oe.txt", ligature);
    // A file over 32 MiB goes through the deflater in pieces.
    WriteFile(in.dir / "big/zeros.bin", std::string(40 << 20, '\0'));
    const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", greek = "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xAC\xCE\xB4\xCE\xB1",
                      polish = "Z\xC5\x82oty", russianText = "\xD0\xA3\xD1\x81\xD1\x82\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBA\xD0\xB0";
    WriteFile(in.dir / ("scripts/" + japanese + "/" + greek + ".exe"), "MZ");
    WriteFile(in.dir / ("scripts/" + polish + ".txt"), "z\xC5\x82oty");
    const std::string note = "\xF0\x9F\x8E\xB5";  // past the Basic Multilingual Plane: two UTF-16 units
    WriteFile(in.dir / ("scripts/" + note + ".txt"), "la");
    const std::string out = in.dir / "setup.exe", t = in.tree, about(515, 'a');
    const std::string german = kGermanWords, english = "%s could not be started|&Close|error %s";
    const std::string inBytes = std::to_string(ReadFile(t + "/readme.txt").size() + 9000 + 8);
    auto icon = [&](const std::string& file, const std::string& line, const std::string& listed,
                    const std::string& fileIcon) {
        std::vector<std::string> args{"--icon", file, "--about", about, t};
        return std::vector<std::vector<std::string>>{
            args, {line, "\nfile icon: " + fileIcon + "\n"},
            {"icon:         " + listed, "  icon: " + fileIcon.substr(0, fileIcon.find(" (")) + "\n"}};
    };
    struct Row {
        const char* what;
        std::vector<std::vector<std::string>> io;  // arguments, output (the first at its start), listed
        std::string command, text, about = "", caption = "";
        bool icon = true;
        bool quiet = false;
        LANGID ui = 0x0407;  // the user's UI language
        std::string words = kGermanWords;  // messages 7 and 81 and the log's error line, as the stub holds them
        std::string footer = "", banner = "";  // as the stub reads them (Windows-1252)
        bool solid = false;  // the solid form: 7-Zip reads it, names and all, instead of unzip
    } rows[] = {
        {"every option",
         {{"--command", "bin\\setup.exe /s", "--text", "Willkommen \xE2\x80\x93 los", "--about", "\xC3\x9C" "ber \xC5\xB8", "--caption",
           "Mein Setup", "--icon", in.icon, "--wait-for", "_ISDEL", "--wait", "--product-version", "2.3-beta", t},
          {"icon: 16x16, 16 colours, 318 bytes, taken as it is from image 1 of 1 (16x16, 16 colours)\n"
           "file icon: 16x16 4-bit\n" + out + ": 5 members, " + inBytes + " bytes packed into ",
           "%), file {size} bytes, level 12\n"},
          {"\"bin\\setup.exe /s\"", "\"Mein Setup\"", "icon:         16x16, 16 colours, 318 bytes", "wait mode:    yes",
           "_ISDEL.exe", "docs/Gr\xC3\xBC\xC3\x9F" "e.txt", "empty/", "deflated", "      9000       9000 stored",
           "file version: 2.3.0.0", "FileVersion: 2.3\n", "ProductVersion: 2.3-beta\n"}},
         "bin\\setup.exe /s", "Willkommen \x96 los", "\xDC" "ber \x9F", "Mein Setup"},  // Windows-1252
        {"files over 32 MiB", {{t, in.dir / "big"}, {}, {"  41943040     "}},
         "", "", "", "", false},
        {"level 0 stores", {{"--level=0", t}, {}, {"      9000       9000 stored", "command:      (none: extract only)",
                                                  "target:       (a new temporary folder, removed)",
                                                  "console:      hidden in silent runs"}}, "", "", "", "", false},
        {"administrators' settings",
         {{"--command", "cmd /c x", "--silent-command", "readme.txt /q", "--target", "%ProgramFiles%\\Beispiel",
           "--hide-console", t}, {}, {"silent cmd:   \"readme.txt /q\"", "target:       \"%ProgramFiles%\\Beispiel\" (kept)",
                                       "console:      hidden", "/D=DIR (or /T:DIR), /X, /X:DIR, -- ARGS"}},
         "cmd /c x", "", "", "", false},
        {"project file, the command line winning", {{"--project", in.dir / "proj/setup.project", "--command", "bin\\setup.exe /s"},
         {}, {"wait mode:    yes", "header check: yes", "caption:      \"  Projekt \"", "docs/Gr\xC3\xBC\xC3\x9F" "e.txt"}},
         "bin\\setup.exe /s", "Willkommen", "", "  Projekt "},
        {"response files", {{"@" + in.dir / "build.args"}, {}, {"caption:      \"Mein 'Setup'\"", "empty/"}},
         "bin\\setup.exe /s", "Gr\"un", "", "Mein 'Setup'", false},
        {"block at the stub's end", {{"--stub", in.dir / "atend.exe", t}, {}, {}}, "", "", "", "", false},
        {"quiet", {{"-q", "--icon", in.icon, t}, {}, {}}, "", "", "", "", true, true},
        {"verbose", {{"-v", t}, {"  stored         9000 ->       9000  bin/setup.exe\n",
                                  "  folder            0 ->          0  empty/\n"}, {}}, "", "", "", "", false},
        {"four images", icon(in.dir / "app4.ico", "icon: 32x32, 16 colours, 766 bytes, converted from image 3 of 4 (32x32, 32-bit)",
                             "32x32, 16 colours, 766 bytes", "64x64 32-bit, 48x48 32-bit, 32x32 32-bit, 16x16 32-bit"),
         "", "", about},
        {"PNG", icon(in.dir / "rose.png", "icon: 32x32, 16 colours, 766 bytes, converted from a 70x46 PNG", "32x32, 16 colours",
                     "70x70 PNG (scaled from 70x46)"), "", "", about},
        {"large PNG", icon(in.dir / "big.png", "icon: 32x32, 16 colours", "32x32, 16 colours",
                           "256x256 PNG (scaled from 600x400)"), "", "", about},
        {"marked PNG", icon(in.dir / "marked.png", "icon: 32x32, 16 colours", "32x32, 16 colours", "48x48 PNG"), "", "", about},
        // The stub's words: its own German table, or the file's table of the user's language,
        // else its first (English when it carries English).
        {"own footer and banner", {{"--footer", "Beispiel \xC2\xA9 2026", "--banner", "Mehr: beispiel.de", t}, {},
                                   {"footer:       \"Beispiel \xC2\xA9 2026\"\n", "banner:       \"Mehr: beispiel.de\"\n"}},
         "", "", "", "", false, false, 0x0407, kGermanWords, "Beispiel \xA9 2026", "Mehr: beispiel.de"},
        {"no footer, no banner", {{"--no-banner", "--no-footer", t}, {}, {"footer:       \"\"\n", "banner:       \"\"\n"}},
         "", "", "", "", false},
        {"German given", {{"--language", "de", t}, {}, {"languages:    de (the stub's own)\n"}}, "", "", "", "", false},
        {"English", {{"--language", "en", t}, {}, {"languages:    en\n"}}, "", "", "", "", false, false, 0x0407, english},
        {"auto, German user", {{"--language", "auto", t}, {}, {"languages:    en, de (by the user's language"}}, "", "",
         "", "", false, false, 0x0407, german},
        {"auto, English user", {{"--language", "auto", t}, {}, {}}, "", "", "", "", false, false, 0x0809, english},
        {"auto, Japanese user", {{"--language", "auto", t}, {}, {}}, "", "", "", "", false, false, 0x0411, english},
        {"French before German", {{"--language", in.dir / "fr.txt,de", t}, {}, {"languages:    fr, de (by"}}, "", "",
         "", "", false, false, 0x0411, "%s n'a pas pu \xEAtre lanc\xE9|&Fermer|error %s"},
        {"French and auto, French user", {{"--language", "auto," + in.dir / "fr.txt", t}, {}, {"languages:    en, de, fr"}},
         "", "", "", "", false, false, 0x040C, "%s n'a pas pu \xEAtre lanc\xE9|&Fermer|error %s"},
        // Texts and names in any script: the texts go in UTF-8, and so do the names that code
        // page 850 cannot hold; the stub's own German words are UTF-8 too then.
        {"texts and names in any script",
         {{"--command", japanese + "\\" + greek + ".exe /q", "--text", polish + " " + greek, "--about", russianText,
           "--caption", japanese, "--footer", greek, "--banner", polish, t, in.dir / std::string("scripts")}, {},
          {"command:      \"" + japanese + "\\" + greek + ".exe /q\"", "caption:      \"" + japanese + "\"",
           "text:         \"" + polish + " " + greek + "\"", "about:        \"" + russianText + "\"",
           " " + japanese + "/" + greek + ".exe\n", " " + polish + ".txt\n", "docs/Gr\xC3\xBC\xC3\x9F" "e.txt\n"}},
         japanese + "\\" + greek + ".exe /q", polish + " " + greek, russianText, japanese, false, false, 0x0407,
         codepages::Cp1252ToUtf8(kGermanWords), greek, polish},
        // The same in the solid form, whose names are UTF-16 in the 7z header.
        {"texts and names in any script, solid",
         {{"--compression", "solid", "--stub", in.dir / "solid.exe", "--command", japanese + "\\" + greek + ".exe /q",
           "--text", polish + " " + greek, "--caption", japanese, t, in.dir / std::string("scripts")}, {},
          {"command:      \"" + japanese + "\\" + greek + ".exe /q\"", "caption:      \"" + japanese + "\"",
           " " + japanese + "/" + greek + ".exe\n", " " + polish + ".txt\n", " " + note + ".txt\n",
           "docs/Gr\xC3\xBC\xC3\x9F" "e.txt\n"}},
         japanese + "\\" + greek + ".exe /q", polish + " " + greek, "", japanese, false, false, 0x0407,
         codepages::Cp1252ToUtf8(kGermanWords), "", "", true},
        {"a packager's Russian table", {{"--language", in.dir / "ru.txt", t}, {}, {"languages:    language 0x19\n"}}, "", "", "", "",
         false, false, 0x0419, "%s n'a pas pu \xC3\xAAtre lanc\xC3\xA9|&\xD0\x97\xD0\xB0\xD0\xBA\xD1\x80\xD1\x8B\xD1\x82\xD1\x8C|error %s"},
        {"a packager's table beyond code page 850", {{"--language", in.dir / "oe.txt", t}, {}, {"languages:    fr\n"}}, "", "", "",
         "", false, false, 0x040C, "%s n'a pas pu \xC3\xAAtre lanc\xC3\xA9|&Fermer l'\xC5\x93uvre|error %s"},
    };
    // A command that succeeds releases all it took (under the sanitizers a leak fails it): a
    // decoder kept per member or per folder would grow with the archive.
    const std::string leaks = "ASAN_OPTIONS=detect_leaks=1";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.what == std::string("German given")) {  // the stub's own table: no language tables
            WriteFile(in.dir / "plain/x", "");
            RunResult plain = RunMksfx(in.Build(in.dir / "plain/setup.exe", {t}), {"SOURCE_DATE_EPOCH=1700000000"});
            ASSERT_EQ(plain.exitCode, 0) << plain.err;
        }
        RunResult r = RunMksfx(in.Build(out, row.io[0]), {"SOURCE_DATE_EPOCH=1700000000", leaks});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");  // not a terminal: no progress
        EXPECT_EQ(r.out.empty(), row.quiet);  // the summary unless -q
        const std::string file = ReadFile(out);
        for (size_t i = 0; i < row.io[1].size(); ++i) {
            std::string part = row.io[1][i];
            if (part.find("{size}") != std::string::npos) part.replace(part.find("{size}"), 6, std::to_string(file.size()));
            EXPECT_EQ(i ? r.out.find(part) != std::string::npos : r.out.compare(0, part.size(), part) == 0, true)
                << part << "\n" << r.out;
        }
        EXPECT_EQ(file.find(chunk.substr(4), FindBlock(file) + 1) != std::string::npos, row.what == std::string("marked PNG"));

        if (row.solid) {
            RemoveTree(in.dir / "unpacked");
            RunResult x = RunProgram({"7z", "x", "-y", "-o" + in.dir / "unpacked", out});
            ASSERT_EQ(x.exitCode, 0) << x.out << x.err;
            const std::string scripts = in.dir / "scripts";
            for (const auto& [from, name] : std::vector<std::pair<std::string, std::string>>{
                     {t, "readme.txt"}, {t, "bin/setup.exe"}, {t, "docs/Gr\xC3\xBC\xC3\x9F" "e.txt"},
                     {scripts, japanese + "/" + greek + ".exe"}, {scripts, polish + ".txt"}, {scripts, note + ".txt"}})
                EXPECT_EQ(ReadFile(in.dir / ("unpacked/" + name)), ReadFile(from + "/" + name)) << name;
        } else {
            in.ExpectUnzipReads(out);
        }
        EXPECT_TRUE(FileExists(in.dir / "unpacked/empty"));
        EXPECT_EQ(ListFolder(in.dir / "unpacked/empty").size(), 0u);
        RunResult verify = RunMksfx({"verify", out}, {leaks});
        EXPECT_EQ(verify.exitCode, 0) << verify.err;

        RunResult list = RunMksfx({"list", out}, {leaks});
        ASSERT_EQ(list.exitCode, 0) << list.err;
        EXPECT_EQ(JsonRendered("list", out, 0), list.out);
        EXPECT_EQ(JsonRendered("verify", out, 0), verify.out);
        // Its header check leaves out the fields signing writes (said in the JSON alone).
        EXPECT_NE(RunMksfx({"list", "--json", out}).out.find("\"signable\": true,"), std::string::npos);
        for (const std::string& expected : row.io[2])
            EXPECT_NE(list.out.find(expected), std::string::npos) << expected << "\n" << list.out;
        EXPECT_EQ(list.out.find("deflated") != std::string::npos, row.what != std::string("level 0 stores") && !row.solid);
        EXPECT_EQ(file.find("7z\xBC\xAF\x27\x1C") != std::string::npos, row.solid);

        if (row.what == std::string("German given")) {
            EXPECT_EQ(file, ReadFile(in.dir / "plain/setup.exe"));
        }
        if (row.what == std::string("quiet")) {
            // The icon group's entry as the loader reads it: 16 by 16, 16 colours, 1 plane, 4 bits.
            const std::string group = RunProgram({"wrestool", "-x", "--raw", "-t14", out}).out;
            EXPECT_EQ(group.substr(0, 14), std::string("\0\0\1\0\1\0\x10\x10\x10\0\1\0\4\0", 14));
        }
        const long long live = standin::LiveBlocks();
        ASSERT_EQ(LoadInStub(out, row.ui), 0);
        EXPECT_TRUE(standin::MessageBoxes().empty());
        EXPECT_EQ(std::string(GetMessageText(MSG_CANNOT_RUN)) + "|" + GetMessageText(MSG_CLOSE_BUTTON) + "|" +
                      GetMessageText(MSG_LOG_ERROR), row.words);
        EXPECT_EQ(std::string(state.run.command) + "|" + state.texts.messageText + "|" + state.texts.aboutText + "|" +
                      state.texts.customCaption + "|" + state.texts.footer + "|" + state.texts.banner,
                  row.command + "|" + row.text + "|" + row.about + "|" + row.caption + "|" + row.footer + "|" + row.banner);
        EXPECT_EQ(state.dialog.icon != 0, row.icon);
        ReleaseStubState();
        EXPECT_EQ(standin::LiveBlocks(), live) << "a block the start-up took is not released";
    }
}

TEST(MksfxBuild, FillsTheParameterBlock) {
    Inputs in;
    std::string stub = ReadFile(in.stub);
    size_t block = FindBlock(stub);
    struct Case {
        std::vector<std::string> options;
        uint32_t flags;
        std::string waitName;
        bool headerCheck;
    } cases[] = {
        // Without a command of their own the builds are --extract-only (0x200).
        {{}, 0x302, "", true},
        {{"--wait"}, 0x342, "", true},
        {{"--caption", ""}, 0x312, "", true},
        {{"--wait-for", "HELPER123"}, 0x306, "HELPER123", true},
        {{"--wait-for", "tinynote.EXE"}, 0x306, "tinynote", true},
        {{"--no-header-check", "--wait", "--caption", "c", "--wait-for", "x"}, 0x356, "x", false},
        {{"--target", "%TEMP%\\Ziel"}, 0x702, "", true},
        {{"--command", "cmd /c x", "--silent-command", "cmd /c y", "--hide-console"}, 0x1902, "", true},
        {{"--command", "readme.txt"}, 0x102, "", true},
        {{"--command", "%SystemRoot%\\system32\\msiexec.exe /i a.msi"}, 0x102, "", true},
        {{"--command", "msiexec /i a.msi"}, 0x102, "", true},
        {{"--command", "BIN\\Setup /s"}, 0x102, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "no options" : c.options[0]);
        std::string out = in.dir / "out.exe";
        std::vector<std::string> args = in.Build(out, c.options);
        args.push_back(in.tree);
        RunResult r = RunMksfx(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::string f = ReadFile(out);
        ASSERT_EQ(FindBlock(f), block);
        // The sections' data before the block is kept; the resources follow the image.
        EXPECT_EQ(f.compare(0x200, block - 0x200, stub, 0x200, block - 0x200), 0);
        EXPECT_EQ(f.compare(block + 52, stub.size() - block - 52, stub, block + 52), 0);
        uint32_t archive = Le32(f, block + 12), config = Le32(f, block + 16);
        uint32_t end = Le32(f, block + 20), total = Le32(f, block + 24);
        EXPECT_EQ(config, stub.size() + 0x800);  // manifest and version information
        EXPECT_GT(archive, config);
        EXPECT_LE(archive - config, 1500u);
        EXPECT_EQ(Le32(f, archive), 0x04034b50u);
        EXPECT_EQ(Le32(f, end), 0x06054b50u);
        EXPECT_EQ(end + 22, f.size());
        EXPECT_EQ(total, ReadFile(in.tree + "/readme.txt").size() + 9000 + 8);
        EXPECT_EQ(Le32(f, block + 28), c.flags);
        EXPECT_EQ(std::string(f.data() + block + 32), c.waitName);
        EXPECT_EQ(f.compare(block + 42, 10, stub, block + 42, 10), 0);  // reserved bytes
        // The PE checksum and certificate-table entry are left zero, so the plain CRC holds.
        EXPECT_EQ(f.substr(0x40 + 88, 4) + f.substr(0x40 + 152, 8), std::string(12, '\0'));
        std::string zeroed = f.substr(0, archive);
        zeroed.replace(block + 8, 4, 4, '\0');
        EXPECT_EQ(Le32(f, block + 8), c.headerCheck ? ZlibCrc(zeroed) : 0u);
    }
}

// A PE image: "MZ", the PE signature where 0x3C points, then code that calls a few functions
// (E8 and a relative target) again and again, as x86 programs do.
std::string SyntheticProgram(size_t calls) {
    std::string p = "MZ" + std::string(0x3A, '\0') + std::string("\x80\0\0\0", 4) + std::string(0x40, '\0') + "PE\0\0";
    p.resize(0x200, '\0');
    std::string noise = RandomBytes(calls * 3, 7);
    for (size_t i = 0; i < calls; ++i) {
        uint32_t target = 0x1000 + 0x40 * (uint32_t)(noise[i] & 7);
        uint32_t relative = target - (uint32_t)(p.size() + 5);
        p += '\xE8';
        for (int k = 0; k < 4; ++k) p += (char)(relative >> (8 * k));
        p += noise.substr(calls + 2 * i, 2) + "\x8B\x45";
    }
    return p;
}

TEST(MksfxBuild, SameInputsGiveTheSameBytes) {
    Inputs in;
    std::string a = in.dir / "a/setup.exe", b = in.dir / "b/setup.exe";  // the name is in the file
    for (const char* sub : {"a", "b"}) mkdir((in.dir / sub).c_str(), 0755);
    WriteFile(in.dir / "solid.exe", SolidStub(ReadFile(in.stub)));
    // Both forms: the LZMA encoder's output depends on nothing but its input either.
    for (const std::string compression : {"deflate", "solid"}) {
        SCOPED_TRACE(compression);
        std::vector<std::string> options{"--compression", compression, "--stub", in.dir / "solid.exe", "--text", "x", in.tree};
        std::vector<std::string> argsA = in.Build(a, options), argsB = in.Build(b, options);
        ASSERT_EQ(RunMksfx(argsA).exitCode, 0);
        ASSERT_EQ(RunMksfx(argsB).exitCode, 0);
        EXPECT_EQ(ReadFile(a), ReadFile(b));
        EXPECT_EQ(ReadFile(a).find("7z\xBC\xAF\x27\x1C") != std::string::npos, compression == "solid");

        // SOURCE_DATE_EPOCH fixes every member's time, read as UTC, whatever the time zone.
        RunResult r = RunMksfx(argsA, {"SOURCE_DATE_EPOCH=1700000000", "TZ=Asia/Tokyo"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        RunResult list = RunMksfx({"list", a});
        EXPECT_NE(list.out.find("2023-11-14 22:13:20"), std::string::npos) << list.out;
        EXPECT_EQ(list.out.find("2023-11-15"), std::string::npos) << list.out;

        for (const char* epoch : {"SOURCE_DATE_EPOCH=soon", "SOURCE_DATE_EPOCH=-1", "SOURCE_DATE_EPOCH=99999999999999999999"}) {
            RunResult bad = RunMksfx(argsB, {epoch});
            EXPECT_EQ(bad.exitCode, 1) << epoch;
            EXPECT_NE(bad.err.find("SOURCE_DATE_EPOCH is not a number of seconds"), std::string::npos) << bad.err;
        }
    }
}

// The solid form, checked by 7-Zip: `7z t` passes and `7z x` gives back every file byte for
// byte with its time and every empty folder; list shows the folders' coders. Then the auto
// choice (the smaller file of the two forms, each way) and the cost of a copy. The row past
// 4 GiB alone, which takes minutes, is a test of its own (label huge, see tests/CMakeLists.txt).
void SolidFormReadBack(bool past4GiB) {
    ASSERT_TRUE(HaveProgram("7z")) << "run scripts/setup.sh (7zip)";
    Inputs in;
    const std::string solidStub = in.dir / "solid.exe", progs = in.dir / "progs", zipped = in.dir / "zipped";
    WriteFile(solidStub, SolidStub(ReadFile(in.stub)));
    WriteFile(progs + "/app.exe", SyntheticProgram(20000));
    WriteFile(progs + "/lib/helper.dll", SyntheticProgram(3000));
    WriteFile(progs + "/readme.txt", ReadFile(in.tree + "/readme.txt"));
    WriteFile(progs + "/lib/table.dat", RandomBytes(128, 6));  // a size that takes a number's second byte
    // An input ZIP file with a deflated and an LZMA member (method 14), and a stored one; the
    // deflated one takes several pieces of input.
    WriteFile(zipped + "/a/deflated.txt", zipcraft::SampleText(100000, 4) + "end");
    WriteFile(zipped + "/lzma.bin", SyntheticProgram(500));
    WriteFile(zipped + "/stored.dat", RandomBytes(700, 3));
    const char* makeZip =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
        "    z.write('a/deflated.txt', compress_type=zipfile.ZIP_DEFLATED)\n"
        "    z.write('lzma.bin', compress_type=zipfile.ZIP_LZMA)\n"
        "    z.write('stored.dat')\n";
    ASSERT_EQ(RunProgram({"python3", "-c", makeZip, in.dir / "mixed.zip"}, {}, zipped).exitCode, 0);
    ASSERT_NE(ReadFile(in.dir / "mixed.zip").find(std::string("\x0E\0", 2)), std::string::npos);

    const std::string out = in.dir / "solid-setup.exe";
    struct Row {
        const char* what;
        std::vector<std::string> args;
        std::string tree;                 // what 7z x must give back
        std::vector<std::string> listed;  // in mksfx list's output
        bool extract = true;              // else 7z t checks every file's CRC-32, mksfx extract unpacks
        bool encoded = false;             // the header LZMA-encoded (else plain: a lone file's
                                          // header packs to more than it holds)
    } rows[] = {
        {"programs and data: the two coder chains", {"--compression", "solid", progs}, progs,
         {"LZMA:18 BCJ ", "  LZMA:16        ", "app.exe", "lib/helper.dll", "Memory to decode: "}, true, true},
        {"empty file, empty folder, names in folders, level 1", {"--compression", "solid", "--level", "1", in.tree},
         in.tree, {"       0 file ", " folder ", "empty\n", "docs/Gr\xC3\xBC\xC3\x9F" "e.txt", "5 members"}, true, true},
        {"a ZIP file's deflated, LZMA and stored members recompressed, by auto", {in.dir / "mixed.zip"}, zipped,
         {"LZMA:16 BCJ", "a/deflated.txt", "stored.dat"}, true, true},
        // Past 4 GiB, where the ZIP form ends: a sparse file ending in "tail" and a file an hour
        // younger behind it in the folder, at the fastest level.
        {"a member past 4 GiB", {"--compression", "solid", "--level", "1", in.dir / "huge"}, in.dir / "huge",
         {"LZMA:26 ", "  4400000001 file ", "Memory to decode: 67"}, false},
        // A header of a few bytes (the file's time chosen among those whose bytes the encoder
        // cannot fit into the header's own size): it stays plain.
        {"only an empty file in a folder", {"--compression", "solid", in.dir / "bare"}, in.dir / "bare",
         {"       0 file ", "sub/b\n", "1 member\n"}},
        // Many files of long names: the header packs to a fraction of itself. The empty file
        // last: its bit in the header's vector lies in a later byte.
        {"a header LZMA-encoded", {"--compression", "solid", in.dir / "many"}, in.dir / "many",
         {"chapter-0299-of-the-handbook-for-everyone.txt", "301 members", "300\nMemory to decode: ",
          "           0 file ", "zz-empty.txt\n"}, true, true},
    };
    for (int i = 0; i < 300; ++i) {
        char name[64];
        snprintf(name, sizeof name, "many/docs/chapter-%04d-of-the-handbook-for-everyone.txt", i);
        WriteFile(in.dir / name, "chapter " + std::to_string(i));
    }
    WriteFile(in.dir / "many/zz-empty.txt", "");
    const std::string huge = in.dir / "huge/huge.bin", after = in.dir / "huge/after.txt";
    WriteFile(huge, "");
    ASSERT_EQ(truncate(huge.c_str(), 4400000001 - 4), 0);
    FILE* tail = fopen(huge.c_str(), "ab");
    ASSERT_TRUE(tail && fputs("tail", tail) >= 0 && fclose(tail) == 0);
    WriteFile(after, "after");
    WriteFile(in.dir / "bare/sub/b", "");
    const struct timespec bareTime[2] = {{1796746793, 496339700}, {1796746793, 496339700}};
    ASSERT_EQ(utimensat(AT_FDCWD, (in.dir / "bare/sub/b").c_str(), bareTime, 0), 0);
    struct timeval times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(utimes(huge.c_str(), times), 0);
    ASSERT_EQ(utimes((in.tree + "/empty").c_str(), times), 0);  // an empty folder keeps its time too
    times[0].tv_sec = times[1].tv_sec = 1700003600;
    ASSERT_EQ(utimes(after.c_str(), times), 0);
    for (const Row& row : rows) {
        if (row.extract == past4GiB) continue;
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = in.Build(out, {"--stub", solidStub});
        args.insert(args.end(), row.args.begin(), row.args.end());
        RunResult r = RunMksfx(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const size_t needs = r.out.find("the stub needs ");
        ASSERT_NE(needs, std::string::npos) << r.out;
        // The summary names each folder's coders; a lone empty file makes no folder.
        EXPECT_NE(r.out.find(row.tree == in.dir / "bare" ? ", solid (no data)\n" : ", solid (LZMA:"), std::string::npos) << r.out;
        const std::string f = ReadFile(out);
        const size_t block = FindBlock(f);
        uint32_t archive = Le32(f, block + PB_ARCHIVE_OFFSET);
        EXPECT_EQ(f.compare(archive, 6, "7z\xBC\xAF\x27\x1C"), 0);
        EXPECT_EQ(Le32(f, block + PB_END_RECORD_OFFSET), 0u);
        const uint64_t headerAt = archive + 32 + Le32(f, archive + 12) + ((uint64_t)Le32(f, archive + 16) << 32);
        ASSERT_LT(headerAt, f.size());
        EXPECT_EQ(f[headerAt], row.encoded ? '\x17' : '\x01');
        // the stub's own reading of an encoded header, as mksfx verify runs it: every member's
        // name checked and its CRC-32 against what the header says
        if (row.encoded) {
            EXPECT_EQ(RunMksfx({"verify", out}).exitCode, 0);
        }
        RunResult list = RunMksfx({"list", out});
        EXPECT_EQ(list.exitCode, 0) << list.err;
        for (const std::string& expected : row.listed) {
            EXPECT_NE(list.out.find(expected), std::string::npos) << expected << "\n" << list.out;
            // The build's summary counts the members as list does, empty files and folders too.
            if (expected.find(" member") != std::string::npos)
                EXPECT_NE(r.out.find(": " + expected.substr(0, expected.find('\n')) + ", "), std::string::npos) << r.out;
        }
        EXPECT_EQ(JsonRendered("list", out, 0), list.out);
        // Each member's CRC-32 in the document is its file's: 0 for empty files and folders.
        if (row.extract) {
            RunResult crcs = RunProgram({"sh", "-c", "\"$0\" list --json \"$1\" | python3 -c 'import json, sys\n"
                                         "for m in json.load(sys.stdin)[\"members\"]: print(m[\"crc32\"], m[\"name\"])'",
                                         TESSLY_MKSFX, out});
            ASSERT_EQ(crcs.exitCode, 0) << crcs.err;
            size_t lines = 0;
            for (size_t at = 0, end; (end = crcs.out.find('\n', at)) != std::string::npos; at = end + 1, ++lines) {
                const std::string line = crcs.out.substr(at, end - at), name = line.substr(line.find(' ') + 1);
                EXPECT_EQ(std::stoul(line), ZlibCrc(ReadFile(row.tree + "/" + name))) << name;
            }
            EXPECT_GT(lines, 0u);
        }
        // The build's word on the memory the stub needs is the header's, in KiB.
        const size_t memory = list.out.find("Memory to decode: ");
        ASSERT_NE(memory, std::string::npos) << list.out;
        EXPECT_EQ(std::stoull(r.out.substr(needs + 15)), (std::stoull(list.out.substr(memory + 18)) + 1023) / 1024);
        RunResult test = RunProgram({"7z", "t", out});
        EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
        const std::string x = in.dir / "x";
        RemoveTree(x);
        if (!row.extract) {
            // 64-bit sizes and positions throughout: the folder is split past 4 GiB, both CRCs
            // and times hold, and the file's last bytes land at their place.
            EXPECT_NE(test.out.find("Size:       4400000006"), std::string::npos) << test.out;
            RunResult unpacked = RunMksfx({"extract", out, x});
            EXPECT_EQ(unpacked.exitCode, 0) << unpacked.err;
            EXPECT_EQ(unpacked.out, "2 files, 4400000006 bytes extracted into " + x + "\n");
            struct stat big = {}, small = {};
            ASSERT_EQ(stat((x + "/huge.bin").c_str(), &big), 0);
            EXPECT_EQ(big.st_size, 4400000001);
            EXPECT_EQ(big.st_mtime, 1700000000);
            char end[8] = {};
            FILE* f = fopen((x + "/huge.bin").c_str(), "rb");
            ASSERT_TRUE(f && fseeko(f, 4400000001 - 8, SEEK_SET) == 0 && fread(end, 1, 8, f) == 8);
            fclose(f);
            EXPECT_EQ(std::string(end, 8), std::string(4, '\0') + "tail");
            EXPECT_EQ(ReadFile(x + "/after.txt"), "after");
            ASSERT_EQ(stat((x + "/after.txt").c_str(), &small), 0);
            EXPECT_EQ(small.st_mtime, 1700003600);
            RemoveTree(x);
            continue;
        }
        // 7z gives back the whole tree. The stub's own extraction (mksfx extract) gives back the
        // files too; for both, each file's time is checked.
        ASSERT_EQ(RunProgram({"7z", "x", "-o" + x, out}).exitCode, 0);
        RunResult diff = RunProgram({"diff", "-r", row.tree, x});
        EXPECT_EQ(diff.exitCode, 0) << diff.out << diff.err;
        const std::string byStub = in.dir / "x-stub";
        RemoveTree(byStub);
        RunResult unpacked = RunMksfx({"extract", out, byStub});
        EXPECT_EQ(unpacked.exitCode, 0) << unpacked.err;
        for (const std::string& got : {x, byStub}) {
            for (const char* name : {"readme.txt", "app.exe", "lib/table.dat", "lzma.bin", "bin/zero.dat", "empty"}) {
                struct stat a = {}, b = {};
                // (the stub's own extraction makes no empty folder)
                if (stat((row.tree + "/" + name).c_str(), &a) != 0 || (S_ISDIR(a.st_mode) && got == byStub)) continue;
                ASSERT_EQ(stat((got + "/" + name).c_str(), &b), 0) << name;
                EXPECT_EQ(ReadFile(got + "/" + name), ReadFile(row.tree + "/" + name)) << got << name;
                // 7z's own input ZIP keeps DOS times (two seconds); the rest to the second.
                EXPECT_LE(std::abs((long)(a.st_mtime - b.st_mtime)), row.tree == zipped ? 2 : 0) << got << name;
            }
        }
        RemoveTree(byStub);
    }

    if (past4GiB) return;
    // auto keeps the smaller file: a lone incompressible file stays in the ZIP form (stored),
    // programs with copies among them go solid; the same with a text in UTF-8.
    WriteFile(in.dir / "random/setup.bin", RandomBytes(9000, 5));
    WriteFile(in.dir / "copies/a.exe", ReadFile(progs + "/app.exe"));
    WriteFile(in.dir / "copies/b.exe", ReadFile(progs + "/app.exe"));
    for (const char* text : {"Gulden", "Z\xC5\x82oty"}) {
        for (const auto& c : {std::make_pair(in.dir / "random", false), std::make_pair(in.dir / "copies", true)}) {
            SCOPED_TRACE(c.first + " " + text);
            uint64_t sizes[3];
            const char* forms[] = {"deflate", "solid", "auto"};
            for (int i = 0; i < 3; ++i) {
                ASSERT_EQ(RunMksfx(in.Build(out, {"--stub", solidStub, "--text", text, "--compression", forms[i], c.first})).exitCode, 0);
                sizes[i] = ReadFile(out).size();
            }
            EXPECT_EQ(sizes[2], std::min(sizes[0], sizes[1]));
            EXPECT_EQ(sizes[1] < sizes[0], c.second);
        }
    }
    // The level is the encoder's effort: on text, level 1's hash chains leave more than level 9,
    // and 10 to 12's longer matches less.
    WriteFile(in.dir / "text/handbook.txt", zipcraft::SampleText(300000, 7));
    const char* levels[] = {"1", "9", "10", "12"};
    uint64_t byLevel[4];
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(RunMksfx(in.Build(out, {"--stub", solidStub, "--compression", "solid", "--level", levels[i],
                                          in.dir / "text"})).exitCode, 0);
        byLevel[i] = ReadFile(out).size();
    }
    EXPECT_GT(byLevel[0], byLevel[1] + byLevel[1] / 20) << byLevel[0] << " " << byLevel[1];
    EXPECT_LT(std::max(byLevel[2], byLevel[3]), byLevel[1]) << byLevel[1] << " " << byLevel[2] << " " << byLevel[3];

    // A copy placed behind its original costs a few bytes per 273 (a long match at distance 0).
    const std::string once = in.dir / "once", twice = in.dir / "twice", data = RandomBytes(200000, 9);
    WriteFile(once + "/a/data.bin", data);
    WriteFile(twice + "/a/data.bin", data);
    WriteFile(twice + "/z/copy.bin", data);  // far from the original by name and extension
    WriteFile(twice + "/m/other.bin", RandomBytes(200000, 10));
    WriteFile(once + "/m/other.bin", RandomBytes(200000, 10));
    for (const std::string& d : {once, twice}) WriteFile(d + "/m/x.txt", "x"), WriteFile(d + "/m/y.txt", "y");  // not copies
    uint64_t size[2];
    for (int i = 0; i < 2; ++i) {
        RunResult r = RunMksfx(in.Build(out, {"--stub", solidStub, "--compression", "solid", i ? twice : once}));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out.find("1 copies placed") != std::string::npos, i == 1) << r.out;
        size[i] = ReadFile(out).size();
    }
    EXPECT_LT(size[1] - size[0], data.size() / 100) << size[0] << " " << size[1];
}

TEST(MksfxBuild, SolidFormThat7ZipReadsBack) { SolidFormReadBack(false); }
TEST(MksfxPast4GiB, SolidMemberThat7ZipAndExtractReadBack) { SolidFormReadBack(true); }

// A PKCS#12 file (password "geheim") with the key of `keyPem` and the certificate of `certPem`,
// put together bag by bag: PKCS12_create and `openssl pkcs12` refuse a pair that does not fit.
std::string Pkcs12Pair(const std::string& keyPem, const std::string& certPem) {
    BIO* kb = BIO_new_mem_buf(keyPem.data(), (int)keyPem.size());
    BIO* cb = BIO_new_mem_buf(certPem.data(), (int)certPem.size());
    EVP_PKEY* key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    X509* cert = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12_add_cert(&bags, cert);
    PKCS12_add_key(&bags, key, 0, PKCS12_DEFAULT_ITER, NID_aes_256_cbc, "geheim");
    PKCS12_add_safe(&safes, bags, -1, 0, nullptr);
    PKCS12* p12 = PKCS12_add_safes(safes, 0);
    PKCS12_set_mac(p12, "geheim", -1, nullptr, 0, PKCS12_DEFAULT_ITER, nullptr);
    unsigned char* der = nullptr;
    int n = i2d_PKCS12(p12, &der);
    std::string bytes(n > 0 ? (const char*)der : "", n > 0 ? n : 0);
    OPENSSL_free(der), PKCS12_free(p12), sk_PKCS7_pop_free(safes, PKCS7_free);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free), X509_free(cert), EVP_PKEY_free(key), BIO_free(kb), BIO_free(cb);
    return bytes;
}

struct Refusal {
    const char* what;
    std::vector<std::string> args;  // after "build -o OUT --stub STUB" (see Inputs::Build)
    int code;
    std::string message;
    std::vector<std::string> env = {};
    int blocks = 0;  // a file size limit (ulimit -f) when set
};

TEST(MksfxBuild, RefusesWithOneLineAndLeavesNoFile) {
    Inputs in;
    WriteFile(in.dir / "big.ico", SampleIcon().substr(0, 6 + 16) + std::string(1900, 'k'));
    WriteFile(in.dir / "notes.txt", "not an icon");
    WriteFile(in.dir / "check.txt", "ok \xE2\x9C\n");
    // Two archives that hold 65536 entries between them.
    std::vector<zipcraft::Member> many;
    for (int i = 0; i < 32768; ++i) many.push_back({"m/" + std::to_string(100000 + i), "", 0});
    WriteFile(in.dir / "many1.zip", ZipArchive(many));
    for (zipcraft::Member& m : many) m.name[0] = 'n';
    WriteFile(in.dir / "many2.zip", ZipArchive(many));
    // Stubs that are not sound: no block, two blocks, cut short, no MZ, a finished setup file.
    const std::string stub = SyntheticStub();
    const std::pair<const char*, std::string> stubs[] = {
        {"noblock.exe", std::string(stub).replace(1024, 1, "x")},
        {"twice.exe", std::string(stub).replace(5000, 52, stub.substr(1024, 52))},
        {"cut.exe", stub.substr(0, 4000)}, {"nomz.exe", "X" + stub.substr(1)}, {"setup.exe", BuildSfx(SfxParts())}};
    for (const auto& s : stubs) WriteFile(in.dir / s.first, s.second);
    WriteFile(in.dir / "solidonly.exe", SolidStub(stub, FORM_SOLID));
    WriteFile(in.dir / "oldsolid.exe", SolidStub(stub, FORM_ZIP | FORM_SOLID));  // reads no UTF-8
    int crashing = 0;  // the icons that crashed the platform's loader
    for (const hostile::Case& c : hostile::Cases())
        if (!c.icon.empty())
            WriteFile(in.dir / ("crash" + std::to_string(crashing++) + ".ico"), c.icon);
    for (const char* name : {"umlaut/\xC3\xA4", "umlaut/\xC3\x84", "case/A.txt", "case/a.txt", "several/a:1",
                             "several/a:2", "several/nul", "several/ok.txt"})
        WriteFile(in.dir / name, name);
    // A certificate and its key, another key, and the first key locked by a password.
    const std::string cert = in.dir / "cert.pem", key = in.dir / "key.pem", other = in.dir / "other.pem",
                      locked = in.dir / "locked.pem", pass = in.dir / "pass.txt", otherDer = in.dir / "other.der",
                      otherRsa = in.dir / "other-rsa.der";
    ASSERT_TRUE(MakeTestCertificate(key, cert));
    ASSERT_EQ(RunProgram({"openssl", "genrsa", "-out", other, "2048"}).exitCode, 0);
    ASSERT_EQ(RunProgram({"openssl", "pkey", "-in", key, "-aes256", "-passout", "pass:geheim", "-out", locked}).exitCode, 0);
    ASSERT_EQ(RunProgram({"openssl", "pkcs8", "-topk8", "-in", other, "-v2", "aes256", "-passout", "pass:falsch",
                          "-outform", "DER", "-out", otherDer}).exitCode, 0);
    ASSERT_EQ(RunProgram({"openssl", "rsa", "-in", other, "-traditional", "-outform", "DER", "-out", otherRsa}).exitCode, 0);
    const std::string certDer = in.dir / "cert.der";
    ASSERT_EQ(RunProgram({"openssl", "x509", "-in", cert, "-outform", "DER", "-out", certDer}).exitCode, 0);
    WriteFile(pass, "falsch\n");
    // A signing tool that closes its output and fails a moment later: its status is awaited.
    WriteFile(in.dir / "slowtool/osslsigncode", "#!/bin/sh\nexec >&- 2>&-\nsleep 0.3\nexit 3\n");
    chmod((in.dir / "slowtool/osslsigncode").c_str(), 0755);
    // A file that reads on past the size its folder listing gave (as files under /proc do).
    mkdir((in.dir / "grows").c_str(), 0755);
    symlink("/proc/version", (in.dir / "grows/version.txt").c_str());
    // PKCS#12 files: sound and locked by "geheim", certificates only, a key only, a pair that
    // does not fit.
    const std::string p12 = in.dir / "signer.p12", certsOnly = in.dir / "certs.p12", keyOnly = in.dir / "key.p12",
                      unfit = in.dir / "unfit.p12";
    ASSERT_EQ(RunProgram({"openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", "pass:geheim", "-out", p12}).exitCode, 0);
    ASSERT_EQ(RunProgram({"openssl", "pkcs12", "-export", "-in", cert, "-nokeys", "-passout", "pass:geheim", "-out", certsOnly}).exitCode, 0);
    ASSERT_EQ(RunProgram({"openssl", "pkcs12", "-export", "-inkey", key, "-nocerts", "-passout", "pass:geheim", "-out", keyOnly}).exitCode, 0);
    WriteFile(unfit, Pkcs12Pair(ReadFile(other), ReadFile(cert)));
    WriteFile(in.dir / "geheim.txt", "geheim\r\n");
    const std::string geheim = in.dir / "geheim.txt";
    // Response files that are missing, open or name each other; project files with faults.
    WriteFile(in.dir / "open.args", "--command 'setup.exe\n");
    WriteFile(in.dir / "loop1.args", "@" + in.dir / "loop2.args");
    WriteFile(in.dir / "loop2.args", "-q @" + in.dir / "loop1.args");
    const std::string project = in.dir / "p/setup.project";
    auto projectWith = [&](const std::string& name, const std::string& lines) {
        WriteFile(in.dir / ("p/" + name), "# a project\n\ncaption = Setup\n" + lines);
        return in.dir / ("p/" + name);
    };
    std::string t = in.tree;
    // A 3 GB file of nothing (sparse) as a text, an icon, a list and a stub: refused by its size.
    const std::string sparse = in.dir / "sparse.bin";
    WriteFile(sparse, "");
    ASSERT_EQ(truncate(sparse.c_str(), 3000000000), 0);
    // A member past 4 GiB (sparse too), and an input ZIP file with an LZMA member (method 14).
    WriteFile(in.dir / "past4/huge.bin", "");
    ASSERT_EQ(truncate((in.dir / "past4/huge.bin").c_str(), 4400000000), 0);
    WriteFile(in.dir / "lzma/a.txt", "alpha");
    ASSERT_EQ(RunProgram({"python3", "-c", "import zipfile\nwith zipfile.ZipFile('../lzma.zip', 'w', zipfile.ZIP_LZMA) as z: z.write('a.txt')"},
                         {}, in.dir / "lzma").exitCode, 0);
    zipcraft::Member cutLzma{"a.txt", "alpha", 14};  // its data ends inside the 9-byte LZMA header
    cutLzma.haveData = true, cutLzma.data = std::string("\x10\x02\x05\x00", 4);
    WriteFile(in.dir / "lzmacut.zip", ZipArchive({cutLzma}));
    WriteFile(in.dir / "noname.zip", ZipArchive({{"./", "", 0}, {"a.txt", "alpha"}, {"", "lost"}}));
    std::string paths;
    for (int i = 0; i < 65536; ++i) paths += "x\n";
    WriteFile(in.dir / "paths.txt", paths);
    WriteFile(in.dir / "paths65535.txt", paths.substr(2));
    // Symbolic links that double the entries at each of 17 levels: 131072 names from 18 folders.
    for (int level = 0; level < 17; ++level) {
        std::string folder = in.dir / ("graph/" + std::to_string(level));
        mkdir((in.dir / "graph").c_str(), 0755), mkdir(folder.c_str(), 0755);
        for (const char* link : {"/a", "/b"}) symlink(("../" + std::to_string(level + 1)).c_str(), (folder + link).c_str());
    }
    WriteFile(in.dir / "graph/17/leaf.txt", "x");
    // Packager's tables, each with one fault.
    const std::string french = FrenchTable();
    auto table = [&](const std::string& name, const std::string& from, const std::string& to) {
        std::string text = french;
        text.replace(text.find(from), from.size(), to);
        WriteFile(in.dir / name, text);
        return in.dir / name;
    };
    const std::string lacking = table("lacking.txt", "@44 ENCRYPTED\nFile %s is encrypted and cannot be extracted.\n", "");
    const std::string placeholders = table("placeholders.txt", "%s n'a pas pu", "%d n'a pas pu");
    const std::string swapped = table("swapped.txt", "wrong checksum %08lx (should be %08lx)", "wrong checksum");
    const std::string fixed = table("fixed.txt", "@28 CANNOT_CREATE_FILE", "@22 LOG_END\nfin %lu\n@28 CANNOT_CREATE_FILE");
    const std::string renamed = table("renamed.txt", "@44 ENCRYPTED", "@44 CRYPTED");
    const std::string extra = table("extra.txt", "@80 SETUP_BUTTON", "@79 EXTRA\nx\n@80 SETUP_BUTTON");
    const std::string notUtf8 = table("bad.txt", "&Fermer", "&Fermer \xE2\x82");
    const std::string unknown = table("unknown.txt", "language fr", "language xx");
    const std::string falling = table("falling.txt", "@44 ENCRYPTED", "@4 ENCRYPTED");

    std::vector<Refusal> cases = {
        {"no inputs", {}, 2, "no INPUT"},
        {"unknown option", {"--colour", t}, 2, "unknown option --colour"},
        {"misspelt option", {"--comand", "x", t}, 2, "unknown option --comand (did you mean --command?)"},
        {"bundled flags", {"-qv", t}, 2, "-q (--quiet) and -v (--verbose) exclude each other"},
        {"bad level", {"--level", "13", t}, 2, "--level"},
        {"level in letters", {"--level", "a", t}, 2, "--level takes a number"},
        {"no command", {"--silent-command", "cmd /c x", t}, 2,
         "no command: give --command CMD, or --extract-only for a package that only extracts its files"},
        {"empty command", {"--command", "", t}, 2, "--command is empty; --extract-only makes a package without one"},
        {"extract-only and a command", {"--extract-only", "--command", "cmd", t}, 2,
         "--extract-only makes a package without a command"},
        {"misspelt member", {"--command", "readme.tx /q", t}, 1,
         "--command: the program 'readme.tx' is not in the package (did you mean 'readme.txt'?)"},
        {"member in a subfolder", {"--command", "\"setup.exe\" /s", t}, 1, "(did you mean 'bin\\setup.exe'?)"},
        {"path below the package", {"--command", "docs\\setup.exe", t}, 1,
         "the program 'docs\\setup.exe' is not in the package (did you mean 'bin\\setup.exe'?)"},
        {"silent command checked too", {"--command", "cmd /c x", "--silent-command", "bin/setp /s", t}, 1,
         "--silent-command: the program 'bin/setp' is not in the package (did you mean 'bin\\setup.exe'?)"},
        {"target with a quote", {"--target", "C:\\a\"b", t}, 1, "--target: 'C:\\a\"b' holds '\"'"},
        {"long target", {"--target", std::string(200, 'd'), t}, 1, "--target: the text has 200 characters, at most 199"},
        {"missing value", {t, "--command"}, 2, "needs a value"},
        {"text twice", {"--text", "a", "--text-file", "x", t}, 2, "the dialog text (--text or --text-file) is given twice"},
        {"output twice", {"-o", in.dir / "x.exe", "--output", in.dir / "out/setup.exe", t}, 2, "-o (--output) is given twice"},
        {"level twice", {"--level", "1", "--level", "1", t}, 2, "--level is given twice"},
        {"icon twice", {"--icon", in.icon, "--icon", in.icon, t}, 2, "--icon is given twice"},
        {"a flag twice", {"--wait", "--wait", t}, 2, "--wait is given twice"},
        {"quiet and verbose", {"-q", "--verbose", t}, 2, "exclude each other"},
        {"standard input twice", {"--files-from", "-", "--text-file", "-", t}, 2, "standard input ('-') can be read by one"},
        {"long command", {"--command", std::string(100, 'c'), t}, 1, "--command: the text has 100 characters, at most 99"},
        {"long text", {"--text", std::string(256, 't'), t}, 1, "--text: the text has 256 characters, at most 255"},
        {"long about", {"--about", std::string(516, 'a'), t}, 1, "--about: the text has 516 characters, at most 515"},
        {"long caption", {"--caption", std::string(65, 'k'), t}, 1, "--caption: the text has 65 characters, at most 64"},
        {"long footer", {"--footer", std::string(81, 'f'), t}, 1, "--footer: the text has 81 characters, at most 80"},
        {"long banner", {"--banner", std::string(256, 'b'), t}, 1, "--banner: the text has 256 characters, at most 255"},
        {"footer and no footer", {"--footer", "x", "--no-footer", t}, 2, "the footer (--footer or --no-footer) is given twice"},
        {"table lacks a message", {"--language", lacking, t}, 1,
         "--language: " + lacking + ": lacks message 44 ENCRYPTED (ours reads \"Datei %s ist verschl"},
        {"table's placeholders", {"--language", placeholders, t}, 1,
         ": message 7 CANNOT_RUN has the placeholders %d where ours has %s, in this order"},
        {"table drops placeholders", {"--language", "auto," + swapped, t}, 1,
         ": message 30 BAD_CRC has the placeholders %s where ours has %s %08lx %08lx"},
        {"table changes a log word", {"--language", fixed, t}, 1, ": message 22 LOG_END must read \"end %lu\" in every language"},
        {"table renames a message", {"--language", renamed, t}, 1, ": message 44 CRYPTED should be ENCRYPTED"},
        {"table adds a message", {"--language", extra, t}, 1, ": message 79 EXTRA is not one of ours"},
        {"table not UTF-8", {"--language", notUtf8, t}, 1, ": message 81 CLOSE_BUTTON: the text is not valid UTF-8 at byte 9 (0xE2)"},
        {"table's language unknown", {"--language", unknown, t}, 1, unknown + ":4: unknown language code 'xx'"},
        {"table's ids fall", {"--language", falling, t}, 1, "message ids must rise"},
        {"table missing", {"--language", in.dir / "nothere.txt", t}, 1, "(a language is de, en, auto or a table file)"},
        {"two tables of one language", {"--language", "en,auto", t}, 2, "--language: two tables for the language en"},
        {"UTF-8 caption too long", {"--caption", Times("\xE6\x97\xA5", 22), t}, 1,
         "--caption: the text has 66 bytes in UTF-8, at most 64 fit"},
        {"UTF-8 command too long", {"--command", "\xE2\x9C\x93" + std::string(97, 'c'), t}, 1,
         "--command: the text has 100 bytes in UTF-8, at most 99 fit"},
        {"text file not UTF-8", {"--text-file", in.dir / "check.txt", t}, 1,
         "--text-file " + in.dir / "check.txt" + ": the text is not valid UTF-8 at byte 4 (0xE2)"},
        {"text not UTF-8", {"--text", "a\xC0\xAF" "b", t}, 1, "--text: the text is not valid UTF-8 at byte 2 (0xC0)"},
        {"overlong DEL", {"--about", "\xC1\xBF", t}, 1, "--about: the text is not valid UTF-8 at byte 1 (0xC1)"},
        {"missing text file", {"--text-file", in.dir / "none.txt", t}, 1, "--text-file: cannot read " + in.dir / "none.txt"},
        {"long wait name", {"--wait-for", "TENLETTERS.exe", t}, 1,
         "--wait-for: 'TENLETTERS.exe' has 10 characters without '.exe', at most 9"},
        {"wait name with two extensions", {"--wait-for", "a.b.exe", t}, 1, "not a program's base name"},
        {"huge text file", {"--text-file", sparse, t}, 1, "larger than 832 bytes, more than it can hold"},
        {"huge icon", {"--icon", sparse, t}, 1, "--icon: " + sparse + " is larger than 33554432 bytes"},
        {"huge stub", {"--stub", sparse, t}, 1, "stub: " + sparse + " is larger than 67108864 bytes"},
        {"huge list", {"--files-from", sparse, t}, 1, "line 1 is longer than 4096 bytes"},
        {"unknown form", {"--compression", "lzma", t}, 2, "--compression takes auto, solid, deflate or store, not 'lzma'"},
        {"solid form at level 0", {"--compression", "solid", "--level", "0", t}, 2, "--compression solid always compresses"},
        {"solid form with a ZIP-only stub", {"--compression", "solid", t}, 1, "stub " + in.stub + " cannot read the solid form"},
        {"ZIP form past 4 GiB", {"--compression", "deflate", in.dir / "past4"}, 1,
         "huge.bin is 4 GiB or larger; a member of the ZIP form must stay under 4 GiB (ZIP64 is not supported; --compression solid"},
        {"ZIP form with a solid-only stub", {"--compression", "deflate", "--stub", in.dir / "solidonly.exe", t}, 1,
         "stub " + in.dir / "solidonly.exe" + " cannot read the ZIP form"},
        {"past 4 GiB, auto with a ZIP-only stub", {in.dir / "past4"}, 1, "--compression solid takes it"},
        {"LZMA member in the ZIP form", {"--compression", "deflate", in.dir / "lzma.zip"}, 1,
         "a.txt is LZMA-compressed (method 14), which the ZIP form cannot hold; --compression solid recompresses it"},
        {"LZMA member, auto with a ZIP-only stub", {in.dir / "lzma.zip"}, 1, "cannot read the solid form"},
        {"LZMA member cut in its header", {"--compression", "solid", "--stub", in.dir / "solidonly.exe", in.dir / "lzmacut.zip"},
         1, "lzmacut.zip: member a.txt: decodes to 0 bytes, not 5"},
        {"UTF-8 text, a stub without UTF-8", {"--compression", "solid", "--stub", in.dir / "oldsolid.exe", "--text",
         "Z\xC5\x82oty", t}, 1, "stub " + in.dir / "oldsolid.exe" + " reads texts and names in Windows-1252 and code page 850 only"},
        {"too many listed paths", {"--files-from", in.dir / "paths.txt"}, 1, "more than 65535 paths"},
        {"as many listed paths as an archive holds", {"--files-from", in.dir / "paths65535.txt"}, 1, "cannot read x: "},
        {"links that double the entries", {in.dir / "graph"}, 1, "the archive would hold 65536 entries, at most 65535"},
        {"file size limit", {t}, 1, "cannot write " + in.dir / "out/setup.exe" + ": the file would pass the file size limit",
         {}, 40},
        {"file size limit, solid form", {"--compression", "solid", "--stub", in.dir / "solidonly.exe", t}, 1,
         "cannot write " + in.dir / "out/setup.exe" + ": the file would pass the file size limit", {}, 30},
        {"not an icon", {"--icon", in.dir / "notes.txt", t}, 1,
         "--icon: " + in.dir / "notes.txt" + ": neither an icon file nor a PNG image"},
        {"broken icon", {"--icon", in.dir / "big.ico", t}, 1, "--icon: " + in.dir / "big.ico" + ": image 1 of 1: "},
        {"too many entries", {in.dir / "many1.zip", in.dir / "many2.zip"}, 1, "65536 entries, at most 65535"},
        {"ZIP member without a name", {in.dir / "noname.zip"}, 1, in.dir / "noname.zip: member 3 has no name"},
        {"stub without block", {"--stub", in.dir / "noblock.exe", t}, 1, "exactly once, found 0"},
        {"stub with two blocks", {"--stub", in.dir / "twice.exe", t}, 1, "exactly once, found 2"},
        {"stub cut short", {"--stub", in.dir / "cut.exe", t}, 1, "is not a sound stub image: section 2 (.data)'s data runs past"},
        {"stub without MZ", {"--stub", in.dir / "nomz.exe", t}, 1, "is not a sound stub image: no MZ signature"},
        {"finished file as stub", {"--stub", in.dir / "setup.exe", t}, 1, "bytes follow the last section"},
        {"output is a folder", {"-o", in.dir / "out", t}, 1, "is a folder; only a regular file is replaced"},
        {"missing input", {in.dir / "none"}, 1, "cannot read"},
        {"names differing in case", {in.dir / "case"}, 1,
         "entries 'A.txt' (from " + in.dir / "case/A.txt) and 'a.txt' (from " + in.dir / "case/a.txt) would be the same file"},
        {"umlauts differing in case", {in.dir / "umlaut"}, 1,  // the names end in them
         "entries '\xC3\x84' (from " + in.dir / "umlaut/\xC3\x84) and '\xC3\xA4' (from " + in.dir / "umlaut/\xC3\xA4) would be the same file"},
        {"icon too wide", {"--icon", in.dir / "crash0.ico", t}, 1, "larger than 256x256"},
        {"icon directory cut", {"--icon", in.dir / "crash1.ico", t}, 1, "directory is truncated"},
        {"icon image far away", {"--icon", in.dir / "crash2.ico", t}, 1, "lies outside the file"},
        {"same file twice", {t + "/readme.txt", t + "/readme.txt"}, 1, "same file on Windows"},
        {"every bad name in one run", {in.dir / "several"}, 1, "3 names cannot be stored"},
        {"unknown elevation", {"--elevation", "root", t}, 2, "--elevation takes as-invoker, highest or admin, not 'root'"},
        {"five version numbers", {"--product-version", "1.2.3.4.5", t}, 2,
         "--product-version: '1.2.3.4.5' does not begin with one to four numbers"},
        {"version without numbers", {"--product-version", "beta", t}, 2, "'beta' does not begin with one to four"},
        {"company not UTF-8", {"--company", "a\xC0\xAF", t}, 1, "--company: the text is not valid UTF-8 at byte 2"},
        {"key without certificate", {"--sign-key", key, t}, 2, "--sign-cert CERT is missing"},
        {"key that does not fit", {"--sign-cert", cert, "--sign-key", other, t}, 1,
         "--sign-key " + other + " does not fit the certificate in --sign-cert " + cert + " (CN=Tessly Test)"},
        {"DER certificate, key that does not fit", {"--sign-cert", certDer, "--sign-key", other, t}, 1,
         "--sign-key " + other + " does not fit the certificate in --sign-cert " + certDer + " (CN=Tessly Test)"},
        {"locked key without password", {"--sign-cert", cert, "--sign-key", locked, t}, 1,
         "is encrypted: give its password with --sign-pass-file"},
        {"locked DER key that does not fit", {"--sign-cert", cert, "--sign-key", otherDer, "--sign-pass-file", pass, t}, 1,
         "does not fit the certificate"},
        {"plain RSA key in DER that does not fit", {"--sign-cert", cert, "--sign-key", otherRsa, t}, 1,
         "does not fit the certificate"},
        {"locked DER key without password", {"--sign-cert", cert, "--sign-key", otherDer, t}, 1,
         "is encrypted: give its password with --sign-pass-file"},
        // The certificate's first line is a wrong password as good as any.
        {"locked DER key, wrong password", {"--sign-cert", cert, "--sign-key", otherDer, "--sign-pass-file", cert, t}, 1,
         "the password from --sign-pass-file " + cert + " does not unlock it"},
        {"wrong password", {"--sign-cert", cert, "--sign-key", locked, "--sign-pass-file", pass, t}, 1,
         "the password from --sign-pass-file " + pass + " does not unlock it"},
        {"no signing tool", {"--sign-cert", cert, "--sign-key", key, t}, 1, "signing needs osslsigncode, which is not installed",
         {"PATH=" + in.dir.path()}},
        {"PKCS#12 without its password", {"--sign-pkcs12", p12, t}, 1,
         "--sign-pkcs12 " + p12 + " is locked: give its password with --sign-pass-file FILE"},
        {"PKCS#12, wrong password", {"--sign-pkcs12", p12, "--sign-pass-file", pass, t}, 1,
         "--sign-pkcs12 " + p12 + ": the password from --sign-pass-file " + pass + " does not unlock it"},
        {"PEM certificate as PKCS#12", {"--sign-pkcs12", cert, t}, 1,
         "--sign-pkcs12 " + cert + ": not a PKCS#12 file (.pfx, .p12); PEM files go to --sign-cert and --sign-key"},
        {"DER key as PKCS#12", {"--sign-pkcs12", otherDer, t}, 1, ": not a PKCS#12 file (.pfx, .p12)\n"},
        {"PKCS#12 without a key", {"--sign-pkcs12", certsOnly, "--sign-pass-file", geheim, t}, 1,
         "--sign-pkcs12 " + certsOnly + " holds no private key, only certificates"},
        {"PKCS#12 without a certificate", {"--sign-pkcs12", keyOnly, "--sign-pass-file", geheim, t}, 1,
         "--sign-pkcs12 " + keyOnly + " holds no certificate, only a key"},
        {"PKCS#12 whose key does not fit", {"--sign-pkcs12", unfit, "--sign-pass-file", geheim, t}, 1,
         "--sign-pkcs12 " + unfit + ": its key does not fit the certificate in it (CN=Tessly Test)"},
        {"PKCS#12 and a PEM key", {"--sign-pkcs12", p12, "--sign-key", key, t}, 2,
         "--sign-pkcs12 holds the certificate and the key: give it without --sign-cert and --sign-key"},
        {"missing response file", {"@" + in.dir / "none.args", t}, 1, "@" + in.dir / "none.args: cannot read"},
        {"open quote in a response file", {"@" + in.dir / "open.args", t}, 1, "open.args: a single quote is not closed"},
        {"response files in a loop", {"@" + in.dir / "loop1.args", t}, 1, "response files nested more than 32 deep"},
        {"missing project file", {"--project", in.dir / "none.project", t}, 1, "--project " + in.dir / "none.project: cannot read"},
        {"unknown name in a project", {"--project", projectWith("a", "colour = red\n"), t}, 2,
         in.dir / "p/a:4: unknown option --colour"},
        {"misspelt name in a project", {"--project", projectWith("b", "comand = x\n"), t}, 2, "(did you mean --command?)"},
        {"option twice in a project", {"--project", projectWith("c", "caption = Again\n"), t}, 2,
         in.dir / "p/c:4: --caption is given twice"},
        {"project line without a name", {"--project", projectWith("d", "= x\n"), t}, 2, "p/d:4: '= x' is no 'name = value' line"},
        {"project line with dashes", {"--project", projectWith("e", "--wait\n"), t}, 2, "p/e:4: '--wait' is no 'name = value'"},
        {"project flag neither yes nor no", {"--project", projectWith("f", "wait = maybe\n"), t}, 2, "wait takes yes or no, not 'maybe'"},
        {"a file that reads on past its size", {in.dir / "grows"}, 1, "grows/version.txt changed while it was being read"},
        {"signing tool that fails after its output ends", {"--sign-cert", cert, "--sign-key", key, t}, 1,
         "osslsigncode failed (exit status 3)", {"PATH=" + in.dir / "slowtool" + ":/usr/bin:/bin"}},
        {"project value without a value", {"--project", projectWith("g", "command\n"), t}, 2, "p/g:4: command needs a value"},
        {"project naming a project", {"--project", projectWith("h", "project = x\n"), t}, 2, "cannot name another project file"},
        {"project quote left open", {"--project", projectWith("i", "text = \"a b\n"), t}, 2, "p/i:4: the quoted value must end"},
        {"project path from its folder", {"--project", projectWith("j", "icon = app.ico\n"), t}, 1,
         "--icon: cannot read " + in.dir / "p/app.ico"},
        {"project value checked as on the command line", {"--project", projectWith("k", "level = 13\n"), t}, 2,
         "p/k:4: --level takes a number from 0 to 12, not '13'"},
        // The signing tool's own words reach the user.
        {"time-stamping server out of reach", {"--sign-cert", cert, "--sign-key", key, "--sign-timestamp", "http://127.0.0.1:9/", t},
         1, "Failed to get data from http://127.0.0.1:9/; RFC 3161 timestamping failed; "
            "another time-stamping server may be given with --sign-timestamp URL; "},
    };
    // Inputs of one file each whose name cannot be stored, and the refusal.
    const std::pair<std::string, std::string> names[] = {
        {"\xE6\x97\xA5/con.txt", "'\xE6\x97\xA5/con.txt' (from " + in.dir / "n0/\xE6\x97\xA5/con.txt): unsafe name: reserved Windows device name"},
        {"COM\xC2\xB9.\xE2\x82\xAC", "'COM\xC2\xB9.\xE2\x82\xAC' (from " + in.dir / "n1/COM\xC2\xB9.\xE2\x82\xAC): unsafe name: reserved"},
        {"a\xC0\xAF" "b", "'a\\xC0\\xAFb' (from " + in.dir / "n2/a\\xC0\\xAFb): the name is not valid UTF-8 at byte 2"},
        {"\xD0\xB4\xD0\xB0.", "'\xD0\xB4\xD0\xB0.' (from " + in.dir / "n3/\xD0\xB4\xD0\xB0.): unsafe name: a component ends in a dot"},
        {"\xE6\x97\xA5*.txt", "unsafe name: character not allowed in Windows file names"},
        {Times("\xE6\x97\xA5", 67), "unsafe name: name longer than 200 bytes"},
        {"\xD0\xAF.txt", "entries '\xD0\xAF.txt' (from "},  // and "я.txt": one file on Windows
        {"a\nb.txt", "entry 'a\\nb.txt'"},
        {"a:b.txt", "'a:b.txt'"},
        {"a\\b.txt", "backslash"},
        {"con.txt", "reserved Windows device name"},
        {"LPT\xC2\xB3", "reserved Windows device name"},
        {"a.", "ends in a dot or a blank"},
        {"a ", "ends in a dot or a blank"},
        {"a*.txt", "character not allowed"},
        {std::string(120, 'd') + "/" + std::string(90, 'f'), "longer than 200 bytes"},
    };
    for (size_t i = 0; i < sizeof names / sizeof *names; ++i) {
        std::string folder = in.dir / ("n" + std::to_string(i));
        WriteFile(folder + "/" + names[i].first, "x");
        if (names[i].first == "\xD0\xAF.txt") WriteFile(folder + "/\xD1\x8F.txt", "y");
        cases.push_back({names[i].second.c_str(), {folder}, 1, names[i].second});
    }
    std::string out = in.dir / "out/setup.exe";
    WriteFile(out, "previous contents");
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = in.Build(out, c.args);
        args.insert(args.begin(), {"sh", "-c", "ulimit -f " + std::to_string(c.blocks) + "; exec \"$@\"", "sh", TESSLY_MKSFX});
        RunResult r = c.blocks ? RunProgram(args, c.env) : RunMksfx({args.begin() + 5, args.end()}, c.env);
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        // Each line is a message of its own (a name cannot break one), or the pointer to --help.
        for (size_t at = 0; at < r.err.size(); at = r.err.find('\n', at) + 1)
            EXPECT_TRUE(r.err.compare(at, 7, "mksfx: ") == 0 || r.err.compare(at, 5, "Try '") == 0) << r.err;
        EXPECT_EQ(ReadFile(out), "previous contents");
        EXPECT_EQ(ListFolder(in.dir / "out"), std::vector<std::string>{"setup.exe"});
    }
    // A folder named by one letter and a slash, from its parent: the names are shown as given.
    WriteFile(in.dir / "n/con.txt", "x");
    std::vector<std::string> relative = in.Build(out, {"n/"});
    relative.insert(relative.begin(), TESSLY_MKSFX);
    EXPECT_NE(RunProgram(relative, {}, in.dir.path()).err.find("'con.txt' (from n/con.txt): unsafe"), std::string::npos);
    RunResult noOutput = RunMksfx({"build", t});
    EXPECT_EQ(noOutput.exitCode, 2);
    EXPECT_NE(noOutput.err.find("no output file"), std::string::npos);
    // Three edits from every member: taken as a program of the system, not as a slip.
    EXPECT_EQ(RunMksfx(in.Build(out, {"--command", "readme.q", t})).exitCode, 0);
}

// The output replaces only a regular file or a new name, never an input, keeps its mode, follows a link.
TEST(MksfxBuild, OutputIsReplacedOnlyWhenSafe) {
    Inputs in;
    const std::string t = in.tree, o = in.dir / "o", out = o + "/out.exe", real = o + "/real.exe";
    auto mode = [](const std::string& path) {
        struct stat st = {};
        lstat(path.c_str(), &st);
        return st.st_mode;
    };
    auto sound = [](const std::string& path) { return RunMksfx({"verify", path}).exitCode == 0; };
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t fresh = 0666 & ~mask;  // a new file's mode
    WriteFile(in.dir / "z.zip", ZipArchive({{"a.txt", "alpha"}}));
    struct Case {
        const char* what;
        std::function<void()> prepare;  // in a fresh folder o/
        std::vector<std::string> args;  // after "build --stub STUB"
        int code;
        std::string message;
        std::function<bool()> after;
    } cases[] = {
        {"a FIFO", [&] { mkfifo(out.c_str(), 0644); }, {"-o", out, t}, 1, "is a FIFO; only a regular file",
         [&] { return S_ISFIFO(mode(out)); }},
        {"a device", [] {}, {"-o", "/dev/full", t}, 1, "is a character device", [&] { return S_ISCHR(mode("/dev/full")); }},
        {"a hard link", [&] { WriteFile(real, "old"), link(real.c_str(), out.c_str()); }, {"-o", out, t}, 1,
         "has 1 other hard link(s)", [&] { return ReadFile(out) == "old" && ReadFile(real) == "old"; }},
        {"a symbolic link", [&] { WriteFile(real, "old"), chmod(real.c_str(), 0640), symlink("real.exe", out.c_str()); },
         {"-o", out, t}, 0, "", [&] { return S_ISLNK(mode(out)) && sound(real) && (mode(real) & 0777) == 0640; }},
        {"a link to a new file", [&] { symlink("real.exe", out.c_str()); }, {"-o", out, t}, 0, "",
         [&] { return S_ISLNK(mode(out)) && sound(real); }},
        {"a file whose mode stays", [&] { WriteFile(out, "old"), chmod(out.c_str(), 0751); }, {"-o", out, t}, 0, "",
         [&] { return sound(out) && (mode(out) & 0777) == 0751; }},
        {"an input file", [] {}, {"-o", t + "/readme.txt", t + "/readme.txt"}, 2, "is also an input",
         [&] { return ReadFile(t + "/readme.txt").compare(0, 7, "line 0 ") == 0; }},
        {"an input ZIP file", [] {}, {"-o", in.dir / "z.zip", in.dir / "z.zip"}, 2, "is also an input",
         [&] { return ReadFile(in.dir / "z.zip") == ZipArchive({{"a.txt", "alpha"}}); }},
        {"-o with its value attached", [] {}, {"-qo" + out, t}, 0, "", [&] { return sound(out); }},
        {"a file too large to hold that deflate cannot shrink", [&] { WriteFile(o + "/x", RandomBytes((32 << 20) + 1, 7)); },
         {"-o", out, o + "/x"}, 0,
         out + ": 1 member, ", [&] { return sound(out) && RunMksfx({"list", out}).out.find("stored") != std::string::npos; }},
        {"one file", [] {}, {"-o", out, t + "/readme.txt"}, 0, out + ": 1 member, ",
         [&] { return sound(out) && (mode(out) & 0777) == fresh; }},
        {"an empty folder", [&] { mkdir((o + "/none").c_str(), 0755); }, {"-o", out, o + "/none"}, 0,
         "mksfx: warning: the inputs hold no files; " + out + " will extract nothing", [&] { return sound(out); }},
        {"inside a folder input", [&] { WriteFile(out, "old"), WriteFile(o + "/in.txt", "x"); }, {"-v", "-o", out, o}, 0,
         "left out " + out + ": it is the output",
         [&] { return RunMksfx({"list", out}).out.find("\n1 member\n") != std::string::npos; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunProgram({"rm", "-rf", o});
        mkdir(o.c_str(), 0755);
        c.prepare();
        std::vector<std::string> args{"build", "--stub", in.stub, "--extract-only"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult r = RunMksfx(args);
        EXPECT_EQ(r.exitCode, c.code) << r.err;
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
        EXPECT_TRUE(c.after());
        for (const std::string& name : ListFolder(o)) EXPECT_EQ(name.find(".out.exe."), std::string::npos) << name;
    }
}

// mksfx -v is held in the middle of its archive by a full pipe on its standard output, which
// nobody reads: SIGINT, SIGTERM and SIGHUP then remove the temporary file, and an input ZIP
// file changed then (after the check of its members, before the copy of its last one) fails
// the copy; either way no file is left. A signal while the signing tool works (held here in a
// sleep, its output half written) ends the tool too and leaves none of its files.
TEST(MksfxBuild, HeldInTheMiddleOfTheArchive) {
    Inputs in;
    std::vector<zipcraft::Member> members;
    for (int i = 0; i < 600; ++i) members.push_back({std::string(150, 'm') + std::to_string(100 + i), "x", 0});
    members.push_back({"z-last.txt", std::string(3000, 'z'), 8});
    const std::string zip = ZipArchive(members);
    const std::string& held = members[599].name;  // the last stored one, copied after the hold
    const size_t storedAt = zip.find(held) + held.size(), deflatedAt = zip.find(RawDeflate(std::string(3000, 'z')));
    const struct Case {
        const char* what;
        int signal;          // sent while held, or 0
        size_t at;           // else where `change` replaces data of the ZIP file
        std::string change;
        std::string message;
        bool signing;        // held in the signing tool rather than in the archive
    } cases[] = {
        {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP},
        {"stored member changed", 0, storedAt, "y", "member " + held + ": CRC-32 mismatch"},
        {"deflated member grown", 0, deflatedAt, RawDeflate(std::string(3010, 'z')),
         "member z-last.txt: decodes to more than 3000 bytes"},
        {"SIGTERM while signing", SIGTERM, 0, "", "", true},
    };
    ASSERT_EQ(zip[storedAt], 'x');
    ASSERT_NE(deflatedAt, std::string::npos);
    ASSERT_EQ(RawDeflate(std::string(3010, 'z')).size(), RawDeflate(std::string(3000, 'z')).size());
    const std::string sign = in.dir / "sign", toolPid = sign + "/tool.pid";
    WriteFile(sign + "/osslsigncode", "#!/bin/sh\nwhile [ \"$1\" != -out ]; do shift; done\necho half > \"$2\"\n"
                                      "echo $$ > \"${0%/*}/pid.new\" && mv \"${0%/*}/pid.new\" \"${0%/*}/tool.pid\"\nexec sleep 30\n");
    chmod((sign + "/osslsigncode").c_str(), 0755);
    ASSERT_TRUE(MakeTestCertificate(sign + "/key.pem", sign + "/cert.pem"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(in.dir / "many.zip", zip);
        int pipeFds[2], errFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        ASSERT_EQ(pipe(errFds), 0);
        std::vector<std::string> args{"mksfx", "build", "--extract-only", "-o", in.dir / "out.exe", "--stub", in.stub,
                                      in.dir / "many.zip"};
        if (c.signing)
            args.insert(args.begin() + 2, {"--sign-cert", sign + "/cert.pem", "--sign-key", sign + "/key.pem"});
        else
            args.insert(args.begin() + 2, "-v");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(pipeFds[1], 1);
            dup2(errFds[1], 2);
            close(pipeFds[0]), close(errFds[0]);
            if (c.signing) setenv("PATH", (sign + ":/usr/bin:/bin").c_str(), 1);
            execv(TESSLY_MKSFX, argv.data());
            _exit(127);
        }
        close(pipeFds[1]), close(errFds[1]);
        auto temporary = [&] {
            for (const std::string& name : ListFolder(in.dir.path()))
                if (name.compare(0, 9, ".out.exe.") == 0) return true;
            return false;
        };
        // The temporary file comes after every member's check; the tool's id once it sleeps.
        auto held = [&] { return c.signing ? access(toolPid.c_str(), F_OK) == 0 : temporary(); };
        for (int wait = 0; wait < 60000 && !held(); ++wait) usleep(1000);
        EXPECT_TRUE(temporary());
        int status = 0;
        if (c.signal) {
            ASSERT_TRUE(held());
            kill(pid, c.signal);
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
            if (c.signing) {
                // Ended, or a zombie until whoever inherited it reaps it.
                const pid_t tool = (pid_t)std::stol(ReadFile(toolPid));
                const std::string stat = ReadFile("/proc/" + std::to_string(tool) + "/stat");
                const size_t state = stat.rfind(") ");
                EXPECT_TRUE(state == std::string::npos || stat[state + 2] == 'Z') << stat;
                if (state != std::string::npos && stat[state + 2] != 'Z') kill(tool, SIGKILL);
            }
        } else {
            FILE* f = fopen((in.dir / "many.zip").c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            fseek(f, (long)c.at, SEEK_SET);
            fwrite(c.change.data(), 1, c.change.size(), f);
            fclose(f);
            char drain[65536];
            while (read(pipeFds[0], drain, sizeof drain) > 0) {
            }
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
            std::string err(65536, '\0');
            err.resize(std::max<ssize_t>(0, read(errFds[0], &err[0], err.size())));
            EXPECT_NE(err.find(in.dir / "many.zip changed while it was read"), std::string::npos) << err;
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
        }
        close(pipeFds[0]), close(errFds[0]);
        EXPECT_FALSE(temporary());
        EXPECT_EQ(ListFolder(in.dir.path()).size(), 5u);  // tree, stub.exe, app.ico, many.zip, sign: no out.exe
    }
}

TEST(MksfxBuild, TextFilesListsAndTheInstalledStub) {
    Inputs in;
    // An installed tree: bin/mksfx finds share/tessly/sfxstub.exe beside it.
    std::string prefix = in.dir / "dist";
    WriteFile(prefix + "/bin/mksfx", ReadFile(TESSLY_MKSFX));
    chmod((prefix + "/bin/mksfx").c_str(), 0755);
    WriteFile(in.dir / "text.txt", "\xEF\xBB\xBFZeile eins\r\nZeile zwei\n\n");  // with a byte-order mark
    WriteFile(in.dir / "about.txt", "\xC3\x9C" "ber\n");
    WriteFile(in.dir / "list.txt", in.tree + "/readme.txt\r\n\n" + in.tree + "/bin\n");
    std::string out = in.dir / "out.exe";
    // The about text from standard input, the inputs from a list.
    std::vector<std::string> args{"sh", "-c", "exec \"$@\" < \"$0\"", in.dir / "about.txt", prefix + "/bin/mksfx",
                                  "build", "-o", out, "--extract-only", "--text-file", in.dir / "text.txt", "--about-file", "-",
                                  "--files-from", in.dir / "list.txt"};
    RunResult missing = RunProgram(args);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find(prefix + "/bin/../share/tessly/sfxstub.exe"), std::string::npos) << missing.err;

    WriteFile(prefix + "/share/tessly/sfxstub.exe", ReadFile(in.stub));
    RunResult r = RunProgram(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find(": 3 members, "), std::string::npos) << r.out;  // readme.txt, setup.exe, zero.dat
    ASSERT_EQ(LoadInStub(out), 0);
    EXPECT_STREQ(state.texts.messageText, "Zeile eins\r\nZeile zwei");  // mark and last line breaks dropped
    EXPECT_STREQ(state.texts.aboutText, "\xDC" "ber");
    ReleaseStubState();
}

TEST(MksfxBuild, ProgressOnATerminal) {
    Inputs in;
    std::string out = in.dir / "out.exe";
    if (!HaveProgram("script")) GTEST_SKIP() << "no script(1) to give mksfx a terminal";
    std::string command = "\"" + std::string(TESSLY_MKSFX) + "\" build --extract-only -o " + out + " --stub " + in.stub + " ";
    WriteFile(in.dir / "big/big.txt", zipcraft::SampleText(300000, 2));
    struct Case {
        std::string tree;
        const char* line;  // the first one, shown as soon as a member is done
    } cases[] = {{in.tree, "/5 members, 0.0 MB of 0.0 MB"}, {in.dir / "big", "/1 members, 0.3 MB of 0.3 MB"}};
    for (const Case& c : cases) {
        RunResult tty = RunProgram({"script", "-qec", command + c.tree, "/dev/null"});
        EXPECT_EQ(tty.exitCode, 0) << tty.out;
        EXPECT_NE(tty.out.find(c.line), std::string::npos) << tty.out;
        EXPECT_NE(tty.out.find("\r\033[K"), std::string::npos) << tty.out;  // erased at the end
    }
    command += in.tree;
    RunResult ttyQuiet = RunProgram({"script", "-qec", command + " -q", "/dev/null"});
    EXPECT_EQ(ttyQuiet.out, "");

    // The line itself: at most five a second, and an estimate once a second has gone by.
    struct Step {
        double started, lastShown;  // seconds ago; a negative lastShown: not shown yet
        uint64_t done;
        const char* line;
    } steps[] = {
        {0.5, -1, 1000000, "\r2/5 members, 1.0 MB of 4.0 MB\033[K"},
        {1.5, 0, 1000000, ""},
        {1.5, 0.3, 2000000, "\r2/5 members, 2.0 MB of 4.0 MB, about 2 s left\033[K"},  // 1.5 s * 1 + 1
        {1.5, -1, 4000000, "\r2/5 members, 4.0 MB of 4.0 MB\033[K"},
        {1.5, -1, 0, "\r2/5 members, 0.0 MB of 4.0 MB\033[K"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.line);
        sfx::ProgressLine p;
        p.members = 5, p.bytes = 4000000;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        auto ago = [&](double seconds) {
            double t = now.tv_sec + now.tv_nsec / 1e9 - seconds;
            return timespec{(time_t)t, (long)((t - (time_t)t) * 1e9)};
        };
        p.start = ago(s.started);
        if (s.lastShown >= 0) p.last = ago(s.lastShown), p.shown = true;
        testing::internal::CaptureStderr();
        sfx::ProgressLine::Hook(s.done, 2, &p);
        sfx::ProgressLine::Hook(s.done, 2, &p);  // at once again: not shown twice
        EXPECT_EQ(testing::internal::GetCapturedStderr(), s.line);
        testing::internal::CaptureStderr();
        p.Erase();
        p.Erase();  // once only
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "\r\033[K");
    }
}

TEST(MksfxCommands, HelpVersionAndUsage) {
    // The manual page and the completion that the build generates from the help texts.
    const std::string manual = RunProgram({"groff", "-man", "-Tascii", "-P-cbou", TESSLY_BINARY_DIR "/doc/mksfx.1"}).out;
    const std::string completion = TESSLY_BINARY_DIR "/doc/mksfx";
    ASSERT_NE(manual.find("mksfx build -o OUTPUT"), std::string::npos) << manual;
    auto completed = [&](const std::vector<std::string>& words) {
        std::string line;
        for (const std::string& w : words) line += " '" + w + "'";
        return RunProgram({"bash", "-c", "source \"$0\"; COMP_WORDS=(" + line + "); COMP_CWORD=" +
                                             std::to_string(words.size() - 1) + "; _mksfx; printf '%s\\n' \"${COMPREPLY[@]}\"",
                           completion}).out;
    };
    EXPECT_EQ(completed({"mksfx", "b"}), "build\n");
    EXPECT_EQ(completed({"mksfx", "build", "--elevation", ""}), "as-invoker\nhighest\nadmin\n");
    EXPECT_EQ(completed({"mksfx", "build", "--command", ""}), "\n");  // a text: nothing offered
    EXPECT_NE(completed({"mksfx", "build", "--icon", TESSLY_SOURCE_DIR "/README"}).find("README.md\n"), std::string::npos);
    // Every option of the option table has its line in the help.
    const std::string buildHelp = RunMksfx({"build", "--help"}).out;
    for (const std::string& option : sfx::BuildOptionNames())
        EXPECT_TRUE(buildHelp.find("\n  " + option + " ") != std::string::npos ||
                    buildHelp.find("\n  " + option + ",") != std::string::npos ||
                    buildHelp.find(", " + option + " ") != std::string::npos) << option;
    for (const char* command : {"build", "list", "verify", "extract", "sign"}) {
        SCOPED_TRACE(command);
        RunResult help = RunMksfx({command, "--help"});
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.out.find(std::string("usage: mksfx ") + command), std::string::npos);
        EXPECT_NE(completed({"mksfx", command, "nothing-here"}), "") << "no completion for the command";
        // Each option in the help is in the manual and offered by the completion.
        const std::string offered = completed({"mksfx", command, "-"});
        for (size_t at = help.out.find("\n  -"); at != std::string::npos; at = help.out.find("\n  -", at + 1)) {
            std::string line = help.out.substr(at + 3, help.out.find('\n', at + 1) - at - 3);
            for (std::string option : {line.substr(0, line.find_first_of(" ,")),
                                       line.compare(0, 4, "-o, ") == 0 || line[2] == ',' ? line.substr(4, line.find(' ', 4) - 4) : ""}) {
                if (option.empty()) continue;
                EXPECT_NE(manual.find(option), std::string::npos) << option;
                EXPECT_NE(offered.find(option + "\n"), std::string::npos) << option << "\n" << offered;
            }
        }
    }
    RunResult help = RunMksfx({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: mksfx COMMAND"), std::string::npos) << help.out;
    for (const std::vector<std::string>& version : {std::vector<std::string>{"--version"}, {"build", "--version"}}) {
        RunResult r = RunMksfx(version);
        EXPECT_EQ(r.out, "mksfx (Tessly Self-Extractor) 1.0\n");
        EXPECT_EQ(r.exitCode, 0);
    }
    const struct {
        std::vector<std::string> args;
        const char* message;
        int code = 2;
    } usage[] = {
        {{}, "usage: mksfx COMMAND"},
        {{"frobnicate"}, "unknown command 'frobnicate'\nusage: mksfx COMMAND"},  // and how to call it
        {{"list"}, "no FILE given"},
        {{"verify", "a", "b"}, "verify takes one FILE, 2 arguments given"},
        {{"extract", "a"}, "extract takes FILE and DIR, 1 argument given"},
        {{"list", "/nonexistent/x.exe"}, "cannot read /nonexistent/x.exe: No such file or directory", 1},
    };
    for (const auto& u : usage) {
        RunResult r = RunMksfx(u.args);
        EXPECT_EQ(r.exitCode, u.code);
        EXPECT_NE(r.err.find(u.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "a refusal lists nothing";
    }

    // Output that cannot be written is a failure.
    TempDir dir;
    SfxParts parts;
    parts.members = {{"a.txt", "alpha"}};
    WriteFile(dir / "f.exe", BuildSfx(parts));
    for (const char* command : {"list", "verify"}) {
        RunResult full = RunProgram({"sh", "-c", "exec \"$@\" > /dev/full", "sh", TESSLY_MKSFX, command, dir / "f.exe"});
        EXPECT_EQ(full.exitCode, 1) << command;
        EXPECT_EQ(full.err, "mksfx: cannot write to standard output: No space left on device\n");
    }
}

// ---- verify and list ---------------------------------------------------------------------------

SfxParts Sound() {
    SfxParts p;
    p.config = ConfigText({"", "setup.exe", "", "hello"});
    p.members = {{"a.txt", "alpha alpha alpha alpha"}, {"sub/b.bin", std::string(3000, 'b'), 0}};
    return p;
}

RunResult VerifyBytes(const std::string& bytes) {
    TempDir dir;
    WriteFile(dir / "f.exe", bytes);
    return RunMksfx({"verify", dir / "f.exe"});
}

TEST(MksfxVerify, FindsEachFault) {
    const std::string sound = BuildSfx(Sound());
    const size_t block = FindBlock(sound);
    const uint32_t archive = Le32(sound, block + 12);
    const size_t data = archive + 30 + 5;  // first member's data

    RunResult ok = VerifyBytes(sound);
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    // The solid form, checked by the stub's own code: a program in the x86 folder, a text in
    // the LZMA-only one, the block's total right.
    solidcraft::Archive solidArchive;
    solidArchive.files = {{"a.txt", "alpha alpha alpha alpha"}, {"setup.exe", std::string("MZ\xE8\x10\x00\x00\x00", 7) + std::string(3000, 'b'), false, true}};
    SfxParts solidParts = Sound();
    solidParts.members.clear();
    solidParts.rawArchive = solidArchive.Build();
    solidParts.endRecordOffset = 0;
    auto solidFile = [&](solidcraft::Archive archive) {
        SfxParts parts = solidParts;
        parts.rawArchive = archive.Build();
        std::string file = BuildSfx(parts);
        return Resealed(Patch32(file, FindBlock(file) + PB_TOTAL_SIZE, 23 + 3007));
    };
    std::string solid = solidFile(solidArchive);
    RunResult solidOk = VerifyBytes(solid);
    EXPECT_EQ(solidOk.exitCode, 0) << solidOk.err;
    EXPECT_EQ(solidOk.out.substr(solidOk.out.find(": ")), ": sound\nsigned: no\n");
    {  // a path that is not UTF-8: its JSON has U+FFFD for the stray byte, keeps the rest
        TempDir d;
        WriteFile(d / "f\xFFg\xC3\xBC", solid);
        EXPECT_NE(RunMksfx({"list", "--json", d / "f\xFFg\xC3\xBC"}).out.find("/f\xEF\xBF\xBDg\xC3\xBC\""),
                  std::string::npos);
    }
    // How the listing shows what a header holds: a lone surrogate in a stored name as U+FFFD
    // (the character after it stays); no times at all as the zero time; a dictionary of one
    // byte as 2 to the 0th.
    auto noTimes = [](std::string* h) { (*h)[h->find(std::string("\x14\x12\x01\x00", 4))] = 0x19; };
    auto oneByte = [](std::string* h) { h->replace(h->find(std::string("\x5D\0\0\1\0", 5)), 5, std::string("\x5D\1\0\0\0", 5)); };
    for (auto [name, edit, shown] : {std::make_tuple("a\xED\xA0\x80" "b.txt", std::function<void(std::string*)>(), " a\xEF\xBF\xBD" "b.txt\n"),
                                     std::make_tuple("a.txt", std::function<void(std::string*)>(noTimes), "1601-01-01 00:00:00"),
                                     std::make_tuple("a.txt", std::function<void(std::string*)>(oneByte), "LZMA:0 ")}) {
        solidcraft::Archive listed = solidArchive;
        listed.files[0].name = name, listed.editHeader = edit;
        TempDir listedDir;
        WriteFile(listedDir / "f.exe", solidFile(listed));
        RunResult list = RunMksfx({"list", listedDir / "f.exe"});
        EXPECT_NE(list.out.find(shown), std::string::npos) << list.out << list.err;
    }

    struct Case {
        const char* what;
        std::string bytes;
        const char* fault;
        bool listed;  // a fault of the structure, which `list` names too
        bool unread;  // the only fault: nothing before the archive can be read, nothing is listed
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, std::string bytes, const char* fault) { cases.push_back({what, bytes, fault, false, false}); };
    auto addUnread = [&](const char* what, std::string bytes, const char* fault) {
        cases.push_back({what, bytes, fault, false, true});
    };
    auto addListed = [&](const char* what, std::string bytes, const char* fault) {
        cases.push_back({what, bytes, fault, true, false});
    };

    std::string f = sound;
    f[10] ^= 1;
    add("changed image byte", f, "header CRC-32 mismatch");
    f = sound;
    f[data + 2] ^= 0x40;
    add("changed member byte", f, "member 'a.txt'");
    add("end record offset", Resealed(Patch32(sound, block + 20, Le32(sound, block + 20) - 1)), "no end record at");
    add("total size", Resealed(Patch32(sound, block + 24, 5)), "total size is 5");
    addUnread("archive offset past the end", Patch32(sound, block + 12, (uint32_t)sound.size() + 1), "lies outside the file");
    add("configuration offset before the block", Resealed(Patch32(sound, block + 16, (uint32_t)block)),
        "configuration offset 0x");
    add("configuration offset at the archive", Resealed(Patch32(sound, block + 16, Le32(sound, block + 12))),
        "does not lie between the block and the archive");
    add("cut short", sound.substr(0, data + 10), "archive cut short");
    add("signature twice", Resealed(std::string(sound).replace(200, 8, sound.substr(block, 8))), "occurs 2 times");
    add("no block", std::string(5000, 'x'), "no parameter block");
    add("stub image without MZ", Resealed("X" + sound.substr(1)), "the stub image is not sound: no MZ signature");
    // Language tables named by the option but not where the stub reads them, or not a stream.
    const uint32_t config = Le32(sound, block + 16), languages = Le32(sound, block + 28) | OPT_LANGUAGES;
    addListed("language tables at the configuration", Resealed(Patch32(Patch32(sound, block + 28, languages),
                                                                       block + 48, config)),
              "language tables at 0x");
    addListed("language tables not a stream", Resealed(Patch32(Patch32(sound, block + 28, languages), block + 48,
                                                               config - 4)),
              "language tables: ");
    SfxParts first = Sound();  // the search for the block starts at the first byte
    first.stub = first.stub.substr(FindBlock(first.stub));
    add("block at the first byte", BuildSfx(first), "the stub image is not sound: no MZ signature");

    SfxParts p = Sound();
    p.members = {{"../up.txt", "x"}, {"C:\\win.ini", "y"}, {"/abs", "z"}, {"\x84/\x8E", "A"},
                 {"\x8E", "u"}, {"\xD5.txt", "i"}, {"I.TXT", "I"}};
    std::string names = BuildSfx(p);
    add("escaping names", names, "'..' component");
    add("backslash name", names, "'C:\\win.ini': unsafe name: backslash");
    add("absolute name", names, "'/abs': unsafe name: absolute path");
    add("file where a folder is needed", names,
        "member '\xC3\xA4/\xC3\x84' needs a folder where the file '\xC3\x84' is");
    add("names one file on Windows", names, "'\xC4\xB1.txt' and 'I.TXT' would be the same file");
    // Leading "./" components are the folder itself, as the stub takes them: sound alone,
    // one file with the name they lead to.
    p = Sound();
    p.members = {{"./", "", 0}, {"./dot.txt", "x"}, {"././sub/b.txt", "y"}};
    RunResult dotted = VerifyBytes(BuildSfx(p));
    EXPECT_EQ(dotted.exitCode, 0) << dotted.err;
    p.members.push_back({"SUB/B.TXT", "z"});
    add("./ names one file with another", BuildSfx(p), "'././sub/b.txt' and 'SUB/B.TXT' would be the same file");
    // A name as long as the stub holds is read, and then refused as a name; one byte more is not read.
    p = Sound();
    p.members = {{std::string(130, 'd') + "/" + std::string(132, 'n'), "x"}};
    add("name of 263 bytes", BuildSfx(p), "unsafe name: name longer than 200 bytes");
    p.members = {{std::string(130, 'd') + "/" + std::string(133, 'n'), "x"}};
    add("name of 264 bytes", BuildSfx(p), "is 264 bytes, the stub holds 263");
    p = Sound();
    p.members = {{"a.txt", "alpha", 12}};
    add("method", BuildSfx(p), "compression method 12");
    p.members = {{"a.txt", "alpha", 8, 0, 0x6000, 0x5A21, 0x12345678}};
    add("bad CRC", BuildSfx(p), "CRC-32");
    p.members = {{"a.txt", "alpha"}};
    p.rawArchive.clear();
    p.config = ConfigText(ConfigFields{std::string(600, 'a'), "cmd", "", "text"});
    add("string longer than its field", BuildSfx(p), "about text has 600 characters");
    p.config = std::string("about\0cmd", 9);
    add("string without end", BuildSfx(p), "command runs past the end");
    p.config = ConfigText({"", "", "", "", false, "", true, "bogus"});
    add("bad icon", BuildSfx(p), "icon is unusable");
    p.config = ConfigText({"", "cmd", "", ""});
    p.optionFlags = 0x202;
    addListed("extract-only with a command", BuildSfx(p), "an extract-only package names a command");
    p.config = ConfigText({"", "", "", "", false, "", false, "", "C:\\Ziel"});
    p.optionFlags = 0x602;
    RunResult extractOnly = VerifyBytes(BuildSfx(p));
    EXPECT_EQ(extractOnly.exitCode, 0) << "extract-only into a target: " << extractOnly.err;
    p.config = ConfigText({"", "cmd", "", ""});
    p.optionFlags = 0x402;
    addListed("target bit without a target", BuildSfx(p), "the target folder is empty");
    p.optionFlags = 0x802;
    addListed("silent bit without a silent command", BuildSfx(p), "the silent command is empty");
    p.config = ConfigText({"", "cmd", std::string(100, 's'), ""});
    add("silent command longer than its field", BuildSfx(p), "silent command has 100 characters");
    p.optionFlags = 0x02;
    RunResult unused = VerifyBytes(BuildSfx(p));
    EXPECT_EQ(unused.exitCode, 0) << "a long third string without its bit is not used: " << unused.err;
    p.optionFlags = Sound().optionFlags;
    p = Sound();
    p.stub = BuildSfx(Sound());
    add("finished file as the stub", BuildSfx(p), "bytes follow the last section");
    p = Sound();
    p.rawArchive = std::string("PK\x07\x08", 4) + std::string(40, '\0');
    p.members.clear();
    add("unknown record", BuildSfx(p), "no record signature at offset");

    // As mksfx builds files: resources after the image (at 0x2000), room for a signature.
    TempDir dir;
    WriteFile(dir / "stub.exe", SyntheticStub());
    WriteFile(dir / "in/a.txt", "alpha");
    ASSERT_EQ(RunMksfx({"build", "-q", "-o", dir / "built.exe", "--stub", dir / "stub.exe", "--extract-only", dir / "in"}).exitCode, 0);
    const std::string built = ReadFile(dir / "built.exe");
    // The signature again after the block, before the resources.
    add("signature twice in a built stub", Resealed(std::string(built).replace(3000, 8, built.substr(FindBlock(built), 8))),
        "occurs 2 times in the stub image");
    add("resource ids out of order", Resealed(Patch32(built, 0x2000 + 16, 30)),  // the first type's id above the second's
        "resources: the resource table at 0x0: its ids do not ascend");
    // A certificate table: its entry (which the header check skips) and the table at the end.
    auto withTable = [](std::string file, const std::string& table, uint32_t size) {
        file.resize((file.size() + 7) & ~(size_t)7, '\0');
        SetLe32(&file, 0x40 + 152, (uint32_t)file.size());
        SetLe32(&file, 0x40 + 156, size);
        return file + table;
    };
    const std::string notSignedData = std::string("\x10\0\0\0\0\x02\x02\0", 8) + "not DER!";
    // A sound signature whose DER fills its entry to the byte: the file verifies.
    const std::string key = dir / "key.pem", cert = dir / "cert.pem", der = dir / "p7.der";
    ASSERT_TRUE(MakeTestCertificate(key, cert));
    ASSERT_EQ(RunProgram({"openssl", "smime", "-sign", "-binary", "-nodetach", "-in", cert, "-signer", cert, "-inkey",
                          key, "-outform", "DER", "-out", der}).exitCode, 0);
    std::string entry = std::string("\0\0\0\0\0\x02\x02\0", 8) + ReadFile(der);
    SetLe32(&entry, 0, (uint32_t)entry.size());
    entry.resize((entry.size() + 7) & ~(size_t)7, '\0');
    RunResult sig = VerifyBytes(withTable(built, entry, (uint32_t)entry.size()));
    EXPECT_EQ(sig.exitCode, 0) << sig.err;
    EXPECT_NE(sig.out.find("signed: yes (CN=Tessly Test)"), std::string::npos) << sig.out;
    add("bytes after the certificate table", withTable(built, entry, (uint32_t)entry.size()) + "junk",
        "4 bytes follow the certificate table");
    add("certificate table 8 bytes after the archive", withTable(built + std::string(8, '\0'), entry, (uint32_t)entry.size()),
        " bytes follow the archive's end record and comment");
    add("certificate table of no bytes", withTable(built, "", 0), "0 bytes) does not lie after the archive");
    f = built;
    SetLe32(&f, 0x40 + 152, Le32(built, FindBlock(built) + 12));  // the archive's offset
    SetLe32(&f, 0x40 + 156, 64);
    add("certificate table over the archive", f, "does not lie after the archive");
    add("certificate table past the end", withTable(built, "", 64), "the certificates directory");
    SetLe32(&f, 0x40 + 152, (Le32(built, FindBlock(built) + 12) + 7) & ~7u);  // inside the archive, aligned
    add("aligned certificate table over the archive", f, "does not lie after the archive");
    f = withTable(built, std::string(1, '\0') + notSignedData, 16);
    SetLe32(&f, 0x40 + 152, Le32(f, 0x40 + 152) + 1);
    add("certificate table not aligned", f, "8-byte aligned");
    add("certificate not PKCS#7", withTable(built, notSignedData, 16), "certificate 1 at 0x");
    add("certificate shorter than its own header", withTable(built, "\x04" + notSignedData.substr(1), 16),
        ": its length 4 does not fit the table");
    add("4 bytes after a whole certificate", withTable(built, entry + std::string(4, '\0'), (uint32_t)entry.size() + 4),
        ": its length 0 does not fit the table");
    add("certificate of its header alone", withTable(built, "\x08" + notSignedData.substr(1, 7), 8),
        " is not PKCS#7 signed data");
    add("signed without room", withTable(sound, notSignedData, 16), "built without room for a signature");
    f = sound;  // the only block of the first member, then of the configuration, loses its last-block bit
    f[data] ^= 1;
    add("member without a last block", f, "member 'a.txt': DEFLATE data ends before its last block");
    f[data] ^= 1, f[Le32(sound, block + 16)] ^= 1;
    ResealHeader(&f);
    add("configuration without a last block", f, "configuration block: DEFLATE data ends before its last block");
    p = Sound();
    p.packedConfig = std::string(1501, '\0');
    add("configuration over 1500 bytes", BuildSfx(p), "configuration block is 1501 bytes, the stub reads at most 1500");
    f = sound;  // only the end record's central directory offset is off
    SetLe32(&f, Le32(sound, block + 20) + 16, Le32(sound, Le32(sound, block + 20) + 16) + 1);
    add("end record's central offset", f, "the end record does not describe the central directory");

    // Archives written record by record behind Sound()'s configuration, each member with the
    // fields of its local header and (where they differ) those of its central entry.
    struct Rec {
        std::string name, data;
        sfx::EntryFields local, central;
        std::string descriptor, localExtra, centralExtra;
    };
    auto fields = [](uint16_t flags, uint16_t method, const std::string& content, size_t packed) {
        return sfx::EntryFields{20, flags, method, zipcraft::kTime, zipcraft::kDate, ZlibCrc(content), (uint32_t)packed,
                                (uint32_t)content.size()};
    };
    auto stored = [&](const std::string& name, const std::string& content, uint16_t flags = 0) {
        sfx::EntryFields e = fields(flags, 0, content, content.size());
        return Rec{name, content, e, e};
    };
    auto descriptor = [](const sfx::EntryFields& e, uint32_t signature = ZIP_DESCRIPTOR_SIGNATURE) {
        std::string d;
        for (uint32_t v : {signature, e.crc, e.packed, e.size}) sfx::PutLe32(&d, v);
        return d;
    };
    // The records in order: the local headers of the first `early` members (with their data),
    // the central entries, the other members, the end record with `comment`, then `after`.
    auto craft = [&](const std::vector<Rec>& recs, const std::string& comment = "", const std::string& after = "",
                     size_t early = std::string::npos) {
        early = std::min(early, recs.size());
        std::string locals[2];  // before and after the central directory
        std::vector<uint32_t> offsets;
        uint32_t total = 0;
        size_t centralSize = 0;
        for (size_t i = 0; i < recs.size(); ++i) {
            const Rec& r = recs[i];
            std::string& into = locals[i >= early];
            offsets.push_back((uint32_t)into.size());
            into += sfx::LocalHeader(r.local, r.name, r.localExtra) + r.data + r.descriptor;
            if (r.name.back() != '/') total += r.local.size;
            centralSize += CENTRAL_HEADER_BYTES + r.name.size() + r.centralExtra.size();
        }
        const uint32_t cdStart = archive + (uint32_t)locals[0].size();
        std::string a = locals[0];
        for (size_t i = 0; i < recs.size(); ++i)
            a += sfx::CentralEntry(recs[i].central, recs[i].name, 20, 0x20,
                                   (i < early ? archive : cdStart + (uint32_t)centralSize) + offsets[i],
                                   recs[i].centralExtra);
        a += locals[1];
        const uint32_t endAt = archive + (uint32_t)a.size();
        a += sfx::EndRecord((uint16_t)recs.size(), (uint32_t)(a.size() - locals[0].size()), cdStart, comment) + after;
        SfxParts parts = Sound();
        parts.members.clear();
        parts.rawArchive = a;
        std::string file = BuildSfx(parts);
        SetLe32(&file, block + PB_TOTAL_SIZE, total);
        SetLe32(&file, block + PB_END_RECORD_OFFSET, endAt);
        return Resealed(file);
    };
    // The crafted records read alike for every reader until a field is changed.
    const Rec plain = stored("a.txt", "alpha alpha");
    Rec folder = stored("d/", "", ZIP_FLAG_UTF8);  // an ASCII name flagged as UTF-8, needing version 4.5
    folder.central.versionNeeded = 45;
    RunResult crafted = VerifyBytes(craft({plain, folder}));
    EXPECT_EQ(crafted.exitCode, 0) << crafted.err;

    // A dual view: by its local header, which the stub follows, the bit-3 member holds 583
    // bytes; by its central entry and data descriptor, which other unzip tools follow, 13.
    const std::string benign = "Hello, world\n", payload = benign + std::string(570, 'X');
    Rec dual = stored("a.txt", payload, ZIP_FLAG_DESCRIPTOR);
    dual.central = fields(ZIP_FLAG_DESCRIPTOR, 0, benign, benign.size());
    dual.descriptor = descriptor(dual.central);
    addListed("sizes of a bit-3 member", craft({dual}), "member 'a.txt': its central entry gives compressed size 13, its local header 583");
    addListed("data descriptor of a bit-3 member", craft({dual}), "its data descriptor gives size 13, its local header 583");
    {
        TempDir peers;
        WriteFile(peers / "dual.exe", craft({dual}));
        RunResult unzip = RunProgram({"unzip", "-l", peers / "dual.exe"}), sevenZip = RunProgram({"7z", "l", peers / "dual.exe"});
        EXPECT_NE(unzip.out.find("       13  2025-04-22 13:17   a.txt"), std::string::npos) << unzip.out;
        EXPECT_NE(sevenZip.out.find("           13           13  a.txt"), std::string::npos) << sevenZip.out;
    }
    Rec r = plain;
    r.central.crc ^= 1;
    addListed("central CRC-32", craft({r}), "member 'a.txt': its central entry gives CRC-32 0x");
    r = plain, r.central.size += 1;
    addListed("central size", craft({r}), "its central entry gives size 12, its local header 11");
    r = plain, r.central.method = 8;
    addListed("central method", craft({r}), "its central entry gives compression method 8, its local header 0");
    r = plain, r.central.flags = ZIP_FLAG_DESCRIPTOR;
    addListed("central flags", craft({r}), "its central entry gives flags 0x8, its local header 0x0");
    r = stored("a.txt", "alpha alpha", ZIP_FLAG_DESCRIPTOR);
    r.descriptor = descriptor(r.local, 0);
    addListed("data descriptor without its signature", craft({r}), "its data descriptor does not begin with its signature");
    r.descriptor = descriptor(fields(0, 0, "other", 5));
    addListed("data descriptor of other values", craft({r}), "its data descriptor gives CRC-32");
    r = plain, r.centralExtra = std::string("\x01\0\x08\0", 4) + std::string(8, '\0');
    addListed("Zip64 field in a central entry", craft({r}), "its central entry has an extra field 0x1 ");
    // A Zip64 locator in the last 20 bytes before the end record, where other tools look for one.
    r = plain, r.centralExtra = std::string("\xFE\xCA\x14\0PK\x06\x07", 8) + std::string(16, '\0');
    add("Zip64 locator before the end record", craft({r}), "a Zip64 end-record locator stands before the end record");
    r = plain, r.localExtra = std::string("\x75\x70\x0D\0\x01", 5);
    sfx::PutLe32(&r.localExtra, ZlibCrc(r.name));
    r.localExtra += "evil.exe";
    addListed("UTF-8 path field in a local header", craft({r}), "its local header has an extra field 0x7075");
    addListed("name flagged as UTF-8", craft({stored("\x80" "ber.txt", "x", ZIP_FLAG_UTF8)}), "flagged as UTF-8");
    r = stored("d/", ""), r.local.size = r.central.size = 5;
    addListed("folder with a size", craft({r}), "member 'd/': a folder with data");
    addListed("local header after a central entry", craft({plain, stored("b.txt", "beta")}, "", "", 1),
              "the central directory is not one run of entries");
    std::string e = craft({plain});
    size_t end = e.rfind("PK\x05\x06");
    sfx::SetLe16(&e, end + END_DISK, 1);
    addListed("end record on disk 1", e, "the end record names disk 1 and 0");
    e = craft({plain}), sfx::SetLe16(&e, end + END_ENTRIES_HERE, 2);
    addListed("end record's entries on this disk", e, "the end record does not describe the central directory");
    e = craft({plain}), sfx::SetLe16(&e, end + END_COMMENT_LENGTH, 10);
    addListed("comment past the end", e, "the archive comment runs past the end of the file");
    addListed("comment with an end record", craft({plain}, std::string("PK\x05\x06", 4) + std::string(18, '\0')),
              "the archive comment holds an end-record signature");
    addListed("bytes after the archive", craft({plain}, "", "junk"), "4 bytes follow the archive's end record");
    e = craft({plain}), sfx::SetLe16(&e, e.find("PK\x01\x02") + CENTRAL_DISK, 2);
    addListed("central entry on disk 2", e, "central entry 1 does not point at local header 0x");
    e = craft({plain}), SetLe32(&e, e.find("PK\x01\x02") + CENTRAL_EXTERNAL_ATTRIBUTES, 0x10);
    addListed("file with the DOS folder attribute", e, "its central entry's attributes 0x10 make it a folder or a link");
    e = craft({plain}), sfx::SetLe16(&e, e.find("PK\x01\x02") + CENTRAL_MADE_BY, 0x031E);
    SetLe32(&e, e.find("PK\x01\x02") + CENTRAL_EXTERNAL_ATTRIBUTES, 0xA1FF0000);
    addListed("file with a Unix link mode", e, "attributes 0xA1FF0000 make it a folder or a link");
    e = craft({plain}), sfx::SetLe16(&e, e.find("PK\x01\x02") + CENTRAL_ENTRY_FIELDS + ENTRY_VERSION_NEEDED, 63);
    addListed("version 6.3 needed", e, "member 'a.txt': needs version 63 to extract");
    r = plain, r.centralExtra = std::string("\xFE\xCA\x14\0PK\x06\x07", 8) + std::string(16, '\0');
    addListed("Zip64 locator before the end record", craft({r}), "a Zip64 end-record locator stands before the end record");
    addListed("encrypted folder", craft({stored("d/", "", ZIP_FLAG_ENCRYPTED)}), "member 'd/': encrypted");
    addListed("strongly encrypted file", craft({stored("a.txt", "alpha", ZIP_FLAG_STRONG_ENCRYPTION)}),
              "member 'a.txt': encrypted");
    // The data against what the headers declare, the CRC-32 matching.
    r = Rec{"a.txt", "\xFF\xFF", sfx::EntryFields{20, 0, 8, zipcraft::kTime, zipcraft::kDate, 0, 2, 100}};
    r.central = r.local;
    add("invalid data decoding to nothing", craft({r}), "member 'a.txt': invalid DEFLATE data");
    r = stored("a.txt", "alpha"), r.local.size = r.central.size = 6;
    add("stored sizes differ", craft({r}), "member 'a.txt': stored as 5 bytes, its header says 6");
    r = plain, r.data = RawDeflate("alpha alpha") + "JUNK", r.local = r.central = fields(0, 8, "alpha alpha", r.data.size());
    add("stream ends before its data", craft({r}), "its DEFLATE stream ends 4 bytes before its compressed size");
    r.data = RawDeflate(std::string(64 << 20, '\0'));
    r.local = r.central = fields(0, 8, std::string(64 << 20, '\0'), r.data.size());
    r.local.size = r.central.size = 10;
    add("stream longer than declared", craft({r}), "member 'a.txt': decodes to more than 10 bytes");

    f = solid;
    f[f.size() - solidArchive.header.size() - 20] ^= 0x40;  // in the last folder's stream
    add("solid: changed stream byte", f, "the stub says: \"ZIP besch\xC3\xA4" "digt: Datei .\\");
    addListed("solid: block's total", Resealed(Patch32(solid, FindBlock(solid) + PB_TOTAL_SIZE, 3007)),
              "the block's total size is 3007, the members add up to 3030");
    f = solid;
    f[f.size() - 5] ^= 1;  // in the header, which its CRC-32 covers
    addListed("solid: changed header byte", f, "the stub says: \"Ung\xC3\xBCltiger ZIP-Dateikopf.");
    solidcraft::Archive cut = solidArchive;
    cut.editHeader = [](std::string* h) { h->pop_back(); };  // its CRC-32 right, its end mark gone
    const std::string endless = solidFile(cut);
    addListed("solid: header without its end", endless, "the stub says: \"Ung\xC3\xBCltiger ZIP-Dateikopf.");
    solidcraft::Archive encoded = solidArchive;
    encoded.encodeHeader = 1, encoded.headerCrcXor = 1;
    const std::string badEncoded = solidFile(encoded);
    addListed("solid: encoded header's CRC-32", badEncoded, "the stub says: \"Ung\xC3\xBCltiger ZIP-Dateikopf.");
    for (const std::string& unread : {f, endless, badEncoded}) {  // a header that could not be read lists no folders
        TempDir d;
        WriteFile(d / "f.exe", unread);
        EXPECT_EQ(RunMksfx({"list", d / "f.exe"}).out.find("Folders"), std::string::npos);
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir verifyDir;
        WriteFile(verifyDir / "f.exe", c.bytes);
        RunResult r = RunMksfx({"verify", verifyDir / "f.exe"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.fault), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("18446744"), std::string::npos) << "a count below zero: " << r.err;
        // Where the stub's code stopped, the members were not counted: no total is compared.
        auto totalAfterStop = [](const std::string& err) {
            return err.find("the stub says") != std::string::npos && err.find("members add up to") != std::string::npos;
        };
        EXPECT_FALSE(totalAfterStop(r.err)) << r.err;
        if (c.unread) EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (c.unread) EXPECT_EQ(RunMksfx({"list", verifyDir / "f.exe"}).out, "");
        EXPECT_EQ(JsonRendered("verify", verifyDir / "f.exe", 1), r.err);
        // Every line is a fault of its own, prefixed.
        for (size_t at = 0; at < r.err.size(); at = r.err.find('\n', at) + 1)
            EXPECT_EQ(r.err.compare(at, 7, "mksfx: "), 0) << r.err;
        if (!c.listed) continue;
        TempDir listDir;
        WriteFile(listDir / "f.exe", c.bytes);
        RunResult listed = RunMksfx({"list", listDir / "f.exe"});
        EXPECT_EQ(listed.exitCode, 1);
        EXPECT_NE(listed.err.find(c.fault), std::string::npos) << listed.err;
        EXPECT_FALSE(totalAfterStop(listed.err)) << listed.err;
        EXPECT_EQ(JsonRendered("list", listDir / "f.exe", 1), listed.out);
    }

    // 65536 local headers: the walk stops at the one an end record cannot count, with that fault
    // alone; the 65535 before it are listed, the file's end is not read.
    {
        SfxParts many = Sound();
        many.members.clear();
        for (int i = 0; i < 65536; ++i) many.members.push_back({"m" + std::to_string(100000 + i), "", 0});
        WriteFile(dir / "many.exe", BuildSfx(many));
        RunResult r = RunMksfx({"verify", dir / "many.exe"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "mksfx: " + dir / "many.exe" + ": more than 65535 local headers at offset 0x251FF1, more than an end record counts\n");
        RunResult listed = RunMksfx({"list", dir / "many.exe"});
        EXPECT_NE(listed.out.find("Signed: (not read)\n"), std::string::npos);
        EXPECT_NE(listed.out.find(" m165534\n65535 members\n"), std::string::npos);
    }

    // More than 64 MiB before the archive is refused on its own line before any of it is read;
    // 64 MiB are read. The files are sparse: only the bytes of `sound` are written.
    for (uint32_t offset : {64u << 20, (64u << 20) + 1}) {
        WriteFile(dir / "far.exe", Patch32(sound, block + 12, offset));
        ASSERT_EQ(truncate((dir / "far.exe").c_str(), offset + 100), 0);
        RunResult far = RunMksfx({"verify", dir / "far.exe"});
        EXPECT_EQ(far.exitCode, 1);
        const bool refused = far.err.find("mksfx reads at most 64 MiB before the archive") != std::string::npos;
        EXPECT_EQ(refused, offset > (64u << 20)) << far.err;
        EXPECT_TRUE(!refused || std::count(far.err.begin(), far.err.end(), '\n') == 1) << far.err;
        EXPECT_EQ(RunMksfx({"list", dir / "far.exe"}).out.empty(), refused);
    }

    // Signing reads the file as verify does: a member that fails its CRC-32 is named, and the
    // file stays as it was.
    if (HaveProgram("osslsigncode")) {
        f = built;
        f[f.find("alpha") + 1] ^= 0x20;
        WriteFile(dir / "damaged.exe", f);
        RunResult sign = RunMksfx({"sign", "--sign-cert", cert, "--sign-key", key, dir / "damaged.exe"});
        EXPECT_EQ(sign.exitCode, 1);
        EXPECT_NE(sign.err.find("member 'a.txt': CRC-32"), std::string::npos) << sign.err;
        EXPECT_EQ(ReadFile(dir / "damaged.exe"), f);
        // A file whose header the stub checks but that has no room for a signature is refused.
        WriteFile(dir / "tight.exe", sound);
        sign = RunMksfx({"sign", "--sign-cert", cert, "--sign-key", key, dir / "tight.exe"});
        EXPECT_EQ(sign.exitCode, 1);
        EXPECT_NE(sign.err.find("built without room for a signature"), std::string::npos) << sign.err;
        EXPECT_EQ(ReadFile(dir / "tight.exe"), sound);
        RunResult signs = RunMksfx({"sign", "--sign-cert", cert, "--sign-key", key, dir / "built.exe"});
        EXPECT_EQ(signs.exitCode, 0) << signs.err;
        // Its one line alone: the signing tool's words are taken, not passed on.
        EXPECT_EQ(signs.out.find(dir / "built.exe" + ": signed: "), 0u) << signs.out;
        EXPECT_EQ(std::count(signs.out.begin(), signs.out.end(), '\n'), 1) << signs.out;
        EXPECT_NE(RunMksfx({"verify", dir / "built.exe"}).out.find("signed: yes (CN=Tessly Test)"), std::string::npos);
    }
}

TEST(MksfxList, ShowsConfigurationAndMembers) {
    SfxParts p = Sound();
    p.config = ConfigText({"\xDC" "ber", "setup.exe", "", "hello", true, "Caption", true, SampleIcon()});
    p.optionFlags = 0x56;
    p.waitFor = "HELPER";
    p.members = {{"\x81" "ber.txt", "alpha"}, {"dir/", "", 0}};
    TempDir dir;
    WriteFile(dir / "f.exe", BuildSfx(p));
    RunResult r = RunMksfx({"list", dir / "f.exe"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonRendered("list", dir / "f.exe", 0), r.out);
    for (const char* line : {"command:      \"setup.exe\"", "about:        \"\xC3\x9C" "ber\"",
                             "caption:      \"Caption\"", "wait mode:    yes", "wait for:     HELPER.exe",
                             "header check: yes", "icon:         16x16, 16 colours, 318 bytes", "\xC3\xBC" "ber.txt",
                             "folder", "2 members", "Signed: no\n", "Resources:\n  resources: none\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    // A name to wait for without the option that asks for it is not waited for.
    p.optionFlags &= ~OPT_WAIT_FOR_PROGRAM;
    WriteFile(dir / "f.exe", BuildSfx(p));
    EXPECT_NE(RunMksfx({"list", dir / "f.exe"}).out.find("wait for:     (nothing)\n"), std::string::npos);

    // Every example's project file builds a file whose listing and verdict round-trip
    // through JSON.
    WriteFile(dir / "stub.exe", SyntheticStub());
    const std::string examples = TESSLY_SOURCE_DIR "/examples";
    size_t projects = 0;
    for (const std::string& example : ListFolder(examples)) {
        for (const std::string& name : ListFolder(examples + "/" + example)) {
            if (name.size() < 6 || name.compare(name.size() - 6, 6, ".mksfx") != 0) continue;
            SCOPED_TRACE(example + "/" + name);
            ++projects;
            RunResult built = RunMksfx({"build", "-q", "-o", dir / "example.exe", "--stub", dir / "stub.exe",
                                        "--project", examples + "/" + example + "/" + name});
            ASSERT_EQ(built.exitCode, 0) << built.err;
            RunResult listed = RunMksfx({"list", dir / "example.exe"}), verified = RunMksfx({"verify", dir / "example.exe"});
            EXPECT_EQ(listed.exitCode, 0) << listed.err;
            EXPECT_NE(listed.out.find("deflated"), std::string::npos) << listed.out;
            EXPECT_EQ(JsonRendered("list", dir / "example.exe", 0), listed.out);
            EXPECT_EQ(JsonRendered("verify", dir / "example.exe", 0), verified.out);
        }
    }
    EXPECT_EQ(projects, 2u);

    // A file the stub would refuse is listed, and the listing fails.
    std::string changed = BuildSfx(p);
    changed[100] ^= 1;
    WriteFile(dir / "changed.exe", changed);
    RunResult refused = RunMksfx({"list", dir / "changed.exe"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("2 members"), std::string::npos);
    EXPECT_NE(refused.err.find("header CRC-32 mismatch"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("changed.exe is damaged"), std::string::npos) << refused.err;
    EXPECT_EQ(JsonRendered("list", dir / "changed.exe", 1), refused.out);

    // Not a self-extracting file at all: nothing is listed.
    WriteFile(dir / "none.exe", std::string(5000, 'x'));
    RunResult none = RunMksfx({"list", dir / "none.exe"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no parameter block"), std::string::npos) << none.err;
    RunResult noneJson = RunMksfx({"list", "--json", dir / "none.exe"});
    EXPECT_EQ(noneJson.exitCode, 1);
    EXPECT_EQ(noneJson.out, "");
}

// What the stub refuses, verify calls unsound and extract refuses (removing its folder); a
// file the stub extracts without its bad icon extracts here too.
TEST(MksfxVerify, HostileFilesAreNeitherSoundNorExtracted) {
    for (const hostile::Case& c : hostile::Cases()) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        WriteFile(dir / "f.exe", hostile::File(c, SyntheticStub()));
        EXPECT_EQ(RunMksfx({"verify", dir / "f.exe"}).exitCode, 1);
        RunResult r = RunMksfx({"extract", dir / "f.exe", dir / "out"});
        EXPECT_EQ(r.exitCode, c.completes ? 0 : 1) << r.err;
        std::vector<std::string> left = {"f.exe"};
        if (c.completes) left.push_back("out");
        EXPECT_EQ(ListFolder(dir.path()), left);
    }
}

}  // namespace
