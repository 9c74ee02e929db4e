#include "tests/wine/support/wine.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/sfx_files.h"
#include "tests/support/solid_craft.h"

namespace fs = std::filesystem;

namespace wine {

namespace {

const char kLocale[] = "de_DE.UTF-8";

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "wine harness: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(70);
}

// The escapes of the driver's report and of Wine's traces: \n \r \t \xHH, else the byte.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            c = s[++i];
            if (c == 'n') c = '\n';
            else if (c == 'r') c = '\r';
            else if (c == 't') c = '\t';
            else if (c == 'x' && i + 2 < s.size() && std::isxdigit((unsigned char)s[i + 1]) &&
                     std::isxdigit((unsigned char)s[i + 2])) {
                c = (char)std::stoi(s.substr(i + 1, 2), nullptr, 16);
                i += 2;
            }
        }
        out += c;
    }
    return out;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::istringstream in(s);
    for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
    return parts;
}

std::vector<Observation> ParseReport(const std::string& output) {
    std::vector<Observation> result;
    for (const std::string& text : Split(output, '\n')) {
        if (text.empty()) continue;
        std::vector<std::string> parts = Split(text, '\t');
        Observation o;
        o.kind = parts[0];
        for (size_t i = 1; i < parts.size(); ++i) {
            size_t eq = parts[i].find('=');
            if (eq != std::string::npos) o.fields[parts[i].substr(0, eq)] = Unescape(parts[i].substr(eq + 1));
        }
        result.push_back(o);
    }
    return result;
}

// The message boxes the programs asked for, from the relay trace:
//   Call user32.MessageBoxA(00000000,00404090 "text",004040b0 "caption",00000010) ret=...
// UTF-8 text as a program of the ANSI code page (Windows-1252) reads it: '?' for each
// character it lacks.
std::string AnsiShown(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = (unsigned char)utf8[i];
        if (c < 0x80) {
            out += (char)c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            unsigned v = (c & 0x1F) << 6 | (utf8[++i] & 0x3F);
            out += v >= 0xA0 && v < 0x100 ? (char)v : '?';
        } else {
            while (i + 1 < utf8.size() && (utf8[i + 1] & 0xC0) == 0x80) ++i;
            out += '?';
        }
    }
    return out;
}

std::vector<std::pair<std::string, long>> TracedBoxes(const std::string& trace) {
    std::vector<std::pair<std::string, long>> boxes;
    // The ANSI call shows its text as it is, the wide one as L"..." with "\\XXXX" for each
    // character past ASCII: that text comes back in UTF-8 (as the driver reads texts after
    // "wide") and a second time as the ANSI code page shows it ('?' for what it lacks).
    for (const std::string call : {"Call user32.MessageBoxA(", "Call user32.MessageBoxW("}) {
        const bool wide = call[call.size() - 2] == 'W';
        for (size_t at = 0; (at = trace.find(call, at)) != std::string::npos; ++at) {
            size_t open = trace.find('"', at), end = trace.find(") ret=", at);
            if (open == std::string::npos || end == std::string::npos || end < 8) continue;
            size_t close = open + 1;
            while (close < trace.size() && trace[close] != '"') close += trace[close] == '\\' ? 2 : 1;
            std::string text = trace.substr(open + 1, close - open - 1), plain;
            for (size_t i = 0; i < text.size(); ++i) {
                if (wide && text[i] == '\\' && i + 4 < text.size() && std::isxdigit((unsigned char)text[i + 1]) &&
                    std::isxdigit((unsigned char)text[i + 2]) && std::isxdigit((unsigned char)text[i + 3]) &&
                    std::isxdigit((unsigned char)text[i + 4])) {
                    unsigned c = (unsigned)std::stoul(text.substr(i + 1, 4), nullptr, 16);
                    i += 4;
                    if (c < 0x800) plain += {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 0x3F))};
                    else plain += {(char)(0xE0 | c >> 12), (char)(0x80 | ((c >> 6) & 0x3F)), (char)(0x80 | (c & 0x3F))};
                    continue;
                }
                if (text[i] == '\\' && i + 1 < text.size()) plain += text[i++];  // an escape of its own
                plain += text[i];
            }
            long style = std::strtol(trace.substr(end - 8, 8).c_str(), nullptr, 16);
            boxes.emplace_back(Unescape(plain), style);
            if (wide) boxes.emplace_back(AnsiShown(Unescape(plain)), style);
        }
    }
    return boxes;
}

