// The launch button: a running host gets one signal, the host program is started with its
// launch switch in the updater's directory, and the updater ends, also when the host hangs.
#include <gtest/gtest.h>

#include <stdio.h>

#include "harness.h"
#include "resource_ids.h"

namespace {

std::string HandleText(HWND window) {
    char text[64];
    snprintf(text, sizeof(text), "0x%llx",
             static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    return text;
}

std::string Signal(HWND window) {
    return "signal window=" + HandleText(window) + " wparam=0x0 lparam=0x0";
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& start) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.compare(0, start.size(), start) == 0)
            found.push_back(line);
    return found;
}

// A running stand-in host with the given options and its window, once it has made all its
// windows and handled what that brought: a host still busy when the updater's dialog takes
// the front handles the dialog's activation late, and Wine then takes its own front window
// away from it (its thread still gets "you lost the activation" for the window that was in
// front when the dialog came, and deactivates whatever is active by then).
struct RunningHost {
    RunningHost(const HostInstallation& host, const std::string& options, const char* className,
                const char* title, bool handlesMessages = true) {
        EXPECT_TRUE(process.Start(host.ProgramPath(), "Pelagio2.scr " + options));
        WaitUntil("the stand-in host's window",
                  [&] { return (window = FindWindowA(className, title)) != 0; });
        EXPECT_NE(window, nullptr) << "the stand-in host shows no window";
        if (handlesMessages) {
            EXPECT_TRUE(process.WaitForIdle()) << "the stand-in host did not settle";
        }
    }
    ChildProcess process;
    HWND window = 0;
};

class LaunchTest : public ::testing::Test {
  protected:
    // Starts the updater in its own current directory, presses launch and waits for its end.
    void PressLaunch(DWORD boundMs = 20000) {
        ASSERT_TRUE(updater_.Start(current_.Path()));
        HWND dialog = updater_.WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        DWORD pressed = GetTickCount();
        PressButton(dialog, IDC_LAUNCH);
        DWORD exitCode = 99;
        ASSERT_TRUE(updater_.WaitForExit(boundMs, &exitCode)) << "the updater did not end";
        EXPECT_EQ(exitCode, 0u);
        elapsedMs_ = GetTickCount() - pressed;
    }
    // The host program's own start, as the stand-in host recorded it.
    void ExpectHostStarted() {
        ASSERT_TRUE(WaitFor([&] { return !Matching(host_.HostLog(), "launch").empty(); }))
            << "the host program was not started";
        std::vector<std::string> launches = Matching(host_.HostLog(), "launch");
        ASSERT_EQ(launches.size(), 1u);
        std::string directory = current_.Path().substr(0, current_.Path().size() - 1);
        std::string line = launches[0];
        EXPECT_EQ(line.substr(0, line.find(" priority=")),
                  "launch command-line=[ -r Launch] directory=[" + directory + "]");
    }
    HostInstallation host_;
    HostRegistration registration_{host_.ProgramPath()};
    TempFolder current_{"updater-cwd"};
    UpdaterRun updater_;
    DWORD elapsedMs_ = 0;
};

TEST_F(LaunchTest, WithoutARunningHostStartsTheHostProgram) {
    ASSERT_NO_FATAL_FAILURE(PressLaunch());
    ExpectHostStarted();
    EXPECT_TRUE(Matching(host_.HostLog(), "signal").empty());
}

// The host's main window, also when its title differs from "Pelagio 2" in ASCII case only.
class RunningHostTest : public LaunchTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RunningHostTest, GetsOneSignalAndTheProgramStartsToo) {
    {
        const char* title = GetParam();
        RunningHost running(host_, std::string("--window ") + title, "Pelagio 2 Class", title);
        ASSERT_NE(running.window, nullptr);
        ASSERT_NO_FATAL_FAILURE(PressLaunch());
        ExpectHostStarted();
        EXPECT_EQ(Matching(host_.HostLog(), "signal"),
                  std::vector<std::string>{Signal(running.window)});
    }
}

