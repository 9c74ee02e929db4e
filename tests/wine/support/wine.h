// Runs the real stub and test programs under Wine for the end-to-end tests.
//
// The session (tests/wine/session.sh) is shared by every Wine test of a run: one Xvfb display
// and one persistent wineserver for the prefix in build/wine/prefix, started by the CTest
// fixture, or by the first test process when none is running. Test processes take turns
// through a lock on build/wine/lock; each starts with the prefix cleared (ClearLeftovers).
// Programs run with the locale de_DE.UTF-8: ANSI code page 1252, OEM code page 850.
//
// Programs are driven by windriver.exe (tests/windows/windriver.c), which takes a script of
// commands and reports one observation per line; see the comment at its top. Message boxes
// label their buttons in the locale's language: press them by id (IDOK 1, IDCANCEL 2, IDYES
// 6, IDNO 7). Drive() turns on Wine's relay trace for the programs the script starts, so that
// the style each message box was asked for (its icon) and the icon taken from the
// configuration are known exactly.
//
//   wine::Package p = wine::Pack("name", {{"probe.exe", "@probe"}}, {"--command", "probe.exe"});
//   wine::DriverRun run = wine::Session::Get().Drive({
//       wine::StartLine(p), "wait kind=msgbox timeout=30000", "dump", "click id=1", "exit"});
//   ASSERT_TRUE(run.Ok()) << run.Describe();
//   EXPECT_EQ(run.Dump(0).icon, "error");
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/sfx_files.h"

namespace wine {

// One line of the driver's report: its kind ("window", "control", "exit", ...) and its fields,
// among them "line" and "by", the script line and its command (texts in Windows-1252).
struct Observation {
    std::string kind;
    std::map<std::string, std::string> fields;

    std::string Get(const std::string& key) const;  // "" when absent
    long Number(const std::string& key) const;      // decimal or 0x-hex; -1 when absent
};

struct Rect {
    long left = 0, top = 0, right = 0, bottom = 0;
    long Width() const { return right - left; }
    long Height() const { return bottom - top; }
};

struct Control {
    int id = 0;
    std::string text;
    unsigned long style = 0;
    bool visible = false, enabled = false;
    unsigned long icon = 0;  // icon statics: the icon handle shown, 0 for none
    bool IsDefault() const { return (style & 0xF) == 1; }  // BS_DEFPUSHBUTTON
};

struct Window {
    std::string command;  // the script command that reported it: wait, list or dump
    std::string hwnd, kind, caption, owner;  // kind: msgbox, dialog or window; owner "0x0": none
    Rect rect;  // on the screen
    // message boxes, from dump: the text, the visible buttons and the default one, and from
    // the trace the style asked for (-1 when not traced) with its icon: none, error,
    // question, warning, information
    std::string text, icon;
    long type = -1;
    std::vector<int> buttons;
    int defaultButton = 0;
    std::vector<Control> controls;  // from dump

    const Control& Find(int id) const;  // fails the test when absent
};

struct DriverRun {
    std::vector<std::string> script;
    int status = -1;  // the driver's exit status: 0 when every command succeeded
    bool timedOut = false;
    std::string output, diagnostics;  // its standard output and standard error
    std::vector<Observation> observations;

    bool Ok() const;  // status 0, no error reported
    std::vector<Observation> All(const std::string& kind) const;
    const Observation* First(const std::string& kind) const;
    std::vector<Window> Windows() const;  // every window reported, in order
    Window Dump(size_t index) const;      // the index-th one reported by dump (empty if none)
    std::vector<long> Codes() const;      // of the "ran" lines
    int ExitCode() const;                 // from the exit command; -1 when not reported
    unsigned long ConfiguredIcon() const; // what ExtractIcon gave the program; 0: none
    std::string Describe() const;         // script and report, for failure messages
};

using ProgramRun = sfxtest::RunResult;

class Session {
public:
    // The process's session, set up on first use; a failure to set up ends the process.
    static Session& Get();

    // Z:\... form of an absolute Linux path, still in UTF-8 as Run() wants its arguments.
    // A driver script is read in the ANSI code page: put such a path through Ansi() first
    // when it may hold other than ASCII characters.
    std::string WinPath(const std::string& linuxPath) const;

    // Runs the driver with these script lines and parses its report.
    DriverRun Drive(std::vector<std::string> script, int timeoutSeconds = 120);

    // Runs a Windows program (its Linux path) with arguments; standard output is captured.
    ProgramRun Run(const std::string& exe, const std::vector<std::string>& args,
                   int timeoutSeconds = 60);

    // A fresh, empty folder below build/wine/work.
    std::string WorkDir(const std::string& name) const;

    const std::string& Prefix() const { return prefix_; }  // the WINEPREFIX

    ~Session();

private:
    Session();
    void Restart();  // after a timeout: ends every Wine process of the prefix
    ProgramRun Exec(const std::vector<std::string>& argv, int timeoutSeconds);

    std::string root_, prefix_, display_;
    int lockFd_ = -1;
    bool ownSession_ = false;
    int scripts_ = 0;
};

inline Session& Wine() { return Session::Get(); }

// A script value in double quotes, its backslashes and quotes escaped.
std::string Quote(const std::string& raw);

// UTF-8 text in Windows-1252, as the programs show it (all of it must be in 1252).
std::string Ansi(const std::string& utf8);

// build/win/testprogs/NAME.exe and build/win/sfxstub.exe
std::string TestProgram(const std::string& name);
std::string Stub();

// ---- scenarios: packages of the real stub and the prefix's folders ------------------------

// Linux path of a C:\ or Z:\ path of the prefix.
std::string UnixPath(const std::string& windows);
// The user's folder for temporary files, the Windows folder, and where the stub extracts
// to when nothing is in the way (all on the Linux side).
std::string TempFolder();
std::string WindowsFolder();
std::string ExtractFolder();
inline bool Exists(const std::string& path) { return sfxtest::FileExists(path); }
// Empties the folders for temporary files and removes the fallback folders, so that each run
// starts alike.
void ClearLeftovers();

// One self-extracting file and the folder it lives in.
struct Package {
    std::string folder;  // Linux
    std::string exe;     // Linux path of the self-extracting file
    std::string Win() const;
    std::string Record() const { return folder + "/record.txt"; }
};

// Packs `files` (name -> contents, '/' for sub-folders; "@probe" stands for probe.exe) into
// folder `name`/`exeName` with these mksfx options ("@icon" stands for a small icon file,
// "@record" in an option for the Windows path of the package's record file), then clears the
// prefix (ClearLeftovers). The members get fixed modification times, a different one each.
// Fails the test when mksfx does.
Package Pack(const std::string& name, const std::map<std::string, std::string>& files,
             const std::vector<std::string>& options, const std::string& exeName = "setup.exe");

// The script line that starts a package, with optional switches.
std::string StartLine(const Package& p, const std::string& switches = "");

// The "key=value" lines that probe.exe appends to a record file.
std::multimap<std::string, std::string> ReadRecord(const std::string& path);
std::string Field(const std::multimap<std::string, std::string>& record, const std::string& key);

// Waits (up to `seconds`) for a file that a program still running writes at its end.
bool AwaitFile(const std::string& path, double seconds);
double Seconds();  // monotonic

// The stub's text for a file whose header check fails (UTF-8).
extern const char kHeaderInvalid[];

// The stub's message box with this text (UTF-8), icon, buttons and default button (0: any).
void ExpectBox(const Window& box, const std::string& text, const std::string& icon,
               const std::vector<int>& buttons, int defaultButton = 0);

}  // namespace wine
