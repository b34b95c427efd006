#include <windows.h>

#include "dll_search.h"
#include "updater.h"
#include "wide_text.h"

#define APP_PATHS_ROOT "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths"

static const char kNotInstalledText[] = "Pelagio 2 が見つかりません。\n\n"
                                        "Pelagio 2 を最初にインストールしてください。";

// Finds the host through its App Paths registration and runs the update dialog, or warns
// that the host is missing. The command line is not used.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    RestrictDllSearch();
    Instance = instance;
    WorkPath.Format("%s\\%s", APP_PATHS_ROOT, kHostProgramFile);
    if (HostKey.Open(HKEY_LOCAL_MACHINE, WorkPath) &&
        HostKey.QueryString(0, InstallDirectory.Data(), PathBuffer::Capacity, "")) {
        InstallDirectory.Assign(InstallDirectory.DirectoryPart());
        // A Unicode dialog: its edit control then holds the name as UTF-16.
        DialogBoxParamW(instance, L"UpdateDlg", 0, UpdateDialogProc, 0);
        return 0;
    }
    ShowProgramMessage(0, kNotInstalledText, MB_ICONWARNING);
    return 0;
}
