// mksfx: builds, lists, verifies and extracts self-extracting files.
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc < 2 || !strcmp(argv[1], "--help")) {
        printf("usage: mksfx COMMAND ...\n");
        return argc < 2 ? 2 : 0;
    }
    fprintf(stderr, "mksfx: unknown command '%s'\n", argv[1]);
    return 2;
}
