// The conversions between the run's code page (state.run.codePage) and the others: the stored
// texts of code page 850 into it, and its texts into the wide form that the calls take.
#include "base/base.h"

int OemToRun(const char* from, char* to, int bytes, int room) {
    static UTF16 wide[MESSAGE_TABLE_BYTES];
    UINT codePage = RUN_CODE_PAGE;
    int chars = MultiByteToWideChar(codePage ? 850 : CP_OEMCP, 0, from, bytes, wide, MESSAGE_TABLE_BYTES);
    return WideCharToMultiByte(codePage, 0, wide, chars, to, room, 0, 0);
}

#ifdef TESSLY_WINAPI
WCHAR* ToWide(const char* text, int slot) {
    static WCHAR wide[2][WIDE_TEXT_CHARS];
    MultiByteToWideChar(RUN_CODE_PAGE, 0, text, -1, wide[slot], WIDE_TEXT_CHARS);
    return wide[slot];
}
#endif