// What a run leaves must not meet the next one: the contents of the temporary folders and
// the fallback folders QVT00000.. under the Windows folder.
void ClearPrefix(const fs::path& prefix) {
    std::error_code ec;
    std::vector<fs::path> folders = {prefix / "drive_c/windows/temp"};
    for (const auto& user : fs::directory_iterator(prefix / "drive_c/users", ec))
        folders.insert(folders.end(), {user.path() / "Temp", user.path() / "AppData/Local/Temp"});
    for (const fs::path& folder : folders) {
        if (!fs::is_directory(folder, ec) || fs::is_symlink(folder, ec)) continue;
        for (const auto& entry : fs::directory_iterator(folder, ec)) fs::remove_all(entry.path(), ec);
    }
    for (const auto& entry : fs::directory_iterator(prefix / "drive_c/windows", ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() == 8 && (name.compare(0, 3, "QVT") == 0 || name.compare(0, 3, "qvt") == 0))
            fs::remove_all(entry.path(), ec);
    }
}

Rect ParseRect(const std::string& s) {
    Rect r;
    std::sscanf(s.c_str(), "%ld,%ld,%ld,%ld", &r.left, &r.top, &r.right, &r.bottom);
    return r;
}

}  // namespace

// ---- the driver's report ------------------------------------------------------------------

std::string Observation::Get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long Observation::Number(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return -1;
    return (long)std::strtoll(it->second.c_str(), nullptr, 0);
}

const Control& Window::Find(int id) const {
    static const Control none;
    for (const Control& c : controls)
        if (c.id == id) return c;
    ADD_FAILURE() << "no control " << id << " in the window \"" << caption << "\"";
    return none;
}

bool DriverRun::Ok() const { return status == 0 && !timedOut && First("error") == nullptr; }

std::vector<Observation> DriverRun::All(const std::string& kind) const {
    std::vector<Observation> found;
    for (const Observation& o : observations)
        if (o.kind == kind) found.push_back(o);
    return found;
}

const Observation* DriverRun::First(const std::string& kind) const {
    for (const Observation& o : observations)
        if (o.kind == kind) return &o;
    return nullptr;
}

Window DriverRun::Dump(size_t index) const {
    static const char* const kIcons[] = {"none", "error", "question", "warning", "information"};
    std::vector<std::pair<std::string, long>> traced = TracedBoxes(diagnostics);
    size_t nextTraced = 0;
    std::vector<Window> windows;  // every one reported, in order
    for (const Observation& o : observations) {
        if (o.kind == "window") {
            Window w{.command = o.Get("by"), .hwnd = o.Get("hwnd"), .kind = o.Get("kind"),
                     .caption = o.Get("caption"), .owner = o.Get("owner"),
                     .rect = ParseRect(o.Get("rect")), .text = o.Get("text")};
            for (const std::string& id : Split(o.Get("buttons"), ','))
                if (!id.empty()) w.buttons.push_back(std::atoi(id.c_str()));
            w.defaultButton = (int)std::max(0L, o.Number("default"));
            // the first box asked for, from here on, whose text this one shows
            for (size_t i = nextTraced; w.command == "dump" && w.kind == "msgbox" && i < traced.size(); ++i) {
                if (w.text.compare(0, traced[i].first.size(), traced[i].first) != 0) continue;
                w.type = traced[i].second;
                w.icon = kIcons[std::min<long>((w.type >> 4) & 7, 4)];
                nextTraced = i + 1;
                break;
            }
            windows.push_back(w);
        } else if (o.kind == "control" && !windows.empty() && windows.back().hwnd == o.Get("parent")) {
            windows.back().controls.push_back({(int)o.Number("id"), o.Get("text"), (unsigned long)o.Number("style"),
                                               o.Get("visible") == "1", o.Get("enabled") == "1",
                                               (unsigned long)std::max(0L, o.Number("icon"))});
        }
    }
    for (const Window& w : windows)
        if (w.command == "dump" && index-- == 0) return w;
    return Window();
}

std::vector<long> DriverRun::Codes() const {
    std::vector<long> codes;
    for (const Observation& o : All("ran")) codes.push_back(o.Number("code"));
    return codes;
}

int DriverRun::ExitCode() const {
    const Observation* e = First("exit");
    return e ? (int)e->Number("code") : -1;
}

