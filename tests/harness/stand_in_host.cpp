// Stand-in for the host screensaver program, for the demo and the tests.
//
// Copied into a host folder as Pelagio2.scr, it records what it is given in host.log beside
// itself, one line per event:
//   " -r Launch"        records "launch command-line=[...] directory=[...] priority=0x..." and
//   ends.
//   --window [TITLE]    runs a window of class "Pelagio 2 Class" titled TITLE ("Pelagio 2").
//   --desktop           runs a window of another class with a child titled
//                       "Pelagio 2 ActiveDesktop".
//   --hung              runs the host window, then stops handling messages.
//   --minimised         runs the host window minimised.
//   --popup             runs the host window with an owned pop-up titled "Stand-in pop-up",
//                       its last active pop-up.
//   --second            runs the host window and a second window of the same thread,
//                       titled "Stand-in other".
// Every window records each 0x8005 it receives: "signal window=0x... wparam=... lparam=...",
// then what the user saw at that moment: "state iconic=0|1 foreground=0x..." and
// "front title=[...] class=[...] thread=0x... process=0x...; this host's thread=0x...".
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

const UINT WM_HOST_SIGNAL = WM_APP + 5;
const char kHostClass[] = "Pelagio 2 Class";
const char kDesktopClass[] = "Stand-in Desktop";
const char kPaneClass[] = "Stand-in Pane";

void Record(const char* format, ...) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(0, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char* slash = strrchr(path, '\\');
    strcpy(slash ? slash + 1 : path, "host.log");
    FILE* log = fopen(path, "ab");
    if (!log)
        return;
    va_list arguments;
    va_start(arguments, format);
    vfprintf(log, format, arguments);
    va_end(arguments);
    fputs("\r\n", log);
    fclose(log);
}

// Which window is in front, for a test that finds another one there than it expected.
void RecordFront(HWND self) {
    HWND front = GetForegroundWindow();
    if (!front) {
        Record("front none; this host's thread=0x%lx", GetWindowThreadProcessId(self, 0));
        return;
    }
    char title[128] = "", className[128] = "";
    GetWindowTextA(front, title, sizeof(title));
    GetClassNameA(front, className, sizeof(className));
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(front, &process);
    Record("front title=[%s] class=[%s] thread=0x%lx process=0x%lx; this host's thread=0x%lx",
           title, className, thread, process, GetWindowThreadProcessId(self, 0));
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_HOST_SIGNAL:
        Record("signal window=0x%llx wparam=0x%llx lparam=0x%llx",
               (unsigned long long)(UINT_PTR)window, (unsigned long long)wParam,
               (unsigned long long)lParam);
        Record("state iconic=%d foreground=0x%llx", IsIconic(window) ? 1 : 0,
               (unsigned long long)(UINT_PTR)GetForegroundWindow());
        RecordFront(window);
        return 0;
    case WM_DESTROY:
        if (!GetParent(window))
            PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void RegisterHostClass(const char* name) {
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof(windowClass));
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = GetModuleHandleA(0);
    windowClass.hCursor = LoadCursor(0, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = name;
    RegisterClassA(&windowClass);
}

HWND CreateTopWindow(const char* className, const char* title) {
    RegisterHostClass(className);
    return CreateWindowExA(0, className, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 320, 200,
                           0, 0, GetModuleHandleA(0), 0);
}

int RunMessageLoop() {
    MSG message;
    while (GetMessageA(&message, 0, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

// The argument after an option, without surrounding blanks; empty when there is none.
void OptionArgument(const char* option, char* out, size_t size) {
    const char* rest = option;
    while (*rest && *rest != ' ')
        ++rest;
    while (*rest == ' ')
        ++rest;
    snprintf(out, size, "%s", rest);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* commandLine = GetCommandLineA();
    if (strcmp(commandLine, " -r Launch") == 0) {
        char directory[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, directory);
        Record("launch command-line=[%s] directory=[%s] priority=0x%lx", commandLine, directory,
               GetPriorityClass(GetCurrentProcess()));
        return 0;
    }
    const char* option = strstr(commandLine, "--");
    if (option && strncmp(option, "--window", 8) == 0) {
        char title[256];
        OptionArgument(option, title, sizeof(title));
        CreateTopWindow(kHostClass, title[0] ? title : "Pelagio 2");
        return RunMessageLoop();
    }
    if (option && strncmp(option, "--desktop", 9) == 0) {
        HWND desktop = CreateTopWindow(kDesktopClass, "Stand-in desktop");
        RegisterHostClass(kPaneClass);
        CreateWindowExA(0, kPaneClass, "Pelagio 2 ActiveDesktop", WS_CHILD | WS_VISIBLE, 0, 0, 200,
                        100, desktop, 0, GetModuleHandleA(0), 0);
        return RunMessageLoop();
    }
    if (option && strncmp(option, "--minimised", 11) == 0) {
        ShowWindow(CreateTopWindow(kHostClass, "Pelagio 2"), SW_MINIMIZE);
        return RunMessageLoop();
    }
    if (option && strncmp(option, "--popup", 7) == 0) {
        HWND host = CreateTopWindow(kHostClass, "Pelagio 2");
        CreateWindowExA(0, kHostClass, "Stand-in pop-up", WS_POPUP | WS_CAPTION | WS_VISIBLE, 80,
                        80, 200, 100, host, 0, GetModuleHandleA(0), 0);
        return RunMessageLoop();
    }
    if (option && strncmp(option, "--second", 8) == 0) {
        CreateTopWindow(kHostClass, "Pelagio 2");
        CreateTopWindow(kDesktopClass, "Stand-in other");
        return RunMessageLoop();
    }
    if (option && strncmp(option, "--hung", 6) == 0) {
        CreateTopWindow(kHostClass, "Pelagio 2");
        Sleep(INFINITE);
        return 0;
    }
    Record("unknown command-line=[%s]", commandLine);
    return 1;
}
