// End-to-end harness: real registry keys, folders, processes and windows, with every wait
// bounded by a deadline.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A deadline stretched by PELAGIO_TIME_SCALE (a whole factor, 1 when unset): the emulated
// machine that runs the 32-bit build is several times slower than this one.
DWORD Scaled(DWORD timeoutMs);

// Polls a condition every 10 ms until it holds or the (scaled) deadline passes. Quiet at the
// deadline: for checks that something does not happen.
template <class Condition> bool WaitFor(Condition condition, DWORD timeoutMs = 10000) {
    timeoutMs = Scaled(timeoutMs);
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(10);
    }
}

// Prints what a wait that timed out waited for, and the scene it saw (SceneReport).
void ReportTimeout(const std::string& what, DWORD timeoutMs);
// WaitFor for what must happen: at the deadline it says what it waited for and what there was.
template <class Condition>
bool WaitUntil(const std::string& what, Condition condition, DWORD timeoutMs = 10000) {
    if (WaitFor(condition, timeoutMs))
        return true;
    ReportTimeout(what, Scaled(timeoutMs));
    return false;
}

// A window as a failure message shows it: handle, title, class, owning thread and process,
// visibility.
std::string DescribeWindow(HWND window);
// What a user would see: the top-level windows (the one in front marked), and each host
// installation's Fish folder and host log.
std::string SceneReport();

// Bytes as hex pairs, for failure messages about code page 932 text.
std::string Hex(const std::string& bytes);
// UTF-16 units as hex, for failure messages.
std::string Hex(const std::wstring& text);
// A window's text as the ANSI (code page 932) bytes the program set.
std::string WindowText(HWND window);
// A window's text as UTF-16, as a Unicode reader sees it on any system.
std::wstring WideWindowText(HWND window);
// Text of a code page (932: the program's own texts) as UTF-16, and UTF-16 in this
// system's ANSI code page.
std::wstring Wide(const std::string& bytes, UINT codePage = 932);
std::string Narrow(const std::wstring& text);
std::string ClassName(HWND window);
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Folder of the running test program, with a trailing backslash.
std::string ProgramFolder();
// Names of the entries of a folder, "." and ".." left out.
std::vector<std::string> FolderEntries(const std::string& folder);

// The lines of a text whose lines end in CR LF.
std::vector<std::string> Lines(const std::string& text);

// Sets an environment variable for the processes this test starts; restores it after.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value);
    ScopedVariable(const ScopedVariable&) = delete;
    ~ScopedVariable();

  private:
    const char* name_;
    std::string old_;
    bool had_;
};

// The system DPI that Windows programs started from now on take (Wine reads the user's
// LogPixels as a process starts); the old setting back on destruction.
class SystemDpi {
  public:
    explicit SystemDpi(DWORD dpi);
    SystemDpi(const SystemDpi&) = delete;
    ~SystemDpi();

  private:
    DWORD old_ = 0;
    bool had_ = false;
};

// A fresh folder under the prefix's temporary folder, removed with its contents.
class TempFolder {
  public:
    explicit TempFolder(const std::string& name = "pelagio");
    ~TempFolder();
    // The folder's path with a trailing backslash.
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

// The host's App Paths registration, as the host's installer writes it: in the 32-bit
// view, where a 32-bit installer writes, unless another view is named. Removed from both
// views on destruction and before it is written.
class HostRegistration {
  public:
    HostRegistration(const std::string& value, DWORD type = REG_SZ, REGSAM view = KEY_WOW64_32KEY);
    HostRegistration(const HostRegistration&) = delete;
    ~HostRegistration();
    static void Remove();
};

// A host installation: a folder holding the stand-in host as Pelagio2.scr and a Fish folder.
// While it lives, SceneReport lists its Fish folder and its host log.
class HostInstallation {
  public:
    explicit HostInstallation(const std::string& name = "Pelagio 2", bool withFishFolder = true);
    HostInstallation(const HostInstallation&) = delete;
    ~HostInstallation();
    const std::string& Directory() const { return folder_.Path(); }
    std::string ProgramPath() const { return Directory() + "Pelagio2.scr"; }
    std::string FishFolder() const { return Directory() + "Fish\\"; }
    // The lines the stand-in host recorded in host.log.
    std::vector<std::string> HostLog() const;

  private:
    TempFolder folder_;
};

// A Windows process started by the test, ended on destruction if it still runs.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess();
    bool Start(const std::string& program, const std::string& commandLine,
               const std::string& currentDirectory = "");
    // Waits for the process to end, with the deadline scaled as WaitFor's; at the deadline it
    // reports the scene.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = 0);
    // Waits until the process waits for input with none pending (its windows set up).
    bool WaitForIdle(DWORD timeoutMs = 10000);
    bool Running() const;
    // Whether it runs, or how it ended, for failure messages.
    std::string State() const;
    DWORD ThreadId() const { return info_.dwThreadId; }
    DWORD ProcessId() const { return info_.dwProcessId; }

  private:
    PROCESS_INFORMATION info_ = {};
};

// The real updater and its windows: the exe that PELAGIO_UPDATER names (the shipped 32-bit
// one in the emulated machine), else the 64-bit twin beside the tests.
class UpdaterRun : public ChildProcess {
  public:
    static std::string ProgramPath();
    // Starts the updater, or a copy of it at another path.
    bool Start(const std::string& currentDirectory = "", const std::string& arguments = "",
               const std::string& program = ProgramPath());
    // Top-level windows of the updater's thread.
    std::vector<HWND> Windows() const;
    // The update dialog (a dialog without control 0xFFFF), or null when the deadline passes
    // (reported, unless the deadline is 0: a check that none shows).
    HWND WaitForDialog(DWORD timeoutMs = 10000) const;
    // A message box (a dialog with a text control 0xFFFF), or null (reported).
    HWND WaitForMessageBox(DWORD timeoutMs = 10000) const;
    // Whether a message box shows up within the time; for checks that none appears.
    bool MessageBoxAppears(DWORD withinMs) const;
};

// Runs a probe DLL beside the tests inside the updater's thread: hooks its window procedure
// calls with the DLL's export `hook`, sends the dialog the registered `message` and returns
// the lines the probe wrote to `result` (one line saying what failed when it could not run).
std::vector<std::string> ProbeInside(const UpdaterRun& updater, HWND dialog, const char* dll,
                                     const char* hook, const char* message,
                                     const std::string& result);

HWND FindMessageBoxOf(DWORD threadId);
// Text of a message box (its control 0xFFFF).
std::string MessageBoxText(HWND box);
void PressButton(HWND dialog, int id);
void PressKey(HWND window, UINT virtualKey);
void DismissMessageBox(HWND box);
