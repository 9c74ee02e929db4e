// The message table's texts, looked up by id. The table is unpacked once at start-up
// (startup/msgtable.cpp).
#include "base/base.h"

// The texts stand back to back, each ended by its NUL (none holds a NUL of its own, and the
// conversion makes none), so message n starts after the n-th NUL. No offsets are stored.
char* GetMessageText(int n) {
    char* text = (char*)state.texts.messageTable;
    while (n--)
        while (*text++) {
        }
    return text;
}

