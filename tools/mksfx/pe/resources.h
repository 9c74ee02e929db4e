// The finished file's own resources: an application manifest, the package's icon as the
// file's icon, and version information. Built as one resource section that is appended to
// the stub image (see peimage.h), and read back from a finished file for list and verify.
#pragma once
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/mksfx/pe/peimage.h"

namespace sfx {

enum class Elevation { AsInvoker, Highest, Admin };
// The manifest's name of a level: "asInvoker", "highestAvailable", "requireAdministrator".
const char* ElevationLevel(Elevation elevation);

// One image of an icon, as its .ico directory entry and data give it. `width` and
// `height` are 1 to 256; `bytes` is a BITMAPINFOHEADER image with its masks, or a PNG file.
struct IconImage {
    int width = 0, height = 0;
    uint8_t colours = 0;
    uint16_t planes = 0, bitCount = 0;
    std::string bytes;
};

// Texts are UTF-8; empty ones are left out of the version information, except that the
// product name falls back to the original file name without ".exe", the description to the
// product name, the product version to "1.0" and the file version to the product version.
// Versions are one to four numbers of 0 to 65535 joined by dots; the text is shown as
// given, the numbers count with missing ones as 0.
struct VersionInfo {
    std::string fileVersion, productVersion;
    std::string productName, company, description, copyright;
    std::string originalName = "setup.exe";
};

struct ResourceInputs {
    Elevation elevation = Elevation::AsInvoker;
    bool commonControls6 = true;    // version 6 of the common controls: current-looking buttons
    std::vector<IconImage> icons;   // none: no file icon
    VersionInfo version;
};

// The manifest's text for these inputs (UTF-8 XML).
std::string ManifestText(const ResourceInputs& inputs);

// Builds the resource section's bytes for a section placed at `address` in memory.
// False with what is wrong with the inputs in one line in `error`.
bool BuildResourceSection(const ResourceInputs& inputs, uint32_t address, std::string* section,
                          std::string* error);

// Checks `image` (a whole stub image), builds the section for it and appends it; false with
// `error` saying why it cannot.
bool AddResources(std::string* image, const ResourceInputs& inputs, std::string* error);

// What a finished file's resources say. `present` is false when the image has none.
struct ResourceSummary {
    bool present = false;
    std::string manifest, level;  // the manifest text and its requested execution level
    std::vector<IconImage> icons; // the file icon's images (sizes only; `bytes` left empty)
    bool hasVersion = false;
    std::string fileVersion, productVersion;  // the numbers, a.b.c.d
    std::vector<std::pair<std::string, std::string>> strings;  // name and UTF-8 text
};

// Reads the resources of `file`, whose image `layout` CheckPeImage has found sound, and
// checks them as a loader would: every table and data entry inside the section, entries
// in ascending order, three levels without loops, the icon group's images present with the
// sizes it names, the version information well formed. False with the first fault in one
// line in `error`; `summary` gets what was read.
bool ReadResources(const std::string& file, const PeImage& layout, ResourceSummary* summary,
                   std::string* error);

// The summary as lines for `mksfx list`: "manifest: asInvoker", "icon: 16x16 4-bit, ...",
// "file version: 1.2.0.0", then one line per version text.
std::vector<std::string> ResourceLines(const ResourceSummary& summary);

// ---- shared by the writer (resources.cpp) and the reader (resourceread.cpp) ----
namespace resfmt {
const uint16_t kTypeIcon = 3, kTypeGroupIcon = 14, kTypeVersion = 16, kTypeManifest = 24;
const uint16_t kLanguage = 0x0000;   // neutral: the packager's texts may be in any language
const uint16_t kCodePage = 1200;     // UTF-16, the version texts' encoding
// Whether an icon image holds what its entry says (a PNG file or a BITMAPINFOHEADER image of
// that width and height); false with `error` saying why not.
bool CheckIconImage(const IconImage& icon, std::string* error);
// UTF-8 to UTF-16LE bytes; false for malformed UTF-8 (overlong, surrogates, cut short).
bool Utf8ToUtf16(const std::string& utf8, std::string* utf16);
std::string Utf16ToUtf8(const std::string& utf16);  // unpaired surrogates become U+FFFD
// A version text ("2.1", "1.0.3.17") as its two 32-bit halves; false when it is not one to
// four numbers of 0 to 65535 joined by dots.
bool ParseVersion(const std::string& text, uint32_t* high, uint32_t* low);
}  // namespace resfmt

}  // namespace sfx
