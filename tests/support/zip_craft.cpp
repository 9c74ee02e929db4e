#include "tests/support/zip_craft.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "base/state.h"
#include "tests/support/fresh_state.h"
#include "tests/support/sfx_files.h"
#include "tools/common/ziprecords.h"
#include "ui/ui.h"

namespace zipcraft {

std::string SampleText(size_t size, unsigned variant) {
    static const char* const words[] = {
        "archive", "member", "folder", "setup", "the", "of", "and", "window", "stream",
        "bytes", "header", "record", "\r\n", "\t", "0123456789", "checksum", "Datei", "\xE4"};
    std::mt19937 random(variant);
    std::string text;
    while (text.size() < size) {
        unsigned pick = random() % 23;
        if (pick < sizeof words / sizeof *words)
            text += std::string(words[pick]) + ' ';
        else
            text += (char)(random() & 0xFF);  // a little noise so that literals occur
    }
    text.resize(size);
    return text;
}

Archive& Archive::Add(const Member& m) {
    Member member = m;
    if (!member.haveData) member.data = member.method == 0 ? member.content : RawDeflate(member.content);
    sfx::EntryFields f{20, member.flags, (uint16_t)member.method, member.time, member.date,
                       member.crc >= 0 ? (uint32_t)member.crc : ZlibCrc(member.content),
                       member.packed >= 0 ? (uint32_t)member.packed : (uint32_t)member.data.size(),
                       member.size >= 0 ? (uint32_t)member.size : (uint32_t)member.content.size()};
    if ((member.flags & ZIP_FLAG_DESCRIPTOR) && member.descriptor.empty())
        for (uint32_t v : {(uint32_t)ZIP_DESCRIPTOR_SIGNATURE, f.crc, f.packed, f.size}) sfx::PutLe32(&member.descriptor, v);
    entries_.push_back({member.name, f, base_ + (uint32_t)bytes_.size()});
    if (member.zeroSizesInLocal) f.crc = f.packed = f.size = 0;
    bytes_ += sfx::LocalHeader(f, member.name, "") + member.data + member.descriptor;
    return *this;
}

Archive& Archive::AddStored(const std::string& name, const std::string& content) {
    return Add(Member{name, content, 0});
}

Archive& Archive::AddDeflated(const std::string& name, const std::string& content) {
    return Add(Member{name, content, 8});
}

Archive& Archive::Central(const std::string& name, const std::string& extra, const std::string& comment) {
    const sfx::EntryFields f{20, 0, 0, kTime, kDate};
    if (centralStart_ == std::string::npos) centralStart_ = bytes_.size();
    bytes_ += sfx::CentralEntry(f, name, 20, 0, 0, extra, comment);
    return *this;
}

Archive& Archive::End(const std::string& comment) {
    size_t start = centralStart_ == std::string::npos ? bytes_.size() : centralStart_;
    bytes_ += sfx::EndRecord((uint16_t)entries_.size(), (uint32_t)(bytes_.size() - start), base_ + (uint32_t)start,
                             comment);
    return *this;
}

Archive& Archive::Finish(const std::string& comment) {
    centralStart_ = bytes_.size();
    for (const Entry& e : entries_) bytes_ += sfx::CentralEntry(e.fields, e.name, 20, 0x20, e.offset);
    return End(comment);
}

Archive& Archive::Raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
}

void Prepare(const std::string& file, uint32_t archiveOffset, const std::string& folder, uint32_t totalSize) {
    FreshState();
    LoadMessages();
    state.texts.messageBuffer = (char*)LocalAlloc(LPTR, MESSAGE_BUFFER_BYTES);
    lstrcpynA(state.run.selfPath, file.c_str(), SELF_PATH_CHARS);
    state.reader.file = _lopen(file.c_str(), OF_READ);
    stubParams.archiveOffset = archiveOffset;
    stubParams.totalSize = totalSize;
    lstrcpynA(state.output.folder, folder.c_str(), PATH_CHARS);
    state.dialog.window = standin::FakeDialog();
    state.meter.window = standin::FakeControl(ID_METER);
    InstallUiHooks();
}

Outcome Extract() {
    int code = RunExtraction();
    return {code, standin::MessageBoxes()};
}

std::string Formatted(int id, ...) {
    char text[1100];
    va_list args;
    va_start(args, id);
    wvsprintfA(text, Message(id).c_str(), args);
    va_end(args);
    return text;
}

std::string Backslashed(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

void EmptyFolder(const std::string& folder) {
    sfxtest::RemoveTree(folder);
    mkdir(folder.c_str(), 0777);
}

static void ListInto(const std::string& root, const std::string& relative, std::vector<std::string>* out) {
    for (const std::string& name : sfxtest::ListFolder(root + "/" + relative)) {
        std::string path = relative + name;
        struct stat st;
        if (lstat((root + "/" + path).c_str(), &st) != 0) continue;
        out->push_back(S_ISDIR(st.st_mode) ? path + "/" : path);
        if (S_ISDIR(st.st_mode)) ListInto(root, path + "/", out);
    }
}

std::vector<std::string> ListTree(const std::string& root) {
    std::vector<std::string> out;
    ListInto(root, "", &out);
    std::sort(out.begin(), out.end());
    return out;
}

FuzzTree MakeFuzzTree() {
    FuzzTree t;
    t.root = sfxtest::FuzzScratchFolder();
    mkdir((t.root + "/a").c_str(), 0777);
    mkdir((t.root + "/a/b").c_str(), 0777);
    t.file = t.root + "/a/setup.exe";
    t.out = t.root + "/a/b/out";
    return t;
}

void AbortOnEntriesOutside(const FuzzTree& t) {
    for (const std::string& entry : ListTree(t.root)) {
        std::string path = t.root + "/" + entry;  // a folder's ends in '/'
        if (path == t.file || path.compare(0, t.out.size() + 1, t.out + "/") == 0 ||
            (t.out + "/").compare(0, path.size(), path) == 0)
            continue;
        fprintf(stderr, "written outside the extraction folder: %s\n", path.c_str());
        abort();
    }
}

}  // namespace zipcraft
