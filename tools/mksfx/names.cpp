// Member names and times as the stub and Windows take them: code page 850 to
// Windows-1252, the stub's name rules, names that Windows takes for one file, DOS times.
#include <stdio.h>

#include <map>

#include "archive/archive.h"
#include "startup/startup.h"
#include "tools/common/codepages.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

// The name as the stub holds it: converted from code page 850 to Windows-1252 the way
// Windows converts it, characters without a place there taking their nearest form.
static std::string AnsiName(const std::string& cp850) {
    std::string ansi(cp850.size(), '\0');
    OemToCharBuffA(cp850.data(), &ansi[0], (DWORD)cp850.size());
    return ansi;
}

std::string TextUtf8(const std::string& text, uint32_t flags) {
    return flags & OPT_UTF8 ? text : codepages::Cp1252ToUtf8(text);
}

bool NameIsUtf8(const Member& m, uint32_t optionFlags) {
    return (m.flags & ZIP_FLAG_UTF8) && (optionFlags & OPT_UTF8);
}

std::string NameUtf8(const Member& m, uint32_t optionFlags) {
    return NameIsUtf8(m, optionFlags) ? m.name : codepages::Cp850ToUtf8(m.name);
}

bool SafeName(const std::string& name, std::string* why, bool utf8) {
    // Leading "./" components name the extraction folder itself, as the stub takes them.
    std::string path = SkipCurrentFolders(name.c_str());
    if (path.empty() && !name.empty()) return true;  // "./", the folder itself
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return Refuse(why, "empty name");
    if (name.size() > kNameMax) return Refuse(why, "name longer than 200 bytes");
    if (path[0] == '/') return Refuse(why, "absolute path");
    if (path.find('\\') != std::string::npos) return Refuse(why, "backslash in the name");
    if (path.find('\0') != std::string::npos) return Refuse(why, "character not allowed in Windows file names");
    // A UTF-8 name goes to the rules as the stub holds it: as it stands, once it has decoded.
    if (utf8 && !codepages::ValidUtf8(path)) return Refuse(why, "not valid UTF-8 (cut, overlong or surrogate forms)");
    switch (MemberNameFault(utf8 ? path.c_str() : AnsiName(path).c_str())) {
        case NAME_SOUND: return true;
        case NAME_EMPTY_COMPONENT: return Refuse(why, "empty path component");
        case NAME_CURRENT_FOLDER: return Refuse(why, "'.' component");
        case NAME_PARENT_FOLDER: return Refuse(why, "'..' component");
        case NAME_TRAILING_DOT_OR_BLANK:
            return Refuse(why, "a component ends in a dot or a blank, which Windows drops");
        case NAME_COLON: return Refuse(why, "colon or drive letter in the name");
        case NAME_BAD_CHARACTER: return Refuse(why, "character not allowed in Windows file names");
        default: return Refuse(why, "reserved Windows device name");
    }
}

std::string WindowsFoldedName(const std::string& name, bool utf8) {
    if (utf8) return codepages::Utf8Upper(SkipCurrentFolders(name.c_str()));
    std::string folded = AnsiName(SkipCurrentFolders(name.c_str()));
    for (char& ch : folded) {
        unsigned char c = (unsigned char)ch;
        if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c -= 0x20;  // ASCII and the Latin-1 letters
        else if (c == 0x9A || c == 0x9C || c == 0x9E)
            c -= 0x10;  // š œ ž
        else if (c == 0xFF)
            c = 0x9F;  // ÿ
        ch = (char)c;
    }
    return codepages::Cp1252ToUtf8(folded);
}

std::vector<std::string> NameClashes(const std::vector<const Member*>& members, uint32_t optionFlags) {
    std::vector<std::string> faults;
    std::map<std::string, const Member*> files;
    auto folded = [&](const Member* m) { return WindowsFoldedName(m->name, NameIsUtf8(*m, optionFlags)); };
    auto shown = [&](const Member* m) { return NameUtf8(*m, optionFlags); };
    for (const Member* m : members) {
        auto [at, added] = files.emplace(folded(m), m);
        if (!added)
            faults.push_back("members '" + shown(at->second) + "' and '" + shown(m) +
                             "' would be the same file on Windows");
    }
    for (const Member* m : members) {
        std::string name = folded(m);
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
            auto file = files.find(name.substr(0, slash));
            if (file != files.end())
                faults.push_back("member '" + shown(m) + "' needs a folder where the file '" +
                                 shown(file->second) + "' is");
        }
    }
    return faults;
}

std::string DosTimeText(uint16_t date, uint16_t time) {
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9),
             (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return text;
}

}  // namespace sfx
