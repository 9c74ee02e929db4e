// The commands of mksfx. Each takes the arguments from the command word on (argv[0] is
// "build", "list", ...), prints its own --help, and answers the exit code: 0 success, 1 a
// failure reported as one "mksfx: ..." line on stderr, 2 a usage error.
#pragma once

int CommandBuild(int argc, char** argv);
int CommandList(int argc, char** argv);
int CommandVerify(int argc, char** argv);
int CommandExtract(int argc, char** argv);
int CommandSign(int argc, char** argv);
