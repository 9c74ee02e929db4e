// Runs Windows programs under Wine for the end-to-end tests.
//
// The first use in a test process sets up the environment and keeps it until the process
// ends: an exclusive lock on build/wine/lock (test processes that run at the same time take
// turns), a Wine prefix below the build tree (created once, then reused; its temporary
// folders and per-program settings are cleared at every start), an Xvfb display of our own,
// and a wineserver for the prefix. Every Wine program runs with the locale de_DE.UTF-8, so
// that the ANSI code page is 1252 and the OEM code page 850.
//
// Programs are driven by windriver.exe (tests/windows/windriver.c), which takes a script of
// commands and reports one observation per line; see the comment at its top. Message boxes
// label their buttons in the locale's language ("&Ja", "&Nein", "Abbrechen"): press them by
// id (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7).
//
//   wine::Session& wine = wine::Session::Get();
//   wine::DriverRun run = wine.Drive({
//       "cd " + wine::Quote(wine.WinPath(folder)),
//       "start " + wine::Quote(wine.WinPath(exe)),
//       "wait kind=msgbox timeout=30000",
//       "dump",
//       "click id=1",
//       "exit",
//   });
//   ASSERT_TRUE(run.Ok()) << run.Describe();
//   EXPECT_EQ(run.Dump(0).icon, "error");
//   EXPECT_EQ(run.ExitCode(), 0);
#pragma once
#include <map>
#include <string>
#include <vector>

namespace wine {

// One line of the driver's report: its kind ("window", "control", "exit", ...), the script
// line that produced it with that line's command word, and its fields (texts in Windows-1252).
struct Observation {
    std::string kind;
    int line = 0;
    std::string command;
    std::map<std::string, std::string> fields;

    bool Has(const std::string& key) const { return fields.count(key) != 0; }
    std::string Get(const std::string& key) const;  // "" when absent
    long Number(const std::string& key) const;      // decimal or 0x-hex; -1 when absent
};

struct Rect {
    long left = 0, top = 0, right = 0, bottom = 0;
    long Width() const { return right - left; }
    long Height() const { return bottom - top; }
};

struct Control {
    std::string hwnd;
    int id = 0;
    std::string cls, text;
    unsigned long style = 0;
    bool visible = false, enabled = false;
    Rect rect;         // relative to the parent's client area
    std::string icon;  // icon statics only: none, error, question, warning, information, other
};

struct Window {
    int line = 0;
    std::string command;  // the script command that reported it: wait, list or dump
    std::string hwnd, cls, kind, caption, owner;  // owner "0x0" when there is none
    unsigned long style = 0;
    bool visible = false, enabled = false;
    Rect rect;  // on the screen
    // message boxes, from dump: the text, the icon, the visible buttons and the default one
    std::string text, icon;
    std::vector<int> buttons;
    int defaultButton = 0;
    std::vector<Control> controls;  // from dump

    const Control* FindControl(int id) const;  // nullptr when absent
};

struct DriverRun {
    std::vector<std::string> script;
    int status = -1;  // the driver's exit status: 0 when every command succeeded
    bool timedOut = false;
    std::string output, diagnostics;  // its standard output and standard error
    std::vector<Observation> observations;

    bool Ok() const;            // status 0, no error reported
    std::string Error() const;  // the error line's message, if any
    std::vector<Observation> All(const std::string& kind) const;
    const Observation* First(const std::string& kind) const;
    std::vector<Window> Windows() const;  // every window reported, in order
    std::vector<Window> Dumps() const;    // the windows reported by dump, with their controls
    Window Dump(size_t index) const;      // one of them by value (empty when there is none)
    int ExitCode() const;                 // from the exit command; -1 when not reported
    std::string Describe() const;         // script and report, for failure messages
};

struct ProgramRun {
    int status = -1;
    bool timedOut = false;
    std::string out, err;
};

class Session {
public:
    // The process's session, set up on first use. Throws nothing: a failure to set up ends
    // the test process with a message, since no Wine test can run without it.
    static Session& Get();

    // Z:\... form of an absolute Linux path, still in UTF-8 as Run() wants its arguments.
    // A driver script is read in the ANSI code page: put such a path through Ansi() first
    // when it may hold other than ASCII characters.
    std::string WinPath(const std::string& linuxPath) const;

    // Runs the driver with these script lines and parses its report.
    DriverRun Drive(const std::vector<std::string>& script, int timeoutSeconds = 120);

    // Runs a Windows program (its Linux path) with arguments; standard output is captured.
    ProgramRun Run(const std::string& exe, const std::vector<std::string>& args,
                   int timeoutSeconds = 60);

    // Makes Wine report an older Windows version ("win95", "win31", ...) to programs of this
    // file name (e.g. "sfxstub.exe"); an empty version removes the setting again.
    void SetWindowsVersion(const std::string& exeName, const std::string& version);

    // A fresh, empty folder below build/wine/work.
    std::string WorkDir(const std::string& name) const;

    // Converts a BMP screenshot into a PNG file; false on failure.
    bool ToPng(const std::string& bmp, const std::string& png) const;

    // Ends every Wine process of the prefix (the next program starts a fresh wineserver).
    void KillAll();

    const std::string& Root() const { return root_; }      // build/wine
    const std::string& Prefix() const { return prefix_; }  // the WINEPREFIX
    std::string Display() const { return ":" + std::to_string(display_); }

    ~Session();

private:
    Session();
    void StartDisplay();
    void EnsurePrefix();
    void ResetPrefixState();
    void StartServer();
    ProgramRun Exec(const std::vector<std::string>& argv, int timeoutSeconds);
    std::vector<std::string> Environment() const;

    std::string root_, prefix_;
    int lockFd_ = -1;
    int xvfbPid_ = -1;
    int display_ = -1;
    int scripts_ = 0;
};

// The observations in the driver's report; `script` names the command of each line.
std::vector<Observation> ParseReport(const std::string& output,
                                     const std::vector<std::string>& script);

// A script value in double quotes, with the driver's escapes.
std::string Quote(const std::string& raw);

// UTF-8 text in Windows-1252, as the programs show it (characters outside 1252 become '?').
std::string Ansi(const std::string& utf8);

// The driver, the test programs and the stub of the Windows tree.
std::string TestProgram(const std::string& name);  // build/win/testprogs/NAME.exe
std::string Stub();                                 // build/win/sfxstub.exe

}  // namespace wine
