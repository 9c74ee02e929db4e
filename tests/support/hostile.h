// Self-extracting files crafted to break the stub: member names Windows would take for
// something else, a stream that reaches before its first byte, icons that crash the platform's
// loader. One table for the stub's code on the POSIX stand-in and for the real stub under Wine.
#pragma once
#include <string>
#include <vector>

namespace hostile {

struct Case {
    std::string what;
    std::string archive;            // ZIP bytes (7z with `solid`), placed behind the configuration block
    std::string icon;               // the configuration block's icon file, when not empty
    bool completes = false;         // the extraction goes through (the Setup command then shows message 9)
    std::string text, detail;       // otherwise the error box begins with `text` and holds `detail`
    std::vector<std::string> left;  // the extraction folder's files when the run ends, sorted
    bool wine = false;              // one of the subset that runs under Wine
    bool solid = false;             // the solid form: the solid stub reads it, without an end-record probe
    bool utf8 = false;              // the file's texts are UTF-8 (OPT_UTF8): the stub reads flagged names so
};
std::vector<Case> Cases();

// The whole file: `stub` (an image holding a fresh parameter block), a configuration block
// without a command and with the case's icon, and the case's archive (for the solid form no
// end-record probe).
std::string File(const Case& c, const std::string& stub);

// Whether an error box's text is the one the case ends with: in Windows-1252, or, for a file
// with UTF-8 texts, in UTF-8 as the stub holds it (a driver reading the box in the ANSI code
// page sees the former).
bool EndsWith(const Case& c, const std::string& boxText);

}  // namespace hostile
