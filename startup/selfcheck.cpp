// The stub's own parameter block and the check of its own file: open it, verify one CRC-32
// over the image and the configuration block, and probe the archive's end record.
#include "archive/archive.h"
#include "inflate/inflate.h"
#include "startup/startup.h"

// The builder finds this block by its signature and patches it; the code reads the fields
// at their place. The header-invalid text must follow it directly. It is not const, so that
// the compiler reads the patched fields from the file rather than folding in the fresh ones;
// on Windows the linker script puts it, like all data with contents, in the one section.
StubData stubData = {
    FRESH_PARAMETER_BLOCK,
    "Tessly Self-Extractor-Dateikopf ung\xFCltig. M\xF6gliche Ursache: Fehlerhafter "
    "Datentr\xE4ger oder Datei\xFC" "bertragungsfehler.",
};

#ifndef TESSLY_WINAPI
// The Linux build's halves (mksfx and the tests that load a file); the stub's, which open the
// file by its wide name, are in startup/win32/selfname.cpp. The file is named in `selfPath`,
// whose bytes are its name, or is the program's own as in the stub.
void NameSelf(void) {
    if (!state.run.selfPath[0]) GetModuleFileNameA(0, state.run.selfPath, SELF_PATH_CHARS);
}

void OpenSelf(void) {
    HANDLE file = CreateFileW(state.run.selfPath, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) ReadFailed();
    state.reader.file = (HFILE)(INT_PTR)file;
}
#endif

void ReadSelf(DWORD at, void* buffer, DWORD count) {
    if (!SeekFile(state.reader.file, at)) HeaderInvalid();
    UINT got = _lread(state.reader.file, buffer, count);
    if (got == (UINT)HFILE_ERROR) ReadFailed();
    if (got != count) HeaderInvalid();
}

void CheckHeader(DWORD length, DWORD expected, const unsigned char* signature) {
    unsigned char* block = (unsigned char*)LocalAlloc(LPTR, length);
    if (!block) HeaderInvalid();
    if (length == 0) HeaderInvalid();
    ReadSelf(0, block, length);

    DWORD found = 0;
    BOOL haveSignature = FALSE;
    if (length >= 8) {
        for (DWORD i = 0; i <= length - 8 && !haveSignature; ++i) {
            if (block[i] != signature[0]) continue;
            DWORD k = 1;
            while (k < 8 && block[i + k] == signature[k]) ++k;
            if (k == 8) {
                found = i;
                haveSignature = TRUE;
            }
        }
    }
    if (!haveSignature) HeaderInvalid();
    // The stored CRC was computed with its own four bytes zero. They lie inside the block
    // unless the signature stands in its last 11 bytes; then only those present are cleared.
    for (DWORD k = found + 8; k < found + 12 && k < length; ++k) block[k] = 0;
    // A signable file: the image checksum and the certificate-table entry, which signing
    // writes after the build, count as zero. Their place follows from the MZ header's offset
    // of the PE header, which stays covered.
    if (stubParams.optionFlags & OPT_SIGNABLE) {
        DWORD pe = length >= MZ_PE_OFFSET + 4 ? ReadLe32(block + MZ_PE_OFFSET) : length;
        if (pe > length || length - pe < PE_SIGNED_FIELDS_END) HeaderInvalid();
        WriteLe32(block + pe + PE_CHECKSUM, 0);
        WriteLe32(block + pe + PE_CERTIFICATE_ENTRY, 0);
        WriteLe32(block + pe + PE_CERTIFICATE_ENTRY + 4, 0);
    }

    state.crc32.value = 0xFFFFFFFF;
    Crc32Update(block, length);
    state.crc32.value = ~state.crc32.value;
    if (state.crc32.value != expected) HeaderInvalid();
    LocalFree((HLOCAL)block);
}

void ProbeEndRecord(void) {
    unsigned char bytes[4];
    const char* text = GetMessageText(MSG_END_RECORD_BAD);
    if (!SeekFile(state.reader.file, stubParams.endRecordOffset))
        FatalError(BOX_END_RECORD_BAD, text);
    if (_lread(state.reader.file, bytes, 4) != 4) FatalError(BOX_END_RECORD_BAD, text);
    if (ReadLe32(bytes) != ZIP_END_SIGNATURE) FatalError(BOX_END_RECORD_BAD, text);
}
