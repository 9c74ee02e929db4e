// How mksfx reports. Commands (what main dispatches) fail by throwing a Failure, which
// RunCommand turns into one "mksfx: ..." line on stderr and the exit code. The functions
// below them that check or decode bytes (the PE image and its resources, icons, input ZIP
// files, the finished-file reader) answer false with one line in `error` instead, and the
// caller decides; where a check finds many faults at once, it answers the list of them.
// Names and texts from files are put into messages through Shown.
#pragma once
#include <string>

namespace sfx {

// Thrown by a command; `code` is the exit code (1 failure, 2 usage error).
struct Failure {
    int code;
    std::string message;  // one line, without the "mksfx: " prefix
};
[[noreturn]] void Fail(const std::string& message);
[[noreturn]] void UsageFail(const std::string& message);
// The library functions' way: `*error = why`, and false for the caller to return.
inline bool Refuse(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

// One fault among several, reported at once as "mksfx: line" on stderr; the caller fails
// after the last.
void Complain(const std::string& line);
// `text` for a message line: control characters and bytes that are not UTF-8 become \n,
// \t or \xNN, so that a name cannot break or forge a line.
std::string Shown(const std::string& text);

// Runs `body` and turns a Failure into its message on stderr and its exit code.
int RunCommand(int (*body)(int, char**), int argc, char** argv);
// `code`, or 1 after a message when standard output could not be written (a full disk, a
// closed pipe): output that did not arrive is a failure.
int CheckedExit(int code);
// Flushes standard output; a failure to write it fails the command.
void FlushStandardOutput();

// The arguments of a command that takes one FILE and no options (but --json where `json` is
// given, which it sets): prints `help` and answers an empty string for --help, else the FILE
// (usage errors fail).
std::string SingleFileArgument(int argc, char** argv, const char* help, const char* command, bool* json = nullptr);

}  // namespace sfx
