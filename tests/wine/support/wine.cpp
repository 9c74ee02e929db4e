#include "tests/wine/support/wine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace wine {

namespace {

// Wine's code pages follow the Unix locale: this one gives ANSI 1252 and OEM 850.
const char kLocale[] = "de_DE.UTF-8";

// Written into a new prefix. A virtual desktop makes Wine draw window frames and captions
// itself (there is no window manager on Xvfb), so screenshots look like Windows, and lets
// processes end at once instead of waiting on the X11 window manager protocol. A crash
// must not open a dialog that nobody closes.
const char kPrefixSettings[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"
    "\"Desktop\"=\"Default\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"
    "\"Default\"=\"1024x768\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"
    "\"ShowCrashDialog\"=dword:00000000\r\n\r\n";

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "wine harness: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(70);
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void CloseFdsFrom(int first) {
    for (int fd = first; fd < 1024; ++fd) close(fd);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) Die("cannot write " + path);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n') out += '\n';
        else if (c == 'r') out += '\r';
        else if (c == 't') out += '\t';
        else if (c == 'x' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out += (char)(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string FirstWord(const std::string& line) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return "";
    return line.substr(start, line.find_first_of(" \t", start) - start);
}

Rect ParseRect(const std::string& s) {
    Rect r;
    std::sscanf(s.c_str(), "%ld,%ld,%ld,%ld", &r.left, &r.top, &r.right, &r.bottom);
    return r;
}

}  // namespace

std::vector<Observation> ParseReport(const std::string& output,
                                     const std::vector<std::string>& script) {
    std::vector<Observation> result;
    for (const std::string& text : Split(output, '\n')) {
        if (text.empty()) continue;
        std::vector<std::string> parts = Split(text, '\t');
        Observation o;
        o.kind = parts[0];
        for (size_t i = 1; i < parts.size(); ++i) {
            size_t eq = parts[i].find('=');
            if (eq == std::string::npos) continue;
            o.fields[parts[i].substr(0, eq)] = Unescape(parts[i].substr(eq + 1));
        }
        o.line = (int)o.Number("line");
        if (o.line >= 1 && (size_t)o.line <= script.size()) o.command = FirstWord(script[o.line - 1]);
        result.push_back(o);
    }
    return result;
}

namespace {

// The Windows-1252 byte of a code point, or '?'.
char AnsiByte(unsigned cp) {
    static const unsigned kHigh[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return (char)cp;
    for (unsigned i = 0; i < 32; ++i)
        if (kHigh[i] && kHigh[i] == cp) return (char)(0x80 + i);
    return '?';
}

}  // namespace

// ---- observations -----------------------------------------------------------------------------

std::string Observation::Get(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long Observation::Number(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end() || it->second.empty()) return -1;
    return (long)std::strtoll(it->second.c_str(), nullptr, 0);
}

const Control* Window::FindControl(int id) const {
    for (const Control& c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

bool DriverRun::Ok() const { return status == 0 && !timedOut && First("error") == nullptr; }

std::string DriverRun::Error() const {
    const Observation* e = First("error");
    if (e) return e->Get("message") + " (script line " + std::to_string(e->line) + ")";
    if (timedOut) return "the driver did not finish in time";
    return status == 0 ? "" : "driver status " + std::to_string(status);
}

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

std::vector<Window> DriverRun::Windows() const {
    std::vector<Window> windows;
    for (const Observation& o : observations) {
        if (o.kind == "window") {
            Window w;
            w.line = o.line;
            w.command = o.command;
            w.hwnd = o.Get("hwnd");
            w.cls = o.Get("class");
            w.kind = o.Get("kind");
            w.caption = o.Get("caption");
            w.owner = o.Get("owner");
            w.style = (unsigned long)o.Number("style");
            w.visible = o.Get("visible") == "1";
            w.enabled = o.Get("enabled") == "1";
            w.rect = ParseRect(o.Get("rect"));
            w.text = o.Get("text");
            w.icon = o.Get("icon");
            for (const std::string& id : Split(o.Get("buttons"), ','))
                if (!id.empty()) w.buttons.push_back(std::atoi(id.c_str()));
            w.defaultButton = o.Has("default") ? (int)o.Number("default") : 0;
            windows.push_back(w);
        } else if (o.kind == "control" && !windows.empty() && windows.back().line == o.line &&
                   windows.back().hwnd == o.Get("parent")) {
            Control c;
            c.hwnd = o.Get("hwnd");
            c.id = (int)o.Number("id");
            c.cls = o.Get("class");
            c.text = o.Get("text");
            c.style = (unsigned long)o.Number("style");
            c.visible = o.Get("visible") == "1";
            c.enabled = o.Get("enabled") == "1";
            c.rect = ParseRect(o.Get("rect"));
            c.icon = o.Get("icon");
            windows.back().controls.push_back(c);
        }
    }
    return windows;
}

std::vector<Window> DriverRun::Dumps() const {
    std::vector<Window> dumps;
    for (const Window& w : Windows())
        if (w.command == "dump") dumps.push_back(w);
    return dumps;
}

Window DriverRun::Dump(size_t index) const {
    std::vector<Window> dumps = Dumps();
    return index < dumps.size() ? dumps[index] : Window();
}

int DriverRun::ExitCode() const {
    const Observation* e = First("exit");
    return e ? (int)e->Number("code") : -1;
}

std::string DriverRun::Describe() const {
    std::string d = "--- script ---\n";
    for (size_t i = 0; i < script.size(); ++i) d += std::to_string(i + 1) + ": " + script[i] + "\n";
    d += "--- report (driver status " + std::to_string(status) + (timedOut ? ", timed out" : "") +
         ") ---\n" + output;
    if (!diagnostics.empty()) d += "--- standard error ---\n" + diagnostics;
    return d;
}

// ---- helpers ----------------------------------------------------------------------------------

std::string Quote(const std::string& raw) {
    std::string q = "\"";
    for (unsigned char c : raw) {
        if (c == '\\' || c == '"') {
            q += '\\';
            q += (char)c;
        } else if (c == '\n') {
            q += "\\n";
        } else if (c == '\r') {
            q += "\\r";
        } else if (c == '\t') {
            q += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            q += hex;
        } else {
            q += (char)c;
        }
    }
    return q + "\"";
}

std::string Ansi(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = (unsigned char)utf8[i];
        unsigned cp;
        int extra;
        if (c < 0x80) cp = c, extra = 0;
        else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, extra = 1;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, extra = 2;
        else cp = c & 0x07, extra = 3;
        ++i;
        for (int k = 0; k < extra && i < utf8.size(); ++k, ++i) cp = (cp << 6) | (utf8[i] & 0x3F);
        out += AnsiByte(cp);
    }
    return out;
}

std::string TestProgram(const std::string& name) {
    return std::string(TESSLY_WIN_DIR) + "/testprogs/" + name + ".exe";
}

std::string Stub() { return std::string(TESSLY_WIN_DIR) + "/sfxstub.exe"; }

// ---- the session ------------------------------------------------------------------------------

Session& Session::Get() {
    static Session session;
    return session;
}

Session::Session() {
    root_ = std::string(TESSLY_BINARY_DIR) + "/wine";
    prefix_ = root_ + "/prefix";
    std::error_code ec;
    fs::create_directories(root_, ec);
    lockFd_ = open((root_ + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX) != 0) Die("cannot lock " + root_ + "/lock");
    // scripts of earlier processes (a failing test prints its own script)
    fs::remove_all(root_ + "/scripts", ec);
    fs::create_directories(root_ + "/scripts", ec);
    StartDisplay();
    // A wineserver left by an earlier, killed test process would still talk to a display
    // that is gone.
    Exec({"wineserver", "-k"}, 30);
    Exec({"wineserver", "-w"}, 30);
    EnsurePrefix();
    ResetPrefixState();
    StartServer();
    // per-program settings that an earlier process did not remove (user.reg writes the key
    // HKCU\Software\Wine\AppDefaults\NAME as [Software\\Wine\\AppDefaults\\NAME])
    if (ReadWhole(prefix_ + "/user.reg").find("[Software\\\\Wine\\\\AppDefaults\\\\") !=
        std::string::npos)
        Exec({"wine", "reg", "delete", "HKCU\\Software\\Wine\\AppDefaults", "/f"}, 60);
}

Session::~Session() {
    Exec({"wineserver", "-k"}, 30);
    Exec({"wineserver", "-w"}, 30);
    if (xvfbPid_ > 0) {
        kill(xvfbPid_, SIGTERM);
        waitpid(xvfbPid_, nullptr, 0);
    }
    if (lockFd_ >= 0) close(lockFd_);
}

void Session::StartDisplay() {
    int fds[2];
    if (pipe(fds) != 0) Die("pipe");
    pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the tests
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        dup2(fds[1], 3);
        CloseFdsFrom(4);
        // -displayfd: Xvfb picks a free display itself and writes its number to fd 3
        execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
               "tcp", "-noreset", (char*)nullptr);
        _exit(127);
    }
    close(fds[1]);
    xvfbPid_ = pid;
    std::string number;
    double deadline = Now() + 20;
    while (number.find('\n') == std::string::npos && Now() < deadline) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[32];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        number.append(buf, (size_t)n);
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) Die("Xvfb did not start");
    display_ = std::atoi(number.c_str());
}

std::vector<std::string> Session::Environment() const {
    std::vector<std::string> env;
    static const char* const kReplaced[] = {"WINEPREFIX=", "WINEDEBUG=", "WINEDLLOVERRIDES=",
                                            "WINEARCH=",   "DISPLAY=",   "LANG=",
                                            "LANGUAGE=",   "LC_"};
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const char* r : kReplaced) replaced = replaced || std::strncmp(*e, r, std::strlen(r)) == 0;
        if (!replaced) env.push_back(*e);
    }
    env.push_back("WINEPREFIX=" + prefix_);
    env.push_back("WINEDEBUG=-all");
    // no installer prompts for the .NET and HTML runtimes while the prefix is made
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    env.push_back("WINEARCH=win32");
    env.push_back("DISPLAY=" + Display());
    env.push_back(std::string("LANG=") + kLocale);
    env.push_back(std::string("LC_ALL=") + kLocale);
    return env;
}

