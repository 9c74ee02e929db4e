// mksfx build: the help and the options. An option is a row of the tables below and a field
// of Options; build.cpp gives it its effect. Every option may be given once: a second one is
// a usage error rather than a silent replacement.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "tools/common/codepages.h"
#include "tools/mksfx/build.h"
#include "tools/mksfx/optionfiles.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

#ifndef TESSLY_VERSION
#define TESSLY_VERSION "0"
#endif
const char kVersionLine[] = "mksfx (Tessly Self-Extractor) " TESSLY_VERSION "\n";

namespace {

const char kHelp[] =
    "usage: mksfx build -o OUTPUT [OPTIONS] INPUT...\n"
    "\n"
    "Makes a self-extracting file from the stub, a configuration block and a ZIP archive of\n"
    "the INPUTs. A folder adds its contents (names relative to the folder), a file adds\n"
    "itself under its own name, and a .zip file adds its members with their compressed data\n"
    "unchanged. Empty folders are stored for other unzip tools; the stub does not create them.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE     the file to write, replaced only when the build succeeds and\n"
    "                        keeping its mode; a symbolic link is followed (the file it names\n"
    "                        is replaced); anything but a regular file is refused, and so is\n"
    "                        an OUTPUT that is also an INPUT (inside a folder INPUT it is\n"
    "                        left out)\n"
    "  --files-from FILE     more INPUTs, one path a line ('-': standard input), 65535 at most\n"
    "  --command CMD         command started in the extraction folder; its program, when\n"
    "                        it names a member, must be one (the nearest is suggested)\n"
    "  --silent-command CMD  command run instead of --command in /SILENT runs\n"
    "  --extract-only        no command: extract into the target folder and keep the files\n"
    "                        (interactive runs ask for the folder); a package needs either\n"
    "                        this or --command\n"
    "  --target DIR          extract into DIR (%VARIABLES% expanded at run time) instead of a\n"
    "                        new temporary folder; the files stay there\n"
    "  --hide-console        console commands get no window in interactive runs either\n"
    "                        (silent runs never show one)\n"
    "  --text TEXT           the dialog's text\n"
    "  --text-file FILE      the same, read from a UTF-8 file ('-': standard input)\n"
    "  --about TEXT          text of the Info box\n"
    "  --about-file FILE     the same, read from a UTF-8 file ('-': standard input)\n"
    "  --caption TEXT        the caption of the dialog and of its Info box\n"
    "  --footer TEXT         the dialog's footer line instead of the product line (80\n"
    "                        characters)\n"
    "  --no-footer           no footer line\n"
    "  --banner TEXT         what the Info box shows after the about text instead of the\n"
    "                        product banner (255 characters)\n"
    "  --no-banner           no banner in the Info box\n"
    "  --language LANG       the language of the stub's own words: de (default), en, auto\n"
    "                        (English and German, chosen by the user's UI language, English\n"
    "                        when neither matches) or a table FILE in the form of\n"
    "                        messages/en.txt; several joined by commas\n"
    "  --icon FILE           the icon, from any .ico or .png file: for the dialog the image\n"
    "                        that shows best at 32x32 and fits beside the texts is stored,\n"
    "                        converted to 16 or 2 colours when needed (one line says what);\n"
    "                        every image is the file's own icon (a PNG over 256x256 scaled)\n"
    "  --elevation as-invoker|highest|admin\n"
    "                        what the file asks Windows for: as-invoker (default; the user's\n"
    "                        rights, no prompt), highest (administrators are asked to elevate,\n"
    "                        others run as they are) or admin (always elevated, with a prompt)\n"
    "  --product-name TEXT   the version information that the file's properties show: the\n"
    "  --product-version V   product name (default: the output's name without .exe), its\n"
    "  --company TEXT        version (one to four numbers joined by dots, default 1.0, also\n"
    "  --description TEXT    the file version; a text may follow: 2.3-beta), the company, a\n"
    "  --copyright TEXT      description (default: the product name) and the copyright\n"
    "  --wait                ask before deleting the extracted files, as the WAIT switch\n"
    "  --wait-for NAME       after the command, wait until NAME.exe no longer runs ('.exe'\n"
    "                        given with NAME is dropped)\n"
    "  --no-header-check     let the stub skip the CRC-32 check of its own header\n"
    "  --stub FILE           the stub image, a sound 32-bit Windows program (default:\n"
    "                        ../share/tessly/sfxstub.exe beside the mksfx program)\n"
    "  --level N             compression effort 0 (store) to 12 (default, smallest)\n"
    "  --compression auto|solid|deflate|store\n"
    "                        auto (default: the smaller file of the two forms; see below),\n"
    "                        solid (one LZMA stream in a 7z archive, programs through the x86\n"
    "                        filter; any size; the stub sfxstub-solid.exe), deflate (the ZIP\n"
    "                        form, each member deflated; sfxstub.exe) or store (ZIP, stored)\n"
    "  --sign-cert CERT      sign the output with osslsigncode (Authenticode, SHA-256): the\n"
    "  --sign-key KEY        certificate (PEM or DER, any chain after it) and its key, the\n"
    "  --sign-pass-file FILE key's password (the file's first line) and a time-stamping\n"
    "  --sign-timestamp URL  server (RFC 3161); 'mksfx sign' signs a finished file\n"
    "  --sign-pkcs12 FILE    the certificate, its chain and the key from one PKCS#12 file\n"
    "                        (.pfx, .p12), in place of --sign-cert and --sign-key\n"
    "  --project FILE        more options from FILE, one 'name = value' a line (a long option\n"
    "                        without '--', 'input = PATH' for INPUTs, '#' comments); options\n"
    "                        and INPUTs on the command line win, paths count from FILE's folder\n"
    "  -q, --quiet           print nothing but errors\n"
    "  -v, --verbose         list each member as it is added\n"
    "  --version             print the version\n"
    "\n"
    "limits (an error that meets one names it):\n"
    "  texts and icon        2012 bytes together, 1500 once packed (the configuration block)\n"
    "  command               99 characters (--silent-command too); dialog text 255; about\n"
    "                        text 515; caption 64; --target 199\n"
    "  --wait-for NAME       9 characters, a base name without '.exe'\n"
    "  member names          200 bytes each in code page 850, valid on Windows\n"
    "  members               65535\n"
    "  sizes                 ZIP form: under 4 GiB each file, the members added up, the\n"
    "                        whole output; the solid form has no such limit\n"
    "  large files           files over 32 MiB are compressed as a stream, at level 9 at most\n"
    "\n"
    "auto builds both forms up to 32 MiB of input and keeps the smaller file; above, the\n"
    "solid form, and the ZIP form too only when the solid one did not compress (under 3%);\n"
    "the solid form whenever the ZIP form cannot hold the payload, the ZIP form at --level 0\n"
    "or when the solid stub is missing.\n"
    "\n"
    "Any argument @FILE is replaced by the words of FILE (blanks separate them; quotes and\n"
    "backslashes as a compiler reads its response files), in every command.\n"
    "\n"
    "Texts are UTF-8 and stored in Windows-1252 (all of them in UTF-8 when one needs it);\n"
    "member names are stored in code page 850 (in UTF-8 where it cannot hold them).\n"
    "Member times come from the files, or from SOURCE_DATE_EPOCH (seconds, UTC) when that\n"
    "is set. On a terminal a build shows its progress; it ends with one summary line.\n"
    "\n"
    "The file takes the switches /AUTO (no click), /WAIT (wait for \"&Done\"), /SILENT or /S\n"
    "(no window at all), /LOG=FILE (one line per event appended to FILE), /D=DIR or /T:DIR\n"
    "(the target folder), /X (extract only) or /X:DIR, and -- (what follows goes to the\n"
    "command); the README's \"Unattended installs\" lists them and the exit codes.\n";

// kPath: a file's path, which a project file gives relative to its own folder (so do kTextFile
// and kList).
enum ValueKind { kPlain, kPath, kTextFile, kList };

// An option with a value. `key` is what may be given once (options that share it exclude
// each other); `given` (when set) records that it was given; `from` receives "--text-file
// FILE" for a text read from a file.
struct ValueOption {
    const char* name;
    const char* key;
    std::string Options::*value;
    bool Options::*given;
    ValueKind kind;
    std::string Options::*from;
};

const char kTextKey[] = "the dialog text (--text or --text-file)";
const char kAboutKey[] = "the about text (--about or --about-file)";
const char kFooterKey[] = "the footer (--footer or --no-footer)";
const char kBannerKey[] = "the banner (--banner or --no-banner)";

const ValueOption kValueOptions[] = {
    {"-o", "-o (--output)", &Options::output, nullptr, kPath, nullptr},
    {"--output", "-o (--output)", &Options::output, nullptr, kPath, nullptr},
    {"--command", "--command", &Options::command, &Options::haveCommand, kPlain, nullptr},
    {"--text", kTextKey, &Options::text, &Options::haveText, kPlain, nullptr},
    {"--text-file", kTextKey, &Options::text, &Options::haveText, kTextFile, &Options::textFrom},
    {"--about", kAboutKey, &Options::about, &Options::haveAbout, kPlain, nullptr},
    {"--about-file", kAboutKey, &Options::about, &Options::haveAbout, kTextFile, &Options::aboutFrom},
    {"--caption", "--caption", &Options::caption, &Options::haveCaption, kPlain, nullptr},
    {"--silent-command", "--silent-command", &Options::silentCommand, nullptr, kPlain, nullptr},
    {"--target", "--target", &Options::target, nullptr, kPlain, nullptr},
    {"--icon", "--icon", &Options::icon, nullptr, kPath, nullptr},
    {"--language", "--language", &Options::language, nullptr, kPlain, nullptr},
    {"--footer", kFooterKey, &Options::footer, &Options::haveFooter, kPlain, nullptr},
    {"--banner", kBannerKey, &Options::banner, &Options::haveBanner, kPlain, nullptr},
    {"--wait-for", "--wait-for", &Options::waitFor, &Options::waitForGiven, kPlain, nullptr},
    {"--stub", "--stub", &Options::stub, nullptr, kPath, nullptr},
    {"--compression", "--compression", &Options::compression, nullptr, kPlain, nullptr},
    {"--files-from", "--files-from", nullptr, nullptr, kList, nullptr},
    {"--elevation", "--elevation", &Options::elevationName, nullptr, kPlain, nullptr},
    {"--product-name", "--product-name", &Options::productName, nullptr, kPlain, nullptr},
    {"--product-version", "--product-version", &Options::productVersion, nullptr, kPlain, nullptr},
    {"--company", "--company", &Options::company, nullptr, kPlain, nullptr},
    {"--description", "--description", &Options::description, nullptr, kPlain, nullptr},
    {"--copyright", "--copyright", &Options::copyright, nullptr, kPlain, nullptr},
    {"--sign-cert", "--sign-cert", &Options::signCert, nullptr, kPath, nullptr},
    {"--sign-key", "--sign-key", &Options::signKey, nullptr, kPath, nullptr},
    {"--sign-pass-file", "--sign-pass-file", &Options::signPassFile, nullptr, kPath, nullptr},
    {"--sign-timestamp", "--sign-timestamp", &Options::signTimestamp, nullptr, kPlain, nullptr},
    {"--sign-pkcs12", "--sign-pkcs12", &Options::signPkcs12, nullptr, kPath, nullptr},
    {"--project", "--project", &Options::project, nullptr, kPath, nullptr},
};

// Options that take no value and switch something on.
const struct {
    const char* name;
    const char* key;
    bool Options::*flag;
} kFlags[] = {
    {"--wait", "--wait", &Options::wait},
    {"--no-header-check", "--no-header-check", &Options::noHeaderCheck},
    {"--extract-only", "--extract-only", &Options::extractOnly},
    {"--hide-console", "--hide-console", &Options::hideConsole},
    {"--no-footer", kFooterKey, &Options::noFooter},
    {"--no-banner", kBannerKey, &Options::noBanner},
    {"-q", "-q (--quiet)", &Options::quiet},
    {"--quiet", "-q (--quiet)", &Options::quiet},
    {"-v", "-v (--verbose)", &Options::verbose},
    {"--verbose", "-v (--verbose)", &Options::verbose},
};

const ValueOption* FindValueOption(const std::string& name) {
    for (const ValueOption& option : kValueOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// "unknown option --comand (did you mean --command?)": the nearest long option within two edits.
[[noreturn]] void UnknownOption(const std::string& arg) {
    std::vector<std::string> names = BuildOptionNames();
    names.push_back("--help");
    std::string best;
    size_t bestDistance = 3;
    for (const std::string& name : names) {
        size_t d = name.size() > 2 ? EditDistance(arg, name) : 3;
        if (d < bestDistance) best = name, bestDistance = d;
    }
    UsageFail("unknown option " + Shown(arg) + (best.empty() ? "" : " (did you mean " + best + "?)"));
}

// What a long option (from a project file) is: its key, whether it is a flag, whether its
// value is a path. False for a name that is no option of build.
bool DescribeOption(const std::string& name, std::string* key, bool* flag, bool* path) {
    *flag = *path = false;
    if (const ValueOption* option = FindValueOption(name)) {
        *key = option->key;
        *path = option->kind != kPlain;
        return true;
    }
    for (const auto& f : kFlags)
        if (name == f.name) return *key = f.key, *flag = true;
    return name == "--level" && (*key = name, true);
}

// Applies the lines of a project file through `apply`, the command line's own way: each line
// names a long option without "--" (a flag: "wait", or "wait = yes"/"no"), or an INPUT
// ("input = payload/"). What the command line gave (an option's key, or INPUTs) wins; paths
// count from the project file's folder. A failure names the file and line.
template <typename Apply>
void ApplyProject(const std::string project, const std::set<std::string>& given, Apply apply, Options* o) {
    const std::set<std::string> fromCommandLine = given;
    const bool inputsGiven = !o->inputs.empty();
    for (const ProjectLine& line : ReadProjectFile(project)) {
        try {
            const std::string name = "--" + line.key;
            std::string key;
            bool flag, path;
            if (line.key == "input") {
                if (!line.hasValue || line.value.empty()) UsageFail("input needs a value (input = PATH)");
                if (!inputsGiven) o->inputs.push_back(ProjectPath(project, line.value));
            } else if (line.key == "project") {
                UsageFail("a project file cannot name another project file");
            } else if (!DescribeOption(name, &key, &flag, &path)) {
                UnknownOption(name);
            } else if (fromCommandLine.count(key)) {
                continue;
            } else if (flag) {
                if (!line.hasValue || line.value == "yes") apply(name, false, "");
                else if (line.value != "no") UsageFail(line.key + " takes yes or no, not '" + Shown(line.value) + "'");
            } else if (!line.hasValue) {
                UsageFail(line.key + " needs a value (" + line.key + " = VALUE)");
            } else {
                apply(name, true, path ? ProjectPath(project, line.value) : line.value);
            }
        } catch (const Failure& failure) {
            throw Failure{failure.code, Shown(project) + ":" + std::to_string(line.number) + ": " + failure.message};
        }
    }
}

}  // namespace

std::vector<std::string> BuildOptionNames() {
    std::vector<std::string> names{"--level", "--version"};
    for (const ValueOption& option : kValueOptions) names.push_back(option.name);
    for (const auto& f : kFlags) names.push_back(f.name);
    return names;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    bool optionsDone = false;
    std::set<std::string> given;
    std::vector<std::string> lists;
    int standardInputUses = 0;
    int i = 1;
    // One option: `arg` its name ("--text", "-o"), `value` its value when given with it
    // ("--text=x", "-ox"); otherwise a value is the next argument.
    auto apply = [&](std::string arg, bool inlineValue, const std::string& value) {
        if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            exit(CheckedExit(0));
        }
        if (arg == "--version") {
            fputs(kVersionLine, stdout);
            exit(CheckedExit(0));
        }
        auto takeValue = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= argc) UsageFail("option " + Shown(arg) + " needs a value");
            return argv[++i];
        };
        auto once = [&](const char* key) {
            if (!given.insert(key).second) UsageFail(std::string(key) + " is given twice");
        };
        if (const ValueOption* option = FindValueOption(arg)) {
            once(option->key);
            if (option->given) o.*option->given = true;
            std::string v = takeValue();
            if ((option->kind == kTextFile || option->kind == kList) && v == "-" && ++standardInputUses > 1)
                UsageFail("standard input ('-') can be read by one option only");
            if (option->kind == kList) {
                lists.push_back(v);
            } else if (option->kind == kTextFile) {
                o.*option->from = arg + " " + Shown(v == "-" ? "(standard input)" : v);
                o.*option->value = TextFileContents(arg, v, option->value == &Options::text ? kTextMax : kAboutMax);
            } else {
                o.*option->value = v;
            }
            return;
        }
        for (const auto& f : kFlags) {
            if (arg != f.name) continue;
            if (inlineValue) UsageFail("option " + arg + " takes no value");
            once(f.key);
            o.*f.flag = true;
            return;
        }
        if (arg != "--level") UnknownOption(arg);
        once("--level");
        std::string v = takeValue();
        char* end = nullptr;
        long n = strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < 0 || n > 12) UsageFail("--level takes a number from 0 to 12, not '" + Shown(v) + "'");
        o.level = (int)n;
    };
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            o.inputs.push_back(arg);
        } else if (arg == "--") {
            optionsDone = true;
        } else if (arg[1] == '-') {
            size_t eq = arg.find('=');
            if (eq == std::string::npos) apply(arg, false, "");
            else apply(arg.substr(0, eq), true, arg.substr(eq + 1));
        } else {
            // Short options as getopt reads them: "-qv" is -q -v, "-ox.exe" and "-qox.exe"
            // give -o the rest of the argument.
            for (size_t k = 1; k < arg.size(); ++k) {
                std::string one{'-', arg[k]};
                bool takesValue = FindValueOption(one) != nullptr;
                if (takesValue && k + 1 < arg.size()) {
                    apply(one, true, arg.substr(k + 1));
                    break;
                }
                apply(one, false, "");
            }
        }
    }
    if (!o.project.empty()) ApplyProject(o.project, given, apply, &o);
    if (o.compression != "auto" && o.compression != "solid" && o.compression != "deflate" && o.compression != "store")
        UsageFail("--compression takes auto, solid, deflate or store, not '" + Shown(o.compression) + "'");
    if (o.compression == "solid" && o.level == 0)
        UsageFail("--compression solid always compresses; --level 0 stores in the ZIP form (--compression store)");
    if (o.quiet && o.verbose) UsageFail("-q (--quiet) and -v (--verbose) exclude each other");
    const std::pair<const char*, Elevation> levels[] = {
        {"as-invoker", Elevation::AsInvoker}, {"highest", Elevation::Highest}, {"admin", Elevation::Admin}};
    bool known = o.elevationName.empty();
    for (const auto& level : levels)
        if (o.elevationName == level.first) o.elevation = level.second, known = true;
    if (!known) UsageFail("--elevation takes as-invoker, highest or admin, not '" + Shown(o.elevationName) + "'");
    if (!o.productVersion.empty() && VersionNumbers(o.productVersion).empty())
        UsageFail("--product-version: '" + Shown(o.productVersion) +
                  "' does not begin with one to four numbers of 0 to 65535 joined by dots (2.3, 2.3-beta)");
    o.sign = {o.signCert, o.signKey, o.signPassFile, o.signTimestamp, o.signPkcs12};
    if (o.output.empty()) UsageFail("no output file (-o OUTPUT)");
    for (const std::string& list : lists) AddListedInputs(list, &o.inputs);
    if (o.inputs.empty()) UsageFail("no INPUT given");
    if (o.extractOnly && (o.haveCommand || !o.silentCommand.empty()))
        UsageFail("--extract-only makes a package without a command: give no --command or --silent-command");
    if (!o.extractOnly && !o.haveCommand)
        UsageFail("no command: give --command CMD, or --extract-only for a package that only extracts its files");
    if (!o.extractOnly && o.command.empty()) UsageFail("--command is empty; --extract-only makes a package without one");
    return o;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string VersionNumbers(const std::string& version) {
    std::string numbers = version.substr(0, version.find_first_not_of("0123456789."));
    uint32_t high, low;
    return resfmt::ParseVersion(numbers, &high, &low) ? numbers : "";
}

