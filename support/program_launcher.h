// Starts another program and returns at once.
#pragma once

#include <windows.h>

// Starts the program with exactly the given command line and creation flags, in the
// caller's current directory. Returns the platform's success flag.
BOOL LaunchProgram(const char* programPath, const char* commandLine, DWORD creationFlags);
