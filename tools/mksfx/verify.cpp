// mksfx verify: checks a self-extracting file the way the stub will read it — a sound stub
// image, the block found once before the archive, the header CRC, the configuration block,
// the end record, every record walked front to back from the archive offset, every member
// decoded (no further than its declared size) and its CRC-32 compared, every name safe — and
// that other unzip tools, which go by the end record, the central directory and its offsets,
// read the same members with the same values. The same checks without the members' data
// tell `mksfx list` whether the file is damaged.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "archive/archive.h"
#include "posix/standin.h"
#include "startup/startup.h"
#include "tools/common/codepages.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/listing.h"
#include "tools/mksfx/pe/peimage.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/signing.h"
#include "tools/mksfx/report.h"

namespace sfx {

namespace {

const char kHelp[] =
    "usage: mksfx verify [--json] FILE\n"
    "\n"
    "Checks FILE as the stub will read it: its stub image (a sound 32-bit Windows program),\n"
    "parameter block, header CRC-32, configuration block and icon, end record, every archive\n"
    "record from the archive offset on, every member's data and CRC-32, that every name is\n"
    "one that Windows takes as a file of its own in the extraction folder, that other unzip\n"
    "tools read the same members (central entries and data descriptors as the local headers,\n"
    "nothing after the archive but a signature), its resources\n"
    "(manifest, icon, version information) as a loader reads them, and a signature's\n"
    "certificate table. Prints one line per fault and exits with 1, or prints 'FILE: sound'\n"
    "and 'signed: yes (SUBJECT)' or 'signed: no' and exits with 0 ('osslsigncode verify'\n"
    "checks the signature itself).\n"
    "\n"
    "options:\n"
    "  --json                print the verdict, the faults and what 'mksfx list' shows as one\n"
    "                        JSON document (README: \"Machine-readable answers\"); the exit\n"
    "                        code and the faults on stderr stay\n";

std::string Who(const File* f, const Member& m) {
    return "member '" + Shown(NameUtf8(m, f->block.optionFlags)) + "'";
}

void CheckMember(File* f, const Member& m, bool memberData, std::vector<std::string>* faults) {
    const std::string who = Who(f, m);
    std::string why;
    if (!SafeName(m.name, &why, NameIsUtf8(m, f->block.optionFlags))) faults->push_back(who + ": unsafe name: " + why);
    if (m.flags & (ZIP_FLAG_ENCRYPTED | ZIP_FLAG_STRONG_ENCRYPTION)) {
        faults->push_back(who + ": encrypted (the stub cannot decrypt it)");
        return;
    }
    if (m.IsDirectory()) return;
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
    // Decoding stops at the first byte past the size the header declares.
    if (!DecodeData(&f->in, m.dataOffset, m.packed, m.method, m.size, &d, &why)) {
        faults->push_back(who + ": " + why);
        return;
    }
    if (d.consumed != m.packed)
        faults->push_back(who + ": its DEFLATE stream ends " + std::to_string(m.packed - d.consumed) +
                          " bytes before its compressed size");
    if (d.size != m.size)
        faults->push_back(who + ": " + (m.method == METHOD_STORED ? "stored as " : "decodes to ") +
                          std::to_string(d.size) + " bytes, its header says " + std::to_string(m.size));
    if (d.crc != m.crc) {
        char text[64];
        snprintf(text, sizeof text, ": CRC-32 %08x, its header says %08x", d.crc, m.crc);
        faults->push_back(who + text);
    }
}

// Each field where a central entry (or a data descriptor) says other than the local header:
// other unzip tools take the member from the central entry, the stub from the local header.
void CompareFields(const std::string& who, const char* source, const EntryFields& c, const EntryFields& m,
                   bool all, std::vector<std::string>* faults) {
    struct Field {
        const char* what;
        uint32_t theirs, ours;
        bool hex, described;  // shown in hex; a data descriptor holds it too
    } fields[] = {{"flags", c.flags, m.flags, true, false},
                  {"compression method", c.method, m.method, false, false},
                  {"time", c.time, m.time, true, false},
                  {"date", c.date, m.date, true, false},
                  {"CRC-32", c.crc, m.crc, true, true},
                  {"compressed size", c.packed, m.packed, false, true},
                  {"size", c.size, m.size, false, true}};
    for (const Field& x : fields)
        if ((all || x.described) && x.theirs != x.ours)
            faults->push_back(who + ": its " + source + " gives " + x.what + " " +
                              (x.hex ? Hex(x.theirs) : std::to_string(x.theirs)) + ", its local header " +
                              (x.hex ? Hex(x.ours) : std::to_string(x.ours)) +
                              " (other unzip tools would read it differently)");
}

bool HasHighBytes(const std::string& s) {
    for (char c : s)
        if ((unsigned char)c >= 0x80) return true;
    return false;
}

// What other unzip tools rely on, and where they could read the archive otherwise than the
// stub: they find the end record from the file's end, the central directory through it and
// each member's local header through its central entry. Every step must land where the
// stub's walk has been, with the same values.
void CheckPeerView(File* f, std::vector<std::string>* faults) {
    const Walk& w = f->walk;
    for (const Member& m : w.members) {
        const std::string who = Who(f, m);
        if (m.peerField)
            faults->push_back(who + ": its local header has an extra field " + Hex(m.peerField) +
                              " that other unzip tools read and the stub does not");
        if ((m.flags & ZIP_FLAG_UTF8) && HasHighBytes(m.name) && !(f->block.optionFlags & OPT_UTF8))
            faults->push_back(who + ": its name is flagged as UTF-8, the stub reads it in code page 850");
        if (m.IsDirectory() && (m.packed || m.size || (m.flags & ZIP_FLAG_DESCRIPTOR)))
            faults->push_back(who + ": a folder with data or a data descriptor, which the stub reads as records");
        if (!m.IsDirectory() && (m.flags & ZIP_FLAG_DESCRIPTOR)) {
            if (!m.descriptorSigned)
                faults->push_back(who + ": its data descriptor does not begin with its signature");
            CompareFields(who, "data descriptor", m.descriptor, m, false, faults);
        }
    }
    if (w.central.size() != w.members.size()) {
        faults->push_back("the central directory lists " + std::to_string(w.central.size()) + " entries for " +
                          std::to_string(w.members.size()) + " local headers");
    } else {
        for (size_t i = 0; i < w.members.size(); ++i) {
            const Member& m = w.members[i];
            const Central& c = w.central[i];
            if (c.localOffset != m.headerOffset || c.name != m.name || c.disk != 0) {
                faults->push_back("central entry " + std::to_string(i + 1) + " does not point at local header " +
                                  Hex(m.headerOffset) + (c.disk ? " (it names disk " + std::to_string(c.disk) + ")" : ""));
                continue;
            }
            const std::string who = Who(f, m);
            CompareFields(who, "central entry", c, m, true, faults);
            if (c.peerField)
                faults->push_back(who + ": its central entry has an extra field " + Hex(c.peerField) +
                                  " that other unzip tools read and the stub does not");
            // Some tools make a folder of a file with the DOS folder attribute, or a link
            // of one with a Unix mode of a link or folder; the stub writes a file.
            const unsigned unixType = (c.attributes >> 28) & 0xF;
            if (!m.IsDirectory() && ((c.attributes & 0x10) || ((c.madeBy >> 8) == 3 && (unixType == 4 || unixType == 10))))
                faults->push_back(who + ": its central entry's attributes " + Hex(c.attributes) +
                                  " make it a folder or a link for other unzip tools");
            // What other tools refuse to extract (version 4.5 covers Zip64 and all that the stub reads).
            if (std::max(c.versionNeeded, m.versionNeeded) > 45)
                faults->push_back(who + ": needs version " + std::to_string(std::max(c.versionNeeded, m.versionNeeded)) +
                                  " to extract, which other unzip tools may refuse");
        }
    }
    const uint64_t endAt = w.endRecordPosition, cdStart = w.central.empty() ? endAt : w.central.front().position;
    bool together = !w.localAfterCentral && (w.central.empty() || w.central.back().end == endAt);
    for (size_t i = 1; i < w.central.size(); ++i) together = together && w.central[i].position == w.central[i - 1].end;
    if (!together)
        faults->push_back("the central directory is not one run of entries between the last member and the end record");
    // A Zip64 locator right before the end record would send other tools elsewhere.
    const unsigned char* locator = endAt >= 20 ? f->in.Peek(endAt - 20, 4) : nullptr;
    if (locator && ReadLe32(locator) == 0x07064B50)
        faults->push_back("a Zip64 end-record locator stands before the end record, which other unzip tools would follow");
    const std::string& e = w.endRecord;
    if (Le16(e, END_DISK) != 0 || Le16(e, END_CENTRAL_DISK) != 0)
        faults->push_back("the end record names disk " + std::to_string(Le16(e, END_DISK)) + " and " +
                          std::to_string(Le16(e, END_CENTRAL_DISK)) + "; a single file is disk 0");
    if (Le16(e, END_ENTRIES) != w.central.size() || Le16(e, END_ENTRIES_HERE) != w.central.size() ||
        Le32(e, END_CENTRAL_OFFSET) != cdStart || Le32(e, END_CENTRAL_SIZE) != endAt - cdStart)
        faults->push_back("the end record does not describe the central directory before it");
    const uint64_t commentAt = endAt + END_RECORD_BYTES, archiveEnd = commentAt + Le16(e, END_COMMENT_LENGTH);
    std::string comment;
    if (archiveEnd > f->in.Size() || !f->in.Read(commentAt, archiveEnd - commentAt, &comment))
        faults->push_back("the archive comment runs past the end of the file");
    else if (comment.find("PK\x05\x06") != std::string::npos)
        faults->push_back("the archive comment holds an end-record signature, which other unzip tools would take");
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

// A step of the stub's code under a checkpoint of its own: false when it failed.
bool StubStep(void (*step)(void)) {
    if (ARM_CHECKPOINT() != 0) return false;
    step();
    return true;
}

// The solid form through the stub's own code on the stand-in: start-up's loading (header CRC,
// configuration block, the signature header), then the header, and with `memberData` every
// folder decoded and every member's name and CRC-32 checked without writing it. Each error
// box the stub shows is a fault.
std::vector<std::string> CheckSolidArchive(const File* f, bool memberData) {
    std::vector<std::string> faults;
    standin::SetMessageBoxAnswer(
        [](const ShownMessageBox& box, void* context) {
            ((std::vector<std::string>*)context)
                ->push_back("the stub says: \"" + Shown(state.run.codePage == CP_UTF8 ? box.text
                                                                               : codepages::Cp1252ToUtf8(box.text)) + "\"");
            return IDOK;
        },
        &faults);
    if (!AllocateTextBlocks()) return {"out of memory"};
    stubParams = static_cast<const StubParameterBlock&>(f->block);
    lstrcpynA(state.run.selfPath, f->path.c_str(), SELF_PATH_CHARS);
    lstrcpyA(state.output.folder, ".");
    state.solid.testOnly = 1;
    // RunExtraction arms a checkpoint of its own.
    if (StubStep(LoadStubData) && (memberData ? RunExtraction() == 0 : StubStep(ReadSolidHeader))) {
        uint64_t total = state.solid.unpackSize[0] + state.solid.unpackSize[1];
        if (std::min<uint64_t>(total, 0xFFFFFFFF) != f->block.totalSize)
            faults.push_back("the block's total size is " + std::to_string(f->block.totalSize) +
                             ", the members add up to " + std::to_string(total));
    }
    ReleaseResources();
    FreeTextBlocks();
    standin::SetMessageBoxAnswer(nullptr, nullptr);
    return faults;
}

}  // namespace

std::vector<std::string> CheckFile(File* f, bool memberData) {
    std::vector<std::string> faults;
    const Block& b = f->block;
    if (f->head.empty() || f->head.size() != b.archiveOffset) return faults;

    PeImage layout;
    std::string why;
    const uint32_t imageEnd = (b.optionFlags & OPT_LANGUAGES) && b.languagesOffset ? b.languagesOffset
                              : b.configOffset                                    ? b.configOffset
                                                                                  : b.archiveOffset;
    const bool sound = CheckPeImage(f->head, imageEnd,
                                    &layout, &why, f->in.Size());
    if (!sound) faults.push_back("the stub image is not sound: " + why);
    if (sound && !ReadResources(f->head, layout, &f->resources, &why))
        faults.push_back("resources: " + why);
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
    if (f->solid) {
        for (const std::string& fault : CheckSolidArchive(f, memberData)) faults.push_back(fault);
        return faults;
    }
    if (!f->walk.complete) return faults;

    if (b.endRecordOffset != 0) {
        const unsigned char* end = f->in.Peek(b.endRecordOffset, ZIP_SIGNATURE_BYTES);
        if (!end || ReadLe32(end) != ZIP_END_SIGNATURE)
            faults.push_back("no end record at the block's end-record offset " + Hex(b.endRecordOffset));
        else if (b.endRecordOffset != f->walk.endRecordPosition)
            faults.push_back("the block names the end record at " + Hex(b.endRecordOffset) +
                             ", the walk reaches one at " + Hex(f->walk.endRecordPosition));
    }
    if ((b.optionFlags & OPT_UTF8) && !(b.reserved[PB_FORMS - PB_RESERVED] & FORM_UTF8))
        faults.push_back("the texts are UTF-8, which this stub does not read: it would show them in Windows-1252");
    if ((b.optionFlags & OPT_WAIT_FOR_PROGRAM) && b.waitName.size() > kWaitNameMax)
        faults.push_back("the program name to wait for has no terminating NUL");

    uint64_t total = 0;
    std::vector<const Member*> files;
    for (const Member& m : f->walk.members) {
        CheckMember(f, m, memberData, &faults);
        if (!m.IsDirectory()) {
            total += m.size;
            files.push_back(&m);
        }
    }
    // The stub would ask whether to overwrite, or fail to make a folder.
    for (const std::string& clash : NameClashes(files, b.optionFlags)) faults.push_back(clash);
    if (total != b.totalSize)
        faults.push_back("the block's total size is " + std::to_string(b.totalSize) +
                         ", the members add up to " + std::to_string(total));

    CheckPeerView(f, &faults);
    // Nothing may follow the archive but a signature's certificate table (after at most 7
    // bytes that align it), which ends the file: other unzip tools search the end record from
    // the file's end and would take one hidden in bytes the stub never reads.
    const uint64_t archiveEnd = f->walk.endRecordPosition + END_RECORD_BYTES + Le16(f->walk.endRecord, END_COMMENT_LENGTH);
    uint64_t tableAt = f->in.Size(), tableEnd = f->in.Size();
    if (sound) {
        const size_t pe = Le32(f->head, MZ_PE_OFFSET);
        for (const std::string& fault : ReadSignature(f, pe, &f->signature)) faults.push_back(fault);
        if (f->signature.present) {
            tableAt = Le32(f->head, pe + PE_CERTIFICATE_ENTRY);
            tableEnd = tableAt + Le32(f->head, pe + PE_CERTIFICATE_ENTRY + 4);
        }
    }
    if (archiveEnd <= f->in.Size() && tableAt >= archiveEnd && tableAt - archiveEnd > (tableAt < f->in.Size() ? 7u : 0u))
        faults.push_back(std::to_string(tableAt - archiveEnd) + " bytes follow the archive's end record and comment");
    if (tableEnd < f->in.Size())
        faults.push_back(std::to_string(f->in.Size() - tableEnd) + " bytes follow the certificate table");
    return faults;
}

namespace {

int VerifyCommand(int argc, char** argv) {
    bool json = false;
    std::string path = SingleFileArgument(argc, argv, kHelp, "verify", &json);
    if (path.empty()) return 0;
    File f;
    std::vector<std::string> faults;
    ReadFile(path, &f, &faults);
    for (const std::string& fault : CheckFile(&f, true)) faults.push_back(fault);
    if (json) WriteListingJson(ListingOf(f, path, "verify", true, faults), stdout);
    for (const std::string& fault : faults) Complain(Shown(path) + ": " + fault);
    if (!faults.empty() || json) return faults.empty() ? 0 : 1;
    printf("%s: sound\nsigned: %s\n", Shown(path).c_str(), SignatureLine(f.signature).c_str());
    return 0;
}

}  // namespace
}  // namespace sfx

int CommandVerify(int argc, char** argv) { return sfx::VerifyCommand(argc, argv); }
