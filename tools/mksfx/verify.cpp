// mksfx verify: checks a self-extracting file the way the stub will read it — a sound stub
// image, the block found once before the archive, the header CRC, the configuration block,
// the end record, every record walked front to back from the archive offset, every member
// decoded and its CRC-32 compared, every name safe — and, for other unzip tools, the central
// directory. The same checks without the members' data tell `mksfx list` whether the file
// is damaged.
#include <stdio.h>
#include <string.h>

#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/peimage.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/signing.h"
#include "tools/mksfx/util.h"

namespace sfx {

namespace {

const char kHelp[] =
    "usage: mksfx verify FILE\n"
    "\n"
    "Checks FILE as the stub will read it: its stub image (a sound 32-bit Windows program),\n"
    "parameter block, header CRC-32, configuration block and icon, end record, every archive\n"
    "record from the archive offset on, every member's data and CRC-32, that every name is\n"
    "one that Windows takes as a file of its own in the extraction folder, its resources\n"
    "(manifest, icon, version information) as a loader reads them, and a signature's\n"
    "certificate table. Prints one line per fault and exits with 1, or prints 'FILE: sound'\n"
    "and 'signed: yes (SUBJECT)' or 'signed: no' and exits with 0 ('osslsigncode verify'\n"
    "checks the signature itself).\n";

std::string Hex(uint64_t v) {
    char text[24];
    snprintf(text, sizeof text, "0x%llX", (unsigned long long)v);
    return text;
}

void CheckMember(File* f, const Member& m, bool memberData, std::vector<std::string>* faults) {
    std::string who = "member '" + Shown(codepages::Cp850ToUtf8(m.name)) + "'";
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
    if (m.dataOffset + m.packed > f->in.Size()) {
        faults->push_back(who + ": its data runs past the end of the file");
        return;
    }
    if (!memberData) return;
    Decoded d;
    std::string why;
    if (!DecodeData(&f->in, m.dataOffset, m.packed, m.method, 0xFFFFFFFFu, &d, &why)) {
        faults->push_back(who + ": " + why);
        return;
    }
    if (d.consumed != m.packed)
        faults->push_back(who + ": its DEFLATE stream ends " + std::to_string(m.packed - d.consumed) +
                          " bytes before its compressed size");
    if (d.size != m.size)
        faults->push_back(who + ": decodes to " + std::to_string(d.size) + " bytes, its header says " +
                          std::to_string(m.size));
    if (d.crc != m.crc) {
        char text[64];
        snprintf(text, sizeof text, ": CRC-32 %08x, its header says %08x", d.crc, m.crc);
        faults->push_back(who + text);
    }
}

// Where the stub image's own bytes end: at the data of the section that holds the
// resources the builder added, else at the end of `head`.
size_t StubBytesEnd(const std::string& head, const PeImage& layout) {
    uint32_t rva = layout.directoryCount > kDirectoryResources ? Le32(head, layout.DirectoryOffset(kDirectoryResources)) : 0;
    for (const PeSection& s : layout.sections)
        if (rva != 0 && s.rawSize != 0 && rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
            return s.rawPointer;
    return head.size();
}

}  // namespace

std::vector<std::string> CheckFile(File* f, bool memberData) {
    std::vector<std::string> faults;
    const Block& b = f->block;
    if (f->head.empty() || f->head.size() != b.archiveOffset) return faults;

    PeImage layout;
    std::string image = CheckPeImage(f->head, b.configOffset ? b.configOffset : b.archiveOffset, &layout, f->in.Size());
    const bool sound = image.empty();
    if (!sound) faults.push_back("the stub image is not sound: " + image);
    std::string resources = sound ? ReadResources(f->head, layout, &f->resources) : "";
    if (!resources.empty()) faults.push_back("resources: " + resources);
    // The stub takes the first occurrence for its block. Icon data in the resources may
    // hold those bytes by chance; only the stub image's own bytes must hold them once.
    const size_t own = sound ? StubBytesEnd(f->head, layout) : f->head.size();
    if (size_t count = CountSignature(f->head, own, nullptr); count > 1)
        faults.push_back("the block's signature occurs " + std::to_string(count) + " times " +
                         (own == f->head.size() ? "before the archive" : "in the stub image") +
                         "; the stub's header check needs it once");
    if (sound && (b.optionFlags & OPT_SIGNABLE) && layout.directoryCount <= (uint32_t)kDirectoryCertificates)
        faults.push_back("the header check is to skip the certificate-table entry, but the image has none");
    if (b.headerCrc != 0 && HeaderCrc(f->head, b, b.archiveOffset) != b.headerCrc)
        faults.push_back("header CRC-32 mismatch: image or configuration changed after the build");
    if (!f->walk.complete) return faults;

    if (b.endRecordOffset != 0) {
        const unsigned char* end = f->in.Peek(b.endRecordOffset, ZIP_SIGNATURE_BYTES);
        if (!end || ReadLe32(end) != ZIP_END_SIGNATURE)
            faults.push_back("no end record at the block's end-record offset " + Hex(b.endRecordOffset));
        else if (b.endRecordOffset != f->walk.endRecordPosition)
            faults.push_back("the block names the end record at " + Hex(b.endRecordOffset) +
                             ", the walk reaches one at " + Hex(f->walk.endRecordPosition));
    }
    if ((b.optionFlags & OPT_WAIT_FOR_PROGRAM) && b.waitName.size() > kWaitNameMax)
        faults.push_back("the program name to wait for has no terminating NUL");

    uint64_t total = 0;
    std::vector<std::string> files;
    for (const Member& m : f->walk.members) {
        CheckMember(f, m, memberData, &faults);
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
    const Walk& w = f->walk;
    if (w.centralOffsets.size() != w.members.size()) {
        faults.push_back("the central directory lists " + std::to_string(w.centralOffsets.size()) +
                         " entries for " + std::to_string(w.members.size()) + " local headers");
    } else {
        for (size_t i = 0; i < w.members.size(); ++i)
            if (w.centralOffsets[i] != w.members[i].headerOffset || w.centralNames[i] != w.members[i].name)
                faults.push_back("central entry " + std::to_string(i + 1) + " does not point at local header " +
                                 Hex(w.members[i].headerOffset));
    }
    uint64_t endAt = w.endRecordPosition;
    uint64_t cdStart = w.centralPositions.empty() ? endAt : w.centralPositions.front();
    std::string end((const char*)f->in.Peek(endAt, END_RECORD_BYTES), END_RECORD_BYTES);
    if (Le16(end, END_ENTRIES) != w.centralOffsets.size() || Le32(end, END_CENTRAL_OFFSET) != cdStart ||
        Le32(end, END_CENTRAL_SIZE) != endAt - cdStart)
        faults.push_back("the end record does not describe the central directory before it");
    if (sound)
        for (const std::string& fault : ReadSignature(f, Le32(f->head, MZ_PE_OFFSET), &f->signature))
            faults.push_back(fault);
    return faults;
}

namespace {

int VerifyCommand(int argc, char** argv) {
    std::string path = SingleFileArgument(argc, argv, kHelp, "verify");
    if (path.empty()) return 0;
    File f;
    std::vector<std::string> faults;
    ReadFile(path, &f, &faults);
    for (const std::string& fault : CheckFile(&f, true)) faults.push_back(fault);
    for (const std::string& fault : faults) Complain(Shown(path) + ": " + fault);
    if (!faults.empty()) return 1;
    printf("%s: sound\nsigned: %s\n", Shown(path).c_str(), SignatureLine(f.signature).c_str());
    return 0;
}

}  // namespace
}  // namespace sfx

int CommandVerify(int argc, char** argv) { return sfx::VerifyCommand(argc, argv); }
