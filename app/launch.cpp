#include "updater.h"

#include "program_launcher.h"
#include "window_finder.h"

namespace {

const char kHostClass[] = "Pelagio 2 Class";
const char kHostDesktopTitle[] = "Pelagio 2 ActiveDesktop";
const UINT WM_HOST_SIGNAL = WM_APP + 5;
const char kLaunchCommandLine[] = " -r Launch";
const DWORD kLaunchFlags = REALTIME_PRIORITY_CLASS | CREATE_NEW_PROCESS_GROUP;
// A hung host must not hold the updater; a live one has this long to handle the signal.
const UINT kSignalTimeoutMs = 5000;

} // namespace

// Signals a running host, then starts the host program with its launch switch.
void LaunchHost() {
    HWND running = FindAndActivate(kHostClass, kHostTitle, 1);
    if (!running)
        running = FindAndActivate(0, kHostDesktopTitle, 1);
    if (running) {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(FoundWindow(), WM_HOST_SIGNAL, 0, 0, SMTO_ABORTIFHUNG, kSignalTimeoutMs,
                            &result);
    }
    WorkPath.Assign(InstallDirectory);
    WorkPath.Append(kHostProgramFile);
    LaunchProgram(WorkPath, kLaunchCommandLine, kLaunchFlags);
}
