// A planted DLL: copied beside a program under the names of Windows DLLs. It exports
// PelagioPlanted, so that a test can tell it from the real one, and on being loaded it
// appends "<its path> in <the program's path>" to the file PELAGIO_PLANT_LOG names.
#include <windows.h>

__declspec(dllexport) int PelagioPlanted(void) {
    return 1;
}

static void LogLoad(HINSTANCE self) {
    char log[MAX_PATH], line[2 * MAX_PATH + 8], program[MAX_PATH];
    if (!GetEnvironmentVariableA("PELAGIO_PLANT_LOG", log, sizeof(log)))
        return;
    DWORD length = GetModuleFileNameA(self, line, MAX_PATH);
    GetModuleFileNameA(0, program, sizeof(program));
    length += wsprintfA(line + length, " in %s\r\n", program);
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                              OPEN_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, length, &written, 0);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        LogLoad(self);
    return TRUE;
}
