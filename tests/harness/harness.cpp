#include "harness.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace {

const char kAppPathsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Pelagio2.scr";
const char kDesktopKey[] = "Control Panel\\Desktop";

void RemoveTree(const std::string& folder) {
    for (const std::string& name : FolderEntries(folder)) {
        std::string path = folder + name;
        DWORD attributes = GetFileAttributesA(path.c_str());
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            RemoveTree(path + "\\");
        else
            DeleteFileA(path.c_str());
    }
    RemoveDirectoryA(folder.c_str());
}

struct ThreadWindows {
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM state) {
    reinterpret_cast<ThreadWindows*>(state)->windows.push_back(window);
    return TRUE;
}

std::vector<HWND> WindowsOfThread(DWORD threadId) {
    ThreadWindows found;
    EnumThreadWindows(threadId, CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found.windows;
}

bool IsDialog(HWND window) {
    return ClassName(window) == "#32770" && IsWindowVisible(window);
}

BOOL CALLBACK CollectTopWindow(HWND window, LPARAM state) {
    reinterpret_cast<std::vector<HWND>*>(state)->push_back(window);
    return TRUE;
}

// The host installations alive now, for SceneReport.
std::vector<const HostInstallation*>& LiveInstallations() {
    static std::vector<const HostInstallation*> installations;
    return installations;
}

HWND FindDialog(const std::vector<HWND>& windows, bool messageBox) {
    for (HWND window : windows)
        if (IsDialog(window) && (GetDlgItem(window, 0xFFFF) != 0) == messageBox)
            return window;
    return 0;
}

} // namespace

std::string DescribeWindow(HWND window) {
    if (!window)
        return "no window";
    char text[256];
    DWORD process = 0;
    DWORD thread = GetWindowThreadProcessId(window, &process);
    // The title as the window's thread sets it: a caption is readable across processes.
    char title[128] = "";
    GetWindowTextA(window, title, sizeof(title));
    snprintf(text, sizeof(text), "0x%llx \"%s\" class \"%s\" thread 0x%lx process 0x%lx%s",
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), title,
             ClassName(window).c_str(), thread, process,
             IsWindowVisible(window) ? "" : " (hidden)");
    return text;
}

std::string SceneReport() {
    std::vector<HWND> windows;
    EnumWindows(CollectTopWindow, reinterpret_cast<LPARAM>(&windows));
    HWND front = GetForegroundWindow();
    std::string report = "  top-level windows, front first in z-order:\n";
    for (HWND window : windows)
        report += "    " + DescribeWindow(window) + (window == front ? "  <- in front\n" : "\n");
    if (front && std::find(windows.begin(), windows.end(), front) == windows.end())
        report += "    in front: " + DescribeWindow(front) + "\n";
    for (const HostInstallation* host : LiveInstallations()) {
        report += "  " + host->FishFolder() + " holds:";
        for (const std::string& name : FolderEntries(host->FishFolder()))
            report += " " + name;
        report += "\n  host.log:\n";
        for (const std::string& line : host->HostLog())
            report += "    " + line + "\n";
    }
    return report;
}

void ReportTimeout(const std::string& what, DWORD timeoutMs) {
    printf("  timed out after %lu ms waiting for %s; there was:\n%s", timeoutMs, what.c_str(),
           SceneReport().c_str());
    fflush(stdout);
}

DWORD Scaled(DWORD timeoutMs) {
    static const DWORD scale = [] {
        const char* text = getenv("PELAGIO_TIME_SCALE");
        int value = text ? atoi(text) : 1;
        return DWORD(value > 1 ? value : 1);
    }();
    return timeoutMs * scale;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char pair[4];
    for (unsigned char c : bytes) {
        snprintf(pair, sizeof(pair), "%02X ", c);
        out += pair;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

std::string Hex(const std::wstring& text) {
    std::string out;
    char unit[6];
    for (wchar_t c : text) {
        snprintf(unit, sizeof(unit), "%04X ", unsigned(c));
        out += unit;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

std::wstring WideWindowText(HWND window) {
    wchar_t text[1024] = L"";
    LRESULT length = SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return std::wstring(text, length > 0 ? length : 0);
}

std::wstring Wide(const std::string& bytes, UINT codePage) {
    wchar_t text[1024];
    int length = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), text, 1024);
    return std::wstring(text, length > 0 ? length : 0);
}

std::string Narrow(const std::wstring& text) {
    char bytes[2048];
    int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), bytes, sizeof(bytes), 0, 0);
    return std::string(bytes, length > 0 ? length : 0);
}

