// The message table: every text the program shows, and the dialog template, unpacked once
// at start-up from one DEFLATE stream and converted from the OEM code page to the run's; and,
// once the own file is open, the texts of the user's language from the tables the file
// carries (base/format.h). The texts are looked up by base/messages.cpp.
#include "archive/archive.h"
#include "inflate/inflate.h"
#include "startup/startup.h"

extern const unsigned char storedMessageTable[];  // one raw DEFLATE stream
extern const DWORD storedMessageStreamLength;

// One copy for its three callers (link-time optimisation would copy it into each).
__attribute__((noinline)) unsigned char* InflateInMemory(const unsigned char* packed, DWORD count,
                                                         unsigned char* out, DWORD limit) {
    state.decoder.inputPtr = (unsigned char*)packed;
    state.decoder.inputCount = (int)count;
    state.decoder.outputPtr = out;
    state.decoder.outputLimit = out + limit;
    state.decoder.memoryMode = TRUE;
    (void)InflateStream();
    state.decoder.memoryMode = 0;
    return state.decoder.outputPtr;
}

void UnpackMessageTable(void) {
    // Unpacked at the end of an area four times the table's size; the texts go to its start
    // in the run's code page, the template stays where it was unpacked.
    unsigned char* area = (unsigned char*)LocalAlloc(LPTR, 4 * MESSAGE_TABLE_BYTES);
    if (!area) HeaderInvalid();
    unsigned char* table = area + 3 * MESSAGE_TABLE_BYTES;
    state.texts.messageTable = table;
    // The stored table is part of the program and lies inside the range the header check
    // covers: the result is not looked at.
    InflateInMemory(storedMessageTable, storedMessageStreamLength, table, MESSAGE_TABLE_BYTES);
    // The messages before the template are text; the template is binary.
    state.texts.dialogTemplate = (unsigned char*)GetMessageText(MSG_DIALOG_TEMPLATE);
    // In UTF-8 a character of code page 850 may take three bytes.
    OemToRun((char*)table, (char*)area, (int)(state.texts.dialogTemplate - table), 3 * MESSAGE_TABLE_BYTES);
    state.texts.ownTable = state.texts.messageTable = area;
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
    ReadSelf(at, packed, packedLength);
    // A damaged area reads as what arrived: empty texts at worst.
    const unsigned char* end = InflateInMemory(packed, packedLength, area, LANGUAGES_UNPACKED_MAX);

    // The table of the user's UI language (its primary language), else the first.
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
    // A file with UTF-8 texts carries its tables in UTF-8.
    DWORD textBytes = (DWORD)((unsigned char*)GetMessageText(MESSAGE_TEXT_COUNT) - chosen);
    if (!RUN_CODE_PAGE) OemToRun((char*)chosen, (char*)chosen, (int)textBytes, (int)textBytes);
}
