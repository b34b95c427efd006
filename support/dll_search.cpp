#include "dll_search.h"

#include <windows.h>

namespace {

// Looked up at run time: SetDefaultDllDirectories exists from Windows 8 (and on Vista and 7
// with update KB2533623), SetDllDirectoryW from XP SP1.
typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryFunction)(LPCWSTR);

// What Windows' DLLs load by bare name, on systems without SetDefaultDllDirectories, while a
// dialog and message boxes show: uxtheme.dll (user32 loads the theme engine for the first
// window), dwmapi.dll (the compositor's interface, used by uxtheme and user32) and
// cryptbase.dll (advapi32 loads it when first needed on Vista and 7). The other DLLs this
// program uses are KnownDLLs, which Windows takes, with their own imports, from the system
// folder only. One literal of names, each ended by a zero, the last by two; LoadLibraryEx
// adds the ".dll".
#define FETCHED_BY_NAME "uxtheme\0dwmapi\0cryptbase\0"

} // namespace

void PreloadSystemDlls() {
    wchar_t path[MAX_PATH];
    UINT folder = GetSystemDirectoryW(path, MAX_PATH - 16);
    if (folder == 0 || folder >= MAX_PATH - 16)
        return;
    path[folder++] = L'\\';
    for (const char* name = FETCHED_BY_NAME; *name; ++name) {
        UINT end = folder;
        while ((path[end++] = *name))
            ++name;
        // A full path with the altered search: the DLL's own imports come from its folder.
        LoadLibraryExW(path, 0, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

void RestrictDllSearch() {
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    SetDefaultDllDirectoriesFunction setDefault =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(
            reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    // The system folder only: the program's own folder is where a planted DLL lies.
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Wine 8 resolves its DLLs' delay-loaded imports by the standard search, which starts
        // in the program's folder whatever the call above said: imm32 fetches ole32 that way
        // once the dialog has the input focus. Loaded now, by the restricted search, ole32 is
        // then found in the process. (On Windows it is a KnownDLL: this only maps it sooner.)
        LoadLibraryA("ole32");
        return;
    }
    RestrictDllSearchFallback();
}

void RestrictDllSearchFallback() {
    SetDllDirectoryFunction setDirectory = reinterpret_cast<SetDllDirectoryFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "SetDllDirectoryW")));
    // A DLL folder of its own takes the current folder out of the search (a program run from a
    // downloads folder may have it as its current folder too). The system folder, not the
    // empty string that does the same on Windows: Wine's loader takes an empty one for none.
    wchar_t system[MAX_PATH];
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (setDirectory)
        setDirectory(length && length < MAX_PATH ? system : L"");
    PreloadSystemDlls();
}
