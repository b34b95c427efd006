// The fish kit's preview driver: runs updaters one after another in this program's desktop
// and saves what they show. The kit starts one driver per desktop and locale, as
// "explorer /desktop=NAME,640x400 preview_driver.exe JOBS TAG".
//
// JOBS holds one line per fish: "NUMBER<TAB>UPDATER.exe<TAB>OUTPUT_PREFIX" (Windows paths).
// For each, the driver registers a host, starts the updater and saves OUTPUT_PREFIX-dialog-
// TAG.bmp (the dialog window), measures the name with fit_probe.dll beside this program into
// OUTPUT_PREFIX-fit-TAG.txt and, when TAG is "ja", presses install and saves the completion
// message as OUTPUT_PREFIX-message.bmp. It prints "OK NUMBER" or "FAIL NUMBER REASON" per fish.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define IDC_UPDATE 1006
#define IDC_NAME 1002
#define HOST_FOLDER "C:\\fish-kit-preview"
// A fish whose windows do not come within this many milliseconds fails; the others go on.
#define LIMIT_MS 15000

struct Search {
    DWORD thread;
    HWND dialog; // the update dialog
    HWND box;    // a message box: a dialog with the text control 0xFFFF
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    struct Search* search = (struct Search*)parameter;
    char kind[16];
    if (GetWindowThreadProcessId(window, 0) != search->thread || !IsWindowVisible(window) ||
        !GetClassNameA(window, kind, sizeof(kind)) || strcmp(kind, "#32770") != 0)
        return TRUE;
    if (GetDlgItem(window, 0xFFFF))
        search->box = window;
    else
        search->dialog = window;
    return TRUE;
}

