// The message table: every text the program shows, and the dialog template, unpacked once
// at start-up from one DEFLATE stream and converted from the OEM to the ANSI code page.
#include "inflate/inflate.h"
#include "startup/startup.h"

extern const unsigned char storedMessageTable[];  // the offsets, then the stream
extern const DWORD storedMessageStreamLength;

static DWORD MessageOffset(int n) { return ReadLe32(storedMessageTable + 4 * n); }

void UnpackMessageTable(void) {
    state.messageTable = (unsigned char*)LocalAlloc(LPTR, MESSAGE_TABLE_BYTES);
    if (!state.messageTable) HeaderInvalid();
    state.inputPtr = (unsigned char*)storedMessageTable + MESSAGE_OFFSETS_BYTES;
    state.inputCount = (int)storedMessageStreamLength;
    state.outputPtr = state.messageTable;
    state.outputLimit = state.messageTable + MESSAGE_TABLE_BYTES;
    state.memoryMode = 1;
    // The stored table is part of the program and lies inside the range the header check
    // covers: the result is not looked at.
    (void)InflateStream();
    state.memoryMode = 0;
    // The messages before the template are text; the template is binary.
    DWORD textBytes = MessageOffset(MSG_DIALOG_TEMPLATE);
    OemToCharBuffA((LPCSTR)state.messageTable, (LPSTR)state.messageTable, textBytes);
}

char* GetMessageText(int n) { return (char*)state.messageTable + MessageOffset(n); }