std::string WindowText(HWND window) {
    // GetWindowText gives only the caption of another process's window, not a control's text.
    char text[1024] = "";
    LRESULT length = SendMessageA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text));
    return std::string(text, length > 0 ? length : 0);
}

std::string ClassName(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof(name));
    return name;
}

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return bytes;
    char chunk[65536];
    size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), file)) > 0)
        bytes.append(chunk, count);
    fclose(file);
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ProgramFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(0, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\') + 1);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string name = entry.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

ScopedVariable::ScopedVariable(const char* name, const std::string& value) : name_(name) {
    char old[4096];
    DWORD length = GetEnvironmentVariableA(name, old, sizeof(old));
    had_ = length > 0 && length < sizeof(old);
    old_ = had_ ? old : "";
    SetEnvironmentVariableA(name, value.c_str());
}

ScopedVariable::~ScopedVariable() {
    SetEnvironmentVariableA(name_, had_ ? old_.c_str() : 0);
}

SystemDpi::SystemDpi(DWORD dpi) {
    DWORD size = sizeof(old_);
    had_ = RegGetValueA(HKEY_CURRENT_USER, kDesktopKey, "LogPixels", RRF_RT_REG_DWORD, 0, &old_,
                        &size) == ERROR_SUCCESS;
    RegSetKeyValueA(HKEY_CURRENT_USER, kDesktopKey, "LogPixels", REG_DWORD, &dpi, sizeof(dpi));
}

SystemDpi::~SystemDpi() {
    if (had_)
        RegSetKeyValueA(HKEY_CURRENT_USER, kDesktopKey, "LogPixels", REG_DWORD, &old_,
                        sizeof(old_));
    else
        RegDeleteKeyValueA(HKEY_CURRENT_USER, kDesktopKey, "LogPixels");
}

TempFolder::TempFolder(const std::string& name) {
    char base[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, base);
    static unsigned counter;
    for (;;) {
        char unique[64];
        snprintf(unique, sizeof(unique), "-%lu-%u", GetCurrentProcessId(), ++counter);
        path_ = std::string(base) + name + unique;
        if (CreateDirectoryA(path_.c_str(), 0))
            break;
    }
    path_ += "\\";
}

TempFolder::~TempFolder() {
    RemoveTree(path_);
}

HostRegistration::HostRegistration(const std::string& value, DWORD type, REGSAM view) {
    Remove();
    HKEY key = 0;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, 0, 0, 0, KEY_WRITE | view, 0, &key, 0);
    RegSetValueExA(key, 0, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   DWORD(value.size() + 1));
    RegCloseKey(key);
}

HostRegistration::~HostRegistration() {
    Remove();
}

void HostRegistration::Remove() {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, KEY_WOW64_32KEY, 0);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kAppPathsKey, KEY_WOW64_64KEY, 0);
}

HostInstallation::HostInstallation(const std::string& name, bool withFishFolder) : folder_(name) {
    CopyFileA((ProgramFolder() + "StandInHost.exe").c_str(), ProgramPath().c_str(), FALSE);
    if (withFishFolder)
        CreateDirectoryA(FishFolder().c_str(), 0);
    LiveInstallations().push_back(this);
}

HostInstallation::~HostInstallation() {
    std::vector<const HostInstallation*>& live = LiveInstallations();
    live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

std::vector<std::string> HostInstallation::HostLog() const {
    return Lines(ReadFileBytes(Directory() + "host.log"));
}

ChildProcess::~ChildProcess() {
    if (!info_.hProcess)
        return;
    if (Running()) {
        TerminateProcess(info_.hProcess, 1);
        WaitForSingleObject(info_.hProcess, 5000);
    }
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
}

bool ChildProcess::Start(const std::string& program, const std::string& commandLine,
                         const std::string& currentDirectory) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(program.c_str(), line.data(), 0, 0, FALSE, 0, 0,
                       currentDirectory.empty() ? 0 : currentDirectory.c_str(), &startup, &info_))
        return true;
    printf("  %s could not be started: error %lu\n", program.c_str(), GetLastError());
    return false;
}