TEST_F(LaunchTest, ActiveDesktopChildGetsTheSignal) {
    HWND desktop = 0, child = 0;
    ChildProcess process;
    ASSERT_TRUE(process.Start(host_.ProgramPath(), "Pelagio2.scr --desktop"));
    ASSERT_TRUE(WaitFor([&] {
        desktop = FindWindowA(0, "Stand-in desktop");
        child = desktop ? FindWindowExA(desktop, 0, 0, "Pelagio 2 ActiveDesktop") : 0;
        return child != 0;
    }));
    ASSERT_NO_FATAL_FAILURE(PressLaunch());
    ExpectHostStarted();
    EXPECT_EQ(Matching(host_.HostLog(), "signal"), std::vector<std::string>{Signal(child)});
}

INSTANTIATE_TEST_SUITE_P(Titles, RunningHostTest, ::testing::Values("Pelagio 2", "PELAGIO 2"));

// A host whose thread handles no messages holds neither the activation nor the signal.
TEST_F(LaunchTest, HungHostDoesNotHoldTheUpdater) {
    RunningHost running(host_, "--hung", "Pelagio 2 Class", "Pelagio 2", false);
    ASSERT_NE(running.window, nullptr);
    ASSERT_NO_FATAL_FAILURE(PressLaunch(30000));
    printf("  the updater ended %lu ms after the press\n", elapsedMs_);
    EXPECT_LT(elapsedMs_, 15000u);
    ExpectHostStarted();
}

// A running host behind the dialog is in front when the signal comes: restored if it was
// minimised and its last active pop-up made the foreground window. A host whose thread
// already owns the foreground window is left as it is.
TEST(LaunchActivation, HostIsInFrontWhenItGetsTheSignal) {
    struct Case {
        const char* what;
        const char* options;
        const char* inFront;  // the host window the test puts in front, or null: the dialog
        const char* expected; // the host window in front at the signal
    } cases[] = {
        {"minimised host", "--minimised", nullptr, "Pelagio 2"},
        {"host with a pop-up", "--popup", nullptr, "Stand-in pop-up"},
        {"host's thread in front", "--second", "Stand-in other", "Stand-in other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostInstallation host;
        HostRegistration registration(host.ProgramPath());
        RunningHost running(host, c.options, "Pelagio 2 Class", "Pelagio 2");
        ASSERT_NE(running.window, nullptr);
        UpdaterRun updater;
        ASSERT_TRUE(updater.Start());
        HWND dialog = updater.WaitForDialog();
        ASSERT_NE(dialog, nullptr);
        // The dialog manager activates the dialog once WM_INITDIALOG is done: let it finish
        // before another window is put in front.
        ASSERT_TRUE(updater.WaitForIdle());
        HWND front = c.inFront ? FindWindowA(0, c.inFront) : dialog;
        ASSERT_NE(front, nullptr);
        SetForegroundWindow(front);
        ASSERT_TRUE(WaitUntil("the window put in front to be in front",
                              [&] { return GetForegroundWindow() == front; }))
            << "expected " << DescribeWindow(front) << " in front";
        PressButton(dialog, IDC_LAUNCH);
        ASSERT_TRUE(updater.WaitForExit(20000));
        HWND expected = FindWindowA(0, c.expected);
        ASSERT_NE(expected, nullptr);
        std::vector<std::string> front_lines = Matching(host.HostLog(), "front");
        EXPECT_EQ(Matching(host.HostLog(), "state"),
                  std::vector<std::string>{"state iconic=0 foreground=" + HandleText(expected)})
            << "expected in front: " << DescribeWindow(expected)
            << "\n  the host saw: " << (front_lines.empty() ? "no signal" : front_lines[0]) << "\n"
            << SceneReport();
    }
}

// Run with WINEDEBUG=warn+process: Wine logs the creation flags it was asked for.
TEST(LaunchFlags, HostIsStartedOnce) {
    HostInstallation host;
    HostRegistration registration(host.ProgramPath());
    UpdaterRun updater;
    ASSERT_TRUE(updater.Start());
    HWND dialog = updater.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    PressButton(dialog, IDC_LAUNCH);
    ASSERT_TRUE(updater.WaitForExit(20000));
    EXPECT_TRUE(WaitFor([&] { return !Matching(host.HostLog(), "launch").empty(); }));
}

} // namespace
