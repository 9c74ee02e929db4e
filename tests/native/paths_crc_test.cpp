// The CRC-32 against zlib's, the path operations, and the POSIX stand-in where its answers
// matter to the program (its OEM to ANSI table is held against the system's own under Wine).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <random>

#include "tests/support/fresh_state.h"

namespace {

// Random buffers of many lengths, folded in at once and in two pieces.
TEST(Crc32, MatchesZlibOnRandomBuffersOfManyLengths) {
    FreshState();
    BuildCrcTable();
    std::mt19937 random(12345);
    std::vector<unsigned char> bytes(70000);
    for (auto& b : bytes) b = (unsigned char)random();
    std::vector<size_t> lengths = {0, 1, 2, 3, 4, 7, 8, 15, 16, 255, 256, 2047, 2048, 2049, 65536, 70000};
    for (int i = 0; i < 200; ++i) lengths.push_back(random() % bytes.size());
    for (size_t n : lengths) {
        size_t start = random() % (bytes.size() - n + 1), first = n ? random() % n : 0;
        uLong expected = crc32(0L, &bytes[start], (uInt)n);
        state.crc32.value = 0xFFFFFFFF;
        Crc32Update(&bytes[start], (DWORD)n);
        ASSERT_EQ(expected, ~state.crc32.value) << "length " << n;
        state.crc32.value = 0xFFFFFFFF;
        Crc32Update(&bytes[start], (DWORD)first);
        Crc32Update(&bytes[start + first], (DWORD)(n - first));
        ASSERT_EQ(expected, ~state.crc32.value) << "length " << n << " in pieces of " << first;
    }
}

TEST(Paths, FileNamePart) {
    struct Case {
        const char* path;
        const char* part;
    } cases[] = {
        {"C:\\TEMP\\A.TXT", "A.TXT"}, {"A.TXT", "A.TXT"},   {"\\A.TXT", "\\A.TXT"},
        {"C:\\TEMP\\", ""},           {"a/b/c.txt", "c.txt"}, {"a\\b/c", "c"},
        {"", ""},                     {"/", "/"},            {"x/", ""},
    };
    for (const Case& c : cases) {
        std::string buffer = c.path;
        char* part = FileNamePart(&buffer[0]);
        EXPECT_STREQ(c.part, part) << c.path;
        EXPECT_TRUE(part >= &buffer[0] && part <= &buffer[0] + buffer.size());
    }
}

// The system's form of a path: the folder's own name replaces its ANSI form, which may hold
// '?' for what the code page lacks; a full path with a drive gets "\\?\".
TEST(Paths, WidePathTakesTheFoldersOwnName) {
    struct Case {
        const char* wideFolder;
        const char* path;
        const char* expected;
    } cases[] = {
        {"C:\\Temp\\\xC5\x81\xC3\xB3" "d\xC5\xBA\\QVS1.tmp", "C:\\Temp\\?\xF3" "d?\\QVS1.tmp\\a\\b.txt",
         "\\\\?\\C:\\Temp\\\xC5\x81\xC3\xB3" "d\xC5\xBA\\QVS1.tmp\\a\\b.txt"},
        {"C:\\Temp\\\xC5\x81\xC3\xB3" "d\xC5\xBA\\QVS1.tmp", "C:\\Temp\\?\xF3" "d?\\QVS1.tmp",
         "\\\\?\\C:\\Temp\\\xC5\x81\xC3\xB3" "d\xC5\xBA\\QVS1.tmp"},
        {"C:\\Temp\\\xC5\x81\xC3\xB3" "d\xC5\xBA\\QVS1.tmp", "C:\\Temp\\other.txt", "\\\\?\\C:\\Temp\\other.txt"},
        {"", "C:\\Temp\\?\xF3" "d?\\QVS1.tmp\\a", "\\\\?\\C:\\Temp\\?\xF3" "d?\\QVS1.tmp\\a"},
        {"\\\\server\\share\\QVS1.tmp", "C:\\Temp\\?\xF3" "d?\\QVS1.tmp\\a", "\\\\server\\share\\QVS1.tmp\\a"},
        {"", "sub\\f.txt", "sub\\f.txt"},
        {"", "/tmp/x/y", "/tmp/x/y"},
    };
    for (const Case& c : cases) {
        FreshState();
        lstrcpyA(state.output.folder, "C:\\Temp\\?\xF3" "d?\\QVS1.tmp");
        lstrcpyA(state.output.folderWide, c.wideFolder);
        WCHAR out[WIDE_PATH_CHARS];
        EXPECT_STREQ(c.expected, WidePath(c.path, out)) << c.path;
    }
    // What does not fit names nothing rather than the folder or a shorter path.
    FreshState();
    lstrcpyA(state.output.folder, "C:\\T");
    lstrcpyA(state.output.folderWide, ("C:\\" + std::string(PATH_CHARS - 4, 'w')).c_str());
    WCHAR out[WIDE_PATH_CHARS];
    EXPECT_STREQ("", WidePath(("C:\\T\\" + std::string(20, 'n')).c_str(), out));
    FreshState();
}

TEST(Paths, DeleteFileForced) {
    FreshState();
    TempDir dir;
    std::string file = dir.File("ro.txt");
    WriteFile(file, "x");
    chmod(file.c_str(), 0444);
    EXPECT_FALSE(DeleteFileA(file.c_str()));  // a plain delete refuses a read-only file
    EXPECT_TRUE(DeleteFileForced(file.c_str()));
    EXPECT_FALSE(FileExists(file));
    EXPECT_FALSE(DeleteFileForced(file.c_str()));  // missing
    WriteFile(file, "x");
    EXPECT_TRUE(DeleteFileForced(file.c_str()));  // a plain file, at the first try
    ASSERT_TRUE(CreateFolder(dir.File("d").c_str()));
    EXPECT_FALSE(DeleteFileForced(dir.File("d").c_str()));  // a folder is not a file
    EXPECT_TRUE(FileExists(dir.File("d")));
}

TEST(StandIn, FormatsThePlaceholdersTheProgramUses) {
    char out[1100];
    wsprintfA(out, "%08lx|%08lx|%lx", (DWORD)0x1F, (DWORD)0xDEADBEEF, (DWORD)0);
    EXPECT_STREQ("0000001f|deadbeef|0", out);
    wsprintfA(out, "QVT%05u", 42u);
    EXPECT_STREQ("QVT00042", out);
    wsprintfA(out, "%s [%s]", "Tessly Self-Extractor", "setup.exe");
    EXPECT_STREQ("Tessly Self-Extractor [setup.exe]", out);
    wsprintfA(out, "%s %s X", "", "");
    EXPECT_STREQ("  X", out);
    std::string longText(3000, 'a');
    EXPECT_EQ(1024, wsprintfA(out, "%s", longText.c_str()));  // stored at most 1024
    EXPECT_EQ(1024u, strlen(out));
}

TEST(StandIn, TemporaryNames) {
    FreshState();
    TempDir dir;
    char name[MAX_PATH];
    ASSERT_EQ(1u, GetTempFileNameA(dir.path().c_str(), "QVS", 1, name));
    EXPECT_EQ(dir.path() + "\\QVS1.TMP", name);
    EXPECT_FALSE(FileExists(dir.File("QVS1.TMP")));  // a fixed number only forms the name
    UINT unique = GetTempFileNameA(dir.path().c_str(), "QVSE", 0, name);
    ASSERT_NE(0u, unique);
    std::string created = standin::ToNative(name);
    EXPECT_TRUE(FileExists(created));
    EXPECT_EQ(0u, created.rfind(dir.path() + "/QVS", 0));
}

}  // namespace
