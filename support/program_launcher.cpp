#include "program_launcher.h"

#include <string.h>

#include "path_buffer.h"

BOOL LaunchProgram(const char* programPath, const char* commandLine, DWORD creationFlags) {
    // CreateProcess may write into the command line, so it gets a copy of its own.
    PathBuffer line;
    line.Assign(commandLine);
    if (commandLine && strlen(commandLine) > PathBuffer::Capacity)
        return FALSE;

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    BOOL started = CreateProcessA(programPath, commandLine ? line.Data() : 0, 0, 0, FALSE,
                                  creationFlags, 0, 0, &startup, &process);
    if (started) {
        // Nothing waits for the host; its handles are not needed.
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return started;
}
