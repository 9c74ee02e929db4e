// Files that arguments and options name (optionfiles.cpp): response files, the project file,
// text files and input lists.
#pragma once
#include <stddef.h>

#include <string>
#include <vector>

namespace sfx {

// The command line with every @FILE argument (before a "--") replaced by the words of FILE,
// split as compilers split their response files; FILE may name further @FILEs. argv[0] stays.
// A file that cannot be read, an open quote or a loop fails.
std::vector<std::string> ExpandResponseFiles(int argc, char** argv);

// One "name = value" line of a project file; `name` is a long option without its "--".
struct ProjectLine {
    int number = 0;
    std::string key, value;
    bool hasValue = false;
};
// The lines of a project file: "name = value", a name alone, '#' comments, blank lines; a
// value in double quotes keeps its blanks. Fails on a line of another form.
std::vector<ProjectLine> ReadProjectFile(const std::string& path);
// A path from the project file `project` as the command line would give it: a relative path
// counts from the project file's folder; "-" (standard input) stays.
std::string ProjectPath(const std::string& project, const std::string& value);

// The text of a --text-file or --about-file of at most `chars` characters, without a
// byte-order mark and its last line breaks; a larger file is refused before it is read whole.
std::string TextFileContents(const std::string& option, const std::string& path, size_t chars);
// Adds the paths of a --files-from list (one a line; '-': standard input), read as a stream.
void AddListedInputs(const std::string& path, std::vector<std::string>* inputs);

}  // namespace sfx
