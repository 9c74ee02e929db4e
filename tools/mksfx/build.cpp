// mksfx build: a self-extracting file from the stub image, a configuration block and a ZIP
// archive of the inputs.
//
// The order of a build:
//   1. the options, the output checked (a regular file or a new name, not an input), and the
//      signing key and certificate when the output is to be signed;
//   2. the configuration block from the options (texts, command, icon), deflated, and the
//      language tables that --language asks for, deflated, which go in front of it;
//   3. the stub image, checked as a sound PE32 i386 GUI program whose parameter block is found
//      by its signature (it must occur once), and a resource section appended after its last
//      section: manifest, the file's icon, version information. The block, in .data, stays
//      where it was, and configuration block and archive follow the grown image;
//   4. the entries of the inputs, their names checked;
//   5. the file: room for image and configuration block, then the archive behind them;
//   6. the parameter block filled in: offsets, total size, options (OPT_SIGNABLE always, so
//      that the file may be signed now or later), the name to wait for;
//   7. the header CRC-32 over image and configuration block (the block's own CRC field, the
//      PE checksum and the certificate-table entry taken as zero; the builder leaves the last
//      two zero), unless --no-header-check; then image and configuration block are written
//      in front;
//   8. with --sign-*, the file signed by osslsigncode and read back as sound and signed.
// The output appears under its name only when all of this has succeeded; one line sums it up.
#include <libdeflate.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "tools/common/codepages.h"
#include "tools/mksfx/build.h"
#include "tools/mksfx/commands.h"
#include "tools/mksfx/icon/icon.h"
#include "tools/mksfx/languages.h"
#include "tools/mksfx/pe/peimage.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"
#include "tools/mksfx/solid.h"

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

// The --target folder as the stub stores it: Windows-1252, a path Windows can take once its
// %VARIABLES% are expanded.
std::string TargetFolder(const std::string& utf8, bool asUtf8) {
    std::string target = AnsiText("--target", utf8, kTargetMax, asUtf8);
    for (unsigned char c : target)
        if (c < 0x20 || strchr("*?\"<>|", c))
            Fail("--target: '" + Shown(utf8) + "' holds '" + std::string(1, (char)c) +
                 "', which a Windows folder name cannot hold");
    return target;
}

// Whether a text of the configuration block needs the UTF-8 form (OPT_UTF8).
bool TextsNeedUtf8(const Options& o) {
    for (const std::string* t : {&o.about, &o.command, &o.silentCommand, &o.text, &o.caption, &o.target, &o.footer,
                                 &o.banner})
        if (NeedsUtf8(*t)) return true;
    return false;
}

// `iconInput`: the bytes of the --icon file, if one is given; `utf8`: the texts go in UTF-8.
std::string ConfigurationBlock(const Options& o, const std::string& iconInput, bool utf8) {
    std::string about = AnsiText(o.aboutFrom, o.about, kAboutMax, utf8);
    std::string command = AnsiText("--command", o.command, kCommandMax, utf8);
    std::string silent = AnsiText("--silent-command", o.silentCommand, kCommandMax, utf8);
    std::string text = AnsiText(o.textFrom, o.text, kTextMax, utf8);
    std::string block = about + '\0' + command + '\0' + silent + '\0' + text + '\0';
    if (o.haveCaption) block += AnsiText("--caption", o.caption, kCaptionMax, utf8) + '\0';
    if (!o.target.empty()) block += TargetFolder(o.target, utf8) + '\0';
    if (o.haveFooter || o.noFooter) block += AnsiText("--footer", o.footer, kFooterMax, utf8) + '\0';
    if (o.haveBanner || o.noBanner) block += AnsiText("--banner", o.banner, kBannerMax, utf8) + '\0';
    if (!o.icon.empty()) {
        std::string error;
        // The icon takes what the texts and the two marker bytes leave of the block, and must
        // keep the packed block within what the stub reads.
        const std::string marker(2, (char)ICON_MARKER);
        size_t room = CONFIG_UNPACKED_MAX - block.size() - marker.size();
        DialogIcon icon;
        auto fits = [&](const std::string& ico) {
            return Deflate(block + marker + ico, 12).size() <= CONFIG_PACKED_MAX;
        };
        if (!MakeDialogIcon(iconInput, room, &icon, &error, fits))
            Fail("--icon: " + Shown(o.icon) + ": " + error);
        // Whatever was chosen must pass the stub's own check, or the dialog would show none.
        if (!CheckStubIcon(icon.ico, &error)) Fail("--icon: " + Shown(o.icon) + ": " + error);
        if (!o.quiet) printf("%s\n", icon.description.c_str());
        block += marker + icon.ico;
    } else {
        block.append(2, '\0');
    }
    if (block.size() > CONFIG_UNPACKED_MAX)
        Fail("the configuration (texts and icon) takes " + std::to_string(block.size()) +
             " bytes, the stub holds 2012; shorten the texts or use a smaller icon");
    std::string packed = Deflate(block, 12);
    if (packed.size() > CONFIG_PACKED_MAX)
        Fail("the configuration compresses to " + std::to_string(packed.size()) +
             " bytes, the stub reads at most 1500; use a smaller icon");
    return packed;
}

