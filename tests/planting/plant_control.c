// The planting bench's control: a program without any DLL search restriction that loads
// each DLL named on its command line by bare name. Its exit code counts the planted copies
// it got, so a bench whose planted DLLs do not load shows up as a count short.
#include <windows.h>

#include <stdlib.h>

int main(int argc, char** argv) {
    int planted = 0;
    for (int i = 1; i < argc; ++i) {
        HMODULE module = LoadLibraryA(argv[i]);
        if (module && GetProcAddress(module, "PelagioPlanted"))
            ++planted;
    }
    return planted;
}
