/* hellosetup: the smallest "setup program" a self-extractor can run. It shows the command
   line it was given, the folder it runs in and the files it finds there, then closes by
   itself after a few seconds (or on Enter, Esc or a click on OK).

   When the environment variable HELLO_REPORT names a file, the same facts are written
   there too, so that a script can tell what happened without looking at the screen.

   Build: i686-w64-mingw32-gcc -Os -mwindows -o hellosetup.exe hellosetup.c */
#include <windows.h>
#include <stdio.h>

#define CLOSE_AFTER_MS 6000

static char info[2048];

static void Collect(void) {
    char folder[MAX_PATH], files[1024] = "";
    GetCurrentDirectoryA(sizeof folder, folder);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("*", &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.cFileName[0] == '.') continue;
            if (files[0]) lstrcatA(files, ", ");
            if (lstrlenA(files) + lstrlenA(found.cFileName) < (int)sizeof files - 8)
                lstrcatA(files, found.cFileName);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    snprintf(info, sizeof info,
             "Hello from the setup program!\r\n\r\n"
             "Started with:\t%s\r\n"
             "Running in:\t%s\r\n"
             "Files here:\t%s\r\n\r\n"
             "This window closes by itself in %d seconds.",
             GetCommandLineA(), folder, files, CLOSE_AFTER_MS / 1000);

    char report[MAX_PATH];
    if (GetEnvironmentVariableA("HELLO_REPORT", report, sizeof report)) {
        FILE* f = fopen(report, "w");
        if (f) {
            fprintf(f, "command line: %s\nfolder: %s\nfiles: %s\n", GetCommandLineA(), folder,
                    files);
            fclose(f);
        }
    }
}

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        HFONT font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
        HWND text = CreateWindowA("STATIC", info, WS_CHILD | WS_VISIBLE | SS_LEFT, 16, 14,
                                  520, 96, window, 0, 0, 0);
        HWND ok = CreateWindowA("BUTTON", "OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON,
                                456, 112, 80, 26, window, (HMENU)IDOK, 0, 0);
        SendMessageA(text, WM_SETFONT, (WPARAM)font, 0);
        SendMessageA(ok, WM_SETFONT, (WPARAM)font, 0);
        SetFocus(ok);
        SetTimer(window, 1, CLOSE_AFTER_MS, 0);
        return 0;
    }
    case WM_TIMER:
    case WM_COMMAND:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
    Collect();
    WNDCLASSA windowClass = {0};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorA(0, IDC_ARROW);
    windowClass.hIcon = LoadIconA(0, IDI_INFORMATION);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "HelloSetup";
    RegisterClassA(&windowClass);

    RECT frame = {0, 0, 552, 152};
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU;
    AdjustWindowRect(&frame, style, FALSE);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    /* Below the self-extractor's dialog, which sits in the middle of the screen. */
    HWND window = CreateWindowA("HelloSetup", "Hello Setup", style,
                                (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                GetSystemMetrics(SM_CYSCREEN) / 2 + 80, width, height, 0, 0,
                                instance, 0);
    ShowWindow(window, show);
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0) {
        if (IsDialogMessageA(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
