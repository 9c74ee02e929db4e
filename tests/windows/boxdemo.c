/* boxdemo: small windows with known contents, for testing the test driver.
 *
 *   boxdemo error      an error box (OK) without owner; exits with the box's answer
 *   boxdemo question   a Yes/No question box, No the default; exits with the answer
 *   boxdemo dialog     a dialog with a text, an icon and the buttons "&Go" (default) and
 *                      "&Quit"; "&Go" asks an OK/Cancel warning box owned by the dialog and
 *                      exits with 10 + its answer, "&Quit" or the system close with 100.
 *                      Message WM_USER + 3 answers wParam * 2 + 1.
 */
#include <windows.h>
#include <string.h>

#define ID_GO 1
#define ID_QUIT 2
#define ID_TEXT 101
#define ID_ICON 120
#define MSG_ECHO (WM_USER + 3)

static const char caption[] = "Box Demo";
/* "Grüße" in the ANSI code page: the driver must hand on such bytes unchanged */
static const char boxText[] = "Fehler in Gr\xFC\xDF" "e.\nZweite Zeile.";

static WORD *AlignDword(WORD *p)
{
    return (WORD *)(((ULONG_PTR)p + 3) & ~(ULONG_PTR)3);
}

static WORD *PutText(WORD *p, const char *text)
{
    while (*text) *p++ = (WORD)(unsigned char)*text++;
    *p++ = 0;
    return p;
}

static WORD *PutItem(WORD *p, DWORD style, short x, short y, short cx, short cy, WORD id,
                     WORD classAtom, const char *text)
{
    DLGITEMTEMPLATE *item = (DLGITEMTEMPLATE *)AlignDword(p);
    item->style = style;
    item->dwExtendedStyle = 0;
    item->x = x;
    item->y = y;
    item->cx = cx;
    item->cy = cy;
    item->id = id;
    p = (WORD *)(item + 1);
    *p++ = 0xFFFF;
    *p++ = classAtom;
    p = PutText(p, text);
    *p++ = 0; /* no creation data */
    return p;
}

static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowTextA(hwnd, caption);
        SetDlgItemTextA(hwnd, ID_TEXT, "Press Go.");
        SendDlgItemMessageA(hwnd, ID_ICON, STM_SETICON, (WPARAM)LoadIconA(NULL, IDI_QUESTION), 0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == ID_GO) {
            int answer = MessageBoxA(hwnd, "Continue?", caption, MB_OKCANCEL | MB_ICONWARNING);
            EndDialog(hwnd, 10 + answer);
        } else if (LOWORD(wp) == ID_QUIT || LOWORD(wp) == IDCANCEL) {
            EndDialog(hwnd, 100);
        }
        return TRUE;
    case MSG_ECHO:
        SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, (LONG_PTR)(wp * 2 + 1));
        return TRUE;
    }
    return FALSE;
}

static int RunDialog(void)
{
    static DWORD buffer[512];
    DLGTEMPLATE *t = (DLGTEMPLATE *)buffer;
    WORD *p;
    t->style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT |
               DS_CENTER;
    t->dwExtendedStyle = 0;
    t->cdit = 4;
    t->x = 0;
    t->y = 0;
    t->cx = 200;
    t->cy = 60;
    p = (WORD *)(t + 1);
    *p++ = 0; /* no menu */
    *p++ = 0; /* standard dialog class */
    *p++ = 0; /* empty title: set at WM_INITDIALOG */
    *p++ = 8;
    p = PutText(p, "MS Sans Serif");
    p = PutItem(p, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 140, 6, 50, 14, ID_GO,
                0x0080, "&Go");
    p = PutItem(p, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 140, 24, 50, 14, ID_QUIT,
                0x0080, "&Quit");
    p = PutItem(p, WS_CHILD | WS_VISIBLE | SS_LEFT, 30, 6, 100, 30, ID_TEXT, 0x0082, "");
    PutItem(p, WS_CHILD | WS_VISIBLE | SS_ICON, 6, 6, 18, 20, ID_ICON, 0x0082, "");
    return (int)DialogBoxIndirectParamA(GetModuleHandleA(NULL), t, NULL, DialogProc, 0);
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (!strcmp(mode, "error")) return MessageBoxA(NULL, boxText, caption, MB_OK | MB_ICONERROR);
    if (!strcmp(mode, "question"))
        return MessageBoxA(NULL, "Weiter?", caption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    if (!strcmp(mode, "dialog")) return RunDialog();
    return 99;
}
