// Reads a finished file's resource section back, for `list` and `verify`.
//
// The reader trusts nothing it finds: every table, entry, name and data entry must lie
// inside the resource directory, every data block inside the section's data, the ids of
// each table must ascend (loaders search them by halving), and the tree must have exactly
// three levels, each table reached once, so that a crafted offset cannot send a walk in
// circles. The icon group must name icon images that exist with the sizes it gives, and
// the version information must be a well-formed tree of nodes whose string table is the
// one its translation names.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "tools/common/bytes.h"
#include "tools/mksfx/pe/resources.h"
#include "tools/mksfx/report.h"

namespace sfx {

namespace resfmt {

bool CheckIconImage(const IconImage& icon, std::string* error) {
    const std::string& b = icon.bytes;
    if (icon.width < 1 || icon.width > 256 || icon.height < 1 || icon.height > 256)
        return Refuse(error, "its size is not 1 to 256 pixels");
    if (b.compare(0, 8, "\x89PNG\r\n\x1A\n", 8) == 0) {
        if (b.size() < 24 || b.compare(12, 4, "IHDR") != 0)
            return Refuse(error, "its PNG data has no image header");
        if (Be32(b, 16) != (uint32_t)icon.width || Be32(b, 20) != (uint32_t)icon.height)
            return Refuse(error, "its PNG image's size differs from its directory entry");
        return true;
    }
    if (b.size() < 40 || Le32(b, 0) != 40)
        return Refuse(error, "neither a PNG file nor a BITMAPINFOHEADER image");
    if (Le32(b, 4) != (uint32_t)icon.width || Le32(b, 8) != 2 * (uint32_t)icon.height)
        return Refuse(error, "its bitmap's size differs from its directory entry");
    return true;
}

bool Utf8ToUtf16(const std::string& s, std::string* out) {
    out->clear();
    for (size_t i = 0; i < s.size();) {
        unsigned c = (unsigned char)s[i];
        size_t more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        if (more == 9 || i + more >= s.size()) return false;
        uint32_t cp = more ? c & (0x3F >> more) : c;
        for (size_t k = 1; k <= more; ++k) {
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | ((unsigned char)s[i + k] & 0x3F);
        }
        static const uint32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
        auto unit = [&](uint32_t u) { *out += (char)(u & 0xFF), *out += (char)(u >> 8); };
        if (cp < 0x10000) {
            unit(cp);
        } else {
            unit(0xD800 | (cp - 0x10000) >> 10);
            unit(0xDC00 | (cp & 0x3FF));
        }
    }
    return true;
}

std::string Utf16ToUtf8(const std::string& s) {
    std::string out;
    auto unit = [&](size_t at) { return (uint32_t)(unsigned char)s[at] | (unsigned char)s[at + 1] << 8; };
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < s.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | cp >> 6);
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | cp >> 12);
            out += (char)(0x80 | (cp >> 6 & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | cp >> 18);
            out += (char)(0x80 | (cp >> 12 & 0x3F));
            out += (char)(0x80 | (cp >> 6 & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace resfmt

namespace {

struct Leaf {
    uint32_t type, id;  // 0xFFFFFFFF for a named type or name
    std::string data;
};

// The resource directory as read: the tree (`tree`, its offsets count from its start) and
// the section data that data entries may point into (address range [dataFrom, dataTo)).
struct Directory {
    std::string tree;
    uint32_t dataFrom = 0, dataTo = 0;
    uint64_t dataAt = 0;  // file offset of dataFrom
    const std::string* file = nullptr;
    std::vector<uint32_t> visited;
    std::vector<Leaf> leaves;
};

bool Walk(Directory* d, uint32_t at, int level, uint32_t type, uint32_t id, std::string* error) {
    const std::string& t = d->tree;
    std::string table = "the resource table at " + Hex(at);
    if ((uint64_t)at + 16 > t.size())
        return Refuse(error, table + " lies outside the resource directory");
    if (std::find(d->visited.begin(), d->visited.end(), at) != d->visited.end())
        return Refuse(error, table + " is reached twice (a loop)");
    d->visited.push_back(at);
    uint32_t named = Le16(t, at + 12), count = named + Le16(t, at + 14);
    if (at + 16 + 8ull * count > t.size())
        return Refuse(error, table + ": its entries run past the resource directory");
    int64_t previous = -1;
    for (uint32_t k = 0; k < count; ++k) {
        size_t e = at + 16 + 8 * k;
        uint32_t name = Le32(t, e), target = Le32(t, e + 4);
        if (k < named) {
            uint64_t nameAt = name & 0x7FFFFFFF;
            if (!(name & 0x80000000) || nameAt + 2 > t.size() || nameAt + 2 + 2 * Le16(t, nameAt) > t.size())
                return Refuse(error, table + ": entry " + std::to_string(k + 1) +
                                         "'s name lies outside the resource directory");
            name = 0xFFFFFFFF;
        } else {
            if (name > 0xFFFF)
                return Refuse(error,
                              table + ": entry " + std::to_string(k + 1) + " has no 16-bit id");
            if ((int64_t)name <= previous) return Refuse(error, table + ": its ids do not ascend");
            previous = name;
        }
        bool subtable = target & 0x80000000;
        target &= 0x7FFFFFFF;
        if (subtable != (level < 3))
            return Refuse(error, table + ": entry " + std::to_string(k + 1) +
                                     (subtable ? " opens a fourth level" : " ends the tree early"));
        if (level < 3) {
            if (!Walk(d, target, level + 1, level == 1 ? name : type, level == 2 ? name : id,
                      error))
                return false;
        } else if ((uint64_t)target + 16 > t.size()) {
            return Refuse(error, table + ": a data entry lies outside the resource directory");
        } else {
            uint64_t address = Le32(t, target), size = Le32(t, target + 4);
            if (address < d->dataFrom || address + size > d->dataTo)
                return Refuse(error, "resource data at " + Hex(address) + " (" +
                                         std::to_string(size) +
                                         " bytes) lies outside the resource section");
            d->leaves.push_back(
                {type, id, d->file->substr(d->dataAt + (address - d->dataFrom), size)});
        }
    }
    return true;
}

bool ReadIcons(const std::vector<Leaf>& leaves, ResourceSummary* summary, std::string* error) {
    bool first = true;
    for (const Leaf& group : leaves) {
        if (group.type != resfmt::kTypeGroupIcon) continue;
        const std::string& g = group.data;
        std::string who = "icon group " + std::to_string(group.id);
        if (g.size() < 6 || Le16(g, 0) != 0 || Le16(g, 2) != 1 || g.size() < 6 + 14 * (size_t)Le16(g, 4))
            return Refuse(error, who + " is not an icon directory");
        for (size_t k = 0; k < Le16(g, 4); ++k) {
            size_t e = 6 + 14 * k;
            IconImage icon;
            icon.width = (unsigned char)g[e] ? (unsigned char)g[e] : 256;
            icon.height = (unsigned char)g[e + 1] ? (unsigned char)g[e + 1] : 256;
            icon.colours = (uint8_t)g[e + 2];
            icon.bitCount = (uint16_t)Le16(g, e + 6);
            uint32_t size = Le32(g, e + 8), id = Le16(g, e + 12);
            auto image = std::find_if(leaves.begin(), leaves.end(),
                                      [id](const Leaf& l) { return l.type == resfmt::kTypeIcon && l.id == id; });
            std::string which = who + "'s image " + std::to_string(id);
            if (image == leaves.end()) return Refuse(error, which + " is missing");
            if (image->data.size() != size)
                return Refuse(error, which + " has " + std::to_string(image->data.size()) +
                                         " bytes, the group says " + std::to_string(size));
            icon.bytes = image->data;
            std::string why;
            if (!resfmt::CheckIconImage(icon, &why)) return Refuse(error, which + ": " + why);
            if (first) summary->icons.push_back(icon);
        }
        first = false;
    }
    return true;
}

// One node of the version information; offsets count from the resource's start.
struct Node {
    std::string key;
    uint32_t type = 0, valueLength = 0;
    size_t valueAt = 0, childrenAt = 0, end = 0;
};
size_t Align4(size_t v) { return (v + 3) & ~(size_t)3; }

bool ParseNode(const std::string& d, size_t at, size_t limit, Node* n, std::string* error) {
    if (at + 6 > limit || Le16(d, at) < 6 || at + Le16(d, at) > limit)
        return Refuse(error, "a node runs past its parent");
    n->end = at + Le16(d, at);
    n->valueLength = Le16(d, at + 2);
    n->type = Le16(d, at + 4);
    size_t k = at + 6;
    while (k + 2 <= n->end && Le16(d, k) != 0) k += 2;
    if (k + 2 > n->end) return Refuse(error, "a node's name has no end");
    n->key = resfmt::Utf16ToUtf8(d.substr(at + 6, k - at - 6));
    n->valueAt = std::min(Align4(k + 2), n->end);
    // Writers disagree whether a text's value length counts characters or bytes.
    size_t valueBytes = n->type == 1 ? 2 * (size_t)n->valueLength : n->valueLength;
    if (n->type == 0 && n->valueAt + valueBytes > n->end)
        return Refuse(error, "the value of '" + n->key + "' runs past its node");
    n->childrenAt = std::min(Align4(n->valueAt + valueBytes), n->end);
    return true;
}

bool ReadVersion(const std::string& d, ResourceSummary* summary, std::string* error) {
    const std::string malformed = "the version information is malformed: ";
    Node root;
    std::string fault;
    if (!ParseNode(d, 0, d.size(), &root, &fault)) return Refuse(error, malformed + fault);
    if (root.key != "VS_VERSION_INFO" || root.type != 0 || root.valueLength != 52 ||
        Le32(d, root.valueAt) != 0xFEEF04BD)
        return Refuse(error, malformed + "no VS_VERSION_INFO with its fixed part");
    char text[48];
    for (int which = 0; which < 2; ++which) {
        uint32_t high = Le32(d, root.valueAt + 8 + 8 * which), low = Le32(d, root.valueAt + 12 + 8 * which);
        snprintf(text, sizeof text, "%u.%u.%u.%u", high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
        (which ? summary->productVersion : summary->fileVersion) = text;
    }
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> tables;
    std::string translation;
    for (size_t at = root.childrenAt; at < root.end;) {
        Node info;
        if (!ParseNode(d, at, root.end, &info, &fault)) return Refuse(error, malformed + fault);
        for (size_t t = info.childrenAt; t < info.end;) {
            Node table;
            if (!ParseNode(d, t, info.end, &table, &fault)) return Refuse(error, malformed + fault);
            if (info.key == "VarFileInfo" && table.key == "Translation" && table.type == 0 && table.valueLength >= 4) {
                snprintf(text, sizeof text, "%04X%04X", Le16(d, table.valueAt), Le16(d, table.valueAt + 2));
                translation = text;
            } else if (info.key == "StringFileInfo") {
                tables.push_back({table.key, {}});
                for (size_t s = table.childrenAt; s < table.end;) {
                    Node str;
                    if (!ParseNode(d, s, table.end, &str, &fault))
                        return Refuse(error, malformed + fault);
                    size_t end = str.valueAt;
                    while (end + 2 <= str.end && Le16(d, end) != 0) end += 2;
                    tables.back().second.push_back({str.key, resfmt::Utf16ToUtf8(d.substr(str.valueAt, end - str.valueAt))});
                    s = Align4(str.end);
                }
            }
            t = Align4(table.end);
        }
        at = Align4(info.end);
    }
    for (auto& table : tables)
        if (strcasecmp(table.first.c_str(), translation.c_str()) == 0) summary->strings = table.second;
    if (!tables.empty() && summary->strings.empty())
        return Refuse(error, "the version information's translation '" + translation +
                                 "' names none of its string tables");
    summary->hasVersion = true;
    return true;
}

bool ReadManifest(const std::string& m, ResourceSummary* summary, std::string* error) {
    summary->manifest = m;
    if (m.find("<assembly") == std::string::npos)
        return Refuse(error, "the manifest holds no <assembly> element");
    size_t tag = m.find("<requestedExecutionLevel");
    if (tag == std::string::npos) return true;
    size_t close = m.find('>', tag), at = m.find("level=", tag);
    size_t end = at == std::string::npos || at + 7 > close || (m[at + 6] != '"' && m[at + 6] != '\'')
                     ? std::string::npos : m.find(m[at + 6], at + 7);
    if (end == std::string::npos || end > close)
        return Refuse(error, "the manifest's execution level has no quoted value");
    summary->level = m.substr(at + 7, end - at - 7);
    for (Elevation e : {Elevation::AsInvoker, Elevation::Highest, Elevation::Admin})
        if (summary->level == ElevationLevel(e)) return true;
    return Refuse(error,
                  "the manifest asks for the unknown execution level '" + summary->level + "'");
}

}  // namespace

bool ReadResources(const std::string& file, const PeImage& layout, ResourceSummary* summary,
                   std::string* error) {
    *summary = ResourceSummary();
    size_t entry = layout.DirectoryOffset(kDirectoryResources);
    if (layout.directoryCount <= (uint32_t)kDirectoryResources || (Le32(file, entry) == 0 && Le32(file, entry + 4) == 0))
        return true;
    uint32_t address = Le32(file, entry), size = Le32(file, entry + 4);
    Directory d;
    d.file = &file;
    for (const PeSection& s : layout.sections) {
        uint64_t mapped = std::min<uint64_t>(s.rawSize, s.virtualSize ? s.virtualSize : s.rawSize);
        if (address >= s.virtualAddress && (uint64_t)address + size <= s.virtualAddress + mapped) {
            d.dataFrom = s.virtualAddress;
            d.dataTo = (uint32_t)(s.virtualAddress + mapped);
            d.dataAt = s.rawPointer;
        }
    }
    if (d.dataTo == 0)
        return Refuse(error, "the resource directory does not lie in one section's data");
    d.tree = file.substr(d.dataAt + (address - d.dataFrom), size);
    summary->present = true;
    if (!Walk(&d, 0, 1, 0, 0, error)) return false;
    for (const Leaf& l : d.leaves) {
        if (l.type == resfmt::kTypeManifest && l.id == 1 && summary->manifest.empty()) {
            if (!ReadManifest(l.data, summary, error)) return false;
        } else if (l.type == resfmt::kTypeVersion && !summary->hasVersion) {
            if (!ReadVersion(l.data, summary, error)) return false;
        }
    }
    return ReadIcons(d.leaves, summary, error);
}

std::vector<std::string> ResourceLines(const ResourceSummary& s) {
    if (!s.present) return {"resources: none"};
    std::vector<std::string> lines;
    lines.push_back("manifest: " + (s.manifest.empty() ? std::string("none") : s.level.empty() ? "no execution level" : s.level));
    std::string icons;
    for (const IconImage& i : s.icons) {
        bool png = i.bytes.compare(0, 4, "\x89PNG") == 0;
        icons += (icons.empty() ? "" : ", ") + std::to_string(i.width) + "x" + std::to_string(i.height) + " " +
                 (png ? "PNG" : std::to_string(i.bitCount) + "-bit");
    }
    lines.push_back("icon: " + (icons.empty() ? "none" : icons));
    if (s.hasVersion) {
        lines.push_back("file version: " + s.fileVersion);
        lines.push_back("product version: " + s.productVersion);
        for (const auto& text : s.strings) lines.push_back(text.first + ": " + text.second);
    } else {
        lines.push_back("version information: none");
    }
    return lines;
}

}  // namespace sfx
