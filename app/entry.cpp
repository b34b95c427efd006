// The updater's own start-up, in place of the C runtime's: the program ignores its command
// line, throws nothing and has no threads, so it needs none of argv, the atexit and TLS
// machinery, pseudo-relocations or exception filters. The C runtime functions it calls come
// from msvcrt.dll, which sets itself up when it is loaded.
#include <windows.h>

#include <stdlib.h>

#include "updater.h"

// The program allocates nothing, but the deleting destructors of its classes with a virtual
// destructor name operator delete: the C runtime's free, without the C++ library's copy.
void operator delete(void* block) noexcept {
    free(block);
}

void operator delete(void* block, size_t) noexcept {
    free(block);
}

extern "C" {

// The static constructors of the program, between a -1 and a 0 (the linker's list).
extern void (*__CTOR_LIST__[])(void);

typedef void(__cdecl* ExitFunction)(void);
// The destructors that static construction registers, run in reverse at the end.
static ExitFunction exitFunctions[8];
static int exitCount;

// The compiler registers a global's destructor here when it has constructed the global.
int __cdecl atexit(ExitFunction function) {
    if (exitCount == int(sizeof(exitFunctions) / sizeof(exitFunctions[0])))
        return -1;
    exitFunctions[exitCount++] = function;
    return 0;
}

} // extern "C"

namespace {

// In the order the linker's list is run everywhere: from its end to its start.
void ConstructGlobals() {
    int count = 0;
    while (__CTOR_LIST__[count + 1])
        ++count;
    for (int i = count; i >= 1; --i)
        __CTOR_LIST__[i]();
}

void DestroyGlobals() {
    while (exitCount > 0)
        exitFunctions[--exitCount]();
}

} // namespace

// The process starts here. Never returns: the exit code is 0 whatever happens.
// On i686 the product code assumes the 4-byte stack alignment Windows enters it with.
extern "C" __attribute__((noreturn)) void __cdecl UpdaterStart() {
    ConstructGlobals();
    WinMain(GetModuleHandleA(0), 0, const_cast<LPSTR>(""), SW_SHOWDEFAULT);
    DestroyGlobals();
    ExitProcess(0);
}
