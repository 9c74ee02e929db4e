// How mksfx reports. Commands (what main dispatches) fail by throwing a Failure, which
// RunCommand turns into one "mksfx: ..." line on stderr and the exit code. The functions
// below them that check or decode bytes (the PE image and its resources, icons, input ZIP
// files, the finished-file reader) answer false with one line in `error` instead, and the
// caller decides; where a check finds many faults at once, it answers the list of them.
// Names and texts from files are put into messages through Shown.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <time.h>

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

// "12.3 MB"
inline std::string Megabytes(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    return text;
}

// The progress line on a terminal: members, bytes and an estimate of the time left, at most
// five times a second, on stderr; erased when the build ends.
struct ProgressLine {
    uint64_t members = 0, bytes = 0;
    struct timespec start = {}, last = {};
    bool shown = false;

    static double Since(const struct timespec& t) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return (now.tv_sec - t.tv_sec) + (now.tv_nsec - t.tv_nsec) / 1e9;
    }
    static void Hook(uint64_t bytesDone, uint64_t membersDone, void* context) {
        ProgressLine* p = (ProgressLine*)context;
        if (p->shown && Since(p->last) < 0.2) return;
        clock_gettime(CLOCK_MONOTONIC, &p->last);
        double elapsed = Since(p->start);
        std::string left;
        if (elapsed >= 1 && bytesDone > 0 && bytesDone < p->bytes)
            left = ", about " + std::to_string((long)(elapsed * (p->bytes - bytesDone) / bytesDone + 1)) + " s left";
        fprintf(stderr, "\r%llu/%llu members, %s of %s%s\033[K", (unsigned long long)membersDone,
                (unsigned long long)p->members, Megabytes(bytesDone).c_str(), Megabytes(p->bytes).c_str(),
                left.c_str());
        p->shown = true;
    }
    void Erase() {
        if (shown) fputs("\r\033[K", stderr);
        shown = false;
    }
    ~ProgressLine() { Erase(); }  // also before a failure's message
};

}  // namespace sfx
