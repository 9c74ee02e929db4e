/* windriver SCRIPT: drives a Windows program for the end-to-end tests, reporting what it sees.
 *
 * One command per line ('#' starts a comment line): a word, then KEY=VALUE or bare VALUE
 * arguments; a value is a run of non-blanks or a double-quoted string with \\ and \" escapes;
 * numbers are decimal or 0x-hex. Each observation is one line on standard output: a kind, then
 * TAB-separated KEY=VALUE fields, first line=N and by=COMMAND; values escape \\ \t \r \n and
 * \xHH, texts are in the ANSI code page (after "wide": in UTF-8, read by the wide calls). A failed command reports "error", ends the started
 * program and exits with 1.
 *
 * Commands (utf8=1: the command line or variables are UTF-8 and may hold any character):
 *   start CMDLINE [utf8=1] [detach=1]  start the program under test: started pid=N (detach=1:
 *                                   without the driver's console)
 *   run CMDLINE [timeout=MS] [utf8=1]  run a helper program to its end: ran code=N
 *   setenv [utf8=1] NAME=VALUE...   set variables for the programs started after it
 *   hold PATH [access=N] [share=N]  keep a file open to the end (default: read, no sharing): held
 *   wait [timeout=MS] [kind=msgbox|dialog] [text=T] [enabled=1]  make the program's first visible
 *                                   top-level window (with a child, enabled if asked, whose text
 *                                   contains T) current: window
 *   list [all=1]                    a "window" line per visible top-level window, listed count=N
 *                                   (all=1: of every process, not only the program's)
 *   dump                            the current window in full and a "control" line per child
 *   click id=N                      press a button (BM_CLICK, posted: a long handler can't block)
 *   send|post [id=N] msg=N [wparam=N]  to the current window or a control: send reports result
 *                                   value=N; a posted key passes the program's own message loop
 *   gone [timeout=MS]               wait until the current window is destroyed or hidden
 *   exit [timeout=MS] [watch=1]     wait for the program's end: exit code=N (watch=1: and the
 *                                   first window it shows meanwhile)
 *   sleep ms=N
 *   picked id=N [timeout=MS]        wait until the tree view N of the current window has an item
 *                                   below its root selected, unchanged for 300 ms: picked
 *   wide                            from here on read window texts with the wide call and
 *                                   report them in UTF-8, whatever the ANSI code page holds
 */
#include <windows.h>
#include <commctrl.h>
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
#define HANDLE_NUMBER(h) ((unsigned long)(ULONG_PTR)(h))

