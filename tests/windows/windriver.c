/* windriver: drives a Windows program for the end-to-end tests and reports what it sees.
 *
 *   windriver SCRIPT
 *
 * The script holds one command per line; blank lines and lines starting with '#' are
 * skipped. A command is a word followed by arguments: KEY=VALUE, KEY~=VALUE (substring
 * match) or a bare VALUE. A value is either a run of non-blank bytes or a double-quoted
 * string with the escapes \\ \" \n \r \t \xHH. Numbers may be decimal or 0x-hexadecimal.
 *
 * Every observation is one line on standard output: a kind, then TAB-separated KEY=VALUE
 * fields, the first being line=N (the script line that produced it). Values escape
 * backslash, TAB, CR, LF and other control bytes the same way; other bytes are written
 * as they are (texts are in the ANSI code page). A failed command prints an "error" line,
 * ends the started program and makes windriver exit with code 1.
 *
 * Commands:
 *   cd PATH                      working folder for the next start
 *   start CMDLINE [utf8=1]       start a program (CreateProcess): started pid=N; with utf8=1
 *                                the command line and the working folder are UTF-8 and
 *                                may hold any character
 *   hold PATH [access=N] [share=N]  open a file (CreateFile, by default for reading with no
 *                                sharing) and keep it open until the end: held
 *   wait [timeout=MS] FILTERS    wait for a visible top-level window and make it current
 *        FILTERS: class= caption= caption~= text~= (text of any child) kind=msgbox|dialog
 *                 owner=none|current|0xHWND (current: owned by the current window)
 *                 any=1 (windows of every process, not only ours)
 *   list                         one "window" line per visible top-level window of ours
 *   dump                         the current window and one "control" line per child
 *   wait_text id=N text=|text~= [timeout=MS]  wait until a control shows a text
 *   click id=N|text=T|text~=T [via=bm|command|mouse]   press a button (posted, so a
 *                                long command handler does not block the driver)
 *   send|post [id=N] msg=N [wparam=N] [lparam=N]   to the current window or its control;
 *                                send prints: result value=N
 *   key vk=N [id=N]              post WM_KEYDOWN/WM_KEYUP to a control or the focus
 *   input keys=K[,K...]          synthesised keyboard input to the current window, e.g.
 *                                keys=enter, keys=alt+f4, keys=esc, keys=tab
 *   close                        system close (WM_SYSCOMMAND SC_CLOSE) to the current window
 *   gone [timeout=MS]            wait until the current window is destroyed or hidden
 *   running                      running value=0|1
 *   exit [timeout=MS] [watch=1]  wait for the program to end: exit code=N; with watch=1 the
 *                                first window it shows meanwhile is reported
 *   kill                         terminate the program
 *   shot file=PATH [screen=1]    save the current window (or the screen) as a BMP file
 *   sleep ms=N
 *   run CMDLINE [timeout=MS]     run a helper program to its end (not the program under
 *                                test): ran code=N
 *   setenv [utf8=1] NAME=VALUE...  set variables for the programs started after it (with
 *                                utf8=1 the values are UTF-8)
 */
#include <windows.h>
#include <ctype.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_TIMEOUT 10000
#define MAX_ARGS 16
#define MAX_WINDOWS 256
#define TEXT_MAX 4096
#define MSGBOX_TEXT_ID 0xFFFF

typedef struct {
    char *key; /* "" for a bare value */
    int substring; /* written as KEY~=VALUE */
    char *value;
} Arg;

typedef struct {
    char *name;
    int count;
    Arg args[MAX_ARGS];
} Command;

static PROCESS_INFORMATION child;
static int childStarted;
static char workFolder[MAX_PATH];
static HWND current;
static int lineNo;

/* ---- output ---- */

static void PutEscaped(const char *s)
{
    for (; *s; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c == '\\') fputs("\\\\", stdout);
        else if (c == '\t') fputs("\\t", stdout);
        else if (c == '\n') fputs("\\n", stdout);
        else if (c == '\r') fputs("\\r", stdout);
        else if (c < 0x20 || c == 0x7F) printf("\\x%02X", c);
        else putchar(c);
    }
}

static void Begin(const char *kind)
{
    printf("%s\tline=%d", kind, lineNo);
}

static void Field(const char *key, const char *value)
{
    printf("\t%s=", key);
    PutEscaped(value);
}

static void FieldInt(const char *key, long value)
{
    printf("\t%s=%ld", key, value);
}

static void FieldHex(const char *key, unsigned long value)
{
    printf("\t%s=0x%lX", key, value);
}

static void FieldRect(const char *key, const RECT *r)
{
    printf("\t%s=%ld,%ld,%ld,%ld", key, r->left, r->top, r->right, r->bottom);
}

