// mksfx build: the command's program checked against the members. The stub looks for the
// program in the extraction folder first (".exe" implied), then in the system's folders; a
// command that names a member the package lacks would fail on every machine, so the build
// fails instead and names the member meant.
#include <ctype.h>

#include "tools/mksfx/build.h"
#include "tools/mksfx/report.h"

namespace sfx {

namespace {

// A name as the stub compares it: '\' for '/', ASCII letters in lower case, a leading ".\"
// dropped, ".exe" added when the last component has no extension.
std::string Normal(std::string name) {
    for (char& c : name) c = c == '/' ? '\\' : (char)tolower((unsigned char)c);
    while (name.compare(0, 2, ".\\") == 0) name.erase(0, 2);
    size_t last = name.rfind('\\');
    if (name.find('.', last == std::string::npos ? 0 : last) == std::string::npos) name += ".exe";
    return name;
}

std::string BaseName(const std::string& name) { return name.substr(name.rfind('\\') + 1); }

}  // namespace

void CheckCommandProgram(const std::string& option, const std::string& command, const std::vector<Entry>& entries) {
    size_t start = command.find_first_not_of(' ');
    if (start == std::string::npos) return;
    // The candidates: the quoted first word, or each run up to a blank in turn, as the stub
    // tries them.
    std::vector<std::string> words;
    if (command[start] == '"') {
        words.push_back(command.substr(start + 1, command.find('"', start + 1) - start - 1));
    } else {
        for (size_t blank = command.find(' ', start);; blank = command.find(' ', blank + 1)) {
            words.push_back(command.substr(start, blank - start));
            if (blank == std::string::npos) break;
        }
    }
    const std::string& first = words.front();
    if (first.empty() || first[0] == '%' || first[0] == '\\' || first[0] == '/' || first.find(':') != std::string::npos)
        return;
    std::vector<std::pair<std::string, std::string>> members;  // compared, shown
    for (const Entry& e : entries) {
        std::string shown = e.name;
        for (char& c : shown) c = c == '/' ? '\\' : c;
        if (!e.isDirectory) members.push_back({Normal(e.name), shown});
    }
    for (const std::string& word : words)
        for (const auto& member : members)
            if (Normal(word) == member.first) return;
    // Not in the package: the nearest member, for a path below the package or a name close
    // to one; the same file name in a subfolder comes first.
    const std::string wanted = Normal(first);
    const bool path = wanted.find('\\') != std::string::npos;
    std::string best;
    size_t bestDistance = path ? SIZE_MAX : 3;
    for (const auto& member : members) {
        size_t d = BaseName(member.first) == BaseName(wanted) ? 0 : EditDistance(wanted, member.first);
        if (d < bestDistance) best = member.second, bestDistance = d;
    }
    if (!path && best.empty()) return;  // a program of the system, such as cmd or msiexec
    std::string message = option + ": the program '" + Shown(first) + "' is not in the package";
    if (!best.empty()) message += " (did you mean '" + Shown(best) + "'?)";
    Fail(message + "; a program of the system may be named by its full path");
}

}  // namespace sfx