// The stub image: a sound program with nothing after its last section (not a finished
// setup file, not a signed image), a certificate-table entry for signing, and its parameter
// block exactly once.
std::string StubImage(const std::string& path, size_t* blockAt) {
    std::string image, error;
    if (!ReadWholeFile(path, &image, &error, kHeadMax)) Fail("stub: " + Shown(error));
    PeImage layout;
    bool sound = CheckPeImage(image, image.size(), &layout, &error);
    if (sound && layout.directoryCount <= (uint32_t)kDirectoryCertificates)
        sound = Refuse(&error, "its data directory has no entry for a certificate table");
    if (!sound) Fail("stub " + Shown(path) + " is not a sound stub image: " + error);
    size_t occurrences = CountSignature(image, image.size(), blockAt);
    if (occurrences != 1 || *blockAt + STUB_PARAMETER_BLOCK_SIZE > image.size())
        Fail("stub " + Shown(path) + ": its parameter block must occur exactly once, found " +
             std::to_string(occurrences));
    // Without a table the entry is empty; the header check counts it as zero anyway.
    image.replace(layout.DirectoryOffset(kDirectoryCertificates), 8, 8, '\0');
    return image;
}

std::string BaseName(const std::string& path) { return path.substr(LastSeparator(path) + 1); }

// The product name as the version information gives it: the option, or the output's name
// without ".exe".
std::string ProductName(const Options& o) {
    if (!o.productName.empty()) return o.productName;
    std::string name = BaseName(o.output);
    if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0) name.resize(name.size() - 4);
    return name;
}

// The file's own icon: every image of the --icon input as it stands, each decoded first (a
// PNG's pixel data is checked only then). A PNG image given on its own that is larger than
// 256x256, or not square, is scaled to a square PNG of at most 256 pixels. `line` receives
// what is stored.
std::vector<IconImage> FileIcon(const Options& o, const std::string& input, std::string* line) {
    IconFile file;
    std::string error;
    if (!ReadIconFile(input, &file, &error)) Fail("--icon: " + Shown(o.icon) + ": " + error);
    std::vector<IconImage> icons;
    for (size_t i = 0; i < file.entries.size(); ++i) {
        IconEntry e = file.entries[i];
        RgbaImage pixels;
        std::string who = "--icon: " + Shown(o.icon) + ": image " + std::to_string(i + 1) + " of " +
                          std::to_string(file.entries.size()) + ": ";
        if (!DecodeIconImage(e, &pixels, nullptr, &error)) Fail(who + error);
        std::string note;
        if (file.plainPng && (e.width != e.height || e.width > 256)) {
            int side = std::min(256, std::max(e.width, e.height));
            if (!MakePngIcon(e, side, &e.bytes, &error)) Fail(who + error);
            note = " (scaled from " + std::to_string(e.width) + "x" + std::to_string(e.height) + ")";
            e.width = e.height = side;
        }
        IconImage image;
        image.width = e.width;
        image.height = e.height;
        image.planes = 1;
        image.bitCount = (uint16_t)(e.png ? 32 : e.bitCount);
        image.colours = (uint8_t)(image.bitCount < 8 ? 1 << image.bitCount : 0);
        image.bytes = e.bytes;
        icons.push_back(image);
        *line += (i ? ", " : "") + std::to_string(e.width) + "x" + std::to_string(e.height) + " " +
                 (e.png ? std::string("PNG") : std::to_string(e.bitCount) + "-bit") + note;
    }
    return icons;
}