static void End(void)
{
    putchar('\n');
    fflush(stdout);
}

/* Reports the failure, ends the started program so that nothing is left behind, exits. */
static void Fail(const char *fmt, const char *detail)
{
    char text[600];
    _snprintf(text, sizeof text, fmt, detail ? detail : "");
    text[sizeof text - 1] = 0;
    Begin("error");
    Field("message", text);
    End();
    if (childStarted && WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(child.hProcess, 255);
    exit(1);
}

/* ---- script parsing ---- */

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Reads one value at *p (quoted or plain), unescaping in place; returns its start. */
static char *ParseValue(char **p)
{
    char *s = *p, *out, *start;
    if (*s != '"') {
        start = s;
        while (*s && *s != ' ' && *s != '\t') ++s;
        if (*s) *s++ = 0;
        *p = s;
        return start;
    }
    start = out = ++s;
    while (*s && *s != '"') {
        if (*s == '\\' && s[1]) {
            ++s;
            switch (*s) {
            case 'n': *out++ = '\n'; break;
            case 'r': *out++ = '\r'; break;
            case 't': *out++ = '\t'; break;
            case 'x':
                if (HexDigit(s[1]) >= 0 && HexDigit(s[2]) >= 0) {
                    *out++ = (char)(HexDigit(s[1]) * 16 + HexDigit(s[2]));
                    s += 2;
                } else {
                    *out++ = 'x';
                }
                break;
            default: *out++ = *s; break;
            }
            ++s;
        } else {
            *out++ = *s++;
        }
    }
    if (*s != '"') Fail("unterminated quoted value", NULL);
    ++s;
    *out = 0;
    *p = s;
    return start;
}

static int ParseCommand(char *line, Command *cmd)
{
    char *p = line;
    memset(cmd, 0, sizeof *cmd);
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p || *p == '#') return 0;
    cmd->name = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    if (*p) *p++ = 0;
    for (;;) {
        Arg *a;
        char *k;
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        if (cmd->count == MAX_ARGS) Fail("too many arguments", NULL);
        a = &cmd->args[cmd->count++];
        a->key = "";
        if (*p != '"') {
            /* KEY=VALUE or KEY~=VALUE; a word without '=' is a bare value */
            for (k = p; *k && *k != ' ' && *k != '\t' && *k != '='; ++k) {}
            if (*k == '=') {
                a->key = p;
                if (k > p && k[-1] == '~') {
                    a->substring = 1;
                    k[-1] = 0;
                }
                *k = 0;
                p = k + 1;
            }
        }
        a->value = ParseValue(&p);
    }
    return 1;
}

static const Arg *FindArg(const Command *cmd, const char *key)
{
    int i;
    for (i = 0; i < cmd->count; ++i)
        if (!strcmp(cmd->args[i].key, key)) return &cmd->args[i];
    return NULL;
}

static const char *ArgText(const Command *cmd, const char *key)
{
    const Arg *a = FindArg(cmd, key);
    return a ? a->value : NULL;
}

static long ArgNumber(const Command *cmd, const char *key, long fallback)
{
    const Arg *a = FindArg(cmd, key);
    char *end;
    long v;
    if (!a) return fallback;
    v = (long)strtoul(a->value, &end, 0);
    if (*end || !*a->value) Fail("not a number: %s", a->value);
    return v;
}

static const char *BareValue(const Command *cmd)
{
    return cmd->count > 0 && !*cmd->args[0].key ? cmd->args[0].value : NULL;
}

/* ---- windows ---- */

typedef struct {
    HWND list[MAX_WINDOWS];
    int count;
    int anyProcess;
} WindowList;

static BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM param)
{
    WindowList *w = (WindowList *)param;
    DWORD pid = 0;
    if (!IsWindowVisible(hwnd)) return TRUE;
    GetWindowThreadProcessId(hwnd, &pid);
    if (!w->anyProcess && (!childStarted || pid != child.dwProcessId)) return TRUE;
    if (w->count < MAX_WINDOWS) w->list[w->count++] = hwnd;
    return TRUE;
}

static BOOL CALLBACK CollectChild(HWND hwnd, LPARAM param)
{
    WindowList *w = (WindowList *)param;
    if (w->count < MAX_WINDOWS) w->list[w->count++] = hwnd;
    return TRUE;
}

static void Children(HWND parent, WindowList *w)
{
    w->count = 0;
    EnumChildWindows(parent, CollectChild, (LPARAM)w);
}

static void TextOf(HWND hwnd, char *buf, int size)
{
    buf[0] = 0;
    /* For a window of another process the text comes from the system, without a message,
       so a program busy in a long command handler does not stall the driver. */
    GetWindowTextA(hwnd, buf, size);
}

