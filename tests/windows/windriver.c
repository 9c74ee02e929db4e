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
 *   start CMDLINE [utf8=1]       start a program (CreateProcess): started pid=N; with utf8=1
 *                                the command line is UTF-8 and may hold any character
 *   hold PATH [access=N] [share=N]  open a file (CreateFile, by default for reading with no
 *                                sharing) and keep it open until the end: held
 *   wait [timeout=MS] FILTERS    wait for a visible top-level window and make it current
 *        FILTERS: text~= (text of any child) kind=msgbox|dialog
 *   list                         one "window" line per visible top-level window of ours
 *   dump                         the current window and one "control" line per child
 *   wait_text id=N text=|text~= [timeout=MS]  wait until a control shows a text
 *   click id=N [via=mouse]       press a button (BM_CLICK, posted, so that a
 *                                long command handler does not block the driver)
 *   send [id=N] msg=N [wparam=N] [lparam=N]   to the current window or its control:
 *                                result value=N
 *   key vk=N id=N                post WM_KEYDOWN/WM_KEYUP to a control
 *   input keys=enter             synthesised press of Enter in the current window
 *   close                        system close (WM_SYSCOMMAND SC_CLOSE) to the current window
 *   gone [timeout=MS]            wait until the current window is destroyed or hidden
 *   exit [timeout=MS] [watch=1]  wait for the program to end: exit code=N; with watch=1 the
 *                                first window it shows meanwhile is reported
 *   sleep ms=N
 *   run CMDLINE [timeout=MS] [utf8=1]  run a helper program to its end (not the program
 *                                under test): ran code=N
 *   setenv [utf8=1] NAME=VALUE...  set variables for the programs started after it (with
 *                                utf8=1 the values are UTF-8)
 */
#include <windows.h>
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

static void End(void)
{
    putchar('\n');
    fflush(stdout);
}

/* A whole observation with at most one number (key NULL: none). */
static void Line(const char *kind, const char *key, long value)
{
    Begin(kind);
    if (key) FieldInt(key, value);
    End();
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
} WindowList;

static BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM param)
{
    WindowList *w = (WindowList *)param;
    DWORD pid = 0;
    if (!IsWindowVisible(hwnd)) return TRUE;
    GetWindowThreadProcessId(hwnd, &pid);
    if (!childStarted || pid != child.dwProcessId) return TRUE;
    if (w->count < MAX_WINDOWS) w->list[w->count++] = hwnd;
    return TRUE;
}