// Waits for the thread's update dialog (wantBox 0) or a message box (wantBox 1); whichever
// shows first ends the wait. Returns the search.
static struct Search WaitForWindow(DWORD thread, int wantBox, HANDLE process) {
    struct Search search = {thread, 0, 0};
    DWORD start = GetTickCount();
    while (GetTickCount() - start < LIMIT_MS) {
        search.dialog = search.box = 0;
        EnumWindows(MatchWindow, (LPARAM)&search);
        if (search.box || (!wantBox && search.dialog) ||
            WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            break;
        Sleep(10);
    }
    return search;
}

// The window's pixels as the screen shows them, once two captures 40 ms apart agree.
static int SaveWindow(HWND window, const char* path) {
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    int stride = (width * 3 + 3) & ~3, size = stride * height;
    BITMAPINFOHEADER header = {sizeof(header), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    char* last = calloc(1, size);
    HDC screen = GetDC(0), memory = CreateCompatibleDC(screen);
    void* bits = 0;
    HBITMAP bitmap = CreateDIBSection(screen, (BITMAPINFO*)&header, DIB_RGB_COLORS, &bits, 0, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    for (int round = 0; round < 50; ++round) {
        BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
        GdiFlush();
        if (round > 0 && memcmp(last, bits, size) == 0)
            break;
        memcpy(last, bits, size);
        Sleep(40);
    }
    BITMAPFILEHEADER file = {0x4D42, sizeof(file) + sizeof(header) + size, 0, 0,
                             sizeof(file) + sizeof(header)};
    FILE* out = fopen(path, "wb");
    int written = out && fwrite(&file, sizeof(file), 1, out) == 1 &&
                  fwrite(&header, sizeof(header), 1, out) == 1 && fwrite(bits, size, 1, out) == 1;
    if (out)
        fclose(out);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(0, screen);
    free(last);
    return written;
}

static void RegisterHost(void) {
    HKEY key;
    const char value[] = HOST_FOLDER "\\Pelagio2.scr";
    CreateDirectoryA(HOST_FOLDER, 0);
    CreateDirectoryA(HOST_FOLDER "\\Fish", 0);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Pelagio2.scr", 0,
                        0, 0, KEY_WRITE, 0, &key, 0) == ERROR_SUCCESS) {
        RegSetValueExA(key, 0, 0, REG_SZ, (const BYTE*)value, sizeof(value));
        RegCloseKey(key);
    }
}

// The hook writes where the updater's environment says (PELAGIO_FIT_RESULT).
static void Measure(HWND dialog, DWORD thread) {
    char probe[MAX_PATH];
    GetModuleFileNameA(0, probe, MAX_PATH);
    strcpy(strrchr(probe, '\\') + 1, "fit_probe.dll");
    HMODULE module = LoadLibraryA(probe);
    HOOKPROC hook = module ? (HOOKPROC)(void*)GetProcAddress(module, "FitHook") : 0;
    HHOOK installed = hook ? SetWindowsHookExA(WH_CALLWNDPROC, hook, module, thread) : 0;
    if (!installed)
        return;
    DWORD_PTR answer;
    SendMessageTimeoutA(dialog, RegisterWindowMessageA("PelagioFitProbe"), 0, 0, SMTO_NORMAL,
                        LIMIT_MS, &answer);
    UnhookWindowsHookEx(installed);
}

// One fish: returns 0, or the reason it failed in reason.
static int Preview(const char* exe, const char* prefix, const char* tag, char* reason) {
    char path[MAX_PATH + 32], command[MAX_PATH + 4];
    snprintf(path, sizeof(path), "%s-fit-%s.txt", prefix, tag);
    // The updater's environment carries the probe's result path; the hook reads it there.
    SetEnvironmentVariableA("PELAGIO_FIT_RESULT", path);
    snprintf(command, sizeof(command), "\"%s\"", exe);
    STARTUPINFOA startup = {0};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessA(exe, command, 0, 0, FALSE, 0, 0, 0, &startup, &process)) {
        snprintf(reason, 256, "the updater could not be started (error %lu)", GetLastError());
        return 1;
    }
    int failed = 1;
    struct Search shown = WaitForWindow(process.dwThreadId, 0, process.hProcess);
    HWND dialog = shown.dialog;
    if (!dialog || shown.box) {
        if (shown.box)
            snprintf(reason, 256, "it showed a message box instead of its dialog");
        else if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0)
            snprintf(reason, 256, "the updater ended without a dialog");
        else
            snprintf(reason, 256, "no dialog appeared within %d s", LIMIT_MS / 1000);
        goto done;
    }
    WaitForInputIdle(process.hProcess, LIMIT_MS);
    snprintf(path, sizeof(path), "%s-dialog-%s.bmp", prefix, tag);
    if (!SaveWindow(dialog, path)) {
        snprintf(reason, 256, "its dialog could not be saved as %s", path);
        goto done;
    }
    Measure(dialog, process.dwThreadId);
    if (strcmp(tag, "ja") == 0) {
        PostMessageA(dialog, WM_COMMAND, IDC_UPDATE, 0);
        HWND box = WaitForWindow(process.dwThreadId, 1, process.hProcess).box;
        if (!box) {
            snprintf(reason, 256, "no completion message appeared within %d s", LIMIT_MS / 1000);
            goto done;
        }
        snprintf(path, sizeof(path), "%s-message.bmp", prefix);
        if (!SaveWindow(box, path)) {
            snprintf(reason, 256, "its completion message could not be saved as %s", path);
            goto done;
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    failed = 0;
done:
    if (WaitForSingleObject(process.hProcess, failed ? 0 : LIMIT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return failed;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: preview_driver.exe JOBS TAG\n");
        return 2;
    }
    FILE* jobs = fopen(argv[1], "rb");
    if (!jobs) {
        fprintf(stderr, "preview_driver: %s cannot be read\n", argv[1]);
        return 2;
    }
    RegisterHost();
    char line[3 * MAX_PATH];
    while (fgets(line, sizeof(line), jobs)) {
        char* number = strtok(line, "\t\r\n");
        char* exe = strtok(0, "\t\r\n");
        char* prefix = strtok(0, "\t\r\n");
        if (!number || !exe || !prefix)
            continue;
        char reason[256] = "";
        if (Preview(exe, prefix, argv[2], reason))
            printf("FAIL %s %s\n", number, reason);
        else
            printf("OK %s\n", number);
        fflush(stdout);
    }
    fclose(jobs);
    return 0;
}
