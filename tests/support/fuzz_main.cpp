// Replays a fuzz corpus without libFuzzer: runs the target once on every file of the
// folders (or files) named on the command line.
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/sfx_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
    std::string bytes = sfxtest::ReadFile(path);
    LLVMFuzzerTestOneInput((const uint8_t*)bytes.data(), bytes.size());
    return 1;
}

int main(int argc, char** argv) {
    int runs = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "no such corpus: %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            runs += RunFile(argv[i]);
            continue;
        }
        for (const std::string& name : sfxtest::ListFolder(argv[i]))
            if (name[0] != '.') runs += RunFile(std::string(argv[i]) + "/" + name);
    }
    printf("replayed %d inputs\n", runs);
    return runs > 0 ? 0 : 1;
}