ProgramRun Session::Exec(const std::vector<std::string>& argv, int timeoutSeconds) {
    ProgramRun result;
    std::vector<std::string> env = Environment();
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) Die("pipe");
    pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        CloseFdsFrom(3);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // Wine's helper processes (a wineserver it starts, the programs it starts) may keep the
    // pipes open after the program itself has ended, so the end is told by waitpid, not EOF.
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    double deadline = Now() + timeoutSeconds;
    int status = 0;
    bool ended = false;
    auto drain = [](int fd, std::string& into) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) into.append(buf, (size_t)n);
    };
    while (!ended) {
        pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        poll(p, 2, 50);
        drain(out[0], result.out);
        drain(err[0], result.err);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
        } else if (Now() > deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            ended = true;
        }
    }
    drain(out[0], result.out);
    drain(err[0], result.err);
    close(out[0]);
    close(err[0]);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void Session::EnsurePrefix() {
    ProgramRun version = Exec({"wine", "--version"}, 60);
    if (version.status != 0) Die("wine is not installed");
    const std::string stamp = root_ + "/prefix.ready";
    if (fs::exists(stamp) && ReadWhole(stamp) == version.out && fs::exists(prefix_ + "/system.reg"))
        return;
    std::error_code ec;
    fs::remove(stamp, ec);
    fs::remove_all(prefix_, ec);
    ProgramRun boot = Exec({"wineboot", "-i"}, 600);
    if (boot.status != 0) Die("wineboot failed: " + boot.err);
    WriteWhole(root_ + "/settings.reg", kPrefixSettings);
    ProgramRun reg = Exec({"wine", "reg", "import", WinPath(root_ + "/settings.reg")}, 120);
    if (reg.status != 0) Die("cannot import the prefix settings: " + reg.err);
    Exec({"wineserver", "-w"}, 300);
    WriteWhole(stamp, version.out);
}

