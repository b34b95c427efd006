// The texts' fit, measured inside the updater: the preview driver (and the tests) hook the
// updater's thread with this DLL and send its dialog "PelagioFitProbe"; the hook measures
// the name control and the three buttons, each with the control's own font, and writes one
// line per control to the file that PELAGIO_FIT_RESULT names:
//   ID CLASS TEXT_WIDTH TEXT_HEIGHT CLIENT_WIDTH CLIENT_HEIGHT LINES LINE_HEIGHT FORMAT_HEIGHT
// LINES is an edit control's own line count (1 otherwise), FORMAT_HEIGHT the height of its
// formatting rectangle (the client height otherwise). A missing control is "ID none". Two
// lines follow: "picture WIDTH HEIGHT" of the picture control's bitmap, and "icon WIDTH
// SYSTEM_WIDTH" of the dialog's big icon beside the system's large icon size.
#include <windows.h>

#include <stdio.h>

static const int kMeasured[] = {1002, 1006, 1005, 2}; // name, install, launch, exit

static void MeasureControl(FILE* out, HWND dialog, int id) {
    char kind[32] = "";
    HWND control = GetDlgItem(dialog, id);
    if (!control) {
        fprintf(out, "%d none\r\n", id);
        return;
    }
    WCHAR text[512];
    int length = GetWindowTextW(control, text, 512);
    RECT client, format;
    GetClientRect(control, &client);
    format = client;
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, (HFONT)SendMessageW(control, WM_GETFONT, 0, 0));
    SIZE extent = {0, 0};
    GetTextExtentPoint32W(dc, text, length, &extent);
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    GetClassNameA(control, kind, sizeof(kind));
    LRESULT lines = 1;
    if (lstrcmpiA(kind, "Edit") == 0) {
        lines = SendMessageW(control, EM_GETLINECOUNT, 0, 0);
        SendMessageW(control, EM_GETRECT, 0, (LPARAM)&format);
    }
    fprintf(out, "%d %s %ld %ld %ld %ld %ld %ld %ld\r\n", id, kind, extent.cx, extent.cy,
            client.right - client.left, client.bottom - client.top, (long)lines, metrics.tmHeight,
            format.bottom - format.top);
}

static void Measure(HWND dialog) {
    char result[MAX_PATH], temporary[MAX_PATH + 4];
    if (!GetEnvironmentVariableA("PELAGIO_FIT_RESULT", result, sizeof(result)))
        return;
    snprintf(temporary, sizeof(temporary), "%s.tmp", result);
    FILE* out = fopen(temporary, "wb");
    if (!out)
        return;
    for (unsigned i = 0; i < sizeof(kMeasured) / sizeof(kMeasured[0]); ++i)
        MeasureControl(out, dialog, kMeasured[i]);
    BITMAP picture = {0};
    GetObjectW((HGDIOBJ)SendDlgItemMessageW(dialog, 1003, STM_GETIMAGE, IMAGE_BITMAP, 0),
               sizeof(picture), &picture);
    fprintf(out, "picture %ld %ld\r\n", picture.bmWidth, picture.bmHeight);
    ICONINFO icon = {0};
    BITMAP colour = {0};
    if (GetIconInfo((HICON)SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), &icon)) {
        GetObjectW(icon.hbmColor, sizeof(colour), &colour);
        DeleteObject(icon.hbmColor);
        DeleteObject(icon.hbmMask);
    }
    fprintf(out, "icon %ld %d\r\n", colour.bmWidth, GetSystemMetrics(SM_CXICON));
    fclose(out);
    // Whole or not at all: the reader takes the file once SendMessage has returned.
    MoveFileExA(temporary, result, MOVEFILE_REPLACE_EXISTING);
}

__declspec(dllexport) LRESULT CALLBACK FitHook(int code, WPARAM wParam, LPARAM lParam) {
    static UINT probeMessage;
    if (!probeMessage)
        probeMessage = RegisterWindowMessageA("PelagioFitProbe");
    const CWPSTRUCT* call = (const CWPSTRUCT*)lParam;
    if (code == HC_ACTION && call->message == probeMessage)
        Measure(call->hwnd);
    return CallNextHookEx(0, code, wParam, lParam);
}
