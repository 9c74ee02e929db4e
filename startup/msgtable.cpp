// The message table: every text the program shows, and the dialog template, unpacked once
// at start-up from one DEFLATE stream and converted from the OEM to the ANSI code page; and,
// once the own file is open, the texts of the user's language from the tables the file
// carries (base/format.h). The texts are looked up by base/messages.cpp.
#include "archive/archive.h"
#include "inflate/inflate.h"
#include "startup/startup.h"

extern const unsigned char storedMessageTable[];  // one raw DEFLATE stream
extern const DWORD storedMessageStreamLength;

void UnpackMessageTable(void) {
    state.texts.ownTable = state.texts.messageTable = (unsigned char*)LocalAlloc(LPTR, MESSAGE_TABLE_BYTES);
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
    state.texts.dialogTemplate = (unsigned char*)GetMessageText(MSG_DIALOG_TEMPLATE);
}

// The tables lie inside the range the header check covers, but that check can be switched
// off: sizes outside the limits are a broken header, and the inflated area is followed by
// zero bytes enough for a table cut short to read as empty texts, never past the block.
void LoadLanguageTable(void) {
    if (!(stubParams.optionFlags & OPT_LANGUAGES)) return;
    const DWORD at = stubParams.languagesOffset, slack = MESSAGE_TEXT_COUNT + 1;
    if (at == 0 || stubParams.configOffset <= at) HeaderInvalid();
    DWORD packedLength = stubParams.configOffset - at;
    if (packedLength > LANGUAGES_PACKED_MAX) HeaderInvalid();
    unsigned char* area =
        (unsigned char*)LocalAlloc(LPTR, LANGUAGES_UNPACKED_MAX + slack + LANGUAGES_PACKED_MAX);
    if (!area) HeaderInvalid();
    state.texts.languageArea = area;
    unsigned char* packed = area + LANGUAGES_UNPACKED_MAX + slack;
    if (!SeekFile(state.reader.file, at)) HeaderInvalid();
    ReadSelf(packed, packedLength);
    state.decoder.inputPtr = packed;
    state.decoder.inputCount = (int)packedLength;
    state.decoder.outputPtr = area;
    state.decoder.outputLimit = area + LANGUAGES_UNPACKED_MAX;
    state.decoder.memoryMode = 1;
    (void)InflateStream();  // a damaged area reads as what arrived: empty texts at worst
    state.decoder.memoryMode = 0;

    // The table of the user's UI language (its primary language), else the first.
    const unsigned char* end = state.decoder.outputPtr;
    const unsigned wanted = GetUserDefaultUILanguage() & 0x3FF;
    unsigned char* chosen = area + 1;
    for (unsigned char* p = area; p < end;) {
        unsigned id = *p++;
        state.texts.messageTable = p;
        unsigned char* next = (unsigned char*)GetMessageText(MESSAGE_TEXT_COUNT);
        if (id == wanted) {
            chosen = p;
            break;
        }
        p = next;
    }
    state.texts.messageTable = chosen;
    DWORD textBytes = (DWORD)((unsigned char*)GetMessageText(MESSAGE_TEXT_COUNT) - chosen);
    OemToCharBuffA((LPCSTR)chosen, (LPSTR)chosen, textBytes);
}
