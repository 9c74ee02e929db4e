// The listing of a finished file and its JSON form, for `list --json` and `verify --json`.
#include "tools/mksfx/listing.h"

#include "tools/common/codepages.h"
#include "tools/mksfx/languages.h"
#include "tools/mksfx/signing.h"

namespace sfx {

Listing ListingOf(const File& f, const std::string& path, const std::string& report, bool dataChecked,
                  const std::vector<std::string>& faults) {
    Listing l;
    l.report = report;
    l.file = path;
    l.dataChecked = dataChecked;
    l.faults = faults;
    l.signatureRead = f.walk.complete;
    l.isSigned = f.signature.present;
    l.signer = f.signature.subject;

    const Block& b = f.block;
    l.hasConfig = f.hasConfig;
    if (f.hasConfig) {
        l.command = TextUtf8(f.config.command, b.optionFlags);
        l.extractOnly = (b.optionFlags & OPT_EXTRACT_ONLY) != 0;
        l.hasSilentCommand = (b.optionFlags & OPT_SILENT_COMMAND) != 0;
        if (l.hasSilentCommand) l.silentCommand = TextUtf8(f.config.silentCommand, b.optionFlags);
        l.hasTarget = (b.optionFlags & OPT_TARGET) != 0;
        if (l.hasTarget) l.target = TextUtf8(f.config.target, b.optionFlags);
        l.text = TextUtf8(f.config.text, b.optionFlags);
        l.about = TextUtf8(f.config.about, b.optionFlags);
        l.hasCaption = (b.optionFlags & OPT_CUSTOM_CAPTION) != 0;
        if (l.hasCaption) l.caption = TextUtf8(f.config.caption, b.optionFlags);
        l.hasFooter = (b.optionFlags & OPT_CUSTOM_FOOTER) != 0;
        if (l.hasFooter) l.footer = TextUtf8(f.config.footer, b.optionFlags);
        l.hasBanner = (b.optionFlags & OPT_CUSTOM_BANNER) != 0;
        if (l.hasBanner) l.banner = TextUtf8(f.config.banner, b.optionFlags);
        l.hasIcon = f.config.hasIcon;
        std::string why;
        if (l.hasIcon) l.iconUsable = DescribeIcon(f.config.icon, &l.icon, &why);
        if (l.hasIcon && !l.iconUsable) l.icon = why;
    }
    l.waitMode = (b.optionFlags & OPT_WAIT_MODE) != 0;
    if ((b.optionFlags & OPT_WAIT_FOR_PROGRAM) && !b.waitName.empty())
        l.waitFor = codepages::Cp1252ToUtf8(b.waitName) + ".exe";
    l.headerCheck = b.headerCrc != 0;
    l.signable = (b.optionFlags & OPT_SIGNABLE) != 0;
    l.consoleHidden = (b.optionFlags & OPT_HIDE_CONSOLE) != 0;
    l.ownLanguages = (b.optionFlags & OPT_LANGUAGES) != 0;
    for (const LanguageTable& t : f.languages) l.languages.push_back(LanguageName(t.languageId));
    l.switches = {"/AUTO", "/WAIT", "/SILENT", "/S", "/LOG=FILE", "/D=DIR", "/T:DIR", "/X", "/X:DIR", "-- ARGS"};
    l.totalSize = b.totalSize;

    const ResourceSummary& r = f.resources;
    l.hasResources = r.present;
    l.hasManifest = !r.manifest.empty();
    l.level = r.level;
    for (const IconImage& i : r.icons)
        l.icons.push_back({i.width, i.height, i.bitCount, i.bytes.compare(0, 4, "\x89PNG") == 0});
    l.hasVersion = r.hasVersion;
    l.fileVersion = r.fileVersion;
    l.productVersion = r.productVersion;
    l.versionStrings = r.strings;

    for (const Member& m : f.walk.members) {
        ListedMember lm;
        lm.name = NameUtf8(m, b.optionFlags);
        lm.size = m.size;
        lm.packed = m.packed;
        lm.folder = m.IsDirectory();
        lm.method = lm.folder                       ? "folder"
                    : m.method == METHOD_STORED   ? "stored"
                    : m.method == METHOD_DEFLATED ? "deflated"
                                                  : "other";
        lm.time = DosTimeText(m.date, m.time);
        lm.crc = m.crc;
        l.members.push_back(lm);
    }
    if (f.solid) {
        l.form = "solid";
        std::string error;
        // What the listing finds wrong in the header, when the stub's checks have not said it.
        l.solidUnread = !ListSolidArchive(const_cast<InputFile*>(&f.in), f.block.archiveOffset, &l, &error);
        if (l.solidUnread && l.faults.empty()) l.faults.push_back(error);
    }
    return l;
}

namespace {

// A JSON string: valid UTF-8 passes as it is, control characters, quotes and backslashes are
// escaped, and a byte that is not UTF-8 becomes U+FFFD.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = (unsigned char)text[i];
        size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        if (c >= 0x80) {
            bool valid = i + length <= text.size() && codepages::ValidUtf8(text.substr(i, length));
            out += valid ? text.substr(i, length) : "\xEF\xBF\xBD";
            i += valid ? length : 1;
            continue;
        }
        char escape[8];
        if (c == '"' || c == '\\') out += '\\', out += (char)c;
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) snprintf(escape, sizeof escape, "\\u%04x", c), out += escape;
        else out += (char)c;
        ++i;
    }
    return out + "\"";
}