static int IsMessageBox(HWND hwnd)
{
    char cls[64];
    HWND text;
    GetClassNameA(hwnd, cls, sizeof cls);
    if (strcmp(cls, "#32770")) return 0;
    text = GetDlgItem(hwnd, MSGBOX_TEXT_ID);
    if (!text) return 0;
    GetClassNameA(text, cls, sizeof cls);
    return !lstrcmpiA(cls, "Static");
}

static int AnyChildTextContains(HWND hwnd, const char *needle)
{
    WindowList kids;
    static char text[TEXT_MAX];
    int i;
    Children(hwnd, &kids);
    for (i = 0; i < kids.count; ++i) {
        TextOf(kids.list[i], text, sizeof text);
        if (strstr(text, needle)) return 1;
    }
    return 0;
}

static int Matches(HWND hwnd, const Command *cmd)
{
    static char text[TEXT_MAX];
    int i;
    for (i = 0; i < cmd->count; ++i) {
        const Arg *a = &cmd->args[i];
        if (!strcmp(a->key, "class")) {
            GetClassNameA(hwnd, text, sizeof text);
            if (lstrcmpiA(text, a->value)) return 0;
        } else if (!strcmp(a->key, "caption")) {
            TextOf(hwnd, text, sizeof text);
            if (a->substring ? !strstr(text, a->value) : strcmp(text, a->value)) return 0;
        } else if (!strcmp(a->key, "text")) {
            if (!AnyChildTextContains(hwnd, a->value)) return 0;
        } else if (!strcmp(a->key, "kind")) {
            int box = IsMessageBox(hwnd);
            if ((strcmp(a->value, "msgbox") == 0) != (box != 0)) return 0;
        } else if (!strcmp(a->key, "owner")) {
            HWND owner = GetWindow(hwnd, GW_OWNER);
            if (!strcmp(a->value, "none") && owner) return 0;
            if (!strcmp(a->value, "current") && owner != current) return 0;
            if (!strncmp(a->value, "0x", 2) && owner != (HWND)(ULONG_PTR)strtoul(a->value, NULL, 16))
                return 0;
        }
    }
    return 1;
}

/* ---- icons ---- */

typedef struct {
    const char *name;
    LPCSTR id;
} KnownIcon;

static const KnownIcon knownIcons[] = {
    {"error", IDI_HAND},           {"question", IDI_QUESTION}, {"warning", IDI_EXCLAMATION},
    {"information", IDI_ASTERISK}, {"application", IDI_APPLICATION}, {"winlogo", IDI_WINLOGO},
};

/* Copies a screen rectangle into 32-bit pixels (top-down); returns NULL on failure. */
static DWORD *CaptureScreen(const RECT *r, HBITMAP *bitmap, HDC *memory)
{
    BITMAPINFO bi;
    void *bits = NULL;
    HDC screen = GetDC(NULL);
    int w = r->right - r->left, h = r->bottom - r->top;
    memset(&bi, 0, sizeof bi);
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    *memory = CreateCompatibleDC(screen);
    *bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (!*memory || !*bitmap || !bits) {
        ReleaseDC(NULL, screen);
        return NULL;
    }
    SelectObject(*memory, *bitmap);
    BitBlt(*memory, 0, 0, w, h, screen, r->left, r->top, SRCCOPY);
    GdiFlush();
    ReleaseDC(NULL, screen);
    return (DWORD *)bits;
}

/* Share of pixels that differ between the captured picture and the icon drawn over the
   picture's background colour (taken from its top-left corner, which icons leave clear). */
static double IconDistance(HDC memory, DWORD *bits, const DWORD *captured, int w, int h,
                           HICON icon, int cx, int cy)
{
    int i, changed = 0;
    for (i = 0; i < w * h; ++i) bits[i] = captured[0];
    DrawIconEx(memory, 0, 0, icon, cx, cy, 0, NULL, DI_NORMAL);
    GdiFlush();
    for (i = 0; i < w * h; ++i) {
        DWORD a = bits[i], b = captured[i];
        int d0 = (int)(a & 0xFF) - (int)(b & 0xFF);
        int d1 = (int)((a >> 8) & 0xFF) - (int)((b >> 8) & 0xFF);
        int d2 = (int)((a >> 16) & 0xFF) - (int)((b >> 16) & 0xFF);
        if (abs(d0) > 24 || abs(d1) > 24 || abs(d2) > 24) ++changed;
    }
    return (double)changed / (w * h);
}

