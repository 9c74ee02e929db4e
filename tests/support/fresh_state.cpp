#include "tests/support/fresh_state.h"

#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

const StubData pristineStubData = stubData;

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    chmod(path, 0700);
    return remove(path);
}

}  // namespace

void FreshState() {
    ReleaseResources();
    if (state.messageTable) LocalFree(state.messageTable);
    FreeTextBlocks();
    memset(&state, 0, sizeof state);
    lstrcpyA(state.appTitle, APP_TITLE);
    stubData = pristineStubData;
    standin::Reset();
}

void LoadMessages() {
    BuildCrcTable();
    state.window = (unsigned char*)LocalAlloc(LPTR, WINDOW_ALLOC);
    state.readBuffer = (unsigned char*)LocalAlloc(LPTR, READ_CHUNK);
    UnpackMessageTable();
}

std::string Message(int n) {
    if (!state.messageTable) LoadMessages();
    return GetMessageText(n);
}

ScratchDir::ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessly-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (!mkdtemp(name.data())) abort();
    path_ = name.data();
}

ScratchDir::~ScratchDir() { nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