static void TopLevel(WindowList *w)
{
    w->count = 0;
    EnumWindows(CollectTopLevel, (LPARAM)w);
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
    int i;
    for (i = 0; i < cmd->count; ++i) {
        const Arg *a = &cmd->args[i];
        if (!strcmp(a->key, "text")) {
            if (!AnyChildTextContains(hwnd, a->value)) return 0;
        } else if (!strcmp(a->key, "kind")) {
            int box = IsMessageBox(hwnd);
            if ((strcmp(a->value, "msgbox") == 0) != (box != 0)) return 0;
        }
    }
    return 1;
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
    int box = IsMessageBox(hwnd);
    Begin("window");
    HwndField("hwnd", hwnd);
    GetClassNameA(hwnd, text, sizeof text);
    Field("kind", box ? "msgbox" : !strcmp(text, "#32770") ? "dialog" : "window");
    TextOf(hwnd, text, sizeof text);
    Field("caption", text);
    GetWindowRect(hwnd, &r);
    printf("\trect=%ld,%ld,%ld,%ld", r.left, r.top, r.right, r.bottom);
    HwndField("owner", GetWindow(hwnd, GW_OWNER));
    if (box && detailed) {
        /* the message box's own summary: text, visible buttons, default button */
        WindowList kids;
        int i, first = 1, def = 0;
        TextOf(GetDlgItem(hwnd, MSGBOX_TEXT_ID), text, sizeof text);
        Field("text", text);
        Children(hwnd, &kids);
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
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    Begin("control");
    HwndField("parent", parent);
    FieldInt("id", GetDlgCtrlID(hwnd));
    TextOf(hwnd, text, sizeof text);
    Field("text", text);
    FieldHex("style", (unsigned long)style);
    FieldInt("visible", IsWindowVisible(hwnd) ? 1 : 0);
    FieldInt("enabled", IsWindowEnabled(hwnd) ? 1 : 0);
    GetClassNameA(hwnd, cls, sizeof cls);
    if (!lstrcmpiA(cls, "Static") && (style & SS_TYPEMASK) == SS_ICON) {
        /* the handle's value: the harness compares it with the one the program loaded */
        DWORD_PTR icon = 0;
        SendMessageTimeoutA(hwnd, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
        FieldHex("icon", (unsigned long)icon);
    }
    End();
}

static void RequireCurrent(void)
{
    if (!current || !IsWindow(current)) Fail("no current window (use wait first)", NULL);
}

/* A control of the current window by id= (the window itself if none is asked for). */
static HWND Target(const Command *cmd, int required)
{
    const Arg *id = FindArg(cmd, "id");
    HWND h;
    RequireCurrent();
    if (!id) {
        if (required) Fail("which control? (id=)", NULL);
        return current;
    }
    h = GetDlgItem(current, (int)ArgNumber(cmd, "id", 0));
    if (!h) Fail("no control with id %s", id->value);
    return h;
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

/* Starts the command line of a start or run command into *pi, or fails the script. */
static void Spawn(const Command *cmd, const char *what, PROCESS_INFORMATION *pi)
{
    STARTUPINFOA si;
    static char line[2048];
    static WCHAR wideLine[2048];
    const char *text = BareValue(cmd), *utf8 = ArgText(cmd, "utf8");
    BOOL started;
    if (!text) Fail("%s needs a command line", what);
    lstrcpynA(line, text, sizeof line);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (utf8 && strcmp(utf8, "0"))
        started = CreateProcessW(NULL, Utf8ToWide(text, wideLine, 2048), NULL, NULL, FALSE, 0,
                                 NULL, NULL, (STARTUPINFOW *)&si, pi);
    else
        started = CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &si, pi);
    if (!started) Fail("cannot start %s", text);
}

static void Start(const Command *cmd)
{
    if (childStarted) Fail("a program was started already", NULL);
    Spawn(cmd, "start", &child);
    childStarted = 1;
    WaitForInputIdle(child.hProcess, 2000);
    Line("started", "pid", (long)child.dwProcessId);
}

static void RunHelper(const Command *cmd)
{
    PROCESS_INFORMATION pi;
    DWORD code = 0;
    Spawn(cmd, "run", &pi);
    CloseHandle(pi.hThread);
    if (WaitForSingleObject(pi.hProcess, (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT)) !=
        WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 255);
        Fail("timeout running %s", BareValue(cmd));
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    Line("ran", "code", (long)code);
}

static void Wait(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT);
    DWORD start = GetTickCount();
    WindowList w;
    RequireChild();
    for (;;) {
        int i;
        TopLevel(&w);
        for (i = 0; i < w.count; ++i) {
            if (!Matches(w.list[i], cmd)) continue;
            current = w.list[i];
            WindowLine(current, 0);
            return;
        }
        if (!ChildRunning()) Fail("the program ended while waiting", NULL);
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
    if (!via) {
        PostMessageA(button, BM_CLICK, 0, 0);
    } else if (!strcmp(via, "mouse")) {
        SetForegroundWindow(current);
        MouseClick(button);
    } else {
        Fail("unknown click method %s", via);
    }
    Line("clicked", "id", GetDlgCtrlID(button));
}

static void Send(const Command *cmd)
{
    HWND target = Target(cmd, 0);
    UINT msg = (UINT)ArgNumber(cmd, "msg", -1);
    WPARAM wp = (WPARAM)ArgNumber(cmd, "wparam", 0);
    LPARAM lp = (LPARAM)ArgNumber(cmd, "lparam", 0);
    DWORD_PTR result = 0;
    if (!FindArg(cmd, "msg")) Fail("msg= is missing", NULL);
    if (!SendMessageTimeoutA(target, msg, wp, lp, SMTO_NORMAL, 5000, &result))
        Fail("no answer to the message", NULL);
    Line("result", "value", (long)result);
}

static void Key(const Command *cmd)
{
    HWND target = Target(cmd, 1);
    LPARAM scan;
    UINT vk = (UINT)ArgNumber(cmd, "vk", -1);
    if (!FindArg(cmd, "vk")) Fail("vk= is missing", NULL);
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
    Line("gone", NULL, 0);
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
        TopLevel(&w);
        if (w.count) {
            WindowLine(w.list[0], 0);
            watch = 0;
        }
    }
    GetExitCodeProcess(child.hProcess, &code);
    Line("exit", "code", (long)code);
}

static void Run(const Command *cmd)
{
    const char *n = cmd->name;
    if (!strcmp(n, "start")) {
        Start(cmd);
    } else if (!strcmp(n, "wait")) {
        Wait(cmd);
    } else if (!strcmp(n, "wait_text")) {
        WaitText(cmd);
    } else if (!strcmp(n, "list")) {
        WindowList w;
        int i;
        RequireChild();
        TopLevel(&w);
        for (i = 0; i < w.count; ++i) WindowLine(w.list[i], 0);
        Line("listed", "count", w.count);
    } else if (!strcmp(n, "dump")) {
        Dump();
    } else if (!strcmp(n, "click")) {
        Click(cmd);
    } else if (!strcmp(n, "send")) {
        Send(cmd);
    } else if (!strcmp(n, "key")) {
        Key(cmd);
    } else if (!strcmp(n, "input")) {
        const char *keys = ArgText(cmd, "keys");
        if (!keys || lstrcmpiA(keys, "enter")) Fail("unknown key %s", keys);
        RequireCurrent();
        SetForegroundWindow(current);
        Sleep(50);
        SendKey(VK_RETURN, 0);
        SendKey(VK_RETURN, 1);
    } else if (!strcmp(n, "close")) {
        RequireCurrent();
        PostMessageA(current, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (!strcmp(n, "gone")) {
        Gone(cmd);
    } else if (!strcmp(n, "exit")) {
        ExitCode(cmd);
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
        Line("held", NULL, 0);
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
        Line("killed", NULL, 0);
    }
    Line("done", NULL, 0);
    return 0;
}
