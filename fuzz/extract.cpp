// Fuzzes the whole extraction with the input as the archive, into a nested scratch folder that
// is removed after every run as the Setup command removes it; anything outside it stops the fuzzer.
// The first input byte picks the answers and modes: bit 0 answers Yes to the overwrite
// question, bit 1 shows the meter, bit 2 pretends an old host on which the first member's
// path is a loaded module, bit 3 confirms the cancel query (asked when input is queued).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/state.h"
#include "posix/standin.h"
#include "tests/support/fresh_state.h"
#include "tests/support/zip_craft.h"

namespace {

const size_t kPrefix = 64;  // stands for the stub's image

zipcraft::FuzzTree tree;
const std::string& file = tree.file;
const std::string& out = tree.out;

int Answer(const ShownMessageBox& box, void* context) {
    unsigned flags = *(const unsigned*)context;
    switch (box.type & 0xF) {
        case MB_YESNOCANCEL: return flags & 1 ? IDYES : IDNO;
        case MB_OKCANCEL: return IDOK;
        case MB_YESNO: return flags & 8 ? IDYES : IDNO;
        default: return IDOK;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (tree.root.empty()) tree = zipcraft::MakeFuzzTree();
    unsigned flags = size ? data[0] : 0;
    if (size) ++data, --size;

    if (!sfxtest::WriteFile(file, std::string(kPrefix, 'M') + std::string((const char*)data, size))) abort();
    mkdir(out.c_str(), 0777);

    zipcraft::Prepare(file, kPrefix, out, (uint32_t)size * 3);
    state.meter.shown = flags & 2 ? 1 : 0;
    standin::SetMessageBoxAnswer(Answer, &flags);
    if (flags & 4) {
        state.run.win95Host = 1;
        // A member named "m" is then the loaded module.
        standin::SetModulePath(zipcraft::Backslashed(out + "/m"));
    }
    if (flags & 8) standin::PostInput(standin::FakeDialog(), WM_KEYDOWN, 0, 0);

    RunExtraction();
    if (state.output.file != 0) abort();  // the checkpoint closes what was open

    char folder[PATH_CHARS];
    lstrcpyA(folder, state.output.folder);
    DeleteTree(folder);
    zipcraft::AbortOnEntriesOutside(tree);
    // Whatever DeleteTree could not take (names the stand-in cannot search for) goes too.
    sfxtest::RemoveTree(out);
    return 0;
}
