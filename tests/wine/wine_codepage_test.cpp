// The Wine environment of the tests: the code pages a program sees, the OEM-to-ANSI table of
// the POSIX stand-in against the system's own conversion, and the per-program Windows version.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "posix/codepage.h"
#include "tests/wine/support/wine.h"

namespace {

struct SystemReport {
    unsigned acp = 0, oemcp = 0;
    unsigned long version = 0;
    std::vector<int> conversion;  // OemToCharBuffA of each byte
};

// Runs oemdump.exe and reads its "name value" lines.
SystemReport Report() {
    wine::ProgramRun run = wine::Session::Get().Run(wine::TestProgram("oemdump"), {});
    EXPECT_EQ(run.status, 0) << run.err;
    SystemReport r;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        if (name == "acp") words >> r.acp;
        else if (name == "oemcp") words >> r.oemcp;
        else if (name == "version") words >> std::hex >> r.version;
        else if (name == "oemtoansi")
            for (int v; words >> std::hex >> v;) r.conversion.push_back(v);
    }
    return r;
}

TEST(WineEnvironment, AnsiCodePageIs1252AndOemCodePageIs850) {
    SystemReport r = Report();
    EXPECT_EQ(r.acp, 1252u);
    EXPECT_EQ(r.oemcp, 850u);
}

TEST(WineEnvironment, StandInConvertsEveryOemByteAsTheSystemDoes) {
    SystemReport r = Report();
    ASSERT_EQ(r.conversion.size(), 256u);
    std::string differences;
    for (int b = 0; b < 256; ++b) {
        if (r.conversion[b] == oemToAnsi[b]) continue;
        char text[64];
        std::snprintf(text, sizeof text, " %02X: system %02X, stand-in %02X;", b, r.conversion[b],
                      oemToAnsi[b]);
        differences += text;
    }
    EXPECT_EQ(differences, "");
    // the letters that the message table uses
    EXPECT_EQ(r.conversion[0x81], 0xFC);  // ü
    EXPECT_EQ(r.conversion[0xE1], 0xDF);  // ß
}

TEST(WineEnvironment, OlderWindowsVersionIsReportedToTheNamedProgramOnly) {
    wine::Session& session = wine::Session::Get();
    struct Case {
        const char* setting;
        unsigned long lowWord;  // major version, then minor version
        bool nt;
    };
    const Case cases[] = {{"win95", 0x0004, false}, {"win31", 0x0A03, false}};
    unsigned long normal = Report().version;
    EXPECT_EQ(normal & 0x80000000ul, 0ul) << std::hex << normal;
    for (const Case& c : cases) {
        session.SetWindowsVersion("oemdump.exe", c.setting);
        unsigned long v = Report().version;
        EXPECT_EQ(v & 0xFFFF, c.lowWord) << c.setting << std::hex << " " << v;
        EXPECT_EQ((v & 0x80000000ul) == 0, c.nt) << c.setting << std::hex << " " << v;
    }
    session.SetWindowsVersion("oemdump.exe", "");
    EXPECT_EQ(Report().version, normal);
}

}  // namespace