/* Tells which standard icon an icon static shows by comparing its pixels on the screen
   with the icons drawn here: an icon handle of another process cannot be read directly. */
static const char *IdentifyIcon(HWND control)
{
    HICON shown = NULL;
    DWORD_PTR result = 0;
    RECT r;
    int attempt;
    if (!IsWindowVisible(control)) return "none";
    if (SendMessageTimeoutA(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &result))
        shown = (HICON)result;
    if (!shown) return "none";
    GetWindowRect(control, &r);
    if (r.right <= r.left || r.bottom <= r.top) return "none";
    for (attempt = 0; attempt < 8; ++attempt) {
        HBITMAP bitmap;
        HDC memory;
        DWORD *bits = CaptureScreen(&r, &bitmap, &memory);
        int w = r.right - r.left, h = r.bottom - r.top, k;
        const char *best = NULL;
        double bestDistance = 1.0;
        if (bits) {
            DWORD *captured = (DWORD *)malloc((size_t)w * h * 4);
            memcpy(captured, bits, (size_t)w * h * 4);
            for (k = 0; k < (int)(sizeof knownIcons / sizeof knownIcons[0]); ++k) {
                HICON icon = LoadIconA(NULL, knownIcons[k].id);
                double natural = IconDistance(memory, bits, captured, w, h, icon, 0, 0);
                double stretched = IconDistance(memory, bits, captured, w, h, icon, w, h);
                double d = natural < stretched ? natural : stretched;
                if (d < bestDistance) {
                    bestDistance = d;
                    best = knownIcons[k].name;
                }
            }
            free(captured);
        }
        if (memory) DeleteDC(memory);
        if (bitmap) DeleteObject(bitmap);
        if (best && bestDistance < 0.02) return best;
        Sleep(100); /* perhaps not painted yet */
    }
    return "other";
}

/* ---- observations ---- */

static void HwndField(const char *key, HWND hwnd)
{
    FieldHex(key, (unsigned long)(ULONG_PTR)hwnd);
}

static void WindowLine(HWND hwnd, int detailed)
{
    static char text[TEXT_MAX];
    RECT r;
    DWORD pid = 0;
    int box = IsMessageBox(hwnd);
    Begin("window");
    HwndField("hwnd", hwnd);
    GetWindowThreadProcessId(hwnd, &pid);
    FieldInt("pid", (long)pid);
    GetClassNameA(hwnd, text, sizeof text);
    Field("class", text);
    Field("kind", box ? "msgbox" : !strcmp(text, "#32770") ? "dialog" : "window");
    TextOf(hwnd, text, sizeof text);
    Field("caption", text);
    FieldHex("style", (unsigned long)GetWindowLongA(hwnd, GWL_STYLE));
    FieldInt("visible", IsWindowVisible(hwnd) ? 1 : 0);
    FieldInt("enabled", IsWindowEnabled(hwnd) ? 1 : 0);
    GetWindowRect(hwnd, &r);
    FieldRect("rect", &r);
    HwndField("owner", GetWindow(hwnd, GW_OWNER));
    if (box && detailed) {
        /* the message box's own summary: text, icon, visible buttons, default button */
        WindowList kids;
        int i, first = 1, def = 0;
        HWND icon = NULL;
        TextOf(GetDlgItem(hwnd, MSGBOX_TEXT_ID), text, sizeof text);
        Field("text", text);
        Children(hwnd, &kids);
        for (i = 0; i < kids.count; ++i) {
            char cls[64];
            LONG style = GetWindowLongA(kids.list[i], GWL_STYLE);
            GetClassNameA(kids.list[i], cls, sizeof cls);
            if (!lstrcmpiA(cls, "Static") && (style & SS_TYPEMASK) == SS_ICON && !icon)
                icon = kids.list[i];
        }
        Field("icon", icon ? IdentifyIcon(icon) : "none");
        printf("\tbuttons=");
        for (i = 0; i < kids.count; ++i) {
            char cls[64];
            LONG style = GetWindowLongA(kids.list[i], GWL_STYLE);
            GetClassNameA(kids.list[i], cls, sizeof cls);
            if (lstrcmpiA(cls, "Button") || !IsWindowVisible(kids.list[i])) continue;
            printf("%s%d", first ? "" : ",", GetDlgCtrlID(kids.list[i]));
            first = 0;
            if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) def = GetDlgCtrlID(kids.list[i]);
        }
        FieldInt("default", def);
    }
    End();
}

