// Fuzzes the solid form: start-up's probe of the signature header, the header's reading and
// every folder's decoding and splitting, into a nested scratch folder removed after every run;
// anything written outside it stops the fuzzer. The input is a flags byte, the header's length
// (16 bits) and the archive's body: its last bytes are the header, the rest the pack streams.
// The signature header is made here with the CRC-32s right, so that mutations reach the header
// and the streams. Flags: bit 0 answers Yes to the overwrite question, bit 1 shows the meter,
// bit 4 checks without writing (as mksfx verify does).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "archive/archive.h"
#include "posix/standin.h"
#include "tests/support/fresh_state.h"
#include "tests/support/sfx_files.h"
#include "tests/support/solid_craft.h"
#include "tests/support/zip_craft.h"

namespace {

const size_t kPrefix = 64;  // stands for the stub's image

zipcraft::FuzzTree tree;
const std::string& file = tree.file;
const std::string& out = tree.out;

int Answer(const ShownMessageBox& box, void* context) {
    unsigned flags = *(const unsigned*)context;
    return (box.type & 0xF) == MB_YESNOCANCEL ? (flags & 1 ? IDYES : IDNO) : IDOK;
}

void Probe() {
    if (!ProbeSolidArchive()) abort();  // the signature is always there
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (tree.root.empty()) tree = zipcraft::MakeFuzzTree();
    if (size < 3) return 0;
    unsigned flags = data[0];
    std::string body((const char*)data + 3, size - 3);
    size_t headerBytes = (data[1] | data[2] << 8) % (body.size() + 1);
    std::string archive = solidcraft::Assemble(body.substr(0, body.size() - headerBytes),
                                               body.substr(body.size() - headerBytes));
    if (!sfxtest::WriteFile(file, std::string(kPrefix, 'M') + archive)) abort();
    mkdir(out.c_str(), 0777);

    zipcraft::Prepare(file, kPrefix, out, (uint32_t)size * 3);
    state.meter.shown = flags & 2 ? 1 : 0;
    state.solid.testOnly = flags & 16 ? 1 : 0;
    standin::SetMessageBoxAnswer(Answer, &flags);
    if (sfxtest::RunUnderCheckpoint(Probe) == 0) RunExtraction();
    if (state.output.file != 0) abort();  // the checkpoint closes what was open

    char folder[PATH_CHARS];
    lstrcpyA(folder, state.output.folder);
    DeleteTree(folder);
    zipcraft::AbortOnEntriesOutside(tree);
    sfxtest::RemoveTree(out);
    return 0;
}
