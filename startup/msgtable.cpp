// The message table: every text the program shows, and the dialog template, unpacked once
// at start-up from one DEFLATE stream and converted from the OEM to the ANSI code page. The
// texts are looked up by base/messages.cpp.
#include "inflate/inflate.h"
#include "startup/startup.h"

extern const unsigned char storedMessageTable[];  // one raw DEFLATE stream
extern const DWORD storedMessageStreamLength;

void UnpackMessageTable(void) {
    state.texts.messageTable = (unsigned char*)LocalAlloc(LPTR, MESSAGE_TABLE_BYTES);
    if (!state.texts.messageTable) HeaderInvalid();
    state.decoder.inputPtr = (unsigned char*)storedMessageTable;
    state.decoder.inputCount = (int)storedMessageStreamLength;
    state.decoder.outputPtr = state.texts.messageTable;
    state.decoder.outputLimit = state.texts.messageTable + MESSAGE_TABLE_BYTES;
    state.decoder.memoryMode = 1;
    // The stored table is part of the program and lies inside the range the header check
    // covers: the result is not looked at.
    (void)InflateStream();
    state.decoder.memoryMode = 0;
    // The messages before the template are text; the template is binary.
    DWORD textBytes =
        (DWORD)(GetMessageText(MSG_DIALOG_TEMPLATE) - (char*)state.texts.messageTable);
    OemToCharBuffA((LPCSTR)state.texts.messageTable, (LPSTR)state.texts.messageTable, textBytes);
}