static void ControlLine(HWND parent, HWND hwnd)
{
    static char text[TEXT_MAX];
    char cls[64];
    RECT r;
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    Begin("control");
    HwndField("parent", parent);
    HwndField("hwnd", hwnd);
    FieldInt("id", GetDlgCtrlID(hwnd));
    GetClassNameA(hwnd, cls, sizeof cls);
    Field("class", cls);
    TextOf(hwnd, text, sizeof text);
    Field("text", text);
    FieldHex("style", (unsigned long)style);
    FieldInt("visible", IsWindowVisible(hwnd) ? 1 : 0);
    FieldInt("enabled", IsWindowEnabled(hwnd) ? 1 : 0);
    GetWindowRect(hwnd, &r);
    MapWindowPoints(NULL, parent, (POINT *)&r, 2); /* relative to the parent's client area */
    FieldRect("rect", &r);
    if (!lstrcmpiA(cls, "Static") && (style & SS_TYPEMASK) == SS_ICON)
        Field("icon", IdentifyIcon(hwnd));
    End();
}

static void RequireCurrent(void)
{
    if (!current || !IsWindow(current)) Fail("no current window (use wait first)", NULL);
}

/* A control of the current window by id=, text= or text~= (the window itself if none). */
static HWND Target(const Command *cmd, int required)
{
    const Arg *id = FindArg(cmd, "id"), *text = FindArg(cmd, "text");
    RequireCurrent();
    if (id) {
        HWND h = GetDlgItem(current, (int)ArgNumber(cmd, "id", 0));
        if (!h) Fail("no control with id %s", id->value);
        return h;
    }
    if (text) {
        static char buf[TEXT_MAX];
        WindowList kids;
        int i;
        Children(current, &kids);
        for (i = 0; i < kids.count; ++i) {
            TextOf(kids.list[i], buf, sizeof buf);
            if (text->substring ? strstr(buf, text->value) != NULL : !strcmp(buf, text->value))
                return kids.list[i];
        }
        Fail("no control with text %s", text->value);
    }
    if (required) Fail("which control? (id= or text=)", NULL);
    return current;
}

/* ---- synthesised input ---- */

static void SendKey(WORD vk, int up)
{
    INPUT in;
    memset(&in, 0, sizeof in);
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = (WORD)MapVirtualKeyA(vk, 0);
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &in, sizeof in);
}

static WORD KeyCode(const char *name)
{
    static const struct {
        const char *name;
        WORD vk;
    } keys[] = {{"enter", VK_RETURN}, {"esc", VK_ESCAPE}, {"tab", VK_TAB},   {"space", VK_SPACE},
                {"alt", VK_MENU},     {"ctrl", VK_CONTROL}, {"shift", VK_SHIFT}, {"f4", VK_F4},
                {"left", VK_LEFT},    {"right", VK_RIGHT}};
    int i;
    for (i = 0; i < (int)(sizeof keys / sizeof keys[0]); ++i)
        if (!lstrcmpiA(name, keys[i].name)) return keys[i].vk;
    if (strlen(name) == 1 && isalnum((unsigned char)name[0]))
        return (WORD)toupper((unsigned char)name[0]);
    Fail("unknown key %s", name);
    return 0;
}

/* keys=alt+f4,enter: each chord presses its keys in order and releases them in reverse. */
static void TypeKeys(const char *chords)
{
    char buf[256], *p;
    lstrcpynA(buf, chords, sizeof buf);
    p = buf;
    while (*p) {
        WORD held[8];
        int n = 0, chordEnd = 0;
        while (!chordEnd) {
            char *key = p;
            while (*p && *p != '+' && *p != ',') ++p;
            chordEnd = *p != '+';
            if (*p) *p++ = 0;
            if (n == 8) Fail("too many keys in %s", chords);
            held[n] = KeyCode(key);
            SendKey(held[n++], 0);
            if (!*p) chordEnd = 1;
        }
        while (n > 0) SendKey(held[--n], 1);
        Sleep(50);
    }
}

static void MouseClick(HWND target)
{
    RECT r;
    INPUT in[3];
    int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
    GetWindowRect(target, &r);
    memset(in, 0, sizeof in);
    in[0].type = in[1].type = in[2].type = INPUT_MOUSE;
    in[0].mi.dx = ((r.left + r.right) / 2) * 65535 / (sw - 1);
    in[0].mi.dy = ((r.top + r.bottom) / 2) * 65535 / (sh - 1);
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(3, in, sizeof in[0]);
}

/* ---- screenshots ---- */

