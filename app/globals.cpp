#include "updater.h"

// Constructed in this order before WinMain runs; HostKey closes the key at exit.
RegistryKey HostKey;
PathBuffer InstallDirectory;
PathBuffer WorkPath;
HINSTANCE Instance;
HWND DialogWindow;

const char kHostProgramFile[] = "Pelagio2.scr";
const char kHostTitle[] = "Pelagio 2";
