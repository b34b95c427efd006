// The smallest ordinary MinGW program with one dialog, built with the C runtime's own
// start-up: what size-report and tools/bench/bench_start.sh measure the updater against.
#include <windows.h>

static INT_PTR CALLBACK BareDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG)
        return 1;
    if (message == WM_COMMAND)
        return EndDialog(dialog, LOWORD(wParam));
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)previous;
    (void)commandLine;
    (void)show;
    DialogBoxParamA(instance, "BAREDLG", 0, BareDialogProc, 0);
    return 0;
}
