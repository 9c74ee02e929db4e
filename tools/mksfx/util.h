// Small helpers shared by the mksfx commands: failures as exceptions that the command's
// entry turns into an exit code, whole-file reads, and an output file that appears under its
// name only once it is complete.
#pragma once
#include <stdint.h>

#include <string>

namespace sfx {

// Thrown by a command; `code` is the exit code (1 failure, 2 usage error).
struct Failure {
    int code;
    std::string message;  // one line, without the "mksfx: " prefix
};
[[noreturn]] void Fail(const std::string& message);
[[noreturn]] void UsageFail(const std::string& message);

// Runs `body` and turns a Failure into its message on stderr and its exit code.
int RunCommand(int (*body)(int, char**), int argc, char** argv);

// The arguments of a command that takes one FILE and no options: prints `help` and
// answers an empty string for --help, else the FILE (usage errors fail).
std::string SingleFileArgument(int argc, char** argv, const char* help, const char* command);

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);
std::string ReadWholeFileOrFail(const std::string& path);

// Written to a temporary file in the target's folder and renamed over the target by
// Commit; destroyed without Commit, it removes the temporary file.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    void Write(const void* data, size_t size);
    void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
    void WriteAt(uint64_t offset, const std::string& bytes);
    uint64_t Size() const { return size_; }
    void Commit();

private:
    std::string path_, temp_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

}  // namespace sfx