// What a test run leaves in the prefix must not meet the next one: temporary folders (the
// extraction folders among them), fallback folders under the Windows folder.
void Session::ResetPrefixState() {
    std::error_code ec;
    std::vector<fs::path> folders = {fs::path(prefix_) / "drive_c/windows/temp"};
    for (const auto& user : fs::directory_iterator(fs::path(prefix_) / "drive_c/users", ec)) {
        folders.push_back(user.path() / "Temp");
        folders.push_back(user.path() / "AppData/Local/Temp");
    }
    for (const fs::path& folder : folders) {
        if (!fs::is_directory(folder, ec) || fs::is_symlink(folder, ec)) continue;
        for (const auto& entry : fs::directory_iterator(folder, ec)) fs::remove_all(entry.path(), ec);
    }
    for (const auto& entry : fs::directory_iterator(fs::path(prefix_) / "drive_c/windows", ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() == 8 && (name.compare(0, 3, "QVT") == 0 || name.compare(0, 3, "qvt") == 0))
            fs::remove_all(entry.path(), ec);
    }
}

void Session::StartServer() {
    // Kept for 30 seconds after its last program, so that the runs of one test process share
    // one server while a killed test process leaves none behind for long.
    Exec({"wineserver", "-p30"}, 60);
}

void Session::KillAll() {
    Exec({"wineserver", "-k"}, 30);
    Exec({"wineserver", "-w"}, 30);
    StartServer();
}

