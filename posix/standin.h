// What tests (and mksfx) can script and observe of the stand-in: message-box answers and
// the boxes shown, the message queue, the dialog's controls, the host version, and failures
// injected into allocations, reads and writes.
#pragma once
#include <string>
#include <vector>
#include "posix/windows.h"

struct ShownMessageBox {
    HWND owner;
    std::string text;      // as the program passed it (Windows-1252)
    std::string caption;
    UINT type;
    int purpose = -1;      // the program's BoxPurpose; -1 for a plain MessageBoxA
};

// Answers a message box; the default answers IDOK to OK boxes, IDNO to every question.
typedef int (*MessageBoxAnswer)(const ShownMessageBox& box, void* context);

namespace standin {

void Reset();  // back to defaults: no boxes, empty queue, no injected failures

void SetMessageBoxAnswer(MessageBoxAnswer answer, void* context);
void AnswerAll(int answer);                        // every box gets this answer
const std::vector<ShownMessageBox>& MessageBoxes();

void PostInput(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
size_t QueuedMessages();
LPCSTR CurrentCursor();                            // the standard cursor last set, or none
typedef void (*DispatchHook)(const MSG& msg, void* context);
void SetDispatchHook(DispatchHook hook, void* context);

// The dialog's controls: the stand-in keeps the last text of each and every message sent.
HWND FakeDialog();                                 // a window handle that stands for the dialog
HWND FakeControl(int id);                          // its control of that id (parent: FakeDialog)
std::string ControlText(int id);
struct SentMessage { int id; UINT message; WPARAM wParam; LPARAM lParam; };
const std::vector<SentMessage>& SentMessages();
int Invalidations(int id);

void SetVersion(DWORD version);
void SetUiLanguage(LANGID language);                // GetUserDefaultUILanguage
void SetModulePath(const std::string& path);       // GetModuleFileNameA(0) and the loaded module
void SetCommandLine(const std::string& line);
void SetTempPath(const std::string& path);         // GetTempPathA (a trailing '/' is added)
void SetWindowsPath(const std::string& path);      // GetWindowsDirectoryA

// Failure injection: the n-th call from now (1 = the next) fails; 0 turns it off.
void FailAllocation(int n);
void FailRead(int n);                              // that read fails (HFILE_ERROR)
void LimitWrites(long long bytes);                 // writes stop after this many bytes; -1 = off
long long LiveBlocks();                            // blocks allocated and not yet freed
long long ReadCalls();                             // _lread calls since Reset
std::vector<UINT> ReadSizes();                     // sizes asked by each _lread since Reset
std::vector<UINT> WriteSizes();                    // sizes asked by each _lwrite since Reset
long long FilesCreated();                          // by CreateFileA, CREATE_NEW or _ALWAYS, since Reset
long long BytesWritten();                          // by _lwrite, since Reset

// Deletes that the hook answers true for fail, as for a file another program holds open.
typedef bool (*DeleteHook)(const std::string& nativePath, void* context);
void SetDeleteHook(DeleteHook hook, void* context);

std::string ToNative(const char* windowsPath);     // backslashes to slashes

}  // namespace standin
