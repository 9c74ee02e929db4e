// The "Meter" control: a bar filled from the left with the current member's name drawn
// across it, in colours that invert where the bar is filled. Range and position live in
// the window's four extra bytes, so the control needs no memory of its own.
#include "archive/archive.h"
#include "base/base.h"
#include "ui/ui.h"

// The small font of the meter and the footer: "Helv" at 6 points for the vertical
// resolution of the context it goes into, the display's for the dialog's windows. Select
// form creates and selects it and answers the font it replaced; undo form puts that font
// back and deletes the small one.
HFONT SelectDialogFont(HDC dc, HFONT font, BOOL select) {
    if (!select) {
        // Nothing was selected when the font could not be made: leave the context alone.
        if (font) DeleteObject(SelectObject(dc, font));
        return 0;
    }
    LOGFONTA description = {};
    description.lfHeight = GetDeviceCaps(dc, LOGPIXELSY) * 6 / -72;
    lstrcpyA(description.lfFaceName, "Helv");
    HFONT small = CreateFontIndirectA(&description);
    return small ? (HFONT)SelectObject(dc, small) : 0;
}

static void PaintMeter(HWND meter) {
    int range = (WORD)SendMessageA(meter, METER_GETRANGE, 0, 0);
    int position = (WORD)SendMessageA(meter, METER_GETPOS, 0, 0);
    if (range == 0) {
        range = 1;
        position = 0;
    }
    // The same text as the per-member status line, composed anew so that it follows the
    // member being extracted; longer texts are cut to the caption's 99 characters.
    char caption[100];
    FormatMessageText(caption, sizeof caption, MSG_UNZIPPING,
                      FileNamePart(state.output.displayName));
    WCHAR* shown = ToWide(caption);
    int length = lstrlenW(shown);

    PAINTSTRUCT paint;
    HDC dc = BeginPaint(meter, &paint);
    state.meter.invalid = 0;
    HFONT previous = SelectDialogFont(dc, 0, TRUE);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    RECT client;
    GetClientRect(meter, &client);
    int width = client.right, height = client.bottom;
    RECT part;
    SetRect(&part, 0, 0, position * width / range, height);
    int x = width / 2, y = 0;
    SIZE letter;
    // First the filled part, then the empty part: same caption, same anchor, colours swapped
    // (COLOR_HIGHLIGHTTEXT follows COLOR_HIGHLIGHT). A position beyond the range leaves the
    // empty part's rectangle empty.
    static_assert(COLOR_HIGHLIGHTTEXT == COLOR_HIGHLIGHT + 1, "the two colours are neighbours");
    for (int empty = 0; empty < 2; ++empty) {
        if (empty) {
            SetRect(&part, part.right, 0, width, height);
        } else {
            // The caption sits a quarter of the free height below the top edge.
            if (!GetTextExtentPoint32A(dc, "X", 1, &letter)) continue;
            y = (height - letter.cy) >> 2;
        }
        SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHT + empty));
        SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT - empty));
        ExtTextOutW(dc, x, y, ETO_OPAQUE | ETO_CLIPPED, &part, shown, length, 0);
    }
    SelectDialogFont(dc, previous, FALSE);
    EndPaint(meter, &paint);
}

static LRESULT CALLBACK MeterWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case METER_SETRANGE:
    case METER_SETPOS:
        // Range is the word at offset 0, position the word at offset 2. The repaint is
        // synchronous, since the extraction pumps messages only between writes, unless
        // lParam asks to leave it to the next pump.
        SetWindowWord(window, message - METER_SETRANGE, (WORD)wParam);
        InvalidateRect(window, 0, FALSE);
        if (!lParam) UpdateWindow(window);
        return 0;
    case METER_GETRANGE:
    case METER_GETPOS:
        return (WORD)GetWindowWord(window, message - METER_GETRANGE);
    case WM_CREATE:
        SendMessageA(window, METER_SETRANGE, 100, 0);
        SendMessageA(window, METER_SETPOS, 50, 0);
        return 0;
    case WM_PAINT:
        PaintMeter(window);
        return 0;
    case WM_GETDLGCODE:
        return DLGC_STATIC;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

BOOL RegisterMeterClass(HINSTANCE instance) {
    WNDCLASSA meterClass = {};
    meterClass.style = CS_HREDRAW | CS_VREDRAW;
    meterClass.lpfnWndProc = MeterWindowProc;
    meterClass.cbWndExtra = 4;
    meterClass.hInstance = instance;
    meterClass.hCursor = LoadCursorA(0, IDC_ARROW);
    // No background brush: painting covers every pixel, so nothing is erased and the bar
    // does not flicker.
    meterClass.lpszClassName = "Meter";
    return RegisterClassA(&meterClass) != 0;
}