std::string Session::WinPath(const std::string& linuxPath) const {
    std::string p = "Z:";
    for (char c : linuxPath) p += c == '/' ? '\\' : c;
    return p;
}

DriverRun Session::Drive(const std::vector<std::string>& script, int timeoutSeconds) {
    std::string file = root_ + "/scripts/" + std::to_string(getpid()) + "-" +
                       std::to_string(++scripts_) + ".txt";
    std::string text;
    for (const std::string& line : script) text += line + "\n";
    WriteWhole(file, text);
    ProgramRun p = Exec({"wine", TestProgram("windriver"), WinPath(file)}, timeoutSeconds);
    DriverRun run;
    run.script = script;
    run.status = p.status;
    run.timedOut = p.timedOut;
    run.output = p.out;
    run.diagnostics = p.err;
    run.observations = ParseReport(p.out, script);
    if (p.timedOut) KillAll();  // what the driver started must not haunt the next run
    return run;
}

ProgramRun Session::Run(const std::string& exe, const std::vector<std::string>& args,
                        int timeoutSeconds) {
    std::vector<std::string> argv = {"wine", exe};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramRun p = Exec(argv, timeoutSeconds);
    if (p.timedOut) KillAll();
    return p;
}

void Session::SetWindowsVersion(const std::string& exeName, const std::string& version) {
    std::string key = "HKCU\\Software\\Wine\\AppDefaults\\" + exeName;
    ProgramRun p = version.empty()
                       ? Exec({"wine", "reg", "delete", key, "/f"}, 60)
                       : Exec({"wine", "reg", "add", key, "/v", "Version", "/d", version, "/f"}, 60);
    if (p.status != 0 && !version.empty()) Die("cannot set the Windows version: " + p.err);
}

std::string Session::WorkDir(const std::string& name) const {
    fs::path dir = fs::path(root_) / "work" / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    if (ec) Die("cannot create " + dir.string());
    return dir.string();
}

bool Session::ToPng(const std::string& bmp, const std::string& png) const {
    ProgramRun p = const_cast<Session*>(this)->Exec({"convert", bmp, png}, 60);
    return p.status == 0 && fs::exists(png);
}

}  // namespace wine