// Writes one document: Key() before each member of an object, values in between.
class JsonWriter {
public:
    explicit JsonWriter(FILE* to) : to_(to) {}
    JsonWriter& Key(const char* key) {
        Separate();
        fprintf(to_, "%s: ", Quote(key).c_str());
        afterKey_ = true;
        return *this;
    }
    void Open(char bracket) {
        Separate();
        fputc(bracket, to_);
        first_.push_back(true);
    }
    void Close(char bracket) {
        bool empty = first_.back();
        first_.pop_back();
        if (!empty) Newline();
        fputc(bracket, to_);
    }
    void String(const std::string& text) { Raw(Quote(text)); }
    void Number(uint64_t n) { Raw(std::to_string(n)); }
    void Bool(bool b) { Raw(b ? "true" : "false"); }
    void Null() { Raw("null"); }
    void StringOrNull(bool present, const std::string& text) { present ? String(text) : Null(); }
    void Finish() { fputc('\n', to_); }

private:
    void Raw(const std::string& text) {
        Separate();
        fputs(text.c_str(), to_);
    }
    // A comma and a new line before every value but the first of its object or array, and
    // nothing between a key and its value.
    void Separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) fputc(',', to_);
        first_.back() = false;
        Newline();
    }
    void Newline() { fprintf(to_, "\n%*s", (int)(2 * first_.size()), ""); }
    FILE* to_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};

}  // namespace

