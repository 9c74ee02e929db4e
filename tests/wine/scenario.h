// What the dialog and job tests share: packing a self-extracting file with mksfx, the
// folders of the Wine prefix that a run touches, the records that the probe program writes,
// and the screenshots.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/sfx_files.h"
#include "tests/support/zip_craft.h"
#include "tests/wine/support/wine.h"

namespace scenario {

namespace fs = std::filesystem;

inline void Put16(std::string* b, unsigned v) {
    *b += (char)(v & 0xFF);
    *b += (char)((v >> 8) & 0xFF);
}
inline void Put32(std::string* b, unsigned v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// A 32x32, 16-colour icon file: a parcel with a lid and a strip of tape, on a transparent
// background. Small enough for the configuration block.
inline std::string ParcelIcon() {
    const int size = 32;
    static const unsigned palette[16] = {0x000000, 0x5A3A1A, 0xC8914B, 0xE6B873, 0x8C6239,
                                         0x3C78C8, 0xFFFFFF, 0xC0C0C0};
    auto colour = [](int x, int y) -> int {  // y from the top; -1 transparent
        bool lid = y >= 6 && y <= 11 && x >= 2 && x <= 29;
        bool body = y >= 11 && y <= 28 && x >= 4 && x <= 27;
        if (!lid && !body) return -1;
        bool edge = lid ? (y == 6 || y == 11 || x == 2 || x == 29)
                        : (y == 28 || x == 4 || x == 27);
        if (edge) return 1;
        if (x >= 14 && x <= 17) return 5;  // tape
        if (body && y >= 20 && y <= 24 && x >= 7 && x <= 11) return 6;  // label
        return lid ? 3 : 2;
    };
    std::string image;
    Put32(&image, 40);
    Put32(&image, size);
    Put32(&image, size * 2);
    Put16(&image, 1);
    Put16(&image, 4);
    for (int i = 0; i < 6; ++i) Put32(&image, 0);
    for (unsigned c : palette) Put32(&image, c);
    for (int row = size - 1; row >= 0; --row)  // bottom-up
        for (int x = 0; x < size; x += 2) {
            int a = std::max(colour(x, row), 0), b = std::max(colour(x + 1, row), 0);
            image += (char)((a << 4) | b);
        }
    for (int row = size - 1; row >= 0; --row)
        for (int byte = 0; byte < size / 8; ++byte) {
            int mask = 0;
            for (int bit = 0; bit < 8; ++bit)
                if (colour(byte * 8 + bit, row) < 0) mask |= 0x80 >> bit;
            image += (char)mask;
        }
    std::string icon;
    Put16(&icon, 0);
    Put16(&icon, 1);
    Put16(&icon, 1);
    icon += (char)size;
    icon += (char)size;
    icon += (char)16;
    icon += (char)0;
    Put16(&icon, 1);
    Put16(&icon, 4);
    Put32(&icon, (unsigned)image.size());
    Put32(&icon, 22);
    return icon + image;
}

// The Wine session, with Wine's own symbol font in the prefix so that the caption buttons
// show their glyphs in the screenshots.
inline wine::Session& Wine() {
    wine::Session& session = wine::Session::Get();
    static bool fonts = false;
    if (!fonts) {
        fonts = true;
        fs::path target = fs::path(session.Prefix()) / "drive_c/windows/Fonts/marlett.ttf";
        std::error_code ec;
        if (!fs::exists(target, ec) && fs::exists("/usr/share/wine/fonts/marlett.ttf", ec)) {
            fs::copy_file("/usr/share/wine/fonts/marlett.ttf", target, ec);
            session.KillAll();  // the font list is read when the server starts
        }
    }
    return session;
}

// Linux path of a C:\ or Z:\ path of the prefix.
inline std::string UnixPath(const std::string& windows) {
    if (windows.size() < 3 || windows[1] != ':') return windows;
    std::string rest = windows.substr(3);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    char drive = (char)std::toupper((unsigned char)windows[0]);
    if (drive == 'Z') return "/" + rest;
    return Wine().Prefix() + "/drive_c/" + rest;
}

// The user's folder for temporary files, and the Windows folder, on the Linux side.
inline std::string TempFolder() {
    std::error_code ec;
    for (const auto& user : fs::directory_iterator(Wine().Prefix() + "/drive_c/users", ec)) {
        std::string name = user.path().filename().string();
        if (name != "Public" && fs::is_directory(user.path() / "Temp", ec))
            return (user.path() / "Temp").string();
    }
    return "";
}
inline std::string WindowsFolder() { return Wine().Prefix() + "/drive_c/windows"; }

// Where the stub extracts to when nothing is in the way.
inline std::string ExtractFolder() { return TempFolder() + "/QVS1.tmp"; }

inline bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Removes what a run may leave in the prefix, so that each test starts from the same state.
inline void ClearLeftovers() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(TempFolder(), ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 7 && (name.compare(0, 3, "QVS") == 0 || name.compare(0, 3, "qvs") == 0) &&
            name.compare(name.size() - 4, 4, ".tmp") == 0)
            fs::remove_all(entry.path(), ec);
    }
    for (const auto& entry : fs::directory_iterator(WindowsFolder(), ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() == 8 && (name.compare(0, 3, "QVT") == 0 || name.compare(0, 3, "qvt") == 0))
            fs::remove_all(entry.path(), ec);
    }
}