// What the resource section is made of; texts are checked here so that a fault names its option.
ResourceInputs Resources(const Options& o, const std::string& iconInput) {
    ResourceInputs r;
    r.elevation = o.elevation;
    const std::pair<const char*, const std::string*> texts[] = {
        {"--product-name", &o.productName}, {"--product-version", &o.productVersion}, {"--company", &o.company},
        {"--description", &o.description},  {"--copyright", &o.copyright}};
    for (const auto& t : texts) {
        if (!codepages::ValidUtf8(*t.second)) Fail(std::string(t.first) + ": the text " + codepages::Cp1252Fault(*t.second));
        if (t.second->find('\0') != std::string::npos) Fail(std::string(t.first) + ": the text holds a NUL character");
    }
    // The numbers (checked with the options) are the file version too; the whole text,
    // "2.3-beta" say, is the product version that the file's properties show.
    r.version.productVersion = o.productVersion;
    r.version.fileVersion = VersionNumbers(o.productVersion);
    r.version.productName = o.productName;
    r.version.company = o.company;
    r.version.description = o.description;
    r.version.copyright = o.copyright;
    r.version.originalName = BaseName(o.output);
    if (!iconInput.empty()) {
        std::string line;
        r.icons = FileIcon(o, iconInput, &line);
        if (!o.quiet) printf("file icon: %s\n", line.c_str());
    }
    return r;
}

// One form of the file, assembled up to its signature: the head (stub image with resources,
// configuration block) and the archive behind it.
struct Assembled {
    std::unique_ptr<OutputFile> out;
    ArchiveCounts counts;
    SolidResult solid;
    bool isSolid = false;
    std::string stubPath;
};

std::string StubFor(const Options& o, bool solid) { return o.stub.empty() ? DefaultStubPath(solid) : o.stub; }

Assembled Assemble(const Options& o, bool solid, const std::string& languages, const std::string& config,
                   const std::string& iconInput,
                   const Inputs& inputs, const OutputTarget& target, uint32_t ourFlags, const std::string& waitName) {
    Assembled a;
    a.isSolid = solid;
    a.stubPath = StubFor(o, solid);
    // 3. the stub image and its resources
    size_t blockAt = 0;
    std::string image = StubImage(a.stubPath, &blockAt), error;
    if (!(StubForms(image, blockAt) & (solid ? kFormSolid : kFormZip)))
        Fail("stub " + Shown(a.stubPath) + " cannot read the " + (solid ? "solid" : "ZIP") +
             " form; name a stub that can with --stub");
    if ((ourFlags & OPT_UTF8) && !(StubForms(image, blockAt) & FORM_UTF8))
        Fail("stub " + Shown(a.stubPath) + " reads texts and names in Windows-1252 and code page 850 only, which "
             "cannot hold all of this package's; name a stub that reads UTF-8 with --stub");
    Block block = ReadBlock(image, blockAt);
    if (!AddResources(&image, Resources(o, iconInput), &error)) Fail("resources: " + error);
    uint64_t totalSize = 0;
    for (const Entry& e : inputs.entries) totalSize += e.isDirectory ? 0 : e.size;

    // 5. room for the head, then the archive
    a.out.reset(new OutputFile(target));
    uint64_t archiveOffset = image.size() + languages.size() + config.size();
    a.out->Write(std::string(archiveOffset, '\0'));
    ProgressLine progress;
    progress.members = inputs.entries.size();
    progress.bytes = totalSize;
    clock_gettime(CLOCK_MONOTONIC, &progress.start);
    ArchiveOptions archive;
    archive.level = o.level;
    archive.verbose = o.verbose;
    if (!o.quiet && isatty(STDERR_FILENO)) {
        archive.progress = ProgressLine::Hook;
        archive.context = &progress;
    }
    uint32_t endRecord = 0;
    if (solid) a.solid = WriteSolidArchive(inputs.entries, archive, a.out.get(), &a.counts);
    else endRecord = WriteArchive(inputs.entries, archive, a.out.get(), &a.counts);
    progress.Erase();

    // 6. the parameter block
    std::string head = image + languages + config;
    block.languagesOffset = languages.empty() ? 0 : (uint32_t)image.size();
    block.configOffset = (uint32_t)(image.size() + languages.size());
    block.archiveOffset = (uint32_t)archiveOffset;
    block.endRecordOffset = endRecord;
    block.totalSize = (uint32_t)std::min<uint64_t>(totalSize, 0xFFFFFFFFu);
    // Bits the stub does not test stay as the image carries them.
    const uint32_t ours = OPT_WAIT_FOR_PROGRAM | OPT_CUSTOM_CAPTION | OPT_WAIT_MODE | OPT_SIGNABLE |
                          OPT_EXTRACT_ONLY | OPT_TARGET | OPT_SILENT_COMMAND | OPT_HIDE_CONSOLE | OPT_LANGUAGES |
                          OPT_CUSTOM_FOOTER | OPT_CUSTOM_BANNER | OPT_UTF8;
    block.optionFlags = (block.optionFlags & ~ours) | ourFlags | OPT_SIGNABLE;
    block.waitName = waitName;
    block.headerCrc = 0;
    WriteBlock(&head, block);

    // 7. the header CRC, and the head in front of the archive
    if (!o.noHeaderCheck) {
        block.headerCrc = HeaderCrc(head, block, head.size());
        WriteBlock(&head, block);
    }
    a.out->WriteAt(0, head);
    return a;
}

