// The updater's global state, its dialog and its two commands.
#pragma once

#include <windows.h>

#include "fish_identity.h"
#include "path_buffer.h"
#include "registry_key.h"

// The opened App Paths key of the host program, open until the process exits.
extern RegistryKey HostKey;
// The host's installation directory, with its trailing backslash.
extern PathBuffer InstallDirectory;
// Scratch path: the registry sub-key, then target file names and the host program path.
extern PathBuffer WorkPath;
extern HINSTANCE Instance;
extern HWND DialogWindow;

// Host names that several parts share, stored once: "Pelagio2.scr" and "Pelagio 2".
extern const char kHostProgramFile[];
extern const char kHostTitle[];

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void PlaceControl(HWND dialog, int id, int x, int y, int width, int height);

void InstallFishFiles();
void LaunchHost();
