// Fuzzes the reader of list and verify: the input is the archive behind a sound stub image
// (the tests' synthetic one), with the parameter block filled in as a build fills it. The
// file goes through ReadFile and CheckFile with and without the members' data. A file that
// verify calls sound must then extract completely with the stub's own code; anything else
// stops the fuzzer.
// The first input byte picks the layout: bit 0 puts a configuration block between the stub
// and the archive; without it the archive starts at 8192, so that ZIP files written with
// their offsets counted from there (a writer behind 8192 bytes of padding) make seeds.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/archive.h"
#include "base/state.h"
#include "posix/standin.h"
#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"
#include "tools/mksfx/sfxfile.h"

namespace {

std::string root, file, out, stub;

void Setup() {
    root = sfxtest::FuzzScratchFolder();
    file = root + "/setup.exe";
    out = root + "/out";
    stub = sfxtest::SyntheticStub();
}

int AnswerNo(const ShownMessageBox& box, void*) { return (box.type & 0xF) == MB_YESNOCANCEL ? IDNO : IDOK; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (root.empty()) Setup();
    unsigned flags = size ? data[0] : 0;
    if (size) ++data, --size;

    sfxtest::SfxParts parts;
    parts.stub = stub;
    parts.hasConfig = flags & 1;
    parts.config = sfxtest::ConfigText({"", "setup.exe", "", "text"});
    parts.rawArchive.assign((const char*)data, size);
    std::string bytes = sfxtest::BuildSfx(parts);
    // The members' sizes as a build adds them up, when the archive gives them.
    uint32_t total = 0;
    {
        if (!sfxtest::WriteFile(file, bytes)) abort();
        sfx::File f;
        std::vector<std::string> faults;
        if (sfx::ReadFile(file, &f, &faults))
            for (const sfx::Member& m : f.walk.members)
                if (!m.IsDirectory()) total += m.size;
    }
    const size_t block = sfxtest::FindBlock(bytes);
    sfxtest::SetLe32(&bytes, block + PB_TOTAL_SIZE, total);
    sfxtest::ResealHeader(&bytes);
    if (!sfxtest::WriteFile(file, bytes)) abort();

    sfx::File f;
    std::vector<std::string> faults;
    sfx::ReadFile(file, &f, &faults);
    for (const std::string& fault : sfx::CheckFile(&f, false)) faults.push_back(fault);
    const bool structureSound = faults.empty();
    for (const std::string& fault : sfx::CheckFile(&f, true)) faults.push_back(fault);
    // TESSLY_FUZZ_SHOW set: each input's faults on stderr, to see what a corpus file reaches.
    static const bool show = getenv("TESSLY_FUZZ_SHOW") != nullptr;
    if (show) fprintf(stderr, "%zu bytes: %s\n", size, faults.empty() ? "sound" : faults.front().c_str());
    if (!faults.empty()) return 0;
    if (!structureSound) abort();  // the data check found nothing, the structure check did

    // Sound: the stub's extraction must go through, every member written.
    mkdir(out.c_str(), 0777);
    zipcraft::Prepare(file, sfxtest::Le32(bytes, block + PB_ARCHIVE_OFFSET), out, total);
    standin::SetMessageBoxAnswer(AnswerNo, nullptr);
    int code = RunExtraction();
    if (code != 0) {
        fprintf(stderr, "verify calls the file sound, the stub's extraction ends with %d\n", code);
        abort();
    }
    sfxtest::RemoveTree(out);
    return 0;
}
