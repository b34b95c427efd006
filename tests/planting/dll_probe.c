// A probe run inside another program's thread: the test hooks that thread's window
// procedure calls with this DLL, and on the message "PelagioDllProbe" the hook loads each
// DLL named (comma-separated) in PELAGIO_PROBE_NAMES by bare name, as that program's own
// search finds it, and writes one line per name to the file PELAGIO_PROBE_RESULT names:
// "NAME absent", "NAME planted PATH" or "NAME loaded PATH".
#include <windows.h>

#include <stdio.h>
#include <string.h>

static void Probe(void) {
    char names[1024], result[MAX_PATH], path[MAX_PATH];
    if (!GetEnvironmentVariableA("PELAGIO_PROBE_NAMES", names, sizeof(names)) ||
        !GetEnvironmentVariableA("PELAGIO_PROBE_RESULT", result, sizeof(result)))
        return;
    char temporary[MAX_PATH + 4];
    snprintf(temporary, sizeof(temporary), "%s.tmp", result);
    FILE* out = fopen(temporary, "wb");
    if (!out)
        return;
    for (char* name = strtok(names, ","); name; name = strtok(0, ",")) {
        HMODULE module = LoadLibraryA(name);
        if (!module) {
            fprintf(out, "%s absent\r\n", name);
            continue;
        }
        GetModuleFileNameA(module, path, sizeof(path));
        const char* kind = GetProcAddress(module, "PelagioPlanted") ? "planted" : "loaded";
        fprintf(out, "%s %s %s\r\n", name, kind, path);
    }
    fclose(out);
    // Whole or not at all: the test reads the file once SendMessage has returned.
    MoveFileExA(temporary, result, MOVEFILE_REPLACE_EXISTING);
}

__declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    static UINT probeMessage;
    if (!probeMessage)
        probeMessage = RegisterWindowMessageA("PelagioDllProbe");
    const CWPSTRUCT* call = (const CWPSTRUCT*)lParam;
    if (code == HC_ACTION && call->message == probeMessage)
        Probe();
    return CallNextHookEx(0, code, wParam, lParam);
}