unsigned long DriverRun::ConfiguredIcon() const {
    size_t at = diagnostics.find("Ret  user32.LoadImageA");
    if (at == std::string::npos) at = diagnostics.find("Ret  shell32.ExtractIcon");
    if (at != std::string::npos) at = diagnostics.find("retval=", at);
    return at == std::string::npos ? 0 : std::strtoul(diagnostics.c_str() + at + 7, nullptr, 16);
}

std::string DriverRun::Describe() const {
    std::string d = "--- script ---\n";
    for (size_t i = 0; i < script.size(); ++i) d += std::to_string(i + 1) + ": " + script[i] + "\n";
    d += "--- report (driver status " + std::to_string(status) + (timedOut ? ", timed out" : "") +
         ") ---\n" + output;
    const Observation* e = First("error");
    if (e) d += "--- error: " + e->Get("message") + " (script line " + e->Get("line") + ")\n";
    return d;
}

// ---- helpers ------------------------------------------------------------------------------

std::string Quote(const std::string& raw) {
    std::string q = "\"";
    for (char c : raw) {
        if (c == '\\' || c == '"') q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string Ansi(const std::string& utf8) {
    iconv_t cd = iconv_open("WINDOWS-1252", "UTF-8");
    std::string in = utf8, out(utf8.size(), '\0');
    char *from = in.data(), *to = out.data();
    size_t inLeft = in.size(), outLeft = out.size();
    if (cd == (iconv_t)-1 || iconv(cd, &from, &inLeft, &to, &outLeft) == (size_t)-1)
        Die("not in Windows-1252: " + utf8);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string TestProgram(const std::string& name) {
    return std::string(TESSLY_WIN_DIR) + "/testprogs/" + name + ".exe";
}

std::string Stub() { return std::string(TESSLY_WIN_DIR) + "/sfxstub.exe"; }
std::string SolidStub() { return std::string(TESSLY_WIN_DIR) + "/sfxstub-solid.exe"; }
std::string MksfxExe() { return std::string(TESSLY_WIN_DIR) + "/bin/mksfx.exe"; }

namespace {
// Every file below `dir` by its path under it, with its contents.
std::map<std::string, std::string> Tree(const std::string& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file()) files[fs::relative(it->path(), dir).string()] = sfxtest::ReadFile(it->path().string());
    return files;
}
}  // namespace

sfxtest::RunResult ExpectMksfxExeAgrees(const std::vector<std::string>& args) {
    SCOPED_TRACE("mksfx.exe " + args.front());
    const bool extract = args.front() == "extract";
    std::vector<std::string> windowsArgs = args;
    for (std::string& a : windowsArgs)
        if (!a.empty() && a[0] == '/') a = Session::Get().WinPath(a);
    sfxtest::RunResult native = sfxtest::RunMksfx(args);
    std::map<std::string, std::string> nativeTree;
    if (extract) {
        nativeTree = Tree(args.back());
        fs::remove_all(args.back());
    }
    ProgramRun windows = Session::Get().Run(MksfxExe(), windowsArgs);
    for (std::string* text : {&windows.out, &windows.err})
        for (size_t i = 0; i < args.size(); ++i)
            for (size_t at = 0; args[i] != windowsArgs[i] && (at = text->find(windowsArgs[i], at)) != std::string::npos;
                 at += args[i].size())
                text->replace(at, windowsArgs[i].size(), args[i]);
    // The stub's own texts show its paths with backslashes, which the Linux run has in place
    // of every slash and the Windows run after the folder it was given.
    for (std::string* text : {&windows.out, &windows.err, &native.out, &native.err})
        std::replace(text->begin(), text->end(), '\\', '/');
    EXPECT_EQ(windows.exitCode, native.exitCode) << windows.err;
    EXPECT_EQ(windows.out, native.out);
    EXPECT_EQ(windows.err, native.err);
    if (extract) EXPECT_EQ(Tree(args.back()), nativeTree);
    return native;
}

// ---- the session --------------------------------------------------------------------------

Session& Session::Get() {
    static Session session;
    return session;
}

Session::Session() {
    root_ = std::string(TESSLY_BINARY_DIR) + "/wine";
    prefix_ = root_ + "/prefix";
    std::error_code ec;
    fs::create_directories(root_ + "/scripts", ec);
    lockFd_ = open((root_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX) != 0) Die("cannot lock " + root_ + "/lock");
    auto recorded = [&](const std::string& key) {
        std::string state = sfxtest::ReadFile(root_ + "/session");
        size_t at = state.find(key + "=");
        return at == std::string::npos ? std::string() : state.substr(at + key.size() + 1, state.find('\n', at) - at - key.size() - 1);
    };
    std::string xvfb = recorded("xvfb");
    ownSession_ = xvfb.empty() || sfxtest::ReadFile("/proc/" + xvfb + "/comm") != "Xvfb\n";
    if (ownSession_) {
        ProgramRun start = Exec({"bash", std::string(TESSLY_SOURCE_DIR) + "/tests/wine/session.sh", "start", root_}, 900);
        if (start.exitCode != 0) Die("the Wine session did not start: " + start.err);
    }
    display_ = ":" + recorded("display");
    ClearPrefix(prefix_);
}

Session::~Session() {
    if (ownSession_) Exec({"bash", std::string(TESSLY_SOURCE_DIR) + "/tests/wine/session.sh", "stop", root_}, 60);
    if (lockFd_ >= 0) close(lockFd_);
}

ProgramRun Session::Exec(const std::vector<std::string>& argv, int timeoutSeconds,
                         const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env = {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=",
                                    "WINEARCH=win32", "DISPLAY=" + display_, std::string("LANG=") + kLocale,
                                    std::string("LC_ALL=") + kLocale, "LANGUAGE"};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return sfxtest::RunProgram(argv, env, "", timeoutSeconds);
}

void Session::Restart() {
    Exec({"wineserver", "-k"}, 30);
    Exec({"wineserver", "-w"}, 30);
    Exec({"setsid", "wineserver", "-p"}, 30);
}

std::string Session::WinPath(const std::string& linuxPath) const {
    std::string p = "Z:" + linuxPath;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

DriverRun Session::Drive(std::vector<std::string> script, int timeoutSeconds) {
    auto debug = std::find_if(script.begin(), script.end(),
                              [](const std::string& l) { return l.rfind("setenv WINEDEBUG=", 0) == 0; });
    if (debug == script.end()) script.insert(script.begin(), "setenv WINEDEBUG=-all,trace+relay");
    else *debug += ",trace+relay";
    std::string file = root_ + "/scripts/" + std::to_string(getpid()) + "-" + std::to_string(++scripts_) + ".txt";
    std::string text;
    for (const std::string& line : script) text += line + "\n";
    if (!sfxtest::WriteFile(file, text)) Die("cannot write " + file);
    // Wine takes a process's time zone and its user's language from its Unix environment,
    // which the programs the driver starts inherit from it: a "setenv TZ=ZONE" line (or
    // LC_ALL=, LANG=) sets the driver's own.
    std::vector<std::string> zone;
    for (const std::string& line : script)
        for (const char* name : {"setenv TZ=", "setenv LC_ALL=", "setenv LANG="})
            if (line.rfind(name, 0) == 0) zone.push_back(line.substr(7));
    ProgramRun p = Exec({"wine", TestProgram("windriver"), WinPath(file)}, timeoutSeconds, zone);
    if (p.timedOut) Restart();  // what the driver started must not haunt the next run
    return DriverRun{script, p.exitCode, p.timedOut, p.out, p.err, ParseReport(p.out)};
}

ProgramRun Session::Run(const std::string& exe, const std::vector<std::string>& args, int timeoutSeconds) {
    std::vector<std::string> argv = {"wine", exe};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramRun p = Exec(argv, timeoutSeconds);
    if (p.timedOut) Restart();
    return p;
}

std::string Session::WorkDir(const std::string& name) const {
    fs::path dir = fs::path(root_) / "work" / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    if (ec) Die("cannot create " + dir.string());
    return dir.string();
}

// ---- scenarios ----------------------------------------------------------------------------

std::string UnixPath(const std::string& windows) {
    if (windows.size() < 3 || windows[1] != ':') return windows;
    std::string rest = windows.substr(3);
    std::replace(rest.begin(), rest.end(), '\\', '/');
    if (std::toupper((unsigned char)windows[0]) == 'Z') return "/" + rest;
    return Session::Get().Prefix() + "/drive_c/" + rest;
}

std::string TempFolder() {
    std::error_code ec;
    for (const auto& user : fs::directory_iterator(Session::Get().Prefix() + "/drive_c/users", ec)) {
        if (user.path().filename() != "Public" && fs::is_directory(user.path() / "Temp", ec))
            return (user.path() / "Temp").string();
    }
    return "";
}

std::string WindowsFolder() { return Session::Get().Prefix() + "/drive_c/windows"; }

std::string ExtractFolder() { return TempFolder() + "/QVS1.tmp"; }

void ClearLeftovers() { ClearPrefix(Session::Get().Prefix()); }

std::string Package::Win() const { return Session::Get().WinPath(exe); }

Package Pack(const std::string& name, const std::map<std::string, std::string>& files,
             const std::vector<std::string>& options, const std::string& exeName) {
    Session& session = Session::Get();
    Package p;
    p.folder = session.WorkDir(name);
    p.exe = p.folder + "/" + exeName;
    std::vector<std::string> args = {"build", "-o", p.exe};
    if (std::find(options.begin(), options.end(), "--stub") == options.end())
        args.insert(args.end(), {"--stub", Stub()});
    for (std::string option : options) {
        if (option == "@icon") {
            option = p.folder + "/icon.ico";
            EXPECT_TRUE(sfxtest::WriteFile(option, sfxtest::SampleIcon()));
        }
        size_t at = option.find("@record");
        if (at != std::string::npos) option.replace(at, 7, session.WinPath(p.Record()));
        args.push_back(option);
    }
    time_t stamp = 1600000000;  // 2020-09-13, then apart by odd hours, minutes and seconds
    for (const auto& [file, contents] : files) {
        std::string path = p.folder + "/in/" + file;
        EXPECT_TRUE(sfxtest::WriteFile(path, contents == "@probe" ? sfxtest::ReadFile(TestProgram("probe")) : contents));
        struct utimbuf times = {stamp, stamp};
        utime(path.c_str(), &times);
        stamp += 3 * 3600 + 17 * 60 + 41;
    }
    args.push_back(p.folder + "/in");
    sfxtest::RunResult r = sfxtest::RunMksfx(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ClearLeftovers();
    return p;
}

void MakeSolid(const Package& p, const std::map<std::string, std::string>& files) {
    std::string zip = sfxtest::ReadFile(p.exe);
    size_t block = sfxtest::FindBlock(zip);
    uint32_t config = sfxtest::Le32(zip, block + PB_CONFIG_OFFSET), archive = sfxtest::Le32(zip, block + PB_ARCHIVE_OFFSET);
    solidcraft::Archive a;
    a.encodeHeader = 1;  // as mksfx writes it for all but the smallest packages
    for (const auto& [file, contents] : files) {
        bool probe = contents == "@probe";
        a.files.push_back({file, probe ? sfxtest::ReadFile(TestProgram("probe")) : contents, false, probe});
    }
    sfxtest::SfxParts parts;
    parts.stub = sfxtest::ReadFile(SolidStub());
    parts.packedConfig = zip.substr(config, archive - config);
    parts.rawArchive = a.Build();
    parts.endRecordOffset = 0;
    // BuildSfx's header CRC-32 covers the image's checksum as it stands
    parts.optionFlags = sfxtest::Le32(zip, block + PB_OPTION_FLAGS) & ~OPT_SIGNABLE;
    EXPECT_TRUE(sfxtest::WriteFile(p.exe, sfxtest::BuildSfx(parts)));
}

std::string StartLine(const Package& p, const std::string& switches) {
    return "start " + Quote(p.Win() + (switches.empty() ? "" : " " + switches));
}

std::multimap<std::string, std::string> ReadRecord(const std::string& path) {
    std::multimap<std::string, std::string> record;
    for (const std::string& line : Split(sfxtest::ReadFile(path), '\n')) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) record.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    return record;
}

std::string Field(const std::multimap<std::string, std::string>& record, const std::string& key) {
    auto it = record.find(key);
    return it == record.end() ? "" : it->second;
}

double Seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool AwaitFile(const std::string& path, double seconds) {
    for (double until = Seconds() + seconds; !Exists(path) && Seconds() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return Exists(path);
}

const char kHeaderInvalid[] =
    "Tessly Self-Extractor-Dateikopf ungültig. Mögliche Ursache: Fehlerhafter Datenträger oder "
    "Dateiübertragungsfehler.";

void ExpectBox(const Window& box, const std::string& text, const std::string& icon,
               const std::vector<int>& buttons, int defaultButton, const std::string& caption) {
    EXPECT_EQ(box.kind, "msgbox");
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.text, Ansi(text));
    EXPECT_EQ(box.icon, icon) << "style " << std::hex << box.type;
    EXPECT_EQ(box.buttons, buttons);
    EXPECT_TRUE(defaultButton == 0 || box.defaultButton == defaultButton) << box.defaultButton;
}

}  // namespace wine
