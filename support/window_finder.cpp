#include "window_finder.h"

#include <string.h>

namespace {

// How long a found window gets to show it is alive before it is activated.
const UINT kResponseTimeoutMs = 500;

const char* g_className;
const char* g_title;
HWND g_found;

// Compares a criterion with a fetched name byte by byte, taking bytes 0x41-0x5A as the
// byte 0x20 higher wherever they stand, also as a double-byte character's second byte.
bool SameFolded(const char* criterion, const char* name) {
    for (;; ++criterion, ++name) {
        unsigned char a = static_cast<unsigned char>(*criterion);
        unsigned char b = static_cast<unsigned char>(*name);
        if (a >= 0x41 && a <= 0x5A)
            a += 0x20;
        if (b >= 0x41 && b <= 0x5A)
            b += 0x20;
        if (a != b)
            return false;
        if (a == 0)
            return true;
    }
}

} // namespace

HWND FindTopWindow(const char* className, const char* title) {
    g_className = className;
    g_title = title;
    g_found = FindWindowExA(0, 0, className, title);
    if (g_found)
        return g_found;
    EnumWindows(MatchWindow, 0);
    return g_found;
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM) {
    char title[64];
    char className[64];
    memset(title, 0, sizeof(title));
    memset(className, 0, sizeof(className));
    GetWindowTextA(window, title, sizeof(title));
    GetClassNameA(window, className, sizeof(className));
    if ((!g_className || SameFolded(g_className, className)) &&
        (!g_title || SameFolded(g_title, title))) {
        g_found = window;
        return FALSE;
    }
    EnumChildWindows(window, MatchWindow, 0);
    return TRUE;
}

HWND FoundWindow() {
    return g_found;
}

void BringToFront(HWND window) {
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    BringWindowToTop(window);
    SetForegroundWindow(window);
}

bool WindowResponds(HWND window, UINT timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, timeoutMs,
                               &result) != 0;
}

HWND FindAndActivate(const char* className, const char* title, int activate) {
    HWND window = FindTopWindow(className, title);
    if (!window)
        return 0;
    HWND foreground = GetForegroundWindow();
    if (foreground &&
        GetWindowThreadProcessId(foreground, 0) == GetWindowThreadProcessId(window, 0) &&
        !IsIconic(window))
        return window;
    HWND popup = GetLastActivePopup(window);
    // Activating a window whose thread pumps no messages would block here for good.
    if (activate && WindowResponds(popup, kResponseTimeoutMs))
        BringToFront(popup);
    return popup;
}
