#include "updater.h"

#include "resource_ids.h"
#include "wide_text.h"

namespace {

// The layout's pixels are those of a 96-DPI screen; others scale them.
const int kBaseDpi = 96;
// The dialog's outer size in pixels, frame and caption included.
const int kDialogWidth = 408;
const int kDialogHeight = 170;
// The template's 10-point font is 13 pixels high at 96 DPI.
const int kFontHeight = -13;

struct ControlPlace {
    int id;
    int x, y, width, height;
};

// Run-time layout in client pixels, applied to whichever template was loaded.
const ControlPlace kLayout[] = {
    {IDC_UPDATE, 170, 10, 220, 30}, {IDC_LAUNCH, 170, 54, 220, 30}, {IDCANCEL, 170, 98, 220, 30},
    {IDC_PICTURE, 30, 10, 98, 44},  {IDC_NAME, 10, 66, 150, 60},
};
const ControlPlace& kPicturePlace = kLayout[3];

// Made for a screen of another DPI than 96, deleted with the dialog.
int screenDpi = kBaseDpi;
HFONT scaledFont;
HBITMAP scaledPicture;

// The screen's DPI: Windows without desktop composition (and Wine) hands a program that does
// not declare itself DPI-aware the real one.
int ScreenDpi() {
    HDC screen = GetDC(0);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(0, screen);
    return dpi > 0 ? dpi : kBaseDpi;
}

int Scale(int pixels) {
    return MulDiv(pixels, screenDpi, kBaseDpi);
}

// The template's font at its 96-DPI height scaled, rounded toward zero, so that no text takes
// a larger share of its control than at 96 DPI: the platform rounds 10 points up to 17 pixels
// at 120 DPI and 20 at 144, where 13 scaled is 16.25 and 19.5.
HFONT CreateScaledFont(HWND dialog) {
    LOGFONTW font;
    HGDIOBJ dialogFont = reinterpret_cast<HGDIOBJ>(SendMessageA(dialog, WM_GETFONT, 0, 0));
    if (!GetObjectW(dialogFont, sizeof(font), &font))
        return 0;
    font.lfHeight = kFontHeight * screenDpi / kBaseDpi;
    return CreateFontIndirectW(&font);
}

// The picture stretched to fill its scaled control inside the one-pixel static edge. Set
// before the layout: a bitmap static takes its bitmap's size.
void SetScaledPicture(HWND dialog) {
    scaledPicture = static_cast<HBITMAP>(LoadImageW(Instance, MAKEINTRESOURCEW(IDB_PICTURE),
                                                    IMAGE_BITMAP, Scale(kPicturePlace.width) - 2,
                                                    Scale(kPicturePlace.height) - 2, 0));
    if (!scaledPicture)
        return;
    HGDIOBJ old = reinterpret_cast<HGDIOBJ>(SendMessageA(GetDlgItem(dialog, IDC_PICTURE),
                                                         STM_SETIMAGE, IMAGE_BITMAP,
                                                         reinterpret_cast<LPARAM>(scaledPicture)));
    // The static does not delete the template's bitmap it held.
    if (old)
        DeleteObject(old);
}

void SetFishIcons(HWND dialog) {
    HICON big = LoadIconA(Instance, MAKEINTRESOURCEA(IDI_FISH));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    HICON small = LoadIconA(Instance, MAKEINTRESOURCEA(IDI_FISH));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

// Caption, icons, the fixed layout in proportion to the screen's DPI and the name; then
// topmost and centred on the primary screen.
INT_PTR InitDialog(HWND dialog) {
    DialogWindow = dialog;
    SetProgramText(dialog, kFishCaption);
    SetFishIcons(dialog);
    screenDpi = ScreenDpi();
    if (screenDpi != kBaseDpi) {
        scaledFont = CreateScaledFont(dialog);
        SetScaledPicture(dialog);
    }
    for (const ControlPlace& place : kLayout) {
        if (scaledFont)
            SendMessageA(GetDlgItem(dialog, place.id), WM_SETFONT,
                         reinterpret_cast<WPARAM>(scaledFont), 0);
        PlaceControl(dialog, place.id, Scale(place.x), Scale(place.y), Scale(place.width),
                     Scale(place.height));
    }
    SetProgramItemText(dialog, IDC_NAME, kFishName);
    int width = Scale(kDialogWidth), height = Scale(kDialogHeight);
    SetWindowPos(dialog, HWND_TOPMOST, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_SHOWWINDOW);
    return 1;
}

// The controls are gone by now: their scaled font and picture can go too.
void DeleteScaledObjects() {
    if (scaledFont)
        DeleteObject(scaledFont);
    if (scaledPicture)
        DeleteObject(scaledPicture);
    scaledFont = 0;
    scaledPicture = 0;
}

// The install command keeps the dialog open; launch and every other id end it.
INT_PTR OnCommand(HWND dialog, int id) {
    switch (id) {
    case IDC_UPDATE:
        InstallFishFiles();
        return 1;
    case IDC_LAUNCH:
        LaunchHost();
        return EndDialog(dialog, IDC_LAUNCH);
    default:
        return EndDialog(dialog, id);
    }
}

} // namespace

void PlaceControl(HWND dialog, int id, int x, int y, int width, int height) {
    HWND control = GetDlgItem(dialog, id);
    if (control)
        SetWindowPos(control, 0, x, y, width, height, SWP_NOZORDER);
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return InitDialog(dialog);
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam));
    case WM_NCDESTROY:
        DeleteScaledObjects();
        return 0;
    default:
        return 0;
    }
}
