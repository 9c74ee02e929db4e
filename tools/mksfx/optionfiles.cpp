// Files that arguments and options name: response files (@FILE) on any command line, the
// project file of `mksfx build --project`, the text files of --text-file and --about-file,
// and the input lists of --files-from.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "tools/mksfx/build.h"
#include "tools/mksfx/optionfiles.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

namespace sfx {

namespace {

// Response and project files are a few hundred lines; a larger file is a mistake.
const uint64_t kOptionFileMax = 16u << 20;
// Response files may name others; deeper than this they name each other in a loop.
const int kResponseDepthMax = 32;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string ReadOptionFile(const std::string& shown, const std::string& path) {
    std::string bytes, error;
    if (!ReadWholeFile(path, &bytes, &error, kOptionFileMax)) Fail(shown + ": " + Shown(error));
    if (bytes.find('\0') != std::string::npos) Fail(shown + ": holds a NUL byte, it is no text file");
    return bytes;
}

// The words of a response file as compilers split them: blanks separate words, single and
// double quotes keep blanks in one ("" is an empty word), and a backslash takes the next
// character as it is, inside quotes too.
std::vector<std::string> ResponseWords(const std::string& shown, const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (true) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        if (i == text.size()) return words;
        std::string word;
        char quote = 0;
        for (; i < text.size() && (quote || !IsBlank(text[i])); ++i) {
            char c = text[i];
            if (c == '\\') {
                if (++i < text.size()) word += text[i];
            } else if (quote) {
                if (c == quote) quote = 0;
                else word += c;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else {
                word += c;
            }
        }
        // A quote left open would swallow the rest of the file into one word.
        if (quote) Fail(shown + ": a " + (quote == '"' ? "double" : "single") + " quote is not closed");
        words.push_back(word);
    }
}

void Expand(const std::string& arg, int depth, std::vector<std::string>* out) {
    const std::string path = arg.substr(1), shown = "@" + Shown(path);
    if (depth > kResponseDepthMax)
        Fail(shown + ": response files nested more than " + std::to_string(kResponseDepthMax) +
             " deep (do they name each other?)");
    for (const std::string& word : ResponseWords(shown, ReadOptionFile(shown, path))) {
        if (word.size() > 1 && word[0] == '@') Expand(word, depth + 1, out);
        else out->push_back(word);
    }
}

}  // namespace

std::vector<std::string> ExpandResponseFiles(int argc, char** argv) {
    std::vector<std::string> out;
    bool optionsDone = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (i > 0 && !optionsDone && arg.size() > 1 && arg[0] == '@') {
            Expand(arg, 1, &out);
        } else {
            optionsDone = optionsDone || arg == "--";
            out.push_back(arg);
        }
    }
    return out;
}

std::vector<ProjectLine> ReadProjectFile(const std::string& path) {
    const std::string shown = Shown(path);
    std::string text = ReadOptionFile("--project " + shown, path);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);  // an editor's byte-order mark
    std::vector<ProjectLine> lines;
    int number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        const std::string where = shown + ":" + std::to_string(number) + ": ";
        size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        size_t last = line.find_last_not_of(" \t\r");
        line = line.substr(first, last + 1 - first);
        size_t eq = line.find('=');
        ProjectLine p;
        p.number = number;
        p.key = line.substr(0, eq);
        p.key.erase(p.key.find_last_not_of(" \t") + 1);
        if (p.key.empty() || p.key.find_first_of(" \t") != std::string::npos || p.key[0] == '-')
            UsageFail(where + "'" + Shown(line) + "' is no 'name = value' line (names without '--')");
        if (eq != std::string::npos) {
            p.hasValue = true;
            std::string value = line.substr(eq + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            // Double quotes keep blanks at either end and allow an empty value; inside them
            // \" and \\ stand for themselves.
            if (!value.empty() && value[0] == '"') {
                std::string unquoted;
                size_t k = 1;
                for (; k < value.size() && value[k] != '"'; ++k) {
                    if (value[k] == '\\' && k + 1 < value.size() && (value[k + 1] == '"' || value[k + 1] == '\\')) ++k;
                    unquoted += value[k];
                }
                if (k + 1 != value.size()) UsageFail(where + "the quoted value must end the line with its closing quote");
                value = unquoted;
            }
            p.value = value;
        }
        lines.push_back(p);
    }
    return lines;
}

std::string ProjectPath(const std::string& project, const std::string& value) {
    size_t slash = project.rfind('/');
    if (value.empty() || value == "-" || value[0] == '/' || slash == std::string::npos) return value;
    return project.substr(0, slash + 1) + value;
}

std::string TextFileContents(const std::string& option, const std::string& path, size_t chars) {
    std::string text, error;
    if (!ReadWholeFile(path, &text, &error, 3 * chars + 3 + 64))
        Fail(option + ": " + Shown(error) + " (the text holds at most " + std::to_string(chars) + " characters)");
    // Editors on Windows begin UTF-8 files with a byte-order mark; it is no part of the text.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    // A text file ends with a line break that is no part of the text.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void AddListedInputs(const std::string& path, std::vector<std::string>* inputs) {
    const std::string name = path == "-" ? "standard input" : Shown(path);
    int fd = path == "-" ? dup(0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("--files-from: cannot read " + name + ": " + strerror(errno));
    std::string line;
    char chunk[65536];
    size_t paths = 0, lines = 0;
    for (bool end = false; !end;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0) {
            int error = errno;
            close(fd);
            Fail("--files-from: cannot read " + name + ": " + strerror(error));
        }
        end = n == 0;
        for (ssize_t k = 0; k <= n; ++k) {
            if (k < n && chunk[k] != '\n') {
                line += chunk[k];
            } else if (k < n || (end && !line.empty())) {
                ++lines;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty()) inputs->push_back(line), ++paths;
                line.clear();
            }
            if (line.size() > PATH_MAX || paths > kEntriesMax) {
                close(fd);
                Fail("--files-from " + name + ": " +
                     (paths > kEntriesMax ? "more than " + std::to_string(kEntriesMax) + " paths, more than an archive holds"
                                          : "line " + std::to_string(lines + 1) + " is longer than " +
                                                std::to_string(PATH_MAX) + " bytes, no path"));
            }
        }
    }
    close(fd);
}

}  // namespace sfx
