// The name's fit, measured inside the updater: the preview driver hooks the updater's
// thread with this DLL and sends its dialog "PelagioFitProbe"; the hook measures the name
// control (id 1002) with the control's own font and writes one line to the file that
// PELAGIO_FIT_RESULT names:
//   CLASS TEXT_WIDTH TEXT_HEIGHT CLIENT_WIDTH CLIENT_HEIGHT LINES LINE_HEIGHT FORMAT_HEIGHT
// LINES is the edit control's own line count (1 for a static), FORMAT_HEIGHT the height of
// its formatting rectangle (the client height for a static).
#include <windows.h>

#include <stdio.h>

#define IDC_NAME 1002

static void Measure(HWND dialog) {
    char result[MAX_PATH], kind[32] = "";
    if (!GetEnvironmentVariableA("PELAGIO_FIT_RESULT", result, sizeof(result)))
        return;
    HWND name = GetDlgItem(dialog, IDC_NAME);
    FILE* out = fopen(result, "wb");
    if (!out)
        return;
    if (!name) {
        fprintf(out, "none\r\n");
        fclose(out);
        return;
    }
    WCHAR text[512];
    int length = GetWindowTextW(name, text, 512);
    RECT client, format;
    GetClientRect(name, &client);
    format = client;
    HDC dc = GetDC(name);
    HGDIOBJ old = SelectObject(dc, (HFONT)SendMessageW(name, WM_GETFONT, 0, 0));
    SIZE extent = {0, 0};
    GetTextExtentPoint32W(dc, text, length, &extent);
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(name, dc);
    GetClassNameA(name, kind, sizeof(kind));
    LRESULT lines = 1;
    if (lstrcmpiA(kind, "Edit") == 0) {
        lines = SendMessageW(name, EM_GETLINECOUNT, 0, 0);
        SendMessageW(name, EM_GETRECT, 0, (LPARAM)&format);
    }
    fprintf(out, "%s %ld %ld %ld %ld %ld %ld %ld\r\n", kind, extent.cx, extent.cy,
            client.right - client.left, client.bottom - client.top, (long)lines, metrics.tmHeight,
            format.bottom - format.top);
    fclose(out);
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
