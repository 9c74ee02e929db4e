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

// The own file is opened by its wide name, which holds every character its folder may have
// (`selfPath` is for the texts, in the run's code page). NameSelf takes the name before the
// switches' log opens, into the read buffer, which is not in use yet; OpenSelf opens it. Others
// may read the file meanwhile, not write it. A file that cannot be opened is a read failure
// (message 36), not a damaged one.
//
// The name may be longer than MAX_PATH: such a name is opened in the "\\?\" form, which the
// system does not cut at MAX_PATH, and the texts show its last characters.
void NameSelf(void) {
#ifdef TESSLY_WINAPI
    enum { ROOM = READ_CHUNK / sizeof(WCHAR) - 4 };
    WCHAR* path = (WCHAR*)state.reader.buffer + 4;
    path[-4] = 0;  // the message table may have used the buffer
    DWORD length = GetModuleFileNameW(0, path, ROOM);
    if (length - 1 >= ROOM - 1) length = path[0] = 0;
    const WCHAR* shown = length < SELF_PATH_CHARS ? path : path + length - (SELF_PATH_CHARS - 1);
    WideCharToMultiByte(RUN_CODE_PAGE, 0, shown, -1, state.run.selfPath, SELF_PATH_BYTES, 0, 0);
    if (length >= MAX_PATH && path[0] != '\\') {
        path[-4] = path[-3] = path[-1] = '\\';
        path[-2] = '?';
    }
#else
    // The Linux build names its file in `selfPath` (mksfx and the tests that load a file), or
    // takes the program's own as the stub does.
    if (!state.run.selfPath[0]) GetModuleFileNameA(0, state.run.selfPath, SELF_PATH_CHARS);
#endif
}

void OpenSelf(void) {
#ifdef TESSLY_WINAPI
    // The buffer starts with the "\\?\" form, or the name stands four characters in.
    const WCHAR* path = (WCHAR*)state.reader.buffer;
    if (!path[0]) path += 4;
#else
    // The Linux build (mksfx and the tests) names the file in `selfPath`, whose bytes are
    // its name.
    const char* path = state.run.selfPath;
#endif
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) ReadFailed();
    state.reader.file = (HFILE)(INT_PTR)file;
}

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
