// What the compiler may call on its own in a program without a C runtime: block copies and
// fills for structure assignments and zeroing loops, and the process entry.
#include "startup/startup.h"
#include "ui/ui.h"

extern "C" {

void* memcpy(void* dest, const void* src, size_t n) {
    unsigned char* d = (unsigned char*)dest;
    const unsigned char* s = (const unsigned char*)src;
    while (n--) *d++ = *s++;
    return dest;
}

void* memmove(void* dest, const void* src, size_t n) {
    unsigned char* d = (unsigned char*)dest;
    const unsigned char* s = (const unsigned char*)src;
    if (d < s) {
        while (n--) *d++ = *s++;
    } else {
        while (n--) d[n] = s[n];
    }
    return dest;
}

void* memset(void* dest, int c, size_t n) {
    unsigned char* d = (unsigned char*)dest;
    while (n--) *d++ = (unsigned char)c;
    return dest;
}

int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (; n; --n, ++x, ++y)
        if (*x != *y) return *x - *y;
    return 0;
}

// The loader calls this once it has bound every import; libraries loaded later come from the
// system folder alone, and the process ends with the program's exit code.
void EntryPoint(void) {
    RestrictLibrarySearch();
    ExitProcess(ProgramEntry());
}

}
