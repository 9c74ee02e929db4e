#include "tests/support/fresh_state.h"

#include <string.h>

static const StubData pristineStubData = stubData;

void FreshState() {
    sfxtest::ReleaseStubState();
    memset(&state, 0, sizeof state);
    lstrcpyA(state.run.appTitle, APP_TITLE);
    stubData = pristineStubData;
    standin::Reset();
}

void LoadMessages() {
    AllocateDecoderBuffers();
    UnpackMessageTable();
}

std::string Message(int n) {
    if (!state.texts.messageTable) LoadMessages();
    return GetMessageText(n);
}
