#include "tools/mksfx/report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "tools/common/codepages.h"

namespace sfx {

void Fail(const std::string& message) { throw Failure{1, message}; }
void UsageFail(const std::string& message) { throw Failure{2, message}; }

void Complain(const std::string& line) { fprintf(stderr, "mksfx: %s\n", line.c_str()); }

std::string Shown(const std::string& text) {
    std::string out;
    char hex[8];
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        if (c >= 0x80 && i + length <= text.size() && codepages::ValidUtf8(text.substr(i, length))) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c >= 0x20 && c < 0x7F) out += (char)c;
        else snprintf(hex, sizeof hex, "\\x%02X", c), out += hex;
        ++i;
    }
    return out;
}

int RunCommand(int (*body)(int, char**), int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const Failure& f) {
        fprintf(stderr, "mksfx: %s\n", f.message.c_str());
        if (f.code == 2) fprintf(stderr, "Try 'mksfx %s --help'.\n", argv[0]);
        return f.code;
    }
}

int CheckedExit(int code) {
    int error = fflush(stdout) != 0 ? errno : 0;
    if (!error && !ferror(stdout)) return code;
    fprintf(stderr, "mksfx: cannot write to standard output: %s\n", strerror(error ? error : EIO));
    return 1;
}

void FlushStandardOutput() {
    if (fflush(stdout) != 0) Fail(std::string("cannot write to standard output: ") + strerror(errno));
}

std::string SingleFileArgument(int argc, char** argv, const char* help, const char* command, bool* json) {
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (json && !strcmp(argv[i], "--json")) {
            *json = true;
            continue;
        }
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(help, stdout);
            return "";
        }
        if (argv[i][0] == '-' && argv[i][1]) UsageFail(std::string("unknown option ") + Shown(argv[i]));
        if (!path.empty()) UsageFail(std::string(command) + " takes one FILE, " + std::to_string(argc - 1) + " arguments given");
        path = argv[i];
    }
    if (path.empty()) UsageFail("no FILE given");
    return path;
}

}  // namespace sfx
