// mksfx: builds, lists, verifies and extracts self-extracting files.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/mksfx/build.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/optionfiles.h"
#include "tools/mksfx/report.h"

static void PrintUsage(FILE* to) {
    fprintf(to,
            "usage: mksfx COMMAND [OPTIONS] ...\n"
            "\n"
            "commands:\n"
            "  build -o OUTPUT [OPTIONS] INPUT...   make a self-extracting file\n"
            "  list [--json] FILE                   show its members and configuration\n"
            "  verify [--json] FILE                 check it as the stub will read it\n"
            "  extract FILE DIR                     unpack it with the stub's own code\n"
            "  sign [OPTIONS] FILE...               sign finished files in place (Authenticode)\n"
            "\n"
            "'mksfx COMMAND --help' describes each command; 'mksfx --version' names this one.\n"
            "An argument @FILE stands for the words of FILE (a response file).\n");
}

static int Run(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    const char* command = argv[1];
    if (!strcmp(command, "--help") || !strcmp(command, "-h") || !strcmp(command, "help")) {
        PrintUsage(stdout);
        return 0;
    }
    if (!strcmp(command, "--version")) {
        fputs(sfx::kVersionLine, stdout);
        return 0;
    }
    if (!strcmp(command, "build")) return sfx::RunCommand(CommandBuild, argc - 1, argv + 1);
    if (!strcmp(command, "list")) return sfx::RunCommand(CommandList, argc - 1, argv + 1);
    if (!strcmp(command, "verify")) return sfx::RunCommand(CommandVerify, argc - 1, argv + 1);
    if (!strcmp(command, "extract")) return sfx::RunCommand(CommandExtract, argc - 1, argv + 1);
    if (!strcmp(command, "sign")) return sfx::RunCommand(CommandSign, argc - 1, argv + 1);
    fprintf(stderr, "mksfx: unknown command '%s'\n", sfx::Shown(command).c_str());
    PrintUsage(stderr);
    return 2;
}

// In mksfx.exe this is tessly_main, which the program's main (tools/common/winposix.cpp) calls
// with the arguments in UTF-8.
int main(int argc, char** argv) {
    // Response files first, for every command: "mksfx build @args.txt".
    std::vector<std::string> args;
    try {
        args = sfx::ExpandResponseFiles(argc, argv);
    } catch (const sfx::Failure& f) {
        fprintf(stderr, "mksfx: %s\n", f.message.c_str());
        return f.code;
    }
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    return sfx::CheckedExit(Run((int)args.size(), pointers.data()));
}
