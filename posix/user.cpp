// The user and shell calls of the core on POSIX: message boxes (answered by the scripting
// layer), formatting, the OEM-to-ANSI conversion, the message queue, the dialog's controls as
// records, and the icon probe.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "posix/codepage.h"
#include "posix/scripted.h"

using scripted::S;
using scripted::StandInState;
using scripted::fakeWindows;
using standin::ToNative;

// ---- user: boxes, formatting, code pages, messages, controls --------------------------------

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return StandInMessageBox(-1, owner, text, caption, type);
}

// The formats the program uses: %s %c %d %u %x %X with flags '-' and '0', a width, and 'l'
// (which on this host still means 32 bits, as it does for the program). At most 1024
// characters are stored, as on Windows.
int wvsprintfA(LPSTR buffer, LPCSTR format, va_list args) {
    const int limit = 1024;
    int n = 0;
    auto put = [&](char c) {
        if (n < limit) buffer[n++] = c;
    };
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            put(*f);
            continue;
        }
        ++f;
        bool left = false, zero = false;
        for (;; ++f) {
            if (*f == '-') left = true;
            else if (*f == '0') zero = true;
            else break;
        }
        int width = 0;
        while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        if (*f == 'l' || *f == 'h') ++f;
        char digits[40];
        const char* text = digits;
        int len = 0;
        switch (*f) {
            case 's': {
                text = va_arg(args, const char*);
                if (!text) text = "(null)";
                len = (int)strlen(text);
                break;
            }
            case 'c': digits[0] = (char)va_arg(args, int); len = 1; break;
            case 'd': len = snprintf(digits, sizeof digits, "%d", va_arg(args, int)); break;
            case 'u': len = snprintf(digits, sizeof digits, "%u", va_arg(args, unsigned)); break;
            case 'x': len = snprintf(digits, sizeof digits, "%x", va_arg(args, unsigned)); break;
            case 'X': len = snprintf(digits, sizeof digits, "%X", va_arg(args, unsigned)); break;
            case '%': digits[0] = '%'; len = 1; break;
            case 0: --f; continue;
            default: digits[0] = *f; len = 1; break;
        }
        int pad = width > len ? width - len : 0;
        if (!left)
            for (int i = 0; i < pad; ++i) put(zero && *f != 's' ? '0' : ' ');
        for (int i = 0; i < len; ++i) put(text[i]);
        if (left)
            for (int i = 0; i < pad; ++i) put(' ');
    }
    buffer[n] = 0;
    return n;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(buffer, format, args);
    va_end(args);
    return n;
}

BOOL OemToCharBuffA(LPCSTR src, LPSTR dest, DWORD length) {
    for (DWORD i = 0; i < length; ++i) dest[i] = (char)oemToAnsi[(unsigned char)src[i]];
    return TRUE;
}

BOOL PeekMessageA(MSG* msg, HWND, UINT, UINT, UINT remove) {
    StandInState& s = S();
    if (s.queue.empty()) return FALSE;
    *msg = s.queue.front();
    if (remove & PM_REMOVE) s.queue.pop_front();
    return TRUE;
}
// A key with a character (a letter or a digit; no shift state here): its WM_CHAR (WM_SYSCHAR
// with Alt held) is posted, to be read next, as the platform does.
BOOL TranslateMessage(const MSG* msg) {
    WPARAM key = msg->wParam;
    bool down = msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
    if (!down || !((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z'))) return FALSE;
    MSG c = *msg;
    c.message = msg->message == WM_KEYDOWN ? WM_CHAR : WM_SYSCHAR;
    c.wParam = key >= 'A' ? key + 32 : key;
    S().queue.push_front(c);
    return TRUE;
}
LRESULT DispatchMessageA(const MSG* msg) {
    if (S().dispatch) S().dispatch(*msg, S().dispatchContext);
    return 0;
}

HWND GetParent(HWND window) {
    char* w = (char*)window;
    if (w > fakeWindows && w < fakeWindows + sizeof fakeWindows) return fakeWindows;
    return nullptr;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) { return (HCURSOR)name; }
HCURSOR SetCursor(HCURSOR cursor) {
    HCURSOR previous = S().cursor;
    S().cursor = cursor;
    return previous;
}

HWND GetDlgItem(HWND dialog, int id) { return dialog ? standin::FakeControl(id) : nullptr; }

BOOL SetDlgItemTextA(HWND, int id, LPCSTR text) {
    S().controlTexts[id] = text ? text : "";
    return TRUE;
}

LRESULT SendDlgItemMessageA(HWND, int id, UINT message, WPARAM wParam, LPARAM lParam) {
    S().sent.push_back({id, message, wParam, lParam});
    return 0;
}

static int IdOf(HWND window) {
    char* w = (char*)window;
    if (w > fakeWindows && w < fakeWindows + sizeof fakeWindows) return (int)(w - fakeWindows - 1);
    return 0;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    S().sent.push_back({IdOf(window), message, wParam, lParam});
    return 0;
}

BOOL InvalidateRect(HWND window, const RECT*, BOOL) {
    S().invalidations[IdOf(window)]++;
    return TRUE;
}

BOOL DestroyIcon(HICON icon) {
    free(icon);
    return TRUE;
}

HANDLE LoadImageA(HINSTANCE, LPCSTR, UINT, int, int, UINT) { return nullptr; }
int GetSystemMetrics(int index) { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }

// ---- shell ----------------------------------------------------------------------------------

// Reads the first image of an icon file: 0 when the file holds no icon, 1 when it is no icon
// file at all; otherwise a heap record standing for the icon.
HICON ExtractIconA(HINSTANCE, LPCSTR file, UINT index) {
    int fd = open(ToNative(file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return (HICON)1;
    unsigned char header[6];
    ssize_t n = read(fd, header, sizeof header);
    close(fd);
    if (n != 6 || header[0] || header[1] || header[2] != 1 || header[3]) return (HICON)1;
    unsigned count = header[4] | (header[5] << 8);
    if (index >= count) return nullptr;
    return (HICON)calloc(1, 16);
}
