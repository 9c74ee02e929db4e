// ZIP files made by other tools as mksfx inputs: their members reach the self-extracting
// file with the compressed data unchanged and with local headers the stub can trust (real
// CRC-32 and sizes, no data descriptors); ZIP files the stub could not take are refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "startup/startup.h"
#include "tests/support/sfx_files.h"

using namespace sfxtest;

namespace {

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
const std::string kName = "Gr\xC3\xBC\xC3\x9F" "e.txt", kNameIn850 = "Gr\x81\xE1" "e.txt";

struct Fixture {
    TempDir dir;
    std::string tree = dir / "tree";
    std::string stub = dir / "stub.exe";
    Fixture() {
        std::string text;
        for (int i = 0; i < 300; ++i) text += "entry " + std::to_string(i * 7) + " of a table\n";
        WriteFile(tree + "/readme.txt", text);
        WriteFile(tree + "/bin/tool.dat", text.substr(0, 1000) + std::string(3000, 'z'));
        WriteFile(tree + "/bin/tiny.txt", "x");
        WriteFile(tree + "/" + kName, "umlauts");
        WriteFile(stub, SyntheticStub());
    }
};

// Builds from `zip`, then checks what every consumer of the result sees.
void BuildAndCheck(const Fixture& fx, const std::string& zip) {
    std::string out = fx.dir / "out.exe";
    RunResult r = RunMksfx({"build", "-o", out, "--stub", fx.stub, "--command", "run.bat", zip});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RunResult verify = RunMksfx({"verify", out});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;
    RunResult unzip = RunProgram({"unzip", "-t", out});
    EXPECT_EQ(unzip.exitCode, 0) << unzip.out << unzip.err;
    EXPECT_EQ((unzip.out + unzip.err).find("warning"), std::string::npos) << unzip.out << unzip.err;

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

    std::string unpacked = fx.dir / "unpacked";
    ASSERT_EQ(RunProgram({"unzip", "-q", "-o", out, "-d", unpacked}).exitCode, 0);
    for (const char* name : {"readme.txt", "bin/tool.dat", "bin/tiny.txt"})
        EXPECT_EQ(ReadFile(unpacked + "/" + name), ReadFile(fx.tree + "/" + name)) << name;

    ResetStubState(out);
    ASSERT_TRUE(LoadStubParams(file));
    EXPECT_EQ(RunUnderCheckpoint(LoadStubData), 0);
    EXPECT_STREQ(state.command, "run.bat");
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
        Fixture fx;
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
    std::vector<ZipMember> members = {{"readme.txt", text},
                                      {"bin/tool.dat", std::string(500, 'q'), 0},
                                      {"bin/tiny.txt", "x", 8, 0x0008, 0x6000, 0x5A21, false, true}};
    // An Info-ZIP Unicode path field in the central entry of "bin/u.dat": version 1, the CRC of
    // that plain name, the UTF-8 name.
    std::string unicode = ZipArchive({members[0], {"bin/u.dat", "u", 0}, members[2]});
    std::string field = std::string("\x75\x70\x0F\0\x01", 5) + std::string(4, '\0') + "bin/\xC3\xBC.dat";
    SetLe32(&field, 5, ZlibCrc("bin/u.dat"));
    size_t second = unicode.find("PK\x01\x02", unicode.find("PK\x01\x02") + 4);
    unicode.insert(second + 46 + 9, field), unicode[second + 30] = (char)field.size();
    SetLe32(&unicode, unicode.size() - 22 + 12, Le32(unicode, unicode.size() - 22 + 12) + (uint32_t)field.size());
    std::string otherName = unicode;  // its CRC no longer that of the plain name: not taken
    otherName[second + 46 + 9 + 5] ^= 1;
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
        {"Unicode path field of another name", otherName, "bin/u.dat"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string zip = dir / "in.zip", out = dir / "out.exe", stub = dir / "stub.exe";
        WriteFile(zip, c.zip);
        WriteFile(stub, SyntheticStub());
        RunResult r = RunMksfx({"build", "-o", out, "--stub", stub, zip});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(RunMksfx({"verify", out}).exitCode, 0);
        std::vector<Record> locals = LocalRecords(ReadFile(out));
        ASSERT_EQ(locals.size(), 3u);
        EXPECT_EQ(locals[0].name, "bin/tiny.txt");  // sorted by name
        EXPECT_EQ(locals[2].name, "readme.txt");
        EXPECT_EQ(locals[1].name, c.middle);
        EXPECT_EQ(locals[0].flags, 0);
        EXPECT_EQ(locals[0].crc, ZlibCrc("x"));
        EXPECT_EQ(locals[0].size, 1u);
    }
}

TEST(MksfxZipInput, ArchivesTheStubCannotTake) {
    TempDir dir;
    std::string stub = dir / "stub.exe";
    WriteFile(stub, SyntheticStub());
    std::string good = ZipArchive({{"a.txt", "alpha"}});
    std::string zip64 = good;  // a ZIP64 end-of-directory locator in front of the end record
    zip64.insert(zip64.size() - 22, std::string("PK\x06\x07", 4) + std::string(16, '\0'));
    ZipMember corrupt{"a.txt", "alpha alpha alpha"};
    corrupt.badCrc = true;
    std::string truncatedStream = ZipArchive({{"a.txt", std::string(5000, 'a')}});
    truncatedStream[30 + 5 + 3] ^= 0x55;  // inside the DEFLATE data

    struct Case {
        const char* what;
        std::string zip;
        const char* message;
    } cases[] = {
        {"encrypted member", ZipArchive({{"a.txt", "alpha", 0, 0x0001}}), "member a.txt is encrypted"},
        {"bzip2 member", ZipArchive({{"a.txt", "alpha", 12}}), "compression method 12"},
        {"ZIP64", zip64, "ZIP64"},
        {"'..' in a name", ZipArchive({{"../evil.txt", "x"}}), "'..' component"},
        {"absolute name", ZipArchive({{"/etc/evil", "x"}}), "absolute path"},
        {"drive letter", ZipArchive({{"C:evil.txt", "x"}}), "drive letter"},
        {"backslash", ZipArchive({{"sub\\evil.txt", "x"}}), "backslash"},
        {"CRC mismatch", ZipArchive({corrupt}), "CRC-32 mismatch"},
        {"broken data", truncatedStream, "member a.txt"},
        {"not a ZIP file", std::string(300, 'n'), "not a ZIP file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string zip = dir / "in.zip", out = dir / "out.exe";
        WriteFile(zip, c.zip);
        RunResult r = RunMksfx({"build", "-o", out, "--stub", stub, zip});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // one line
        EXPECT_EQ(ListFolder(dir.path()), (std::vector<std::string>{"in.zip", "stub.exe"}));
    }

    if (HaveProgram("zip")) {
        WriteFile(dir / "secret.txt", "classified");
        ASSERT_EQ(RunProgram({"zip", "-q", "-P", "pw", "enc.zip", "secret.txt"}, {}, dir.path()).exitCode, 0);
        RunResult r = RunMksfx({"build", "-o", dir / "out.exe", "--stub", stub, dir / "enc.zip"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("secret.txt is encrypted"), std::string::npos) << r.err;
    }
}

}  // namespace
