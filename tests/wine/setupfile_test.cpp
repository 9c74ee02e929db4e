// What Windows sees of a finished file besides the stub's own work: its resources (manifest,
// icon, version information), read back with wrestool and icotool. The real stub under Wine
// still extracts, runs the command and cleans up.
#include "tests/wine/scenario.h"

namespace {

using namespace scenario;

const std::map<std::string, std::string> kFiles = {
    {"probe.exe", "@probe"},
    {"zufall.bin", zipcraft::RandomBytes(64, 7)},
};
const char kCommand[] = "probe.exe record=..\\record.txt";

std::string Utf16(const std::string& utf8) {  // characters below U+10000
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned c = (unsigned char)utf8[i], more = c < 0x80 ? 0 : c < 0xE0 ? 1 : 2;
        unsigned code = more == 0 ? c : c & (more == 1 ? 0x1F : 0x0F);
        for (unsigned k = 1; k <= more; ++k) code = code << 6 | (utf8[i + k] & 0x3F);
        out += std::string{(char)(code & 0xFF), (char)(code >> 8)};
        i += more + 1;
    }
    return out;
}

// Starts the package with /AUTO: the run ends by itself, having run the command in the
// extraction folder, and nothing of the extraction is left.
void ExpectRun(const Package& p) {
    std::error_code ec;
    fs::remove(TempFolder() + "/record.txt", ec);
    wine::DriverRun run = Wine().Drive({Start(p, "/AUTO"), "exit timeout=30000"});
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), 0);
    EXPECT_EQ(UnixPath(Field(ReadRecord(TempFolder() + "/record.txt"), "folder")), ExtractFolder());
    EXPECT_FALSE(Exists(ExtractFolder()));
}

TEST(SetupFile, ResourcesReadBackAndTheFileStillRuns) {
    std::string icons = Wine().WorkDir("setupfile-icons") + "/rose.ico";
    ASSERT_EQ(sfxtest::RunProgram({"convert", "rose:", "-define", "icon:auto-resize=256,48,16", icons}).exitCode, 0);
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::string exe, level;
        std::vector<std::string> iconSizes;     // as icotool lists the extracted group
        std::vector<std::string> versionTexts;  // in the version resource, UTF-16
        std::vector<std::string> listed;        // lines of mksfx list
    } cases[] = {
        {"defaults", {}, "setup.exe", "asInvoker", {}, {"setup.exe", "1.0"},
         {"  manifest: asInvoker\n", "  icon: none\n", "  ProductName: setup\n", "  file version: 1.0.0.0\n"}},
        {"highest",
         {"--elevation", "highest", "--icon", "@icon", "--product-name", "Beispiel", "--product-version", "2.1.7",
          "--company", "Gr\xC3\xB6\xC3\x9F" "e GmbH", "--copyright", "\xC2\xA9 2026 Beispiel"},
         "Beispiel-Setup.exe", "highestAvailable", {"--width=32 --height=32 --bit-depth=4"},
         {"Beispiel", "2.1.7", "Gr\xC3\xB6\xC3\x9F" "e GmbH", "\xC2\xA9 2026 Beispiel", "Beispiel-Setup.exe"},
         {"  manifest: highestAvailable\n", "  icon: 32x32 4-bit\n", "  file version: 2.1.7.0\n",
          "  CompanyName: Gr\xC3\xB6\xC3\x9F" "e GmbH\n"}},
        {"admin", {"--elevation", "admin", "--icon", icons, "--description", "Ein Beispiel"}, "setup.exe",
         "requireAdministrator", {"--width=256 --height=256", "--width=48 --height=48", "--width=16 --height=16"},
         {"Ein Beispiel"}, {"  manifest: requireAdministrator\n", "  FileDescription: Ein Beispiel\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--command", kCommand});
        Package p = Pack(std::string("setupfile-") + c.name, kFiles, options, c.exe);
        std::string manifest = sfxtest::RunProgram({"wrestool", "-x", "--raw", "-t24", "-n1", p.exe}).out;
        EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"" + c.level + "\""), std::string::npos) << manifest;
        EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
        EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"), std::string::npos);
        sfxtest::RunProgram({"wrestool", "-x", "-t14", "-o", p.folder + "/file.ico", p.exe});
        std::string listedIcons = sfxtest::RunProgram({"icotool", "-l", p.folder + "/file.ico"}).out;
        for (const std::string& size : c.iconSizes) EXPECT_NE(listedIcons.find(size), std::string::npos) << size;
        EXPECT_EQ(std::count(listedIcons.begin(), listedIcons.end(), '\n'), (long)c.iconSizes.size()) << listedIcons;
        std::string version = sfxtest::RunProgram({"wrestool", "-x", "--raw", "-t16", p.exe}).out;
        for (const std::string& text : c.versionTexts)
            EXPECT_NE(version.find(Utf16(text) + std::string(2, '\0')), std::string::npos) << text;
        std::string listed = sfxtest::RunMksfx({"list", p.exe}).out;
        for (const std::string& line : c.listed) EXPECT_NE(listed.find(line), std::string::npos) << line << listed;
        ExpectRun(p);
    }
}

}  // namespace
