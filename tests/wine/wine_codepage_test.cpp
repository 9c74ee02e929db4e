// The code pages a program sees under the tests' Wine, and the OEM-to-ANSI table of the POSIX
// stand-in against the system's own conversion (oemdump.exe reports both).
#include <sstream>

#include "posix/codepage.h"
#include "tests/wine/support/wine.h"

namespace {

TEST(WineEnvironment, CodePagesAre1252And850AndTheStandInConvertsEveryOemByteAsTheSystemDoes) {
    wine::ProgramRun run = wine::Session::Get().Run(wine::TestProgram("oemdump"), {});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::istringstream report(run.out);
    unsigned acp = 0, oemcp = 0, system = 0;
    report >> acp >> oemcp >> std::hex;
    EXPECT_EQ(acp, 1252u);
    EXPECT_EQ(oemcp, 850u);
    int b = 0;
    for (; b < 256 && report >> system; ++b) EXPECT_EQ(system, oemToAnsi[b]) << "OEM byte " << std::hex << b;
    EXPECT_EQ(b, 256);
}

}  // namespace
