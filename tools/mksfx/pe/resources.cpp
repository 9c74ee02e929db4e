// Writes the finished file's resource section.
//
// A resource section is a tree of three levels: type, then id, then language, each level a
// table of 16 bytes followed by 8-byte entries (id, offset; the top bit of the offset marks
// a table of the next level). The leaves are 16-byte data entries that give the address
// (relative to the image, not the section) and size of the data. Loaders search the
// tables by halving, so the entries of each table stand in ascending order of id. Here
// every table comes first, breadth first, then the data entries, then the data, each piece
// at a multiple of 8; nothing depends on time or on the order of the inputs, so the same
// inputs give the same bytes.
//
// The resources: the manifest (type 24, id 1, the one the loader reads for a program), one
// RT_ICON per icon image (ids 1 to n) with the RT_GROUP_ICON 1 that lists them (Explorer
// shows a program's first icon group), and the version information (type 16, id 1).
#include "tools/mksfx/pe/resources.h"

#include <stdio.h>

#include <algorithm>

#include "tools/common/bytes.h"
#include "tools/mksfx/report.h"

namespace sfx {

namespace {

void PadTo(std::string* b, size_t multiple) { b->resize((b->size() + multiple - 1) / multiple * multiple, '\0'); }

struct Leaf {
    uint16_t type, id;
    std::string data;
};

std::string Tree(std::vector<Leaf> leaves, uint32_t address) {
    std::sort(leaves.begin(), leaves.end(),
              [](const Leaf& a, const Leaf& b) { return a.type != b.type ? a.type < b.type : a.id < b.id; });
    std::vector<uint16_t> types;
    for (const Leaf& l : leaves)
        if (types.empty() || types.back() != l.type) types.push_back(l.type);
    const uint32_t kSubtable = 0x80000000u;
    // Offsets: the root, one table per type, one per leaf (its one language), data entries.
    uint32_t typeTables = 16 + 8 * (uint32_t)types.size();
    uint32_t idTables = typeTables + 16 * (uint32_t)types.size() + 8 * (uint32_t)leaves.size();
    uint32_t dataEntries = idTables + 24 * (uint32_t)leaves.size();
    uint32_t data = dataEntries + 16 * (uint32_t)leaves.size();

    auto table = [](std::string* out, uint32_t ids) {
        out->append(12, '\0');  // characteristics, time stamp, version: all 0
        PutLe16(out, 0);          // named entries
        PutLe16(out, ids);
    };
    std::string s;
    table(&s, (uint32_t)types.size());
    uint32_t at = typeTables;
    for (uint16_t t : types) {
        PutLe32(&s, t);
        PutLe32(&s, kSubtable | at);
        at += 16 + 8 * (uint32_t)std::count_if(leaves.begin(), leaves.end(), [t](const Leaf& l) { return l.type == t; });
    }
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (i == 0 || leaves[i - 1].type != leaves[i].type)
            table(&s, (uint32_t)std::count_if(leaves.begin(), leaves.end(),
                                              [&](const Leaf& l) { return l.type == leaves[i].type; }));
        PutLe32(&s, leaves[i].id);
        PutLe32(&s, kSubtable | (idTables + 24 * (uint32_t)i));
    }
    for (size_t i = 0; i < leaves.size(); ++i) {
        table(&s, 1);
        PutLe32(&s, resfmt::kLanguage);
        PutLe32(&s, dataEntries + 16 * (uint32_t)i);
    }
    std::string blobs;
    for (const Leaf& l : leaves) {
        PadTo(&blobs, 8);
        PutLe32(&s, address + data + (uint32_t)blobs.size());
        PutLe32(&s, (uint32_t)l.data.size());
        PutLe32(&s, 0);  // code page of the data: none
        PutLe32(&s, 0);
        blobs += l.data;
    }
    return s + blobs;
}

// ---- version information ----
// Each node: length, value length, type (0 binary, 1 text), its key in UTF-16 with a NUL,
// the value and the child nodes, each at a multiple of 4 from the node's start.

std::string Node(const char* key, uint16_t type, const std::string& value, uint32_t valueLength,
                 const std::vector<std::string>& children) {
    std::string n(6, '\0');
    for (const char* k = key; *k; ++k) PutLe16(&n, (unsigned char)*k);
    PutLe16(&n, 0);
    PadTo(&n, 4);
    n += value;
    for (const std::string& child : children) {
        PadTo(&n, 4);
        n += child;
    }
    SetLe16(&n, 0, (uint32_t)std::min<size_t>(n.size(), 0xFFFF));  // the caller refuses a root over 64 KiB
    SetLe16(&n, 2, valueLength);
    SetLe16(&n, 4, type);
    return n;
}

bool VersionResource(const VersionInfo& given, std::string* out, std::string* error) {
    const std::pair<const char*, const std::string*> givenTexts[] = {
        {"product name", &given.productName}, {"company", &given.company}, {"description", &given.description},
        {"copyright", &given.copyright}, {"original file name", &given.originalName}};
    std::string utf16;
    for (const auto& t : givenTexts)
        if (t.second->find('\0') != std::string::npos || !resfmt::Utf8ToUtf16(*t.second, &utf16))
            return Refuse(error, std::string("the ") + t.first +
                                     " is not valid UTF-8 without NUL characters");
    VersionInfo v = given;
    std::string stem = v.originalName;
    if (stem.size() > 4 && (stem.substr(stem.size() - 4) == ".exe" || stem.substr(stem.size() - 4) == ".EXE"))
        stem.resize(stem.size() - 4);
    if (v.productName.empty()) v.productName = stem;
    if (v.description.empty()) v.description = v.productName;
    if (v.productVersion.empty()) v.productVersion = "1.0";
    if (v.fileVersion.empty()) v.fileVersion = v.productVersion;

    uint32_t fileHigh, fileLow, productHigh, productLow;
    // A text may follow the numbers of the product version ("2.3-beta"); it is shown as given.
    if (!resfmt::ParseVersion(v.productVersion.substr(0, v.productVersion.find_first_not_of("0123456789.")),
                              &productHigh, &productLow))
        return Refuse(error, "product version '" + v.productVersion +
                                 "' is not one to four numbers of 0 to 65535 joined by dots");
    if (!resfmt::ParseVersion(v.fileVersion, &fileHigh, &fileLow))
        return Refuse(error, "file version '" + v.fileVersion +
                                 "' is not one to four numbers of 0 to 65535 joined by dots");
    std::string fixed;
    for (uint32_t word : {0xFEEF04BDu, 0x00010000u, fileHigh, fileLow, productHigh, productLow,
                          0x3Fu, 0u,            // flags mask; no flags (not a debug, patched or private build)
                          0x00040004u, 1u, 0u,  // for 32-bit Windows NT; an application
                          0u, 0u})              // no date
        PutLe32(&fixed, word);

    const std::pair<const char*, const std::string*> texts[] = {
        {"CompanyName", &v.company},          {"FileDescription", &v.description},
        {"FileVersion", &v.fileVersion},      {"InternalName", &stem},
        {"LegalCopyright", &v.copyright},     {"OriginalFilename", &v.originalName},
        {"ProductName", &v.productName},      {"ProductVersion", &v.productVersion}};
    std::vector<std::string> strings;
    for (const auto& t : texts) {
        if (t.second->empty()) continue;
        resfmt::Utf8ToUtf16(*t.second, &utf16);  // checked above
        utf16.append(2, '\0');
        strings.push_back(Node(t.first, 1, utf16, (uint32_t)utf16.size() / 2, {}));
    }
    char tableKey[9];
    snprintf(tableKey, sizeof tableKey, "%04X%04X", resfmt::kLanguage, resfmt::kCodePage);
    std::string translation;
    PutLe16(&translation, resfmt::kLanguage);
    PutLe16(&translation, resfmt::kCodePage);
    *out = Node("VS_VERSION_INFO", 0, fixed, (uint32_t)fixed.size(),
                {Node("StringFileInfo", 1, "", 0, {Node(tableKey, 1, "", 0, strings)}),
                 Node("VarFileInfo", 1, "", 0, {Node("Translation", 0, translation, 4, {})})});
    if (out->size() > 0xFFFF)
        return Refuse(error,
                      "the version texts are too long (together at most about 30000 characters)");
    return true;
}

std::string GroupIcon(const std::vector<IconImage>& icons) {
    std::string g;
    PutLe16(&g, 0);
    PutLe16(&g, 1);  // icons, not cursors
    PutLe16(&g, (uint32_t)icons.size());
    for (size_t i = 0; i < icons.size(); ++i) {
        const IconImage& icon = icons[i];
        g += (char)(icon.width & 0xFF);  // 256 is written as 0
        g += (char)(icon.height & 0xFF);
        g += (char)icon.colours;
        g += '\0';
        PutLe16(&g, icon.planes);
        PutLe16(&g, icon.bitCount);
        PutLe32(&g, (uint32_t)icon.bytes.size());
        PutLe16(&g, (uint32_t)i + 1);
    }
    return g;
}

}  // namespace

