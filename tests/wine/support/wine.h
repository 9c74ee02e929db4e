// Runs the real stub and test programs under Wine for the end-to-end tests. One Xvfb display
// and one wineserver for the prefix build/wine/prefix (tests/wine/session.sh) serve every test
// of a run; test processes take turns through a lock on build/wine/lock. The locale is
// de_DE.UTF-8: ANSI code page 1252, OEM code page 850.
//
// Programs are driven by windriver.exe (tests/windows/windriver.c: its script commands and its
// report). Message boxes label their buttons in German: press them by id (IDOK 1, IDCANCEL 2,
// IDYES 6, IDNO 7). Drive() turns on Wine's relay trace, which tells the style (icon) each
// message box was asked for and the icon taken from the configuration.
//
//   wine::Package p = wine::Pack("name", {{"probe.exe", "@probe"}}, {"--command", "probe.exe"});
//   wine::DriverRun run = wine::Wine().Drive({
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

// One line of the driver's report: its kind and fields (texts in Windows-1252).
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
    // message boxes, from dump; type and icon (none, error, question, ...) from the trace
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
    Window Dump(size_t index) const;      // the index-th one reported by dump (empty if none)
    std::vector<long> Codes() const;      // of the "ran" lines
    int ExitCode() const;                 // from the exit command; -1 when not reported
    unsigned long ConfiguredIcon() const; // the dialog icon LoadImageA (or ExtractIcon) gave; 0: none
    std::string Describe() const;         // script and report, for failure messages
};

using ProgramRun = sfxtest::RunResult;

class Session {
public:
    static Session& Get();  // set up on first use; a failure to set up ends the process

    // Z:\... form of an absolute Linux path, in UTF-8 (scripts are read in the ANSI code page).
    std::string WinPath(const std::string& linuxPath) const;
    // A "setenv TZ=ZONE" line of the script also sets the time zone of the driver's process.
    DriverRun Drive(std::vector<std::string> script, int timeoutSeconds = 120);
    // A Windows program (its Linux path) with arguments; standard output is captured.
    ProgramRun Run(const std::string& exe, const std::vector<std::string>& args,
                   int timeoutSeconds = 60);
    std::string WorkDir(const std::string& name) const;  // a fresh folder below build/wine/work
    const std::string& Prefix() const { return prefix_; }  // the WINEPREFIX
    ~Session();

private:
    Session();
    void Restart();  // after a timeout: ends every Wine process of the prefix
    ProgramRun Exec(const std::vector<std::string>& argv, int timeoutSeconds,
                    const std::vector<std::string>& extraEnv = {});

    std::string root_, prefix_, display_;
    int lockFd_ = -1;
    bool ownSession_ = false;
    int scripts_ = 0;
};

inline Session& Wine() { return Session::Get(); }

std::string Quote(const std::string& raw);  // a script value: in double quotes, \ and " escaped
std::string Ansi(const std::string& utf8);  // in Windows-1252 (all of it must be), as programs show it
std::string TestProgram(const std::string& name);  // build/win/testprogs/NAME.exe
std::string Stub();                                 // build/win/sfxstub.exe
std::string SolidStub();                            // build/win/sfxstub-solid.exe
std::string MksfxExe();                             // build/win/bin/mksfx.exe

// Runs `mksfx ARGS` and `mksfx.exe ARGS` under Wine, each argument that is an absolute Linux
// path given to mksfx.exe as its Z:\ path: both must end with the same exit code and say the
// same on standard output and error, those paths aside. For `extract` (whose folder must not
// exist) both trees must hold the same files with the same contents. Answers the Linux run.
sfxtest::RunResult ExpectMksfxExeAgrees(const std::vector<std::string>& args);

// ---- scenarios: packages of the real stub and the prefix's folders (Linux paths) ----------

std::string UnixPath(const std::string& windows);  // of a C:\ or Z:\ path
// The user's folder for temporary files, the Windows folder, and where the stub extracts
// to when nothing is in the way.
std::string TempFolder();
std::string WindowsFolder();
std::string ExtractFolder();
inline bool Exists(const std::string& path) { return sfxtest::FileExists(path); }
void ClearLeftovers();  // empties the temporary folders, removes the fallback folders

// One self-extracting file and the folder it lives in.
struct Package {
    std::string folder, exe;  // exe: the self-extracting file
    std::string Win() const;
    std::string Record() const { return folder + "/record.txt"; }
};

// Packs `files` (name -> contents; "@probe": probe.exe) into folder `name`/`exeName` with
// these mksfx options ("@icon": a small icon file; "@record" in an option: the Windows path of
// Record()), each member with its own fixed time, then ClearLeftovers(). mksfx must succeed.
// The ZIP stub is used unless the options name a stub of their own (--stub).
Package Pack(const std::string& name, const std::map<std::string, std::string>& files,
             const std::vector<std::string>& options, const std::string& exeName = "setup.exe");

// The package made again in the solid form with the solid stub: the same configuration block
// and files (programs in the x86 folder, the others in the LZMA-only one).
void MakeSolid(const Package& p, const std::map<std::string, std::string>& files);

std::string StartLine(const Package& p, const std::string& switches = "");

// The "key=value" lines that probe.exe appends to a record file.
std::multimap<std::string, std::string> ReadRecord(const std::string& path);
std::string Field(const std::multimap<std::string, std::string>& record, const std::string& key);

bool AwaitFile(const std::string& path, double seconds);  // one a program writes at its end
double Seconds();  // monotonic

// The stub's text for a file whose header check fails (UTF-8).
extern const char kHeaderInvalid[];

// The stub's message box with this text (UTF-8), icon, buttons, default button (0: any) and
// caption.
void ExpectBox(const Window& box, const std::string& text, const std::string& icon,
               const std::vector<int>& buttons, int defaultButton = 0,
               const std::string& caption = "Tessly Self-Extractor");

}  // namespace wine
