// Failure reporting: one error box, then a non-local return to the innermost armed
// checkpoint with an abort code. Nothing here returns.
#include "startup/startup.h"

void AbortTo(int code) {
    state.abortCode = code;
    JUMP_TO_CHECKPOINT();
}

void FatalError(BoxPurpose purpose, const char* text) {
    UserBox(purpose, text);
    AbortTo(ABORT_FAILED);
}

void HeaderInvalid(void) { FatalError(BOX_HEADER_INVALID, HEADER_INVALID_TEXT); }

// Built in, like the header-invalid text: the decoder that unpacks the message table can run
// out of memory itself.
void OutOfMemory(void) { FatalError(BOX_OUT_OF_MEMORY, "Nicht gen\xFCgend Speicher"); }

void ReadFailed(void) {
    FormatText(state.messageBuffer, MESSAGE_BUFFER_BYTES, GetMessageText(MSG_READ_FAILED),
               state.selfPath);
    FatalError(BOX_READ_FAILED, state.messageBuffer);
}

// wsprintfA stores at most 1024 characters; formatting into a scratch area of that size and
// copying what fits keeps every fixed buffer of the program from being overrun.
void FormatText(char* dest, int destSize, const char* format, ...) {
    char scratch[1025];
    va_list args;
    va_start(args, format);
    wvsprintfA(scratch, format, args);
    va_end(args);
    lstrcpynA(dest, scratch, destSize);
}
