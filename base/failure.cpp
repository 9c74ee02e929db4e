// Failure reporting: one error box, then a non-local return to the innermost armed
// checkpoint with an abort code. Nothing here returns.
#include "base/base.h"

void AbortTo(int code) {
    state.run.abortCode = code;
    JUMP_TO_CHECKPOINT();
}

void FatalError(BoxPurpose purpose, const char* text) {
    UserBox(purpose, text);
    AbortTo(ABORT_FAILED);
}

void FatalMessage(BoxPurpose purpose, int id) { FatalError(purpose, GetMessageText(id)); }

void HeaderInvalid(void) { FatalError(BOX_HEADER_INVALID, HEADER_INVALID_TEXT); }

// Built in, like the header-invalid text: the decoder that unpacks the message table can run
// out of memory itself.
void OutOfMemory(void) { FatalError(BOX_OUT_OF_MEMORY, "Nicht gen\xFCgend Speicher"); }

void ReadFailed(void) {
    FormatMessageText(state.texts.messageBuffer, MESSAGE_BUFFER_BYTES, MSG_READ_FAILED,
                      state.run.selfPath);
    FatalError(BOX_READ_FAILED, state.texts.messageBuffer);
}

// wsprintfA stores at most 1024 characters; formatting into a scratch area of that size and
// copying what fits keeps every fixed buffer of the program from being overrun.
// Every format is a message: taking the number keeps the look-up out of every caller.
void FormatMessageText(char* dest, int destSize, int id, ...) {
    char scratch[1025];
    va_list args;
    va_start(args, id);
    wvsprintfA(scratch, GetMessageText(id), args);
    va_end(args);
    lstrcpynA(dest, scratch, destSize);
}
