#include "updater.h"

#include "resource_ids.h"
#include "wide_text.h"

namespace {

// The dialog's outer size in pixels, frame and caption included.
const int kDialogWidth = 408;
const int kDialogHeight = 170;

struct ControlPlace {
    int id;
    int x, y, width, height;
};

// Run-time layout in client pixels, applied to whichever template was loaded.
const ControlPlace kLayout[] = {
    {IDC_UPDATE, 170, 10, 220, 30}, {IDC_LAUNCH, 170, 54, 220, 30}, {IDCANCEL, 170, 98, 220, 30},
    {IDC_PICTURE, 30, 10, 98, 44},  {IDC_NAME, 10, 66, 150, 60},
};

void SetFishIcons(HWND dialog) {
    HICON big = LoadIconA(Instance, MAKEINTRESOURCEA(IDI_FISH));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    HICON small = LoadIconA(Instance, MAKEINTRESOURCEA(IDI_FISH));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

// Caption, icons, fixed layout and name; then topmost and centred on the primary screen.
INT_PTR InitDialog(HWND dialog) {
    DialogWindow = dialog;
    SetProgramText(dialog, kFishCaption);
    SetFishIcons(dialog);
    for (unsigned i = 0; i < sizeof(kLayout) / sizeof(kLayout[0]); ++i)
        PlaceControl(dialog, kLayout[i].id, kLayout[i].x, kLayout[i].y, kLayout[i].width,
                     kLayout[i].height);
    SetProgramItemText(dialog, IDC_NAME, kFishName);
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(dialog, HWND_TOPMOST, (screenWidth - kDialogWidth) / 2,
                 (screenHeight - kDialogHeight) / 2, kDialogWidth, kDialogHeight, SWP_SHOWWINDOW);
    return 1;
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
    default:
        return 0;
    }
}
