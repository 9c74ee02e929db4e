// The code pages a program sees under the tests' Wine, and the OEM-to-ANSI table of the POSIX
// stand-in against the system's own conversion (oemdump.exe reports both).
#include <algorithm>
#include <sstream>

#include "posix/codepage.h"
#include "tests/wine/support/wine.h"

namespace {

TEST(WineEnvironment, CodePagesAre1252And850AndTheStandInConvertsEveryOemByteAsTheSystemDoes) {
    wine::ProgramRun run = wine::Session::Get().Run(wine::TestProgram("oemdump"), {});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::map<std::string, std::string> report;
    run.out.erase(std::remove(run.out.begin(), run.out.end(), '\r'), run.out.end());
    std::istringstream lines(run.out);
    for (std::string name, value; lines >> name && std::getline(lines, value);) report[name] = value;
    EXPECT_EQ(report["acp"], " 1252");
    EXPECT_EQ(report["oemcp"], " 850");
    std::istringstream bytes(report["oemtoansi"]);
    int b = 0;
    for (unsigned system; bytes >> std::hex >> system; ++b)
        EXPECT_EQ(system, oemToAnsi[b]) << "OEM byte " << std::hex << b;
    EXPECT_EQ(b, 256);
}

}  // namespace