void WriteListingJson(const Listing& l, FILE* to) {
    JsonWriter w(to);
    w.Open('{');
    w.Key("format").String("mksfx-listing");
    w.Key("version").Number(kListingVersion);
    w.Key("report").String(l.report);
    w.Key("file").String(l.file);
    w.Key("verdict").String(l.faults.empty() ? "sound" : "damaged");
    w.Key("data_checked").Bool(l.dataChecked);
    w.Key("form").String(l.form);
    w.Key("faults").Open('[');
    for (const std::string& fault : l.faults) w.String(fault);
    w.Close(']');

    w.Key("signature").Open('{');
    w.Key("read").Bool(l.signatureRead);
    w.Key("signed").Bool(l.isSigned);
    w.Key("subject").StringOrNull(l.isSigned, l.signer);
    w.Close('}');

    w.Key("configuration").Open('{');
    w.Key("present").Bool(l.hasConfig);
    w.Key("command").StringOrNull(l.hasConfig && !l.extractOnly, l.command);
    w.Key("extract_only").Bool(l.extractOnly);
    w.Key("silent_command").StringOrNull(l.hasSilentCommand, l.silentCommand);
    w.Key("target").StringOrNull(l.hasTarget, l.target);
    w.Key("text").StringOrNull(l.hasConfig, l.text);
    w.Key("about").StringOrNull(l.hasConfig, l.about);
    w.Key("caption").StringOrNull(l.hasCaption, l.caption);
    w.Key("footer").StringOrNull(l.hasFooter, l.footer);
    w.Key("banner").StringOrNull(l.hasBanner, l.banner);
    w.Key("icon");
    if (l.hasIcon) {
        w.Open('{');
        w.Key("usable").Bool(l.iconUsable);
        w.Key(l.iconUsable ? "description" : "fault").String(l.icon);
        w.Close('}');
    } else {
        w.Null();
    }
    w.Key("wait_mode").Bool(l.waitMode);
    w.Key("wait_for").StringOrNull(!l.waitFor.empty(), l.waitFor);
    w.Key("console_hidden").Bool(l.consoleHidden);
    w.Key("header_check").Bool(l.headerCheck);
    w.Key("languages");
    if (l.ownLanguages) {
        w.Open('[');
        for (const std::string& code : l.languages) w.String(code);
        w.Close(']');
    } else {
        w.Null();
    }
    w.Key("signable").Bool(l.signable);
    w.Key("switches").Open('[');
    for (const std::string& s : l.switches) w.String(s);
    w.Close(']');
    w.Key("total_size").Number(l.totalSize);
    w.Close('}');

    w.Key("resources").Open('{');
    w.Key("present").Bool(l.hasResources);
    w.Key("manifest");
    if (l.hasManifest) {
        w.Open('{');
        w.Key("level").StringOrNull(!l.level.empty(), l.level);
        w.Close('}');
    } else {
        w.Null();
    }
    w.Key("icons").Open('[');
    for (const ListedIcon& i : l.icons) {
        w.Open('{');
        w.Key("width").Number(i.width);
        w.Key("height").Number(i.height);
        w.Key("bits").Number(i.bits);
        w.Key("png").Bool(i.png);
        w.Close('}');
    }
    w.Close(']');
    w.Key("version");
    if (l.hasVersion) {
        w.Open('{');
        w.Key("file_version").String(l.fileVersion);
        w.Key("product_version").String(l.productVersion);
        w.Key("strings").Open('[');
        for (const auto& s : l.versionStrings) {
            w.Open('{');
            w.Key("name").String(s.first);
            w.Key("value").String(s.second);
            w.Close('}');
        }
        w.Close(']');
        w.Close('}');
    } else {
        w.Null();
    }
    w.Close('}');

    w.Key("members").Open('[');
    for (const ListedMember& m : l.members) {
        w.Open('{');
        w.Key("name").String(m.name);
        w.Key("size").Number(m.size);
        w.Key("packed").Number(m.packed);
        w.Key("method").String(m.method);
        w.Key("time").String(m.time);
        w.Key("crc32").Number(m.crc);
        w.Key("folder").Bool(m.folder);
        w.Close('}');
    }
    w.Close(']');
    w.Key("folders").Open('[');
    for (const ListedFolder& folder : l.folders) {
        w.Open('{');
        w.Key("method").String(folder.method);
        w.Key("packed").Number(folder.packed);
        w.Key("unpacked").Number(folder.unpacked);
        w.Key("first").Number(folder.first);
        w.Key("count").Number(folder.count);
        w.Close('}');
    }
    w.Close(']');
    w.Key("memory_need");
    if (l.solidUnread) w.Null();
    else w.Number(l.memoryNeed);
    w.Close('}');
    w.Finish();
}

}  // namespace sfx