static void SaveBitmap(const char *path, const RECT *r)
{
    HBITMAP bitmap;
    HDC memory;
    int w = r->right - r->left, h = r->bottom - r->top, y;
    DWORD *bits;
    FILE *f;
    BITMAPFILEHEADER fh;
    BITMAPINFOHEADER ih;
    int stride = (w * 3 + 3) & ~3;
    unsigned char *row;
    if (w <= 0 || h <= 0) Fail("empty rectangle for %s", path);
    bits = CaptureScreen(r, &bitmap, &memory);
    if (!bits) Fail("cannot capture the screen for %s", path);
    f = fopen(path, "wb");
    if (!f) Fail("cannot write %s", path);
    memset(&fh, 0, sizeof fh);
    memset(&ih, 0, sizeof ih);
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof ih;
    fh.bfSize = fh.bfOffBits + (DWORD)stride * h;
    ih.biSize = sizeof ih;
    ih.biWidth = w;
    ih.biHeight = h; /* bottom-up rows */
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biCompression = BI_RGB;
    ih.biSizeImage = (DWORD)stride * h;
    fwrite(&fh, sizeof fh, 1, f);
    fwrite(&ih, sizeof ih, 1, f);
    row = (unsigned char *)calloc(1, stride);
    for (y = h - 1; y >= 0; --y) {
        int x;
        for (x = 0; x < w; ++x) {
            DWORD p = bits[y * w + x];
            row[x * 3] = (unsigned char)p;
            row[x * 3 + 1] = (unsigned char)(p >> 8);
            row[x * 3 + 2] = (unsigned char)(p >> 16);
        }
        fwrite(row, stride, 1, f);
    }
    free(row);
    fclose(f);
    DeleteDC(memory);
    DeleteObject(bitmap);
}

/* ---- commands ---- */

static void RequireChild(void)
{
    if (!childStarted) Fail("no program started", NULL);
}

static int ChildRunning(void)
{
    return childStarted && WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT;
}

static WCHAR *Utf8ToWide(const char *text, WCHAR *wide, int size)
{
    if (!MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, size)) wide[0] = 0;
    return wide;
}

static void Start(const Command *cmd)
{
    STARTUPINFOA si;
    static char line[2048];
    static WCHAR wideLine[2048], wideFolder[MAX_PATH];
    const char *text = BareValue(cmd);
    const char *utf8 = ArgText(cmd, "utf8");
    BOOL started;
    if (!text) Fail("start needs a command line", NULL);
    if (childStarted) Fail("a program was started already", NULL);
    lstrcpynA(line, text, sizeof line);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (utf8 && strcmp(utf8, "0"))
        started = CreateProcessW(NULL, Utf8ToWide(text, wideLine, 2048), NULL, NULL, FALSE, 0,
                                 NULL, workFolder[0] ? Utf8ToWide(workFolder, wideFolder, MAX_PATH) : NULL,
                                 (STARTUPINFOW *)&si, &child);
    else
        started = CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL,
                                 workFolder[0] ? workFolder : NULL, &si, &child);
    if (!started) Fail("cannot start %s", text);
    childStarted = 1;
    WaitForInputIdle(child.hProcess, 2000);
    Begin("started");
    FieldInt("pid", (long)child.dwProcessId);
    End();
}

static void RunHelper(const Command *cmd)
{
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    DWORD code = 0;
    static char line[2048];
    const char *text = BareValue(cmd);
    if (!text) Fail("run needs a command line", NULL);
    lstrcpynA(line, text, sizeof line);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        Fail("cannot run %s", text);
    CloseHandle(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT)) !=
        WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 255);
        CloseHandle(pi.hProcess);
        Fail("timeout running %s", text);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    Begin("ran");
    FieldInt("code", (long)code);
    End();
}

static void Wait(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT);
    DWORD start = GetTickCount();
    WindowList w;
    const Arg *any = FindArg(cmd, "any");
    for (;;) {
        int i;
        memset(&w, 0, sizeof w);
        w.anyProcess = any && strcmp(any->value, "0");
        if (!w.anyProcess) RequireChild();
        EnumWindows(CollectTopLevel, (LPARAM)&w);
        for (i = 0; i < w.count; ++i) {
            if (!Matches(w.list[i], cmd)) continue;
            current = w.list[i];
            WindowLine(current, 0);
            return;
        }
        if (!w.anyProcess && !ChildRunning()) Fail("the program ended while waiting", NULL);
        if (GetTickCount() - start > timeout) Fail("timeout waiting for a window", NULL);
        Sleep(50);
    }
}

static void WaitText(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT);
    DWORD start = GetTickCount();
    const Arg *want = FindArg(cmd, "text");
    HWND control;
    static char text[TEXT_MAX];
    if (!want || !FindArg(cmd, "id")) Fail("wait_text needs id= and text= or text~=", NULL);
    control = Target(cmd, 1);
    for (;;) {
        TextOf(control, text, sizeof text);
        if (want->substring ? strstr(text, want->value) != NULL : !strcmp(text, want->value)) {
            Begin("text");
            FieldInt("id", GetDlgCtrlID(control));
            Field("value", text);
            End();
            return;
        }
        if (GetTickCount() - start > timeout) Fail("timeout waiting for text; last: %s", text);
        Sleep(20);
    }
}

