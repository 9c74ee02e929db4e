// The configuration block's contents as the stub splits them, and its icon as the stub
// checks it.
#include "tools/mksfx/icon/icon.h"
#include "tools/mksfx/report.h"
#include "tools/mksfx/sfxfile.h"

#include "startup/startup.h"

namespace sfx {

bool DescribeIcon(const std::string& icon, std::string* description, std::string* error) {
    // First as the stub checks it before use, then as the icon reader decodes it.
    IconFile file;
    if (!CheckStubIcon(icon, error) || !ReadIconFile(icon, &file, error)) return false;
    // The platform takes the icon's images as they are; each must decode.
    std::string shown;
    for (size_t i = 0; i < file.entries.size(); ++i) {
        const IconEntry& e = file.entries[i];
        RgbaImage pixels;
        if (!DecodeIconImage(e, &pixels, nullptr, error)) return false;
        shown += (i ? "; " : "") + std::to_string(e.width) + "x" + std::to_string(e.height) + ", " +
                 (e.png ? std::string("PNG") : e.bitCount <= 8 ? std::to_string(1 << e.bitCount) + " colours"
                                                              : std::to_string(e.bitCount) + "-bit");
    }
    *description = shown + ", " + std::to_string(icon.size()) + " bytes";
    return true;
}

bool CheckStubIcon(const std::string& icon, std::string* error) {
    const char* why;
    switch (CheckIconFile((const unsigned char*)icon.data(), (DWORD)icon.size())) {
        case ICON_SOUND: return true;
        case ICON_NO_DIRECTORY: why = "no icon directory at its start"; break;
        case ICON_NO_IMAGE: why = "the icon directory lists no image"; break;
        case ICON_DIRECTORY_CUT: why = "the icon directory runs past the end of the file"; break;
        case ICON_IMAGE_OUTSIDE: why = "an icon image lies outside the file"; break;
        case ICON_NOT_BITMAP: why = "an icon image has no 40-byte bitmap header (PNG images are not taken)"; break;
        case ICON_BAD_SIZE: why = "an icon image is not 1 to 256 pixels wide and high"; break;
        case ICON_BAD_FORMAT:
            why = "an icon image is not a plain bitmap of 1, 4, 8, 24 or 32 bits with a fitting palette";
            break;
        default: why = "an icon image needs more bytes than its directory entry gives it"; break;
    }
    return Refuse(error, why);
}

std::vector<std::string> ParseConfig(const std::string& data, uint32_t flags, Config* c) {
    std::vector<std::string> faults;
    size_t pos = 0;
    struct Field { const char* what; std::string* into; size_t limit; };
    // Without OPT_SILENT_COMMAND the third string is not used, whatever it holds.
    std::string unused;
    std::vector<Field> fields = {{"about text", &c->about, kAboutMax},
                                 {"command", &c->command, kCommandMax},
                                 {"silent command", flags & OPT_SILENT_COMMAND ? &c->silentCommand : &unused,
                                  flags & OPT_SILENT_COMMAND ? kCommandMax : 0xFFFF},
                                 {"message text", &c->text, kTextMax}};
    if (flags & OPT_CUSTOM_CAPTION) fields.push_back({"caption", &c->caption, kCaptionMax});
    if (flags & OPT_TARGET) fields.push_back({"target folder", &c->target, kTargetMax});
    // What the options promise: a command, or none in an extract-only package; a silent
    // command and a target folder where their bits say so.
    auto check = [&]() {
        if (flags & OPT_EXTRACT_ONLY && !c->command.empty())
            faults.push_back("configuration: an extract-only package names a command");
        if (flags & OPT_EXTRACT_ONLY && flags & OPT_SILENT_COMMAND)
            faults.push_back("configuration: an extract-only package names a silent command");
        if (flags & OPT_SILENT_COMMAND && c->silentCommand.empty())
            faults.push_back("configuration: the silent command is empty");
        if (flags & OPT_TARGET && c->target.empty()) faults.push_back("configuration: the target folder is empty");
    };
    for (const Field& f : fields) {
        size_t end = data.find('\0', pos);
        if (end == std::string::npos) {
            faults.push_back(std::string("configuration: the ") + f.what +
                             " runs past the end of the block");
            *f.into = data.substr(pos);
            check();
            return faults;
        }
        *f.into = data.substr(pos, end - pos);
        if (f.into->size() > f.limit)
            faults.push_back(std::string("configuration: the ") + f.what + " has " +
                             std::to_string(f.into->size()) + " characters, its field holds " +
                             std::to_string(f.limit));
        pos = end + 1;
    }
    check();
    if (pos + 2 <= data.size() && data[pos] == ICON_MARKER && data[pos + 1] == ICON_MARKER) {
        c->hasIcon = true;
        c->icon = data.substr(pos + 2);
        std::string shown, why;
        if (!DescribeIcon(c->icon, &shown, &why))
            faults.push_back("configuration: the icon is unusable: " + why);
    }
    return faults;
}

}  // namespace sfx
