// Finds a desktop window by class and title and brings its application to the front.
#pragma once

#include <windows.h>

// Searches top-level windows with the platform's own rules, then every window's children
// with a byte comparison that folds ASCII A-Z only. The search state is global: not
// re-entrant, main thread only.
HWND FindTopWindow(const char* className, const char* title);
BOOL CALLBACK MatchWindow(HWND window, LPARAM unused);
HWND FoundWindow();
void BringToFront(HWND window);
HWND FindAndActivate(const char* className, const char* title, int activate);

// True when the window's thread handles a message within the timeout (it is not hung).
bool WindowResponds(HWND window, UINT timeoutMs);
