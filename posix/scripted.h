// The state that the test-scripting layer (posix/standin.h, standin.cpp) keeps and that the
// POSIX calls consult: scripted answers and input, injected failures, the host's identity, and
// what the calls record for the tests to observe. Internal to posix/.
#pragma once
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "posix/standin.h"

namespace scripted {

struct StandInState {
    std::vector<ShownMessageBox> boxes;
    MessageBoxAnswer answer = nullptr;
    void* answerContext = nullptr;
    int fixedAnswer = 0;
    std::deque<MSG> queue;
    HCURSOR cursor = nullptr;
    // The files this process holds open without letting them be deleted: device and inode
    // by descriptor.
    std::map<int, std::pair<unsigned long long, unsigned long long>> heldOpen;
    standin::DispatchHook dispatch = nullptr;
    void* dispatchContext = nullptr;
    std::map<int, std::string> controlTexts;
    std::vector<standin::SentMessage> sent;
    std::map<int, int> invalidations;
    DWORD version = 0x0A280105;  // 5.1: neither of the old hosts
    LANGID uiLanguage = 0x0407;  // German (Germany), as the Wine harness runs
    std::string modulePath = "/nonexistent/sfxstub.exe";
    std::string commandLine = "sfxstub.exe";
    std::string tempPath;
    std::string windowsPath = "/tmp";
    int failAllocation = 0;
    long long liveBlocks = 0;
    int failRead = 0;
    long long writeLimit = -1;
    long long reads = 0;
    std::vector<UINT> readSizes;
    std::vector<UINT> writeSizes;
    long long filesCreated = 0;
    long long bytesWritten = 0;
    standin::DeleteHook deleteHook = nullptr;
    void* deleteContext = nullptr;
};

StandInState& S();

// A window handle is an address inside this array: 0 is the dialog, id+1 a control.
extern char fakeWindows[1024];

// True when this allocation is the one a test asked to fail.
bool AllocationFails();

}  // namespace scripted