static void Dump(void)
{
    WindowList kids;
    int i;
    RequireCurrent();
    WindowLine(current, 1);
    Children(current, &kids);
    for (i = 0; i < kids.count; ++i) ControlLine(current, kids.list[i]);
}

static void Click(const Command *cmd)
{
    HWND button = Target(cmd, 1);
    const char *via = ArgText(cmd, "via");
    if (!via || !strcmp(via, "bm")) {
        PostMessageA(button, BM_CLICK, 0, 0);
    } else if (!strcmp(via, "command")) {
        PostMessageA(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                     (LPARAM)button);
    } else if (!strcmp(via, "mouse")) {
        SetForegroundWindow(current);
        MouseClick(button);
    } else {
        Fail("unknown click method %s", via);
    }
    Begin("clicked");
    FieldInt("id", GetDlgCtrlID(button));
    End();
}

static void Message(const Command *cmd, int sending)
{
    HWND target = Target(cmd, 0);
    UINT msg = (UINT)ArgNumber(cmd, "msg", -1);
    WPARAM wp = (WPARAM)ArgNumber(cmd, "wparam", 0);
    LPARAM lp = (LPARAM)ArgNumber(cmd, "lparam", 0);
    DWORD_PTR result = 0;
    if (!FindArg(cmd, "msg")) Fail("msg= is missing", NULL);
    if (!sending) {
        if (!PostMessageA(target, msg, wp, lp)) Fail("post failed", NULL);
        return;
    }
    if (!SendMessageTimeoutA(target, msg, wp, lp, SMTO_NORMAL, 5000, &result))
        Fail("no answer to the message", NULL);
    Begin("result");
    FieldInt("value", (long)result);
    End();
}

static void Key(const Command *cmd)
{
    HWND target;
    LPARAM scan;
    UINT vk = (UINT)ArgNumber(cmd, "vk", -1);
    if (!FindArg(cmd, "vk")) Fail("vk= is missing", NULL);
    if (FindArg(cmd, "id") || FindArg(cmd, "text")) {
        target = Target(cmd, 1);
    } else {
        /* the window that has the keyboard focus in the program's thread */
        GUITHREADINFO gti;
        RequireCurrent();
        memset(&gti, 0, sizeof gti);
        gti.cbSize = sizeof gti;
        GetGUIThreadInfo(GetWindowThreadProcessId(current, NULL), &gti);
        target = gti.hwndFocus ? gti.hwndFocus : current;
    }
    scan = (LPARAM)MapVirtualKeyA(vk, 0) << 16;
    PostMessageA(target, WM_KEYDOWN, vk, scan | 1);
    PostMessageA(target, WM_KEYUP, vk, scan | 1 | 0xC0000000);
}

static void Gone(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT);
    DWORD start = GetTickCount();
    if (!current) Fail("no current window", NULL);
    while (IsWindow(current) && IsWindowVisible(current)) {
        if (GetTickCount() - start > timeout) Fail("timeout waiting for the window to go", NULL);
        Sleep(20);
    }
    Begin("gone");
    HwndField("hwnd", current);
    End();
    current = NULL;
}

static void ExitCode(const Command *cmd)
{
    DWORD code = 0, timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT);
    DWORD start = GetTickCount();
    int watch = ArgNumber(cmd, "watch", 0) != 0;
    RequireChild();
    /* watch=1: the window list is looked at every 20 ms meanwhile, and the first window seen
       is reported */
    while (WaitForSingleObject(child.hProcess, watch ? 20 : timeout) != WAIT_OBJECT_0) {
        WindowList w;
        if (GetTickCount() - start >= timeout) Fail("timeout waiting for the program to end", NULL);
        memset(&w, 0, sizeof w);
        EnumWindows(CollectTopLevel, (LPARAM)&w);
        if (w.count) {
            WindowLine(w.list[0], 0);
            watch = 0;
        }
    }
    GetExitCodeProcess(child.hProcess, &code);
    Begin("exit");
    FieldInt("code", (long)code);
    End();
}

