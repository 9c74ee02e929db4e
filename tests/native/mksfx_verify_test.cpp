// mksfx verify and list over damaged and crafted self-extracting files: each fault is found
// and named on a line of its own, and a sound file passes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/hostile.h"
#include "tests/support/sfx_files.h"

using namespace sfxtest;

namespace {

SfxParts Sound() {
    SfxParts p;
    ConfigFields c;
    c.command = "setup.exe";
    c.text = "hello";
    p.config = ConfigText(c);
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

    struct Case {
        const char* what;
        std::string bytes;
        const char* fault;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, std::string bytes, const char* fault) { cases.push_back({what, bytes, fault}); };

    std::string f = sound;
    f[10] ^= 1;
    add("changed image byte", f, "header CRC-32 mismatch");
    f = sound;
    f[data + 2] ^= 0x40;
    add("changed member byte", f, "member 'a.txt'");
    f = sound;
    SetLe32(&f, block + 20, Le32(sound, block + 20) - 1);
    ResealHeader(&f);
    add("end record offset", f, "no end record at");
    f = sound;
    SetLe32(&f, block + 24, 5);
    ResealHeader(&f);
    add("total size", f, "total size is 5");
    add("cut short", sound.substr(0, data + 10), "archive cut short");
    f = sound;
    f.replace(200, 8, sound.substr(block, 8));
    ResealHeader(&f);
    add("signature twice", f, "occurs 2 times");
    add("no block", std::string(5000, 'x'), "no parameter block");
    f = sound;
    f[0] = 'X';
    ResealHeader(&f);
    add("stub image without MZ", f, "the stub image is not sound: no MZ signature");
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
    p = Sound();
    p.members = {{"a.txt", "alpha", 12}};
    add("method", BuildSfx(p), "compression method 12");
    p.members = {{"a.txt", "alpha", 8, 0, 0x6000, 0x5A21, true}};
    add("bad CRC", BuildSfx(p), "CRC-32");
    p.members = {{"a.txt", "alpha"}};
    p.rawArchive.clear();
    p.config = ConfigText(ConfigFields{std::string(600, 'a'), "cmd", "", "text"});
    add("string longer than its field", BuildSfx(p), "about text has 600 characters");
    p.config = std::string("about\0cmd", 9);
    add("string without end", BuildSfx(p), "command runs past the end");
    ConfigFields icon;
    icon.hasIcon = true;
    icon.icon = "bogus";
    p.config = ConfigText(icon);
    add("bad icon", BuildSfx(p), "icon is unusable");
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
    ASSERT_EQ(RunMksfx({"build", "-q", "-o", dir / "built.exe", "--stub", dir / "stub.exe", dir / "in"}).exitCode, 0);
    const std::string built = ReadFile(dir / "built.exe");
    f = built;
    f.replace(3000, 8, built.substr(FindBlock(built), 8));  // after the block, before the resources
    ResealHeader(&f);
    add("signature twice in a built stub", f, "occurs 2 times in the stub image");
    f = built;
    SetLe32(&f, 0x2000 + 16, 30);  // the first type's id above the second's
    ResealHeader(&f);
    add("resource ids out of order", f, "resources: the resource table at 0x0: its ids do not ascend");
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
    ASSERT_EQ(RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                          "-days", "2", "-subj", "/CN=Tessly Test"}).exitCode, 0);
    ASSERT_EQ(RunProgram({"openssl", "smime", "-sign", "-binary", "-nodetach", "-in", cert, "-signer", cert, "-inkey",
                          key, "-outform", "DER", "-out", der}).exitCode, 0);
    std::string entry = std::string("\0\0\0\0\0\x02\x02\0", 8) + ReadFile(der);
    SetLe32(&entry, 0, (uint32_t)entry.size());
    entry.resize((entry.size() + 7) & ~(size_t)7, '\0');
    RunResult sig = VerifyBytes(withTable(built, entry, (uint32_t)entry.size()));
    EXPECT_EQ(sig.exitCode, 0) << sig.err;
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
    add("signed without room", withTable(sound, notSignedData, 16), "built without room for a signature");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunResult r = VerifyBytes(c.bytes);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.fault), std::string::npos) << r.err;
        // Every line is a fault of its own, prefixed.
        for (size_t at = 0; at < r.err.size(); at = r.err.find('\n', at) + 1)
            EXPECT_EQ(r.err.compare(at, 7, "mksfx: "), 0) << r.err;
    }
}

TEST(MksfxList, ShowsConfigurationAndMembers) {
    SfxParts p = Sound();
    ConfigFields c;
    c.about = "\xDC" "ber";
    c.command = "setup.exe";
    c.text = "hello";
    c.hasCaption = true;
    c.caption = "Caption";
    p.optionFlags = 0x56;
    p.waitFor = "HELPER";
    c.hasIcon = true;
    c.icon = SampleIcon();
    p.config = ConfigText(c);
    p.members = {{"\x81" "ber.txt", "alpha"}, {"dir/", "", 0}};
    TempDir dir;
    WriteFile(dir / "f.exe", BuildSfx(p));
    RunResult r = RunMksfx({"list", dir / "f.exe"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* line : {"command:      \"setup.exe\"", "about:        \"\xC3\x9C" "ber\"",
                             "caption:      \"Caption\"", "wait mode:    yes", "wait for:     HELPER.exe",
                             "header check: yes", "icon:         16x16, 16 colours, 318 bytes", "\xC3\xBC" "ber.txt",
                             "folder", "2 members", "Signed: no\n", "Resources:\n  resources: none\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    // A file the stub would refuse is listed, and the listing fails.
    std::string changed = BuildSfx(p);
    changed[100] ^= 1;
    WriteFile(dir / "changed.exe", changed);
    RunResult refused = RunMksfx({"list", dir / "changed.exe"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("2 members"), std::string::npos);
    EXPECT_NE(refused.err.find("header CRC-32 mismatch"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("changed.exe is damaged"), std::string::npos) << refused.err;

    // Not a self-extracting file at all: nothing is listed.
    WriteFile(dir / "none.exe", std::string(5000, 'x'));
    RunResult none = RunMksfx({"list", dir / "none.exe"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no parameter block"), std::string::npos) << none.err;
}

// What the stub refuses, verify does not call sound, and extract refuses with the stub's own
// text (removing its folder again); a file that the stub extracts without its bad icon
// extracts here too.
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
