// Benchmark (not a test): how long each program takes from its start to its dialog on the
// screen, over many starts, taken in turns. The updater gets a host registration so that it
// shows its dialog; each dialog is closed with its exit button and the program waited for.
//
// usage: start_bench.exe RUNS PROGRAM.exe [PROGRAM.exe ...]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace {

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

// Milliseconds from the start to a visible dialog, or a negative value when none showed.
double StartToDialog(const std::string& program) {
    UpdaterRun run;
    LARGE_INTEGER start, shown;
    QueryPerformanceCounter(&start);
    if (!run.Start("", "", program))
        return -1;
    HWND dialog = run.WaitForDialog(20000);
    QueryPerformanceCounter(&shown);
    if (!dialog)
        return -1;
    PressButton(dialog, IDCANCEL);
    run.WaitForExit(20000);
    return Milliseconds(start, shown);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: start_bench.exe RUNS PROGRAM.exe [PROGRAM.exe ...]\n");
        return 2;
    }
    int runs = atoi(argv[1]);
    HostInstallation host;
    HostRegistration registration(host.ProgramPath());
    std::vector<std::vector<double>> times(argc - 2);
    for (int run = 0; run < runs; ++run)
        for (int i = 2; i < argc; ++i) {
            double ms = StartToDialog(argv[i]);
            if (ms < 0) {
                fprintf(stderr, "start_bench: %s showed no dialog\n", argv[i]);
                return 1;
            }
            times[i - 2].push_back(ms);
        }
    for (int i = 2; i < argc; ++i) {
        std::vector<double>& t = times[i - 2];
        std::sort(t.begin(), t.end());
        double sum = 0;
        for (double ms : t)
            sum += ms;
        printf("%-40s median %6.1f ms, mean %6.1f ms, fastest %6.1f ms (%d starts)\n", argv[i],
               t[t.size() / 2], sum / t.size(), t.front(), runs);
    }
    return 0;
}
