// What `mksfx list --json` and `mksfx verify --json` answer (listing.cpp): a model of a
// finished file that any archive layout fills (members one by one, or folders of members
// packed together), and its JSON form. README's "Machine-readable answers" gives the schema;
// kListingVersion changes only when a field changes its meaning or goes away.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/mksfx/sfxfile.h"

namespace sfx {

const int kListingVersion = 1;

struct ListedMember {
    std::string name;    // UTF-8
    uint64_t size = 0, packed = 0;
    std::string method;  // "stored", "deflated", "folder" or "other"; in the solid form "file"
                         // (in a folder's stream), "empty" (no data) or "folder"
    std::string time;    // "YYYY-MM-DD hh:mm:ss", the local time a ZIP archive holds; in the
                         // solid form universal time
    uint32_t crc = 0;
    bool folder = false;
};
// Members packed together into one stream: `count` members from `first` on. A ZIP archive
// packs each member on its own and has none.
struct ListedFolder {
    std::string method;  // the coders, "LZMA:24 BCJ"
    uint64_t packed = 0, unpacked = 0;
    size_t first = 0, count = 0;
};
struct ListedIcon {
    int width = 0, height = 0, bits = 0;
    bool png = false;
};
struct Listing {
    std::string report;  // "list" or "verify"
    std::string form = "zip";  // "zip" or "solid"
    uint64_t memoryNeed = 0;   // the solid form: what the stub needs to decode (0 for ZIP)
    bool solidUnread = false;  // the solid form's header could not be read: no folders, no members
    std::string file;     // as given
    bool dataChecked = false;  // every member decoded and its CRC-32 compared (verify)
    std::vector<std::string> faults;  // none: the file is sound
    bool signatureRead = false, isSigned = false;
    std::string signer;
    // The configuration block (texts as UTF-8); `hasConfig` false when the file holds none.
    bool hasConfig = false, hasCaption = false, hasIcon = false, iconUsable = false;
    std::string command, text, about, caption, icon;  // icon: what it holds, or why it is unusable
    bool extractOnly = false, hasSilentCommand = false, hasTarget = false, consoleHidden = false;
    std::string silentCommand, target;  // target: as stored, %VARIABLES% unexpanded
    bool hasFooter = false, hasBanner = false;
    std::string footer, banner;  // empty: left out
    // The language tables the file carries (their codes, the fallback first); none: the
    // stub's own German table.
    bool ownLanguages = false;
    std::vector<std::string> languages;
    bool waitMode = false, headerCheck = false, signable = false;
    std::string waitFor;  // "NAME.exe", empty for none
    std::vector<std::string> switches;
    uint64_t totalSize = 0;
    // The resources as a loader reads them.
    bool hasResources = false, hasManifest = false, hasVersion = false;
    std::string level, fileVersion, productVersion;
    std::vector<ListedIcon> icons;
    std::vector<std::pair<std::string, std::string>> versionStrings;
    std::vector<ListedMember> members;
    std::vector<ListedFolder> folders;
};

// The listing of a file that ReadFile and CheckFile have read, with their faults.
Listing ListingOf(const File& file, const std::string& path, const std::string& report, bool dataChecked,
                  const std::vector<std::string>& faults);
// The solid form's folders, members and memory need into `listing`, from the 7z archive at
// `archiveOffset` (solidlist.cpp); false with `error` when its header cannot be read.
bool ListSolidArchive(InputFile* in, uint64_t archiveOffset, Listing* listing, std::string* error);
// Writes `listing` as one JSON document (UTF-8, two-space indents, keys in a fixed order).
void WriteListingJson(const Listing& listing, FILE* to);

}  // namespace sfx