static void Shot(const Command *cmd)
{
    const char *file = ArgText(cmd, "file");
    const char *screen = ArgText(cmd, "screen");
    RECT r;
    if (!file) Fail("file= is missing", NULL);
    if (screen && strcmp(screen, "0")) {
        SetRect(&r, 0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    } else {
        RequireCurrent();
        /* give the program a moment to finish painting */
        Sleep(200);
        GetWindowRect(current, &r);
    }
    SaveBitmap(file, &r);
    Begin("shot");
    Field("file", file);
    FieldInt("width", r.right - r.left);
    FieldInt("height", r.bottom - r.top);
    End();
}

static void Run(const Command *cmd)
{
    const char *n = cmd->name;
    if (!strcmp(n, "cd")) {
        const char *path = BareValue(cmd);
        if (!path) Fail("cd needs a folder", NULL);
        lstrcpynA(workFolder, path, sizeof workFolder);
    } else if (!strcmp(n, "start")) {
        Start(cmd);
    } else if (!strcmp(n, "wait")) {
        Wait(cmd);
    } else if (!strcmp(n, "wait_text")) {
        WaitText(cmd);
    } else if (!strcmp(n, "list")) {
        WindowList w;
        int i;
        RequireChild();
        memset(&w, 0, sizeof w);
        EnumWindows(CollectTopLevel, (LPARAM)&w);
        for (i = 0; i < w.count; ++i) WindowLine(w.list[i], 0);
        Begin("listed");
        FieldInt("count", w.count);
        End();
    } else if (!strcmp(n, "dump")) {
        Dump();
    } else if (!strcmp(n, "click")) {
        Click(cmd);
    } else if (!strcmp(n, "send") || !strcmp(n, "post")) {
        Message(cmd, n[0] == 's');
    } else if (!strcmp(n, "key")) {
        Key(cmd);
    } else if (!strcmp(n, "input")) {
        const char *keys = ArgText(cmd, "keys");
        if (!keys) Fail("keys= is missing", NULL);
        RequireCurrent();
        SetForegroundWindow(current);
        Sleep(50);
        TypeKeys(keys);
    } else if (!strcmp(n, "close")) {
        RequireCurrent();
        PostMessageA(current, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (!strcmp(n, "gone")) {
        Gone(cmd);
    } else if (!strcmp(n, "running")) {
        RequireChild();
        Begin("running");
        FieldInt("value", ChildRunning());
        End();
    } else if (!strcmp(n, "exit")) {
        ExitCode(cmd);
    } else if (!strcmp(n, "kill")) {
        RequireChild();
        TerminateProcess(child.hProcess, 255);
        WaitForSingleObject(child.hProcess, 5000);
    } else if (!strcmp(n, "shot")) {
        Shot(cmd);
    } else if (!strcmp(n, "run")) {
        RunHelper(cmd);
    } else if (!strcmp(n, "setenv")) {
        int i;
        const char *utf8 = ArgText(cmd, "utf8");
        static WCHAR name[256], value[TEXT_MAX];
        for (i = 0; i < cmd->count; ++i) {
            if (!cmd->args[i].key[0] || !strcmp(cmd->args[i].key, "utf8")) continue;
            if (utf8 && strcmp(utf8, "0"))
                SetEnvironmentVariableW(Utf8ToWide(cmd->args[i].key, name, 256),
                                        Utf8ToWide(cmd->args[i].value, value, TEXT_MAX));
            else
                SetEnvironmentVariableA(cmd->args[i].key, cmd->args[i].value);
        }
    } else if (!strcmp(n, "hold")) {
        const char *path = BareValue(cmd);
        HANDLE file;
        if (!path) Fail("hold needs a file", NULL);
        file = CreateFileA(path, (DWORD)ArgNumber(cmd, "access", (long)GENERIC_READ),
                           (DWORD)ArgNumber(cmd, "share", 0), NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) Fail("cannot hold %s", path);
        Begin("held");
        End();
    } else if (!strcmp(n, "sleep")) {
        Sleep((DWORD)ArgNumber(cmd, "ms", 100));
    } else {
        Fail("unknown command %s", n);
    }
}

int main(int argc, char **argv)
{
    FILE *f;
    static char line[8192];
    _setmode(_fileno(stdout), _O_BINARY); /* LF line ends, bytes as they are */
    if (argc != 2) {
        fprintf(stderr, "usage: windriver SCRIPT\n");
        return 2;
    }
    f = fopen(argv[1], "rb");
    if (!f) {
        fprintf(stderr, "windriver: cannot open %s\n", argv[1]);
        return 2;
    }
    while (fgets(line, sizeof line, f)) {
        Command cmd;
        size_t len = strlen(line);
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = 0;
        ++lineNo;
        if (ParseCommand(line, &cmd)) Run(&cmd);
    }
    fclose(f);
    /* a program still running at the end of the script is not left behind */
    if (ChildRunning()) {
        TerminateProcess(child.hProcess, 255);
        Begin("killed");
        End();
    }
    Begin("done");
    End();
    return 0;
}
