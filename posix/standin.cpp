// The test-scripting layer of the POSIX stand-in (posix/standin.h): what tests and mksfx script
// and observe. The calls in kernel.cpp, files.cpp and user.cpp consult its state; the message
// boxes of the program are answered here.
#include "posix/scripted.h"

namespace scripted {

StandInState& S() {
    static StandInState s;
    return s;
}

char fakeWindows[1024];

bool AllocationFails() {
    StandInState& s = S();
    if (s.failAllocation > 0 && --s.failAllocation == 0) return true;
    return false;
}

}  // namespace scripted

using scripted::S;
using scripted::StandInState;
using scripted::fakeWindows;

namespace standin {

void Reset() {
    StandInState& s = S();
    std::string temp = s.tempPath, windows = s.windowsPath;
    long long live = s.liveBlocks;  // blocks outlive a reset
    s = StandInState();
    s.liveBlocks = live;
    s.tempPath = temp;
    s.windowsPath = windows;
}

void SetMessageBoxAnswer(MessageBoxAnswer answer, void* context) {
    S().answer = answer;
    S().answerContext = context;
    S().fixedAnswer = 0;
}
void AnswerAll(int answer) {
    S().answer = nullptr;
    S().fixedAnswer = answer;
}
const std::vector<ShownMessageBox>& MessageBoxes() { return S().boxes; }

void PostInput(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m = {};
    m.hwnd = window;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    S().queue.push_back(m);
}
size_t QueuedMessages() { return S().queue.size(); }
LPCSTR CurrentCursor() { return (LPCSTR)S().cursor; }
void SetDispatchHook(DispatchHook hook, void* context) {
    S().dispatch = hook;
    S().dispatchContext = context;
}

HWND FakeDialog() { return fakeWindows; }
HWND FakeControl(int id) { return fakeWindows + 1 + (id & 1023) % 1023; }
std::string ControlText(int id) { return S().controlTexts[id]; }
const std::vector<SentMessage>& SentMessages() { return S().sent; }
int Invalidations(int id) { return S().invalidations[id]; }

void SetVersion(DWORD version) { S().version = version; }
void SetUiLanguage(LANGID language) { S().uiLanguage = language; }
void SetModulePath(const std::string& path) { S().modulePath = path; }
void SetCommandLine(const std::string& line) { S().commandLine = line; }
void SetTempPath(const std::string& path) { S().tempPath = path; }
void SetWindowsPath(const std::string& path) { S().windowsPath = path; }

void FailAllocation(int n) { S().failAllocation = n; }
void FailRead(int n) { S().failRead = n; }
void LimitWrites(long long bytes) { S().writeLimit = bytes; }
long long LiveBlocks() { return S().liveBlocks; }
long long ReadCalls() { return S().reads; }
std::vector<UINT> ReadSizes() { return S().readSizes; }
std::vector<UINT> WriteSizes() { return S().writeSizes; }
long long FilesCreated() { return S().filesCreated; }
long long BytesWritten() { return S().bytesWritten; }

void SetDeleteHook(DeleteHook hook, void* context) {
    S().deleteHook = hook;
    S().deleteContext = context;
}

std::string ToNative(const char* path) {
    std::string p = path ? path : "";
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

}  // namespace standin

// The program's one box procedure hands every box here with its purpose: it is recorded, then
// answered as scripted; by default OK boxes get IDOK and every question IDNO.
int StandInMessageBox(int purpose, HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    StandInState& s = S();
    ShownMessageBox box{owner, text ? text : "", caption ? caption : "", type, purpose};
    s.boxes.push_back(box);
    if (s.answer) return s.answer(box, s.answerContext);
    if (s.fixedAnswer) return s.fixedAnswer;
    switch (type & 0xF) {
        case MB_OK: return IDOK;
        case MB_OKCANCEL: return IDOK;
        default: return IDNO;
    }
}