typedef struct {
    char *key; /* "" for a bare value */
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
static const char *commandName = "";

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

/* An observation: Begin, then its fields (Field, or printf for numbers), then End. */
static void Begin(const char *kind)
{
    printf("%s\tline=%d\tby=%s", kind, lineNo, commandName);
}

static void Field(const char *key, const char *value)
{
    printf("\t%s=", key);
    PutEscaped(value);
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
    if (key) printf("\t%s=%ld", key, value);
    End();
}

static int ChildRunning(void)
{
    return childStarted && WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT;
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
    if (ChildRunning()) TerminateProcess(child.hProcess, 255);
    exit(1);
}

/* ---- script parsing ---- */

/* Reads one value at *p (quoted or plain), unescaping in place; returns its start. */
static char *ParseValue(char **p)
{
    char *s = *p, *out, *start = s;
    if (*s != '"') {
        s += strcspn(s, " \t");
        if (*s) *s++ = 0;
        *p = s;
        return start;
    }
    start = out = ++s;
    for (; *s && *s != '"'; ++s) {
        if (*s == '\\' && s[1]) ++s;
        *out++ = *s;
    }
    if (*s != '"') Fail("unterminated quoted value", NULL);
    *out = 0;
    *p = s + 1;
    return start;
}

static int ParseCommand(char *p, Command *cmd)
{
    memset(cmd, 0, sizeof *cmd);
    p += strspn(p, " \t");
    if (!*p || *p == '#') return 0;
    cmd->name = p;
    p += strcspn(p, " \t");
    if (*p) *p++ = 0;
    for (;;) {
        Arg *a;
        size_t word;
        p += strspn(p, " \t");
        if (!*p) return 1;
        if (cmd->count == MAX_ARGS) Fail("too many arguments", NULL);
        a = &cmd->args[cmd->count++];
        a->key = "";
        word = strcspn(p, " \t=\""); /* KEY=VALUE; else a bare value */
        if (p[word] == '=') {
            a->key = p;
            p[word] = 0;
            p += word + 1;
        }
        a->value = ParseValue(&p);
    }
}

static const char *ArgText(const Command *cmd, const char *key)
{
    int i;
    for (i = 0; i < cmd->count; ++i)
        if (!strcmp(cmd->args[i].key, key)) return cmd->args[i].value;
    return NULL;
}

static long ArgNumber(const Command *cmd, const char *key, long fallback)
{
    const char *text = ArgText(cmd, key);
    char *end;
    long v;
    if (!text) return fallback;
    v = (long)strtoul(text, &end, 0);
    if (*end || !*text) Fail("not a number: %s", text);
    return v;
}

static char *BareValue(const Command *cmd)
{
    return cmd->count > 0 && !*cmd->args[0].key ? cmd->args[0].value : NULL;
}

/* ---- windows ---- */

typedef struct {
    HWND list[MAX_WINDOWS];
    int count, topLevel;
} WindowList;

static BOOL CALLBACK Collect(HWND hwnd, LPARAM param)
{
    WindowList *w = (WindowList *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (w->topLevel && (!IsWindowVisible(hwnd) || (w->topLevel == 1 && pid != child.dwProcessId))) return TRUE;
    if (w->count < MAX_WINDOWS) w->list[w->count++] = hwnd;
    return TRUE;
}

/* The visible top-level windows of the program under test. */
static void TopLevel(WindowList *w)
{
    w->count = 0;
    w->topLevel = 1;
    EnumWindows(Collect, (LPARAM)w);
}

static void Children(HWND parent, WindowList *w)
{
    w->count = w->topLevel = 0;
    EnumChildWindows(parent, Collect, (LPARAM)w);
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

/* Texts are read with GetWindowText: for a window of another process the system answers
   without a message, so a program busy in a long command handler does not stall the driver. */
static int Matches(HWND hwnd, const Command *cmd)
{
    static char text[TEXT_MAX];
    const char *kind = ArgText(cmd, "kind"), *needle = ArgText(cmd, "text");
    int enabled = (int)ArgNumber(cmd, "enabled", 0); /* text and state are set one after the other */
    WindowList kids;
    int i;
    if (kind && !strcmp(kind, "msgbox") != (IsMessageBox(hwnd) != 0)) return 0;
    if (!needle) return 1;
    Children(hwnd, &kids);
    for (i = 0; i < kids.count; ++i) {
        GetWindowTextA(kids.list[i], text, sizeof text);
        if (strstr(text, needle) && (!enabled || IsWindowEnabled(kids.list[i]))) return 1;
    }
    return 0;
}

/* ---- observations ---- */

static int wideTexts;

/* A window's text as GetWindowText gives it: in the ANSI code page, or after "wide" by the
   wide call, in UTF-8. */
static void ReadText(HWND hwnd, char *text, int size)
{
    static WCHAR wide[TEXT_MAX];
    if (!wideTexts) {
        GetWindowTextA(hwnd, text, size);
        return;
    }
    wide[0] = 0;
    GetWindowTextW(hwnd, wide, TEXT_MAX);
    if (!WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, size, NULL, NULL)) text[0] = 0;
}

static void WindowLine(HWND hwnd, int detailed)
{
    static char text[TEXT_MAX];
    RECT r;
    int box = IsMessageBox(hwnd);
    Begin("window");
    printf("\thwnd=0x%lX", HANDLE_NUMBER(hwnd));
    GetClassNameA(hwnd, text, sizeof text);
    Field("kind", box ? "msgbox" : !strcmp(text, "#32770") ? "dialog" : "window");
    Field("class", text);
    ReadText(hwnd, text, sizeof text);
    Field("caption", text);
    GetWindowRect(hwnd, &r);
    printf("\trect=%ld,%ld,%ld,%ld\towner=0x%lX", r.left, r.top, r.right, r.bottom,
           HANDLE_NUMBER(GetWindow(hwnd, GW_OWNER)));
    if (box && detailed) {
        /* the message box's own summary: text, visible buttons, default button */
        WindowList kids;
        int i, first = 1, def = 0;
        ReadText(GetDlgItem(hwnd, MSGBOX_TEXT_ID), text, sizeof text);
        Field("text", text);
        Children(hwnd, &kids);
        printf("\tbuttons=");
        for (i = 0; i < kids.count; ++i) {
            LONG style = GetWindowLongA(kids.list[i], GWL_STYLE);
            GetClassNameA(kids.list[i], text, sizeof text);
            if (lstrcmpiA(text, "Button") || !IsWindowVisible(kids.list[i])) continue;
            printf("%s%d", first ? "" : ",", GetDlgCtrlID(kids.list[i]));
            first = 0;
            if ((style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) def = GetDlgCtrlID(kids.list[i]);
        }
        printf("\tdefault=%d", def);
    }
    End();
}

static void ControlLine(HWND parent, HWND hwnd)
{
    static char text[TEXT_MAX];
    LONG style = GetWindowLongA(hwnd, GWL_STYLE);
    Begin("control");
    printf("\tparent=0x%lX\tid=%d", HANDLE_NUMBER(parent), GetDlgCtrlID(hwnd));
    ReadText(hwnd, text, sizeof text);
    Field("text", text);
    printf("\tstyle=0x%lX\tvisible=%d\tenabled=%d", (unsigned long)style, IsWindowVisible(hwnd) ? 1 : 0,
           IsWindowEnabled(hwnd) ? 1 : 0);
    GetClassNameA(hwnd, text, sizeof text);
    if (!lstrcmpiA(text, "Static") && (style & SS_TYPEMASK) == SS_ICON) {
        /* the handle's value: the harness compares it with the one the program loaded */
        DWORD_PTR icon = 0;
        SendMessageTimeoutA(hwnd, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
        printf("\ticon=0x%lX", (unsigned long)icon);
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
    const char *id = ArgText(cmd, "id");
    HWND h;
    RequireCurrent();
    if (!id) {
        if (required) Fail("which control? (id=)", NULL);
        return current;
    }
    h = GetDlgItem(current, (int)ArgNumber(cmd, "id", 0));
    if (!h) Fail("no control with id %s", id);
    return h;
}

/* ---- commands ---- */

static void RequireChild(void)
{
    if (!childStarted) Fail("no program started", NULL);
}

static WCHAR *Utf8ToWide(const char *text, WCHAR *wide, int size)
{
    if (!MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, size)) wide[0] = 0;
    return wide;
}

static void Spawn(const Command *cmd, PROCESS_INFORMATION *pi)
{
    STARTUPINFOA si;
    static WCHAR wideLine[2048];
    char *text = BareValue(cmd);
    BOOL started;
    /* detach=1: the program gets no console of the driver's, as when started from Explorer */
    DWORD flags = ArgNumber(cmd, "detach", 0) ? DETACHED_PROCESS : 0;
    if (!text) Fail("%s needs a command line", cmd->name);
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (ArgNumber(cmd, "utf8", 0))
        started = CreateProcessW(NULL, Utf8ToWide(text, wideLine, 2048), NULL, NULL, FALSE, flags,
                                 NULL, NULL, (STARTUPINFOW *)&si, pi);
    else
        started = CreateProcessA(NULL, text, NULL, NULL, FALSE, flags, NULL, NULL, &si, pi);
    if (!started) Fail("cannot start %s", text);
}

static void Start(const Command *cmd)
{
    if (childStarted) Fail("a program was started already", NULL);
    Spawn(cmd, &child);
    childStarted = 1;
    WaitForInputIdle(child.hProcess, 2000);
    Line("started", "pid", (long)child.dwProcessId);
}

static void RunHelper(const Command *cmd)
{
    PROCESS_INFORMATION pi;
    DWORD code = 0;
    Spawn(cmd, &pi);
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

static void SetEnv(const Command *cmd)
{
    static WCHAR name[256], value[TEXT_MAX];
    int i, utf8 = ArgNumber(cmd, "utf8", 0) != 0;
    for (i = 0; i < cmd->count; ++i) {
        const Arg *a = &cmd->args[i];
        if (!a->key[0] || !strcmp(a->key, "utf8")) continue;
        if (utf8)
            SetEnvironmentVariableW(Utf8ToWide(a->key, name, 256), Utf8ToWide(a->value, value, TEXT_MAX));
        else
            SetEnvironmentVariableA(a->key, a->value);
    }
}

static void Hold(const Command *cmd)
{
    const char *path = BareValue(cmd);
    if (!path) Fail("hold needs a file", NULL);
    if (CreateFileA(path, (DWORD)ArgNumber(cmd, "access", (long)GENERIC_READ),
                    (DWORD)ArgNumber(cmd, "share", 0), NULL, OPEN_EXISTING, 0, NULL) ==
        INVALID_HANDLE_VALUE)
        Fail("cannot hold %s", path);
    Line("held", NULL, 0);
}

static void Wait(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT), start = GetTickCount();
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

/* A folder picker selects its starting folder only once its tree is filled, after it shows. */
static void Picked(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT), start = GetTickCount(), since = 0;
    HWND tree = Target(cmd, 1);
    LRESULT last = 0;
    for (;;) {
        LRESULT item = SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0);
        if (!item || item == SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0)) {
            last = 0;
        } else if (item != last) {
            last = item;
            since = GetTickCount();
        } else if (GetTickCount() - since >= 300) {
            Line("picked", NULL, 0);
            return;
        }
        if (!ChildRunning()) Fail("the program ended while waiting", NULL);
        if (GetTickCount() - start > timeout) Fail("timeout waiting for a selection below the tree's root", NULL);
        Sleep(50);
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

static void Message(const Command *cmd, int post)
{
    HWND target = Target(cmd, 0);
    UINT msg = (UINT)ArgNumber(cmd, "msg", 0);
    WPARAM wp = (WPARAM)ArgNumber(cmd, "wparam", 0);
    DWORD_PTR result = 0;
    if (!msg) Fail("msg= is missing", NULL);
    if (post) {
        PostMessageA(target, msg, wp, 0);
    } else {
        if (!SendMessageTimeoutA(target, msg, wp, 0, SMTO_NORMAL, 5000, &result))
            Fail("no answer to the message", NULL);
        Line("result", "value", (long)result);
    }
}

static void Gone(const Command *cmd)
{
    DWORD timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT), start = GetTickCount();
    if (!current) Fail("no current window", NULL);
    while (IsWindow(current) && IsWindowVisible(current)) {
        if (GetTickCount() - start > timeout) Fail("timeout waiting for the window to go", NULL);
        Sleep(20);
    }
    current = NULL;
}

static void ExitCode(const Command *cmd)
{
    DWORD code = 0, timeout = (DWORD)ArgNumber(cmd, "timeout", DEFAULT_TIMEOUT);
    DWORD start = GetTickCount();
    int watch = ArgNumber(cmd, "watch", 0) != 0;
    RequireChild();
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

static void List(const Command *cmd)
{
    WindowList w;
    int i;
    RequireChild();
    TopLevel(&w);
    if (ArgNumber(cmd, "all", 0)) {
        w.count = 0;
        w.topLevel = 2;
        EnumWindows(Collect, (LPARAM)&w);
    }
    for (i = 0; i < w.count; ++i) WindowLine(w.list[i], 0);
    Line("listed", "count", w.count);
}

static void Run(const Command *cmd)
{
    const char *n = cmd->name;
    commandName = n;
    if (!strcmp(n, "start")) Start(cmd);
    else if (!strcmp(n, "run")) RunHelper(cmd);
    else if (!strcmp(n, "setenv")) SetEnv(cmd);
    else if (!strcmp(n, "hold")) Hold(cmd);
    else if (!strcmp(n, "wait")) Wait(cmd);
    else if (!strcmp(n, "list")) List(cmd);
    else if (!strcmp(n, "dump")) Dump();
    else if (!strcmp(n, "wide")) wideTexts = 1;
    else if (!strcmp(n, "click")) PostMessageA(Target(cmd, 1), BM_CLICK, 0, 0);
    else if (!strcmp(n, "send") || !strcmp(n, "post")) Message(cmd, n[0] == 'p');
    else if (!strcmp(n, "gone")) Gone(cmd);
    else if (!strcmp(n, "exit")) ExitCode(cmd);
    else if (!strcmp(n, "picked")) Picked(cmd);
    else if (!strcmp(n, "sleep")) Sleep((DWORD)ArgNumber(cmd, "ms", 100));
    else Fail("unknown command %s", n);
}

int main(int argc, char **argv)
{
    FILE *f;
    static char line[8192];
    _setmode(_fileno(stdout), _O_BINARY); /* LF line ends, bytes as they are */
    if (argc != 2 || !(f = fopen(argv[1], "rb"))) {
        fprintf(stderr, "usage: windriver SCRIPT (a readable file)\n");
        return 2;
    }
    while (fgets(line, sizeof line, f)) {
        Command cmd;
        line[strcspn(line, "\r\n")] = 0;
        ++lineNo;
        if (ParseCommand(line, &cmd)) Run(&cmd);
    }
    fclose(f);
    commandName = "end";
    if (ChildRunning()) {
        TerminateProcess(child.hProcess, 255);
        Line("killed", NULL, 0);
    }
    return 0;
}