bool ChildProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    if (WaitForSingleObject(info_.hProcess, Scaled(timeoutMs)) != WAIT_OBJECT_0) {
        char what[64];
        snprintf(what, sizeof(what), "process 0x%lx to end", info_.dwProcessId);
        ReportTimeout(what, Scaled(timeoutMs));
        return false;
    }
    if (exitCode)
        GetExitCodeProcess(info_.hProcess, exitCode);
    return true;
}

bool ChildProcess::WaitForIdle(DWORD timeoutMs) {
    if (WaitForInputIdle(info_.hProcess, Scaled(timeoutMs)) == 0)
        return true;
    ReportTimeout("the process to wait for input", Scaled(timeoutMs));
    return false;
}

bool ChildProcess::Running() const {
    return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

std::string ChildProcess::State() const {
    char text[96];
    DWORD code = 0;
    if (!info_.hProcess)
        snprintf(text, sizeof(text), "was never started");
    else if (Running())
        snprintf(text, sizeof(text), "(process 0x%lx) is still running", info_.dwProcessId);
    else if (GetExitCodeProcess(info_.hProcess, &code))
        snprintf(text, sizeof(text), "(process 0x%lx) ended with exit code 0x%lx",
                 info_.dwProcessId, code);
    else
        snprintf(text, sizeof(text), "(process 0x%lx) ended", info_.dwProcessId);
    return text;
}

std::string UpdaterRun::ProgramPath() {
    const char* path = getenv("PELAGIO_UPDATER");
    return path && *path ? path : ProgramFolder() + "PelagioUpdate.exe";
}

bool UpdaterRun::Start(const std::string& currentDirectory, const std::string& arguments,
                       const std::string& program) {
    std::string line = "\"" + program + "\"";
    if (!arguments.empty())
        line += " " + arguments;
    return ChildProcess::Start(program, line, currentDirectory);
}

std::vector<HWND> UpdaterRun::Windows() const {
    return WindowsOfThread(ThreadId());
}

HWND UpdaterRun::WaitForDialog(DWORD timeoutMs) const {
    HWND dialog = 0;
    auto shown = [&] { return (dialog = FindDialog(Windows(), false)) != 0; };
    if (timeoutMs == 0)
        WaitFor(shown, 0);
    else if (!WaitUntil("the updater's dialog", shown, timeoutMs))
        printf("  the updater %s\n", State().c_str());
    return dialog;
}

std::vector<std::string> ProbeInside(const UpdaterRun& updater, HWND dialog, const char* dll,
                                     const char* hook, const char* message,
                                     const std::string& result) {
    DeleteFileA(result.c_str());
    HMODULE probe = LoadLibraryA((ProgramFolder() + dll).c_str());
    HOOKPROC procedure =
        reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe, hook)));
    if (!procedure)
        return {std::string("the probe ") + dll + " or its " + hook + " is missing"};
    HHOOK installed = SetWindowsHookExA(WH_CALLWNDPROC, procedure, probe, updater.ThreadId());
    if (!installed)
        return {"SetWindowsHookEx failed with error " + std::to_string(GetLastError())};
    DWORD_PTR answer = 0;
    LRESULT handled = SendMessageTimeoutA(dialog, RegisterWindowMessageA(message), 0, 0,
                                          SMTO_NORMAL, Scaled(10000), &answer);
    UnhookWindowsHookEx(installed);
    if (!handled)
        return {std::string("the dialog did not answer ") + message};
    return Lines(ReadFileBytes(result));
}

HWND FindMessageBoxOf(DWORD threadId) {
    return FindDialog(WindowsOfThread(threadId), true);
}

HWND UpdaterRun::WaitForMessageBox(DWORD timeoutMs) const {
    HWND box = 0;
    if (!WaitUntil(
            "the updater's message box", [&] { return (box = FindMessageBoxOf(ThreadId())) != 0; },
            timeoutMs))
        printf("  the updater %s\n", State().c_str());
    return box;
}

bool UpdaterRun::MessageBoxAppears(DWORD withinMs) const {
    return WaitFor([&] { return FindMessageBoxOf(ThreadId()) != 0; }, withinMs);
}

std::string MessageBoxText(HWND box) {
    return WindowText(GetDlgItem(box, 0xFFFF));
}

void PressButton(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void PressKey(HWND window, UINT virtualKey) {
    PostMessageA(window, WM_KEYDOWN, virtualKey, 1);
    PostMessageA(window, WM_KEYUP, virtualKey, 0xC0000001);
}

void DismissMessageBox(HWND box) {
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}