bool NeedsUtf8(const std::string& utf8) {
    std::string ansi;
    return !codepages::Utf8ToCp1252(utf8, &ansi) && codepages::ValidUtf8(utf8);
}

std::string AnsiText(const std::string& origin, const std::string& utf8, size_t limit, bool asUtf8) {
    std::string ansi = utf8;
    if (asUtf8 ? !codepages::ValidUtf8(utf8) : !codepages::Utf8ToCp1252(utf8, &ansi))
        Fail(origin + ": the text " + codepages::Cp1252Fault(utf8));
    if (ansi.find('\0') != std::string::npos) Fail(origin + ": the text holds a NUL character");
    if (ansi.size() > limit)
        Fail(origin + ": the text has " + std::to_string(ansi.size()) + (asUtf8 ? " bytes in UTF-8" : " characters") +
             ", at most " + std::to_string(limit) + " fit");
    return ansi;
}

std::string WaitForName(const std::string& utf8) {
    std::string name;
    if (!codepages::Utf8ToCp1252(utf8, &name)) Fail("--wait-for: the name " + codepages::Cp1252Fault(utf8));
    // The stub adds ".exe" itself; a name given with it means the same program.
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0) name.resize(name.size() - 4);
    if (name.empty()) Fail("--wait-for: the name is empty");
    if (name.size() > kWaitNameMax)
        Fail("--wait-for: '" + Shown(utf8) + "' has " + std::to_string(name.size()) +
             " characters without '.exe', at most 9 fit");
    for (unsigned char c : name)
        if (c < 0x20 || strchr("\\/:*?\"<>|.", c))
            Fail("--wait-for: '" + Shown(utf8) + "' is not a program's base name (without '.exe')");
    return name;
}

std::string DefaultStubPath(bool solid) {
    char self[PATH_MAX];
#ifdef _WIN32
    if (tessly_self_path(self, sizeof self) <= 0) Fail("cannot find the stub (no path of mksfx.exe); name it with --stub");
#else
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) Fail("cannot find the stub (no /proc/self/exe); name it with --stub");
    self[n] = 0;
#endif
    std::string dir(self);
    dir.erase(LastSeparator(dir) + 1);
    return dir + (solid ? "../share/tessly/sfxstub-solid.exe" : "../share/tessly/sfxstub.exe");
}

}  // namespace sfx
