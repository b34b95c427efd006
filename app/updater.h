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

// Host names the start-up and the launch command share.
#define HOST_PROGRAM_FILE "Pelagio2.scr"
#define HOST_TITLE "Pelagio 2"

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void PlaceControl(HWND dialog, int id, int x, int y, int width, int height);

void InstallFishFiles();
void LaunchHost();
