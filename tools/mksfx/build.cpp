// mksfx build: a self-extracting file from the stub image, a configuration block and a ZIP
// archive of the inputs.
//
// The order of a build:
//   1. the options, and the configuration block from them (texts, command, icon), deflated;
//   2. the stub image, whose parameter block is found by its signature (it must occur once);
//   3. the entries of the inputs, their names checked;
//   4. the file: room for image and configuration block, then the archive behind them;
//   5. the parameter block filled in: offsets, total size, options, the name to wait for;
//   6. the header CRC-32 over image and configuration block (the block's own CRC field taken as
//      zero), unless --no-header-check; then image and configuration block are written in front.
// The output appears under its name only when all of this has succeeded.
#include <libdeflate.h>

#include "tools/mksfx/build.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/sfxfile.h"

using namespace sfx;

namespace {

std::string Deflate(const std::string& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level < 1 ? 1 : level);
    if (!c) Fail("out of memory");
    std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
    size_t n = libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size());
    libdeflate_free_compressor(c);
    if (n == 0) Fail("compression failed");
    out.resize(n);
    return out;
}

std::string ConfigurationBlock(const Options& o) {
    std::string about = AnsiText("--about", o.about, kAboutMax);
    std::string command = AnsiText("--command", o.command, kCommandMax);
    std::string text = AnsiText("--text", o.text, kTextMax);
    std::string block = about + '\0' + command + '\0' + '\0' + text + '\0';
    if (o.haveCaption) block += AnsiText("--caption", o.caption, kCaptionMax) + '\0';
    if (!o.icon.empty()) {
        std::string icon, error;
        if (!ReadWholeFile(o.icon, &icon, &error)) Fail("--icon: " + error);
        if (const char* why = IconFault(icon)) Fail("--icon: " + o.icon + " is not an icon file: " + why);
        block.append(2, (char)ICON_MARKER);
        block += icon;
    } else {
        block.append(2, '\0');
    }
    if (block.size() > CONFIG_UNPACKED_MAX)
        Fail("the configuration (texts and icon) takes " + std::to_string(block.size()) +
             " bytes, the stub holds " + std::to_string(CONFIG_UNPACKED_MAX) +
             "; shorten the texts or use a smaller icon");
    std::string packed = Deflate(block, 12);
    if (packed.size() > CONFIG_PACKED_MAX)
        Fail("the configuration compresses to " + std::to_string(packed.size()) +
             " bytes, the stub reads at most " + std::to_string(CONFIG_PACKED_MAX) +
             "; use a smaller icon");
    return packed;
}

int Build(int argc, char** argv) {
    // 1. options and the configuration block
    Options o = ParseOptions(argc, argv);
    uint32_t ourFlags = 0;
    std::string waitName;
    if (o.waitForGiven) {
        waitName = WaitForName(o.waitFor);
        ourFlags |= OPT_WAIT_FOR_PROGRAM;
    }
    if (o.haveCaption) ourFlags |= OPT_CUSTOM_CAPTION;
    if (o.wait) ourFlags |= OPT_WAIT_MODE;
    std::string config = ConfigurationBlock(o);

    // 2. the stub image
    std::string stubPath = o.stub.empty() ? DefaultStubPath() : o.stub;
    std::string image, error;
    if (!ReadWholeFile(stubPath, &image, &error)) Fail("stub: " + error);
    size_t blockAt = 0;
    size_t occurrences = CountSignature(image, image.size(), &blockAt);
    if (occurrences != 1 || blockAt + STUB_PARAMETER_BLOCK_SIZE > image.size())
        Fail("stub " + stubPath + ": its parameter block must occur exactly once, found " +
             std::to_string(occurrences));
    Block block = ReadBlock(image, blockAt);

    // 3. the entries
    Inputs inputs;
    CollectInputs(o.inputs, &inputs);
    uint64_t totalSize = 0;
    for (const Entry& e : inputs.entries) totalSize += e.isDirectory ? 0 : e.size;
    if (totalSize > 0xFFFFFFFFull)
        Fail("the members add up to 4 GiB or more (the stub counts in 32 bits)");

    // 4. room for the head, then the archive
    OutputFile out(o.output);
    uint64_t archiveOffset = image.size() + config.size();
    out.Write(std::string(archiveOffset, '\0'));
    uint32_t endRecord = WriteArchive(inputs.entries, o.level, &out);

    // 5. the parameter block
    std::string head = image + config;
    block.configOffset = (uint32_t)image.size();
    block.archiveOffset = (uint32_t)archiveOffset;
    block.endRecordOffset = endRecord;
    block.totalSize = (uint32_t)totalSize;
    // Bits the stub does not test stay as the image carries them.
    block.optionFlags = (block.optionFlags & ~(OPT_WAIT_FOR_PROGRAM | OPT_CUSTOM_CAPTION | OPT_WAIT_MODE)) |
                        ourFlags;
    block.waitName = waitName;
    block.headerCrc = 0;
    WriteBlock(&head, block);

    // 6. the header CRC, and the head in front of the archive
    if (!o.noHeaderCheck) {
        block.headerCrc = HeaderCrc(head, blockAt, head.size());
        WriteBlock(&head, block);
    }
    out.WriteAt(0, head);
    out.Commit();
    return 0;
}

}  // namespace

int CommandBuild(int argc, char** argv) { return Build(argc, argv); }
