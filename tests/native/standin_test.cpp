// The POSIX stand-in where its answers matter to the program: formatting, the OEM to ANSI
// conversion, temporary names and the Windows semantics the program relies on.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include "tests/support/fresh_state.h"

namespace {

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

TEST(StandIn, FormatTextCutsToTheDestination) {
    char small[10];
    memset(small, 'z', sizeof small);
    FormatText(small, 8, "Unzip von %s", "file.txt");
    EXPECT_STREQ("Unzip v", small);
    EXPECT_EQ('z', small[8]);
}

// Every byte that code page 850 and Windows-1252 share is converted as the system's own
// converter does; the others become a printable stand-in character.
TEST(StandIn, OemToAnsiAgreesWithIconv) {
    iconv_t cd = iconv_open("CP1252", "CP850");
    ASSERT_NE((iconv_t)-1, cd);
    int compared = 0;
    for (int b = 1; b < 256; ++b) {
        char in = (char)b, out[4] = {0};
        char* ip = &in;
        char* op = out;
        size_t il = 1, ol = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char ours;
        OemToCharBuffA(&in, &ours, 1);
        if (iconv(cd, &ip, &il, &op, &ol) != (size_t)-1 && op - out == 1) {
            EXPECT_EQ((unsigned char)out[0], (unsigned char)ours) << "byte " << b;
            ++compared;
        } else {
            EXPECT_GE((unsigned char)ours, 0x20) << "byte " << b;
        }
    }
    iconv_close(cd);
    EXPECT_GT(compared, 200);
    char text[] = "\x81\x84\x94\x9A\xE1";
    char ansi[6];
    OemToCharA(text, ansi);
    EXPECT_STREQ("\xFC\xE4\xF6\xDC\xDF", ansi);
}

TEST(StandIn, TemporaryNames) {
    FreshState();
    ScratchDir dir;
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

TEST(StandIn, CreatingOverAReadOnlyFileOrAFolderFails) {
    FreshState();
    ScratchDir dir;
    std::string file = dir.File("ro");
    WriteFileBytes(file, "keep");
    chmod(file.c_str(), 0444);
    EXPECT_EQ(HFILE_ERROR, _lcreat(file.c_str(), 0));
    EXPECT_EQ("keep", ReadFileBytes(file));
    EXPECT_EQ(HFILE_ERROR, _lcreat(dir.path().c_str(), 0));
}

}  // namespace