// Whether a stub for the form is at hand for --compression auto: the one --stub names, if it
// reads the form, or the one installed beside mksfx.
// With `utf8`, the stub must also read UTF-8 texts and names.
bool StubReady(const Options& o, bool solid, bool utf8 = false) {
    std::string path = StubFor(o, solid);
    if (o.stub.empty() && access(path.c_str(), R_OK) != 0) return false;
    if (o.stub.empty() && !utf8) return true;
    size_t blockAt = 0;
    std::string image = StubImage(path, &blockAt);
    unsigned forms = StubForms(image, blockAt);
    return (forms & (solid ? kFormSolid : kFormZip)) && (!utf8 || (forms & FORM_UTF8));
}

int Build(int argc, char** argv) {
    // 1. options, the output and the signer
    Options o = ParseOptions(argc, argv);
    OutputTarget target = CheckOutputTarget(o.output);
    if (o.sign.Wanted()) CheckSigner(o.sign);
    if (o.compression == "store") o.level = 0;

    // 2. the configuration block
    uint32_t ourFlags = 0;
    std::string waitName;
    if (o.waitForGiven) {
        waitName = WaitForName(o.waitFor);
        ourFlags |= OPT_WAIT_FOR_PROGRAM;
    }
    if (o.haveCaption) ourFlags |= OPT_CUSTOM_CAPTION;
    if (o.haveFooter || o.noFooter) ourFlags |= OPT_CUSTOM_FOOTER;
    if (o.haveBanner || o.noBanner) ourFlags |= OPT_CUSTOM_BANNER;
    if (o.wait) ourFlags |= OPT_WAIT_MODE;
    if (o.extractOnly) ourFlags |= OPT_EXTRACT_ONLY;
    if (!o.target.empty()) ourFlags |= OPT_TARGET;
    if (!o.silentCommand.empty()) ourFlags |= OPT_SILENT_COMMAND;
    if (o.hideConsole) ourFlags |= OPT_HIDE_CONSOLE;
    std::string iconInput, error;
    if (!o.icon.empty() && !ReadWholeFile(o.icon, &iconInput, &error, kIconFileMax)) Fail("--icon: " + Shown(error));
    std::vector<LanguageTable> tables = LanguageTables(o.language);

    // 4. the entries: 4 GiB and more only where the solid form may take them
    bool maySolid = o.compression == "solid" || (o.compression == "auto" && o.level > 0 && StubReady(o, true));
    Inputs inputs;
    CollectInputs(o.inputs, target, &inputs, maySolid);

    // The texts, the language tables and the names in Windows-1252 and code page 850 as
    // always, or, when any of them needs it, the texts and tables in UTF-8 (names that code
    // page 850 holds stay in it).
    bool utf8 = TextsNeedUtf8(o);
    for (const LanguageTable& t : tables) utf8 |= t.needsUtf8;
    for (const Entry& e : inputs.entries) utf8 |= e.utf8Name;
    if (utf8) ourFlags |= OPT_UTF8;
    std::string config = ConfigurationBlock(o, iconInput, utf8);
    // The language tables, if any, stand in front of the configuration block.
    std::string languages;
    if (!tables.empty()) {
        languages = Deflate(LanguageArea(tables, utf8), 12);
        if (languages.size() > LANGUAGES_PACKED_MAX)
            Fail("--language: the tables compress to " + std::to_string(languages.size()) +
                 " bytes, the stub reads at most " + std::to_string(LANGUAGES_PACKED_MAX) + "; choose fewer languages");
        ourFlags |= OPT_LANGUAGES;
    }
    CheckCommandProgram("--command", o.command, inputs.entries);
    CheckCommandProgram("--silent-command", o.silentCommand, inputs.entries);
    if (o.verbose)
        for (const std::string& path : inputs.leftOut) printf("  left out %s: it is the output\n", Shown(path).c_str());
    uint64_t totalSize = 0, files = 0, largest = 0;
    bool lzmaMembers = false;  // of input ZIP files: only the solid form holds them
    for (const Entry& e : inputs.entries) {
        if (!e.isDirectory) totalSize += e.size, ++files, largest = std::max(largest, e.size);
        lzmaMembers |= e.zipFile && e.zip.method == kMethodLzma;
    }
    if (files == 0)
        Complain("warning: the inputs hold no files; " + Shown(o.output) + " will extract nothing");

    // The form. auto: the ZIP form when it cannot be solid (store, or no solid stub), the solid
    // one when the ZIP form cannot hold the payload or the stub reads the solid form alone; otherwise the smaller file, where both
    // are built for payloads up to kBothUpTo and for larger ones only when the solid form did
    // not compress (then the data is mostly packed already, and storing it may be smaller).
    const uint64_t kBothUpTo = 32ull << 20;
    bool needsSolid = totalSize >= 0xFFFFFFFFull || largest >= 0xFFFFFFFFull || lzmaMembers;
    Assembled chosen;
    if (o.compression == "solid") {
        chosen = Assemble(o, true, languages, config, iconInput, inputs, target, ourFlags, waitName);
    } else if (o.compression != "auto" || o.level == 0 || (!needsSolid && !StubReady(o, true, utf8))) {
        chosen = Assemble(o, false, languages, config, iconInput, inputs, target, ourFlags, waitName);
    } else if (needsSolid || !StubReady(o, false, utf8)) {
        chosen = Assemble(o, true, languages, config, iconInput, inputs, target, ourFlags, waitName);
    } else {
        // One temporary file at a time: the ZIP form (quick) first, kept only by its size.
        uint64_t zipSize = UINT64_MAX;
        if (totalSize <= kBothUpTo) zipSize = Assemble(o, false, languages, config, iconInput, inputs, target, ourFlags, waitName).out->Size();
        chosen = Assemble(o, true, languages, config, iconInput, inputs, target, ourFlags, waitName);
        if (totalSize > kBothUpTo && chosen.counts.packedBytes * 100 >= chosen.counts.inputBytes * 97) {
            uint64_t solidSize = chosen.out->Size();
            chosen = Assembled();
            Assembled zip = Assemble(o, false, languages, config, iconInput, inputs, target, ourFlags, waitName);
            if (zip.out->Size() <= solidSize) chosen = std::move(zip);
            else zip = Assembled(), chosen = Assemble(o, true, languages, config, iconInput, inputs, target, ourFlags, waitName);
        } else if (zipSize <= chosen.out->Size()) {
            chosen = Assembled();
            chosen = Assemble(o, false, languages, config, iconInput, inputs, target, ourFlags, waitName);
        }
    }
    OutputFile& out = *chosen.out;
    const ArchiveCounts& counts = chosen.counts;

    // 8. the signature
    Signature signature;
    if (o.sign.Wanted())
        out.Replace([&](const std::string& written, const std::string& to) {
            signature = SignFile(o.sign, written, to, ProductName(o));
        });
    uint64_t fileSize = out.Size();
    out.Commit();

    if (!o.quiet) {
        char ratio[32] = "-";
        if (counts.inputBytes) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * counts.packedBytes / counts.inputBytes);
        std::string streamed;
        if (counts.streamed)
            streamed = "; " + std::to_string(counts.streamed) + (counts.streamed == 1 ? " file" : " files") +
                       " over 32 MiB compressed as a stream at level " + std::to_string(o.level < 9 ? o.level : 9);
        if (chosen.isSolid) {
            std::string coders;
            for (const std::string& c : chosen.solid.coders) coders += (coders.empty() ? "" : ", ") + c;
            streamed += ", solid (" + (coders.empty() ? std::string("no data") : coders) + ")";
            if (chosen.solid.duplicates) streamed += ", " + std::to_string(chosen.solid.duplicates) + " copies placed behind their originals";
        }
        if (signature.present) streamed += "; signed: " + SignatureLine(signature);
        printf("%s: %llu %s, %llu bytes packed into %llu (%s), file %llu bytes, level %d%s\n",
               Shown(o.output).c_str(), (unsigned long long)counts.members, counts.members == 1 ? "member" : "members",
               (unsigned long long)counts.inputBytes,
               (unsigned long long)counts.packedBytes, ratio, (unsigned long long)fileSize, o.level,
               streamed.c_str());
        if (chosen.isSolid)
            printf("the stub needs %llu KiB of memory to decode (dictionary and tables)\n",
                   (unsigned long long)(chosen.solid.memoryNeed + 1023) / 1024);
    }
    return 0;
}

}  // namespace

int CommandBuild(int argc, char** argv) { return Build(argc, argv); }
