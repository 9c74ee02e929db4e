// mksfx build: the help and the options. An option is a row of the tables below and a field
// of Options; build.cpp gives it its effect.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tools/common/codepages.h"
#include "tools/mksfx/build.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

namespace {

const char kHelp[] =
    "usage: mksfx build -o OUTPUT [OPTIONS] INPUT...\n"
    "\n"
    "Makes a self-extracting file from the stub, a configuration block and a ZIP archive of\n"
    "the INPUTs. A folder adds its contents (names relative to the folder; empty folders\n"
    "are kept), a file adds itself under its own name, and a .zip file adds its members with\n"
    "their compressed data unchanged.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE     the file to write (replaced only when the build succeeds)\n"
    "  --command CMD         command started in the extraction folder (at most 99 characters)\n"
    "  --text TEXT           the dialog's text (at most 255 characters)\n"
    "  --text-file FILE      the same, read from a UTF-8 file\n"
    "  --about TEXT          text of the Info box (at most 515 characters)\n"
    "  --about-file FILE     the same, read from a UTF-8 file\n"
    "  --caption TEXT        the dialog's caption (at most 64 characters)\n"
    "  --icon FILE.ico       the dialog's icon\n"
    "  --wait                ask before deleting the extracted files, as the WAIT switch\n"
    "  --wait-for NAME       after the command, wait until NAME.exe no longer runs\n"
    "                        (base name, at most 9 characters)\n"
    "  --no-header-check     let the stub skip the CRC-32 check of its own header\n"
    "  --stub FILE           the stub image (default: ../share/tessly/sfxstub.exe beside\n"
    "                        the mksfx program)\n"
    "  --level N             compression effort 0 (store) to 12 (default, smallest)\n"
    "\n"
    "Texts are UTF-8 and stored in Windows-1252; member names are stored in code page 850.\n"
    "Member times come from the files, or from SOURCE_DATE_EPOCH (seconds, UTC) when that\n"
    "is set.\n";

// An option with a value: as given, or read from the UTF-8 file it names. `given` (when set)
// records that the option was given; `once` names what may be given only once.
struct ValueOption {
    const char* name;
    std::string Options::*value;
    bool Options::*given;
    const char* once;
    bool fromFile;
};

const char kTextOnce[] = "dialog text (--text or --text-file)";
const char kAboutOnce[] = "about text (--about or --about-file)";

const ValueOption kValueOptions[] = {
    {"-o", &Options::output, nullptr, nullptr, false},
    {"--output", &Options::output, nullptr, nullptr, false},
    {"--command", &Options::command, &Options::haveCommand, "command", false},
    {"--text", &Options::text, &Options::haveText, kTextOnce, false},
    {"--text-file", &Options::text, &Options::haveText, kTextOnce, true},
    {"--about", &Options::about, &Options::haveAbout, kAboutOnce, false},
    {"--about-file", &Options::about, &Options::haveAbout, kAboutOnce, true},
    {"--caption", &Options::caption, &Options::haveCaption, "caption", false},
    {"--icon", &Options::icon, nullptr, nullptr, false},
    {"--wait-for", &Options::waitFor, &Options::waitForGiven, nullptr, false},
    {"--stub", &Options::stub, nullptr, nullptr, false},
};

// Options that take no value and switch something on.
const struct {
    const char* name;
    bool Options::*flag;
} kFlags[] = {
    {"--wait", &Options::wait},
    {"--no-header-check", &Options::noHeaderCheck},
};

const ValueOption* FindValueOption(const std::string& name) {
    for (const ValueOption& option : kValueOptions)
        if (name == option.name) return &option;
    return nullptr;
}

bool Options::*FindFlag(const std::string& name) {
    for (const auto& f : kFlags)
        if (name == f.name) return f.flag;
    return nullptr;
}

std::string TextFileContents(const std::string& option, const std::string& path) {
    std::string text, error;
    if (!ReadWholeFile(path, &text, &error)) Fail(option + ": " + error);
    // A text file ends with a line break that is no part of the text.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options o;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsDone || arg.empty() || arg[0] != '-' || arg == "-") {
            o.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsDone = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            fputs(kHelp, stdout);
            exit(0);
        }
        std::string value;
        bool inlineValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= argc) UsageFail("option " + arg + " needs a value");
            return argv[++i];
        };
        auto noValue = [&]() {
            if (inlineValue) UsageFail("option " + arg + " takes no value");
        };
        if (const ValueOption* option = FindValueOption(arg)) {
            if (option->once && o.*option->given)
                UsageFail(std::string("the ") + option->once + " is given twice");
            if (option->given) o.*option->given = true;
            std::string v = takeValue();
            o.*option->value = option->fromFile ? TextFileContents(arg, v) : v;
        } else if (bool Options::*flag = FindFlag(arg)) {
            noValue();
            o.*flag = true;
        } else if (arg == "--level") {
            std::string v = takeValue();
            char* end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || n < 0 || n > 12)
                UsageFail("--level takes a number from 0 to 12, not '" + v + "'");
            o.level = (int)n;
        } else {
            UsageFail("unknown option " + arg);
        }
    }
    if (o.output.empty()) UsageFail("no output file (-o OUTPUT)");
    if (o.inputs.empty()) UsageFail("no INPUT given");
    return o;
}

// A UTF-8 text as Windows-1252 bytes within `limit` characters, or a failure naming the option.
std::string AnsiText(const std::string& option, const std::string& utf8, size_t limit) {
    std::string ansi;
    if (!codepages::Utf8ToCp1252(utf8, &ansi))
        Fail(option + ": the text holds a character that Windows-1252 cannot store (or is not UTF-8)");
    if (ansi.find('\0') != std::string::npos) Fail(option + ": the text holds a NUL character");
    if (ansi.size() > limit)
        Fail(option + ": the text has " + std::to_string(ansi.size()) + " characters, at most " +
             std::to_string(limit) + " fit");
    return ansi;
}

std::string WaitForName(const std::string& utf8) {
    std::string name;
    if (!codepages::Utf8ToCp1252(utf8, &name))
        Fail("--wait-for: the name holds a character that Windows-1252 cannot store");
    if (name.empty()) Fail("--wait-for: the name is empty");
    if (name.size() > kWaitNameMax) Fail("--wait-for: '" + utf8 + "' is longer than 9 characters");
    for (unsigned char c : name)
        if (c < 0x20 || strchr("\\/:*?\"<>|.", c))
            Fail("--wait-for: '" + utf8 + "' is not a program's base name");
    return name;
}

std::string DefaultStubPath() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) Fail("cannot find the stub (no /proc/self/exe); name it with --stub");
    self[n] = 0;
    std::string dir(self);
    dir.erase(dir.rfind('/') + 1);
    return dir + "../share/tessly/sfxstub.exe";
}

}  // namespace sfx
