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

bool SafeName(const std::string& name, std::string* why) {
    // Leading "./" components name the extraction folder itself, as the stub takes them.
    std::string path = SkipCurrentFolders(name.c_str());
    if (path.empty() && !name.empty()) return true;  // "./", the folder itself
    if (!path.empty() && path.back() == '/') path.pop_back();
    if (path.empty()) return Refuse(why, "empty name");
    if (name.size() > kNameMax) return Refuse(why, "name longer than 200 bytes");
    if (path[0] == '/') return Refuse(why, "absolute path");
    if (path.find('\\') != std::string::npos) return Refuse(why, "backslash in the name");
    if (path.find('\0') != std::string::npos) return Refuse(why, "character not allowed in Windows file names");
    switch (MemberNameFault(AnsiName(path).c_str())) {
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

std::string WindowsFoldedName(const std::string& name) {
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
    return folded;
}

std::vector<std::string> NameClashes(const std::vector<std::string>& names) {
    std::vector<std::string> faults;
    std::map<std::string, const std::string*> files;
    for (const std::string& name : names) {
        auto [at, added] = files.emplace(WindowsFoldedName(name), &name);
        if (!added)
            faults.push_back("members '" + codepages::Cp850ToUtf8(*at->second) + "' and '" +
                             codepages::Cp850ToUtf8(name) + "' would be the same file on Windows");
    }
    for (const std::string& name : names) {
        std::string folded = WindowsFoldedName(name);
        for (size_t slash = folded.find('/'); slash != std::string::npos;
             slash = folded.find('/', slash + 1)) {
            auto file = files.find(folded.substr(0, slash));
            if (file != files.end())
                faults.push_back("member '" + codepages::Cp850ToUtf8(name) +
                                 "' needs a folder where the file '" +
                                 codepages::Cp850ToUtf8(*file->second) + "' is");
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
