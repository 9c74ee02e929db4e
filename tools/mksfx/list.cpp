// mksfx list: the configuration and the members of a self-extracting file, as the stub
// will see them. A file the stub would refuse or fail on is listed as far as it goes, its
// faults follow on stderr, and the exit code is 1.
#include <stdio.h>
#include <string.h>

#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/listing.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/signing.h"
#include "tools/mksfx/solid.h"
#include "tools/mksfx/report.h"

using namespace sfx;

namespace {

const char kHelp[] =
    "usage: mksfx list [--json] FILE\n"
    "\n"
    "Shows whether a self-extracting file is signed (and by whom), its configuration (texts,\n"
    "command, options, icon), its resources (manifest level, icon sizes, version\n"
    "information) and its members in archive order: size, packed size, method, time, CRC-32\n"
    "and name.\n"
    "Checks the file's structure as it goes: when the stub would refuse the file or fail on\n"
    "it, the faults follow on stderr and the exit code is 1 ('mksfx verify' also decodes\n"
    "every member).\n"
    "\n"
    "options:\n"
    "  --json                the same as one JSON document (README: \"Machine-readable\n"
    "                        answers\"); the faults still follow on stderr\n";

int Conclude(const std::string& shown, const std::vector<std::string>& faults);

// A text of the configuration block, quoted: Windows-1252, or UTF-8 with OPT_UTF8.
std::string Quoted(const std::string& text, uint32_t flags) { return "\"" + Shown(TextUtf8(text, flags)) + "\""; }

int List(int argc, char** argv) {
    bool json = false;
    std::string path = SingleFileArgument(argc, argv, kHelp, "list", &json);
    if (path.empty()) return 0;
    const std::string shown = Shown(path);

    File f;
    std::vector<std::string> faults;
    bool readable = ReadFile(path, &f, &faults);
    if (!readable && f.head.empty()) Fail(shown + ": " + faults.front());
    for (const std::string& fault : CheckFile(&f, false)) faults.push_back(fault);
    // The solid form has no ZIP records: its own listing follows, and the stub's code has
    // checked its header.
    const bool solid = f.solid;

    if (json) {
        WriteListingJson(ListingOf(f, path, "list", false, faults), stdout);
        return Conclude(shown, faults);
    }
    const Block& b = f.block;
    printf("File: %s\n", shown.c_str());
    printf("Signed: %s\n", f.walk.complete ? SignatureLine(f.signature).c_str() : "(not read)");
    printf("Configuration:\n");
    if (!f.hasConfig) {
        printf("  (none)\n");
    } else {
        if (b.optionFlags & OPT_EXTRACT_ONLY)
            printf("  command:      (none: extract only)\n");
        else
            printf("  command:      %s\n", Quoted(f.config.command, b.optionFlags).c_str());
        if (b.optionFlags & OPT_SILENT_COMMAND)
            printf("  silent cmd:   %s\n", Quoted(f.config.silentCommand, b.optionFlags).c_str());
        if (b.optionFlags & OPT_TARGET)
            printf("  target:       %s (kept)\n", Quoted(f.config.target, b.optionFlags).c_str());
        else
            printf("  target:       (a new temporary folder, removed)\n");
        printf("  text:         %s\n", Quoted(f.config.text, b.optionFlags).c_str());
        printf("  about:        %s\n", Quoted(f.config.about, b.optionFlags).c_str());
        if (b.optionFlags & OPT_CUSTOM_CAPTION)
            printf("  caption:      %s\n", Quoted(f.config.caption, b.optionFlags).c_str());
        else
            printf("  caption:      (standard)\n");
        if (b.optionFlags & OPT_CUSTOM_FOOTER) printf("  footer:       %s\n", Quoted(f.config.footer, b.optionFlags).c_str());
        if (b.optionFlags & OPT_CUSTOM_BANNER) printf("  banner:       %s\n", Quoted(f.config.banner, b.optionFlags).c_str());
        std::string icon = "no", why;
        if (f.config.hasIcon && !DescribeIcon(f.config.icon, &icon, &why)) icon = "unusable: " + why;
        printf("  icon:         %s\n", icon.c_str());
    }
    printf("  wait mode:    %s\n", b.optionFlags & OPT_WAIT_MODE ? "yes" : "no");
    if ((b.optionFlags & OPT_WAIT_FOR_PROGRAM) && !b.waitName.empty())
        printf("  wait for:     %s.exe\n", Shown(codepages::Cp1252ToUtf8(b.waitName)).c_str());
    else
        printf("  wait for:     (nothing)\n");
    printf("  console:      %s\n", b.optionFlags & OPT_HIDE_CONSOLE ? "hidden" : "hidden in silent runs");
    printf("  header check: %s\n", b.headerCrc ? "yes" : "no");
    std::string languages;
    for (const LanguageTable& t : f.languages)
        languages += (languages.empty() ? "" : ", ") + LanguageName(t.languageId);
    if (!(b.optionFlags & OPT_LANGUAGES)) languages = "de (the stub's own)";
    else if (f.languages.size() > 1) languages += " (by the user's language; else the first)";
    printf("  languages:    %s\n", languages.c_str());
    printf("  switches:     /AUTO, /WAIT, /SILENT (or /S), /LOG=FILE, /D=DIR (or /T:DIR), /X, /X:DIR, -- ARGS\n");
    printf("  total size:   %u\n", b.totalSize);
    printf("Resources:\n");
    for (const std::string& line : ResourceLines(f.resources)) printf("  %s\n", Shown(line).c_str());

    if (solid) {
        // What the listing finds wrong in the header, when the stub's checks have not said it.
        std::vector<std::string> listed = ListSolid(&f.in, f.block.archiveOffset);
        if (faults.empty()) faults = listed;
        return Conclude(shown, faults);
    }
    printf("Members:\n");
    printf("%10s %10s %-8s %-19s %-8s %s\n", "Size", "Packed", "Method", "Time", "CRC-32", "Name");
    for (const Member& m : f.walk.members) {
        const char* method = m.IsDirectory()                   ? "folder"
                             : m.method == METHOD_STORED   ? "stored"
                             : m.method == METHOD_DEFLATED ? "deflated"
                                                           : "other";
        printf("%10u %10u %-8s %-19s %08x %s\n", m.size, m.packed, method, DosTimeText(m.date, m.time).c_str(),
               m.crc, Shown(NameUtf8(m, b.optionFlags)).c_str());
    }
    printf("%zu %s\n", f.walk.members.size(), f.walk.members.size() == 1 ? "member" : "members");
    return Conclude(shown, faults);
}

// After the listing: its faults on stderr, and the failure they make.
int Conclude(const std::string& shown, const std::vector<std::string>& faults) {
    if (faults.empty()) return 0;
    FlushStandardOutput();  // the listing before its faults
    for (const std::string& fault : faults) Complain(shown + ": " + fault);
    Fail(shown + " is damaged: the stub would refuse it or fail on it (" + std::to_string(faults.size()) +
         (faults.size() == 1 ? " fault" : " faults") + " above)");
}

}  // namespace

int CommandList(int argc, char** argv) { return List(argc, argv); }
