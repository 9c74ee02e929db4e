// The imports the loader does not bind. The build packs the names of nearly every function
// the program calls into one DEFLATE stream (cmake/packimports.py) and gives each one an
// address slot here, under the name the compiler's calls go through; this fills the slots,
// first thing at start. That costs about a third of what an import table spends on the same
// names, hints and slots. The libraries are loaded by the loader as before (one function of
// each stays imported), so only their handles are asked for and none is searched for.
//
// Until the slots are filled, only what the loader bound may be called: the calls here and
// the decoder's in memory mode (LocalAlloc and LocalFree for its tables; should one fail,
// the silent path of UserBox, which calls nothing, leads back to the checkpoint here).
#include "inflate/inflate.h"
#include "startup/startup.h"

extern "C" {
extern const unsigned char packedImportNames[], packedImportNamesEnd[];
// The unpacked names: for each library its name, its functions' names, an empty name; an
// empty library name ends the list. Each function has the next slot.
extern char importNames[], importNamesEnd[];
extern FARPROC importSlots[];
}

// The exit code with which the loader refuses a program that imports a function its host
// lacks: the same refusal, before any window.
enum : DWORD { EXIT_NAME_NOT_FOUND = 0xC0000139 };

// The decoder's window while the names are unpacked. Zeroed data takes no room in the file,
// and of its pages only the one or two the names pass through are ever touched.
static unsigned char startWindow[WINDOW_ALLOC];

// Unpacks the names through the decoder's memory mode, then leaves the state record as the
// process start left it: zero-filled, as the start-up sequence expects. A failure ends the
// process with the code a silent run gives it (out of memory for the decoding tables; a
// damaged file, since the stream is part of the program).
__attribute__((noinline)) static void UnpackImportNames(void) {
    state.run.silentMode = 1;
    if (ARM_CHECKPOINT()) ExitProcess(state.run.exitCode);
    state.decoder.window = startWindow;
    state.decoder.inputPtr = (unsigned char*)packedImportNames;
    state.decoder.inputCount = (int)(packedImportNamesEnd - packedImportNames);
    state.decoder.outputPtr = (unsigned char*)importNames;
    state.decoder.outputLimit = (unsigned char*)importNamesEnd;
    state.decoder.memoryMode = 1;
    if (InflateStream() != INFLATE_OK || state.decoder.outputPtr != state.decoder.outputLimit)
        HeaderInvalid();
    __builtin_memset(&state, 0, sizeof state);
}

extern "C" void ResolveImports(void) {
    UnpackImportNames();
    FARPROC* slot = importSlots;
    for (const char* p = importNames; *p; ++p) {
        HMODULE library = GetModuleHandleA(p);
        while (*p++) {}
        for (; *p; ++slot) {
            if (!(*slot = GetProcAddress(library, p))) ExitProcess(EXIT_NAME_NOT_FOUND);
            while (*p++) {}
        }
    }
}
