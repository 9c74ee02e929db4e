// mksfx verify: checks a self-extracting file the way the stub will read it — the block
// found once before the archive, the header CRC, the configuration block, the end record,
// every record walked front to back from the archive offset, every member decoded and its
// CRC-32 compared, every name safe — and, for other unzip tools, the central directory.
#include <stdio.h>
#include <string.h>

#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/util.h"

using namespace sfx;

namespace {

const char kHelp[] =
    "usage: mksfx verify FILE\n"
    "\n"
    "Checks FILE as the stub will read it: its parameter block, header CRC-32,\n"
    "configuration block, end record, every archive record from the archive offset on,\n"
    "every member's data and CRC-32, and that every name is one that Windows takes as a\n"
    "file of its own in the extraction folder.\n"
    "Prints one line per fault and exits with 1, or exits with 0 when the file is sound.\n";

std::string Hex(uint64_t v) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)v);
    return text;
}

void CheckMember(const File& f, const Member& m, std::vector<std::string>* faults) {
    std::string who = "member '" + codepages::Cp850ToUtf8(m.name) + "'";
    if (const char* why = UnsafeNameReason(m.name)) faults->push_back(who + ": unsafe name: " + why);
    if (m.IsDirectory()) return;
    if (m.flags & ZIP_FLAG_ENCRYPTED) {
        faults->push_back(who + ": encrypted");
        return;
    }
    if (!MethodSupported(m.method)) {
        faults->push_back(who + ": compression method " + std::to_string(m.method) +
                          " (the stub takes stored and deflated)");
        return;
    }
    if (m.dataOffset + m.packed > f.bytes.size()) {
        faults->push_back(who + ": its data runs past the end of the file");
        return;
    }
    std::string data;
    if (m.method == METHOD_STORED) {
        data = f.bytes.substr(m.dataOffset, m.packed);
    } else {
        size_t used = 0;
        std::string why;
        if (!InflateRaw(f.bytes.data() + m.dataOffset, m.packed, 0xFFFFFFFFu, &data, &used, &why)) {
            faults->push_back(who + ": " + why);
            return;
        }
        if (used != m.packed)
            faults->push_back(who + ": its DEFLATE stream ends " + std::to_string(m.packed - used) +
                              " bytes before its compressed size");
    }
    if (data.size() != m.size)
        faults->push_back(who + ": decodes to " + std::to_string(data.size()) + " bytes, its header says " +
                          std::to_string(m.size));
    uint32_t crc = Crc32(data.data(), data.size());
    if (crc != m.crc) {
        char text[64];
        snprintf(text, sizeof text, ": CRC-32 %08x, its header says %08x", crc, m.crc);
        faults->push_back(who + text);
    }
}

std::vector<std::string> Verify(const std::string& path) {
    File f;
    std::vector<std::string> faults;
    bool readable = ReadFile(path, &f, &faults);
    if (f.bytes.empty() && !readable) return faults;
    const Block& b = f.block;

    if (b.archiveOffset <= f.bytes.size()) {
        size_t count = CountSignature(f.bytes, b.archiveOffset, nullptr);
        if (count > 1)
            faults.push_back("the block's signature occurs " + std::to_string(count) +
                             " times before the archive; the stub's header check needs it once");
        if (b.headerCrc != 0 && HeaderCrc(f.bytes, b.position, b.archiveOffset) != b.headerCrc)
            faults.push_back("header CRC-32 mismatch: image or configuration changed after the build");
    }
    if (!readable) return faults;

    if (b.endRecordOffset != 0) {
        if (b.endRecordOffset + (uint64_t)ZIP_SIGNATURE_BYTES > f.bytes.size() ||
            Le32(f.bytes, b.endRecordOffset) != ZIP_END_SIGNATURE)
            faults.push_back("no end record at the block's end-record offset " + Hex(b.endRecordOffset));
        else if (b.endRecordOffset != f.walk.endRecordPosition)
            faults.push_back("the block names the end record at " + Hex(b.endRecordOffset) +
                             ", the walk reaches one at " + Hex(f.walk.endRecordPosition));
    }
    if ((b.optionFlags & OPT_WAIT_FOR_PROGRAM) && b.waitName.size() > kWaitNameMax)
        faults.push_back("the program name to wait for has no terminating NUL");

    uint64_t total = 0;
    std::vector<std::string> files;
    for (const Member& m : f.walk.members) {
        CheckMember(f, m, &faults);
        if (!m.IsDirectory()) {
            total += m.size;
            files.push_back(m.name);
        }
    }
    // The stub would ask whether to overwrite, or fail to make a folder.
    for (const std::string& clash : NameClashes(files)) faults.push_back(clash);
    if (total != b.totalSize)
        faults.push_back("the block's total size is " + std::to_string(b.totalSize) +
                         ", the members add up to " + std::to_string(total));

    // What other unzip tools rely on: a central entry for each local header, pointing at it.
    const Walk& w = f.walk;
    if (w.centralOffsets.size() != w.members.size()) {
        faults.push_back("the central directory lists " + std::to_string(w.centralOffsets.size()) +
                         " entries for " + std::to_string(w.members.size()) + " local headers");
    } else {
        for (size_t i = 0; i < w.members.size(); ++i)
            if (w.centralOffsets[i] != w.members[i].headerOffset || w.centralNames[i] != w.members[i].name)
                faults.push_back("central entry " + std::to_string(i + 1) + " does not point at local header " +
                                 Hex(w.members[i].headerOffset));
    }
    uint64_t end = w.endRecordPosition;
    uint64_t cdStart = w.centralPositions.empty() ? end : w.centralPositions.front();
    if (Le16(f.bytes, end + END_ENTRIES) != w.centralOffsets.size() ||
        Le32(f.bytes, end + END_CENTRAL_OFFSET) != cdStart ||
        Le32(f.bytes, end + END_CENTRAL_SIZE) != end - cdStart)
        faults.push_back("the end record does not describe the central directory before it");
    return faults;
}

int VerifyCommand(int argc, char** argv) {
    std::string path = SingleFileArgument(argc, argv, kHelp, "verify");
    if (path.empty()) return 0;
    std::vector<std::string> faults = Verify(path);
    for (const std::string& fault : faults) fprintf(stderr, "mksfx: %s: %s\n", path.c_str(), fault.c_str());
    if (!faults.empty()) return 1;
    printf("%s: sound\n", path.c_str());
    return 0;
}

}  // namespace

int CommandVerify(int argc, char** argv) { return VerifyCommand(argc, argv); }
