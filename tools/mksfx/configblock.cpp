// The configuration block's contents as the stub splits them, and its icon as the stub
// checks it.
#include "tools/mksfx/icon/icon.h"
#include "tools/mksfx/sfxfile.h"

#include "startup/startup.h"

namespace sfx {

std::string DescribeIcon(const std::string& icon, std::string* fault) {
    // First as the stub checks it before use, then as the icon reader decodes it.
    if (const char* why = IconFault(icon)) {
        *fault = why;
        return "";
    }
    IconFile file;
    if (!ReadIconFile(icon, &file, fault)) return "";
    // The platform takes the icon's images as they are; each must decode.
    std::string shown;
    for (size_t i = 0; i < file.entries.size(); ++i) {
        const IconEntry& e = file.entries[i];
        RgbaImage pixels;
        if (!DecodeIconImage(e, &pixels, nullptr, fault)) return "";
        shown += (i ? "; " : "") + std::to_string(e.width) + "x" + std::to_string(e.height) + ", " +
                 (e.png ? std::string("PNG") : e.bitCount <= 8 ? std::to_string(1 << e.bitCount) + " colours"
                                                              : std::to_string(e.bitCount) + "-bit");
    }
    return shown + ", " + std::to_string(icon.size()) + " bytes";
}

const char* IconFault(const std::string& icon) {
    switch (CheckIconFile((const unsigned char*)icon.data(), (DWORD)icon.size())) {
        case ICON_SOUND: return nullptr;
        case ICON_NO_DIRECTORY: return "no icon directory at its start";
        case ICON_NO_IMAGE: return "the icon directory lists no image";
        case ICON_DIRECTORY_CUT: return "the icon directory runs past the end of the file";
        case ICON_IMAGE_OUTSIDE: return "an icon image lies outside the file";
        case ICON_NOT_BITMAP:
            return "an icon image has no 40-byte bitmap header (PNG images are not taken)";
        case ICON_BAD_SIZE: return "an icon image is not 1 to 256 pixels wide and high";
        case ICON_BAD_FORMAT:
            return "an icon image is not a plain bitmap of 1, 4, 8, 24 or 32 bits with a fitting "
                   "palette";
        default: return "an icon image needs more bytes than its directory entry gives it";
    }
}

std::vector<std::string> ParseConfig(const std::string& data, bool hasCaption, Config* c) {
    std::vector<std::string> faults;
    size_t pos = 0;
    struct Field { const char* what; std::string* into; size_t limit; };
    std::vector<Field> fields = {{"about text", &c->about, kAboutMax},
                                 {"command", &c->command, kCommandMax},
                                 {"third string", &c->unused, 0xFFFF},
                                 {"message text", &c->text, kTextMax}};
    if (hasCaption) fields.push_back({"caption", &c->caption, kCaptionMax});
    for (const Field& f : fields) {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos) {
            faults.push_back(std::string("configuration: the ") + f.what +
                             " runs past the end of the block");
            *f.into = data.substr(pos);
            return faults;
        }
        *f.into = data.substr(pos, end - pos);
        if (f.into->size() > f.limit)
            faults.push_back(std::string("configuration: the ") + f.what + " has " +
                             std::to_string(f.into->size()) + " characters, its field holds " +
                             std::to_string(f.limit));
        pos = end + 1;
    }
    if (pos + 2 <= data.size() && data[pos] == ICON_MARKER && data[pos + 1] == ICON_MARKER) {
        c->hasIcon = true;
        c->icon = data.substr(pos + 2);
        std::string why;
        if (DescribeIcon(c->icon, &why).empty())
            faults.push_back("configuration: the icon is unusable: " + why);
    }
    return faults;
}

}  // namespace sfx