// One self-extracting file and the folder it lives in.
struct Package {
    std::string folder;  // Linux
    std::string exe;     // Linux path of the self-extracting file
    std::string Win() const { return Wine().WinPath(exe); }
    std::string Record() const { return folder + "/record.txt"; }
    std::string RecordWin() const { return Wine().WinPath(Record()); }
};

// Packs `files` (name -> contents; "@probe" stands for the probe program's bytes) into
// folder `name`/`exeName` with these mksfx options ("@icon" stands for the path of the parcel
// icon). Fails the test when mksfx does.
inline Package Pack(const std::string& name, const std::map<std::string, std::string>& files,
                    const std::vector<std::string>& options,
                    const std::string& exeName = "setup.exe") {
    Package p;
    p.folder = Wine().WorkDir(name);
    p.exe = p.folder + "/" + exeName;
    std::vector<std::string> args = {"build", "-o", p.exe, "--stub", wine::Stub()};
    for (const std::string& option : options) {
        if (option != "@icon") {
            args.push_back(option);
            continue;
        }
        args.push_back(p.folder + "/parcel.ico");
        EXPECT_TRUE(sfxtest::WriteFile(args.back(), ParcelIcon()));
    }
    // The folder as input: its contents go in under their names relative to it.
    for (const auto& [file, contents] : files) {
        std::string path = p.folder + "/in/" + file;
        std::string bytes = contents == "@probe" ? sfxtest::ReadFile(wine::TestProgram("probe"))
                                                 : contents;
        EXPECT_TRUE(sfxtest::WriteFile(path, bytes)) << path;
    }
    args.push_back(p.folder + "/in");
    sfxtest::RunResult r = sfxtest::RunMksfx(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ClearLeftovers();
    return p;
}

// The lines "key=value" that the probe appended to a record file.
inline std::multimap<std::string, std::string> ReadRecord(const std::string& path) {
    std::multimap<std::string, std::string> record;
    std::string text = sfxtest::ReadFile(path), line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        line = text.substr(at, end - at);
        at = end + 1;
        size_t eq = line.find('=');
        if (eq != std::string::npos) record.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return record;
}
inline std::string Field(const std::multimap<std::string, std::string>& record,
                         const std::string& key) {
    auto it = record.find(key);
    return it == record.end() ? "" : it->second;
}
inline std::vector<std::string> SortedList(const std::string& commaList) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at <= commaList.size() && !commaList.empty()) {
        size_t end = commaList.find(',', at);
        if (end == std::string::npos) end = commaList.size();
        names.push_back(commaList.substr(at, end - at));
        at = end + 1;
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The script line that starts a package, with an optional switch.
inline std::string Start(const Package& p, const std::string& sw = "") {
    return "start " + wine::Quote(p.Win() + (sw.empty() ? "" : " " + sw));
}

// Screenshots go to build/screenshots/NAME.png. `crop` (x, y, w, h on the screen), when given,
// cuts a screen capture down to the part worth showing.
inline std::string ShotFolder() {
    std::string dir = std::string(TESSLY_BINARY_DIR) + "/screenshots";
    std::error_code ec;
    fs::create_directories(dir, ec);
    return dir;
}
inline std::string ShotBmp(const std::string& name) { return ShotFolder() + "/" + name + ".bmp"; }
inline bool SavePng(const std::string& name, const wine::Rect* crop = nullptr) {
    std::string bmp = ShotBmp(name), png = ShotFolder() + "/" + name + ".png";
    bool ok;
    if (crop) {
        std::string geometry = std::to_string(crop->Width()) + "x" +
                               std::to_string(crop->Height()) + "+" +
                               std::to_string(crop->left) + "+" + std::to_string(crop->top);
        ok = sfxtest::RunProgram({"convert", bmp, "-crop", geometry, "+repage", png}).exitCode == 0;
    } else {
        ok = Wine().ToPng(bmp, png);
    }
    std::error_code ec;
    fs::remove(bmp, ec);
    return ok && Exists(png);
}

// The smallest rectangle around two windows, with a margin, kept on a 1024x768 screen.
inline wine::Rect Around(const wine::Rect& a, const wine::Rect& b, long margin = 12) {
    wine::Rect r;
    r.left = std::max(0L, std::min(a.left, b.left) - margin);
    r.top = std::max(0L, std::min(a.top, b.top) - margin);
    r.right = std::min(1024L, std::max(a.right, b.right) + margin);
    r.bottom = std::min(768L, std::max(a.bottom, b.bottom) + margin);
    return r;
}

// Texts of the stub in the ANSI code page.
inline std::string Text(const std::string& utf8) { return wine::Ansi(utf8); }

inline double Seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace scenario
