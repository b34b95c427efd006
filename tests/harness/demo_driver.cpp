// Drives the updater for the headless demo: starts it, reports what it shows, asks the
// demo script for a screenshot at each step ("SHOT name", answered by a line on stdin) and
// presses the buttons the options ask for.
//
// usage: demo_driver.exe [--install] [--launch]
#include <stdio.h>
#include <string.h>

#include "harness.h"
#include "resource_ids.h"

namespace {

// A window's text in UTF-8, legible whatever the locale the demo runs in.
std::string Shown(HWND window) {
    std::wstring text = WideWindowText(window);
    char bytes[4096];
    int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes, sizeof(bytes), 0, 0);
    return std::string(bytes, length > 0 ? length : 0);
}

void Say(const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
}

void Screenshot(const char* name) {
    printf("SHOT %s\n", name);
    fflush(stdout);
    char answer[64];
    if (!fgets(answer, sizeof(answer), stdin))
        Say("no answer from the demo script; going on");
}

bool HasOption(int argc, char** argv, const char* option) {
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], option) == 0)
            return true;
    return false;
}

int Finish(UpdaterRun& updater) {
    DWORD exitCode = 0;
    if (!updater.WaitForExit(20000, &exitCode)) {
        Say("the updater did not end in 20 s");
        return 1;
    }
    Say("the updater ended with exit code " + std::to_string(exitCode));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    UpdaterRun updater;
    if (!updater.Start()) {
        Say("cannot start " + UpdaterRun::ProgramPath());
        return 1;
    }
    HWND dialog = 0, box = 0;
    WaitFor(
        [&] {
            box = FindMessageBoxOf(updater.ThreadId());
            dialog = box ? 0 : updater.WaitForDialog(0);
            return box || dialog;
        },
        20000);
    if (box) {
        Say("message box \"" + Shown(box) + "\": " + Shown(GetDlgItem(box, 0xFFFF)));
        Screenshot("warning");
        DismissMessageBox(box);
        return Finish(updater);
    }
    if (!dialog) {
        Say("no window appeared in 20 s");
        return 1;
    }
    bool failed = false;
    Say("dialog \"" + Shown(dialog) + "\", name: " + Shown(GetDlgItem(dialog, IDC_NAME)));
    Screenshot("dialog");
    if (HasOption(argc, argv, "--install")) {
        Say("pressing the install button");
        DWORD pressed = GetTickCount();
        PressButton(dialog, IDC_UPDATE);
        box = updater.WaitForMessageBox(20000);
        if (box)
            Say("the completion message came " + std::to_string(GetTickCount() - pressed) +
                " ms after the press");
        if (!box) {
            Say("no completion message appeared");
            failed = true;
        } else {
            Say("message box \"" + Shown(box) + "\": " + Shown(GetDlgItem(box, 0xFFFF)));
            Screenshot("installed");
            DismissMessageBox(box);
        }
    }
    if (HasOption(argc, argv, "--launch")) {
        Say("pressing the launch button");
        PressButton(dialog, IDC_LAUNCH);
    } else {
        Say("pressing the exit button");
        PressButton(dialog, IDCANCEL);
    }
    return Finish(updater) || failed;
}
