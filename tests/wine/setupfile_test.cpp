// A finished file's resources (mksfx list, wrestool) and Authenticode signature (osslsigncode);
// the real stub under Wine still runs each file, or refuses a changed one as it always has.
// Files made by CMake projects through the installed CMake package run silently.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"
#include "tests/wine/support/wine.h"

namespace {

using namespace wine;
namespace fs = std::filesystem;

const std::map<std::string, std::string> kFiles = {
    {"probe.exe", "@probe"},
    {"zufall.bin", zipcraft::RandomBytes(64, 7)},  // stored as it is: a member byte to change
};
const char kCommand[] = "probe.exe record=..\\record.txt";

// With /AUTO: the command runs in the extraction folder or, with `box`, an error box begins
// with it and the run ends with `code`; either way nothing of the extraction is left.
void ExpectRun(const Package& p, const std::string& box = "", long code = 0) {
    std::vector<std::string> script{StartLine(p, "/AUTO") + " utf8=1"};  // the folder may be named beyond ASCII
    if (!box.empty()) script.insert(script.end(), {"wait kind=msgbox timeout=30000", "dump", "click id=1"});
    script.push_back("exit timeout=30000");
    wine::DriverRun run = Wine().Drive(script);
    ASSERT_TRUE(run.Ok()) << run.Describe();
    EXPECT_EQ(run.ExitCode(), code);
    if (box.empty()) {
        EXPECT_EQ(UnixPath(Field(ReadRecord(TempFolder() + "/record.txt"), "folder")), ExtractFolder());
    } else {
        EXPECT_EQ(run.Dump(0).text.compare(0, box.size(), box), 0) << run.Dump(0).text;
    }
    EXPECT_FALSE(Exists(ExtractFolder()));
}

// mksfx.exe under Wine, given the Windows paths (the folder's letters beyond Windows-1252) of the
// inputs `p` was built from, makes the same bytes, from the folder and from a ZIP file of it
// (whose members are copied as they are); then both list, verify and extract alike, and
// mksfx.exe says it cannot sign.
void ExpectWindowsBuilderAgrees(const Package& p, const std::vector<std::string>& options) {
    const std::string name = fs::path(p.exe).filename().string(), zip = p.folder + "/eingabe.zip";
    ASSERT_EQ(sfxtest::RunProgram({"zip", "-qrX", zip, "."}, {}, p.folder + "/in").exitCode, 0);
    const std::string fromZip = p.folder + "/zip/" + name;
    fs::create_directories(p.folder + "/zip");
    std::vector<std::string> linuxArgs{"build", "-o", fromZip, "--stub", Stub()};
    linuxArgs.insert(linuxArgs.end(), options.begin(), options.end());
    linuxArgs.push_back(zip);
    ASSERT_EQ(sfxtest::RunMksfx(linuxArgs).exitCode, 0);
    const std::string made = p.folder + "/windows/" + name;
    fs::create_directories(p.folder + "/windows");
    for (const auto& [input, expected] : {std::pair{p.folder + "/in", p.exe}, std::pair{zip, fromZip}}) {
        std::vector<std::string> args{"build", "-o", made, "--stub", Stub()};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(input);
        for (std::string& a : args)
            if (!a.empty() && a[0] == '/') a = Wine().WinPath(a);
        ProgramRun built = Wine().Run(MksfxExe(), args);
        ASSERT_EQ(built.exitCode, 0) << input << built.out << built.err;
        EXPECT_EQ(sfxtest::ReadFile(made), sfxtest::ReadFile(expected)) << input;
    }
    EXPECT_EQ(ExpectMksfxExeAgrees({"list", made}).exitCode, 0);
    EXPECT_EQ(ExpectMksfxExeAgrees({"verify", made}).out, made + ": sound\nsigned: no\n");
    EXPECT_EQ(ExpectMksfxExeAgrees({"extract", made, p.folder + "/aus \xC5\x81\xC3\xB3" "d\xC5\xBA"}).exitCode, 0);
    ProgramRun signing = Wine().Run(MksfxExe(), {"sign", "--sign-cert", "c.pem", "--sign-key", "k.pem", Wine().WinPath(made)});
    EXPECT_EQ(signing.exitCode, 1);
    EXPECT_NE(signing.err.find("signing is not available in mksfx.exe"), std::string::npos) << signing.err;
}

TEST(SetupFile, ResourcesReadBackAndTheFileStillRuns) {
    std::string icons = Wine().WorkDir("setupfile-icons") + "/rose.ico", png = icons.substr(0, icons.size() - 3) + "png";
    ASSERT_EQ(sfxtest::RunProgram({"convert", "rose:", "-define", "icon:auto-resize=256,48,16", icons}).exitCode, 0);
    ASSERT_EQ(sfxtest::RunProgram({"convert", "rose:", png}).exitCode, 0);
    const struct {
        const char* name;
        std::vector<std::string> options;
        std::string exe, level;
        std::vector<std::string> listed;  // lines of mksfx list
        bool windows = false;  // mksfx.exe under Wine builds the same bytes, lists, verifies, extracts
    } cases[] = {
        {"defaults", {}, "setup.exe", "asInvoker",
         {"  manifest: asInvoker\n", "  icon: none\n", "  ProductName: setup\n", "  file version: 1.0.0.0\n"}},
        {"highest",
         {"--elevation", "highest", "--icon", "@icon", "--product-name", "Beispiel", "--product-version", "2.1.7",
          "--company", "Gr\xC3\xB6\xC3\x9F" "e GmbH", "--copyright", "\xC2\xA9 2026 Beispiel"},
         "Beispiel-Setup.exe", "highestAvailable",
         {"  manifest: highestAvailable\n", "  icon: 16x16 4-bit\n", "  file version: 2.1.7.0\n",
          "  product version: 2.1.7.0\n", "  ProductName: Beispiel\n", "  CompanyName: Gr\xC3\xB6\xC3\x9F" "e GmbH\n",
          "  LegalCopyright: \xC2\xA9 2026 Beispiel\n", "  OriginalFilename: Beispiel-Setup.exe\n"}},
        {"admin", {"--elevation", "admin", "--icon", icons, "--description", "Ein Beispiel"}, "setup.exe",
         "requireAdministrator", {"  manifest: requireAdministrator\n", "  icon: 256x256 PNG, 48x48 32-bit, 16x16 32-bit\n",
                                  "  FileDescription: Ein Beispiel\n"}},
        {"windows-\xC5\x81\xC3\xB3" "d\xC5\xBA-gr\xC3\xB6\xC3\x9F" "e", {"--icon", png, "--text", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln", "--product-name", "\xC5\x81\xC3\xB3" "d\xC5\xBA"},
         "Gr\xC3\xB6\xC3\x9F" "e-Setup.exe", "asInvoker", {"  icon: 70x70 PNG\n", "  OriginalFilename: Gr\xC3\xB6\xC3\x9F" "e-Setup.exe\n"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--command", kCommand});
        if (c.windows) setenv("SOURCE_DATE_EPOCH", "1700000000", 1);  // mksfx under Wine gets it too
        Package p = Pack(std::string("setupfile-") + c.name, kFiles, options, c.exe);
        if (c.windows) ExpectWindowsBuilderAgrees(p, options);
        unsetenv("SOURCE_DATE_EPOCH");
        std::string manifest = sfxtest::RunProgram({"wrestool", "-x", "--raw", "-t24", "-n1", p.exe}).out;
        EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"" + c.level + "\""), std::string::npos) << manifest;
        EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
        EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"), std::string::npos);
        std::string listed = sfxtest::RunMksfx({"list", p.exe}).out;
        for (const std::string& line : c.listed) EXPECT_NE(listed.find(line), std::string::npos) << line << listed;
        ExpectRun(p);
    }
}

// Signed three ways, then changed or not; and files laid out as before signing existed.
TEST(SetupFile, SignedFilesPassTheirChecksAndRun) {
    if (!sfxtest::HaveProgram("osslsigncode"))
        GTEST_SKIP() << "osslsigncode is not installed (scripts/setup.sh installs it): signing is not tested";
    std::string keys = Wine().WorkDir("setupfile-keys"), cert = keys + "/cert.pem", key = keys + "/key.pem";
    ASSERT_EQ(sfxtest::RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                                   cert, "-days", "2", "-subj", "/CN=Tessly Test/O=Beispiel GmbH"}).exitCode, 0);
    // The same pair in one PKCS#12 file, as certificates are delivered, locked by a password.
    const std::string p12 = keys + "/signer.pfx", pass = keys + "/pass.txt";
    ASSERT_EQ(sfxtest::RunProgram({"openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", "pass:geheim",
                                   "-out", p12}).exitCode, 0);
    ASSERT_TRUE(sfxtest::WriteFile(pass, "geheim\n"));
    const std::vector<std::string> pemOptions{"--sign-cert", cert, "--sign-key", key},
                                   pkcs12Options{"--sign-pkcs12", p12, "--sign-pass-file", pass};
    enum How { kBuildOptions, kSignCommand, kToolAfter, kOld, kOldThenTool };
    enum Change { kNothing, kStubCode, kConfiguration, kMember };
    const std::string headerInvalid = Ansi(kHeaderInvalid),
                      memberBad = Ansi("ZIP beschädigt: Datei");
    const struct {
        const char* name;
        How how;
        Change change;
        std::string box;  // the stub's error box; none: it runs
        bool pkcs12 = false;  // the key from a PKCS#12 file
    } cases[] = {
        {"build-options", kBuildOptions, kNothing, ""},
        {"sign-command", kSignCommand, kNothing, ""},
        {"tool-after-build", kToolAfter, kNothing, ""},
        {"stub-code-changed", kBuildOptions, kStubCode, headerInvalid},
        {"configuration-changed", kToolAfter, kConfiguration, headerInvalid},
        {"member-changed", kSignCommand, kMember, memberBad},
        {"built-before", kOld, kNothing, ""},
        {"built-before-then-signed", kOldThenTool, kNothing, headerInvalid},
        {"pkcs12-build-options", kBuildOptions, kNothing, "", true},
        {"pkcs12-sign-command", kSignCommand, kNothing, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> options{"--command", kCommand};
        const std::vector<std::string>& signOptions = c.pkcs12 ? pkcs12Options : pemOptions;
        if (c.how == kBuildOptions) options.insert(options.end(), signOptions.begin(), signOptions.end());
        Package p = Pack(std::string("setupfile-") + c.name, kFiles, options);
        if (c.how == kOld || c.how == kOldThenTool) {  // as mksfx wrote files before: no resources, no room
            sfxtest::SfxParts old;
            old.stub = sfxtest::ReadFile(wine::Stub());
            old.config = sfxtest::ConfigText({"", kCommand, "", ""});
            for (const auto& [name, contents] : kFiles)
                old.members.push_back({name, contents == "@probe" ? sfxtest::ReadFile(wine::TestProgram("probe")) : contents});
            ASSERT_TRUE(sfxtest::WriteFile(p.exe, sfxtest::BuildSfx(old)));
        }
        if (c.how == kSignCommand) {  // in place, the mode kept
            chmod(p.exe.c_str(), 0751);
            std::vector<std::string> args{"sign"};
            args.insert(args.end(), signOptions.begin(), signOptions.end());
            args.push_back(p.exe);
            sfxtest::RunResult r = sfxtest::RunMksfx(args);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.out, p.exe + ": signed: yes (CN=Tessly Test, O=Beispiel GmbH)\n");
            struct stat st = {};
            EXPECT_EQ(stat(p.exe.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0751u);
        }
        if (c.how == kToolAfter || c.how == kOldThenTool) {
            ASSERT_EQ(sfxtest::RunProgram({"osslsigncode", "sign", "-certs", cert, "-key", key, "-in", p.exe, "-out",
                                           p.exe + ".signed"}).exitCode, 0);
            fs::rename(p.exe + ".signed", p.exe);
        }
        std::string bytes = sfxtest::ReadFile(p.exe);
        size_t block = sfxtest::FindBlock(bytes), pe = sfxtest::Le32(bytes, 0x3C);
        size_t text = pe + 24 + sfxtest::Le16(bytes, pe + 20);  // the first section's header
        uint32_t config = sfxtest::Le32(bytes, block + 16), archive = sfxtest::Le32(bytes, block + 12);
        size_t changed = c.change == kStubCode ? sfxtest::Le32(bytes, text + 20) + sfxtest::Le32(bytes, text + 16) - 1
                       : c.change == kConfiguration ? (config + archive) / 2
                       : c.change == kMember ? bytes.find(kFiles.at("zufall.bin")) + 10 : 0;
        if (c.change != kNothing) {
            bytes[changed] ^= 0x10;
            ASSERT_TRUE(sfxtest::WriteFile(p.exe, bytes));
        }
        const bool isSigned = c.how != kOld;
        if (isSigned) {
            EXPECT_EQ(sfxtest::RunProgram({"osslsigncode", "verify", "-CAfile", cert, "-in", p.exe}).exitCode == 0,
                      c.change == kNothing);
        }
        sfxtest::RunResult verify = sfxtest::RunMksfx({"verify", p.exe});
        EXPECT_EQ(verify.exitCode, c.box.empty() ? 0 : 1) << verify.err;
        if (c.box.empty()) {
            EXPECT_EQ(verify.out, p.exe + ": sound\nsigned: " +
                                      (isSigned ? "yes (CN=Tessly Test, O=Beispiel GmbH)\n" : "no\n"));
        }
        // mksfx.exe checks the certificate table alike, without OpenSSL to name the signer.
        ProgramRun windows = Wine().Run(MksfxExe(), {"verify", Wine().WinPath(p.exe)});
        EXPECT_EQ(windows.exitCode, verify.exitCode) << windows.err;
        if (c.box.empty()) {
            EXPECT_EQ(windows.out, Wine().WinPath(p.exe) + ": sound\nsigned: " +
                                       (isSigned ? "yes (signer not read: this mksfx has no OpenSSL)\n" : "no\n"));
        }
        EXPECT_EQ(sfxtest::RunProgram({"unzip", "-tqq", p.exe}).exitCode == 0, c.change != kMember);
        // A damaged head is a damaged file (1392), a damaged member a failed extraction (1603).
        ExpectRun(p, c.box, c.box.empty() ? 0 : c.change == kMember ? 1603 : 1392);
    }
}

// The example CMake project (examples/cmake) against the package as `make install` lays it out
// elsewhere: one `cmake --build` of a target makes the setup file, which runs under Wine with
// /SILENT, ends with the command's own code and leaves what the command wrote.
TEST(SetupFile, CMakePackageMakesFilesThatRunSilently) {
    const std::string work = Wine().WorkDir("setupfile-cmake"), prefix = work + "/installed", tree = work + "/greeter";
    sfxtest::RunResult r = sfxtest::RunProgram({"cmake", "--install", TESSLY_BINARY_DIR, "--prefix", prefix});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    r = sfxtest::RunProgram({"cmake", "-S", TESSLY_SOURCE_DIR "/examples/cmake", "-B", tree, "-DCMAKE_PREFIX_PATH=" + prefix,
                             "-DCMAKE_TOOLCHAIN_FILE=" TESSLY_SOURCE_DIR "/cmake/mingw-i686.cmake"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const struct {
        const char* name;
        std::string target, exe;
        std::string listed;  // a line of mksfx list
    } rows[] = {
        {"tessly_add_setup", "greeter-setup", "greeter-setup.exe", "  caption:      \"Greeter\"\n"},
        {"cpack", "package", "greeter-1.2.0-win32.exe", "  ProductName: greeter\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string exe = tree + "/" + row.exe;
        r = sfxtest::RunProgram({"cmake", "--build", tree, "--target", row.target});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        r = sfxtest::RunMksfx({"list", exe});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        for (const std::string& line : {std::string("  command:      \"greeter.exe gruss.txt ..\\greeting.txt\"\n"),
                                        std::string("  CompanyName: Beispiel GmbH\n"), std::string("  product version: 1.2.0.0\n"),
                                        row.listed})
            EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
        ClearLeftovers();
        ProgramRun run = Wine().Run(exe, {"/SILENT"});
        EXPECT_EQ(run.exitCode, 7) << run.err;
        EXPECT_EQ(sfxtest::ReadFile(TempFolder() + "/greeting.txt"), "Hallo aus dem Paket\r\n");
        EXPECT_FALSE(Exists(ExtractFolder()));
        fs::remove(TempFolder() + "/greeting.txt");
    }
}

}  // namespace
