/* The example's program: copies the file named first (a member of the package, in the folder
   the setup file extracted it into) to the file named second, and ends with exit code 7 so
   that a silent run of the setup file shows the command's own code. */
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 3) return 1;
    FILE* in = fopen(argv[1], "rb");
    FILE* out = fopen(argv[2], "wb");
    if (!in || !out) return 2;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) fwrite(buffer, 1, n, out);
    fclose(in);
    return fclose(out) == 0 ? 7 : 3;
}