bool resfmt::ParseVersion(const std::string& text, uint32_t* high, uint32_t* low) {
    uint32_t parts[4] = {0, 0, 0, 0};
    for (size_t count = 0, at = 0;; ++count) {
        size_t end = text.find('.', at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (count == 4 || part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts[count] = (uint32_t)std::stoul(part);
        if (parts[count] > 0xFFFF) return false;
        if (end == std::string::npos) break;
        at = end + 1;
    }
    *high = parts[0] << 16 | parts[1];
    *low = parts[2] << 16 | parts[3];
    return true;
}

const char* ElevationLevel(Elevation e) {
    return e == Elevation::Highest ? "highestAvailable" : e == Elevation::Admin ? "requireAdministrator" : "asInvoker";
}

// The supportedOS ids are those of Vista, 7, 8, 8.1 and 10/11: with all of them listed,
// Windows applies none of its compatibility shims for older programs. DPI awareness is
// "system": the dialog is laid out in dialog units and its fonts follow LOGPIXELSY, so
// Windows need not scale it as a bitmap. Any requestedExecutionLevel also switches off
// Windows' guess that a program whose name holds "setup" is an installer.
std::string ManifestText(const ResourceInputs& in) {
    std::string m =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
        "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
        "    <security>\n"
        "      <requestedPrivileges>\n"
        "        <requestedExecutionLevel level=\"" + std::string(ElevationLevel(in.elevation)) +
        "\" uiAccess=\"false\"/>\n"
        "      </requestedPrivileges>\n"
        "    </security>\n"
        "  </trustInfo>\n"
        "  <compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">\n"
        "    <application>\n"
        "      <supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\n"
        "      <supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>\n"
        "      <supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>\n"
        "      <supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>\n"
        "      <supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>\n"
        "    </application>\n"
        "  </compatibility>\n"
        "  <application xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
        "    <windowsSettings>\n"
        "      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>\n"
        "      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">system</dpiAwareness>\n"
        "    </windowsSettings>\n"
        "  </application>\n";
    if (in.commonControls6)
        m += "  <dependency>\n"
             "    <dependentAssembly>\n"
             "      <assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""
             " processorArchitecture=\"x86\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>\n"
             "    </dependentAssembly>\n"
             "  </dependency>\n";
    return m + "</assembly>\n";
}

bool BuildResourceSection(const ResourceInputs& in, uint32_t address, std::string* section,
                          std::string* error) {
    std::vector<Leaf> leaves;
    leaves.push_back({resfmt::kTypeManifest, 1, ManifestText(in)});
    if (in.icons.size() > 255)
        return Refuse(error, std::to_string(in.icons.size()) + " icon images (at most 255)");
    for (size_t i = 0; i < in.icons.size(); ++i) {
        std::string why;
        if (!resfmt::CheckIconImage(in.icons[i], &why))
            return Refuse(error, "icon image " + std::to_string(i + 1) + ": " + why);
        leaves.push_back({resfmt::kTypeIcon, (uint16_t)(i + 1), in.icons[i].bytes});
    }
    if (!in.icons.empty()) leaves.push_back({resfmt::kTypeGroupIcon, 1, GroupIcon(in.icons)});
    std::string version;
    if (!VersionResource(in.version, &version, error)) return false;
    leaves.push_back({resfmt::kTypeVersion, 1, version});
    *section = Tree(leaves, address);
    return true;
}

bool AddResources(std::string* image, const ResourceInputs& in, std::string* error) {
    PeImage layout;
    std::string fault;
    if (!CheckPeImage(*image, image->size(), &layout, &fault))
        return Refuse(error, "stub image: " + fault);
    std::string section;
    return BuildResourceSection(in, NextSectionAddress(layout), &section, error) &&
           AppendPeSection(image, layout, ".rsrc", section, kSectionReadOnlyData, kDirectoryResources,
                           error);
}

}  // namespace sfx
