// The POSIX stand-in where its answers matter to the program: formatting, temporary names
// and the Windows semantics the program relies on. (Its OEM to ANSI table is held against the
// system's own conversion under Wine.)
#include <gtest/gtest.h>

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

}  // namespace
