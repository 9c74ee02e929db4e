// Replays a fuzz corpus without libFuzzer: runs the target once on every file of the
// folders (or files) named on the command line.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
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
        DIR* d = opendir(argv[i]);
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            runs += RunFile(std::string(argv[i]) + "/" + e->d_name);
        }
        closedir(d);
    }
    printf("replayed %d inputs\n", runs);
    return runs > 0 ? 0 : 1;
}
