// The DLL search of a program that lies beside planted DLLs, in-process: this test program
// runs from a folder holding the planted copies (see tests/planting), with Wine told to
// search the program's folder first for their names, as Windows does for DLLs that are not
// KnownDLLs. Each test case runs in a process of its own: the restriction cannot be undone.
#include <gtest/gtest.h>

#include "dll_search.h"
#include "harness.h"

namespace {

// A DLL that exists only beside this program, and system DLLs that Windows' DLLs load by
// bare name, each planted beside it.
const char kOnlyBeside[] = "pgplant.dll";
const char* const kSystemNames[] = {"uxtheme.dll", "dwmapi.dll"};

bool IsPlanted(HMODULE module) {
    return module && GetProcAddress(module, "PelagioPlanted");
}

std::string ModulePath(HMODULE module) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

std::string SystemFolder() {
    char folder[MAX_PATH] = "";
    GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\";
}

void ExpectFromSystemFolder(const char* name) {
    HMODULE module = LoadLibraryA(name);
    ASSERT_NE(module, nullptr) << name << " did not load at all";
    EXPECT_FALSE(IsPlanted(module)) << name << ": the planted copy " << ModulePath(module);
    EXPECT_EQ(ModulePath(module), SystemFolder() + name);
}

// A copy of the planted DLL under a name of its own in a fresh folder made the current
// folder, as a downloads folder is when the program is started from there.
const char kOnlyInCurrentFolder[] = "pgcwd.dll";

class PlantedCurrentFolder {
  public:
    PlantedCurrentFolder() {
        CopyFileA((ProgramFolder() + kOnlyBeside).c_str(),
                  (folder_.Path() + kOnlyInCurrentFolder).c_str(), FALSE);
        GetCurrentDirectoryA(MAX_PATH, previous_);
        SetCurrentDirectoryA(folder_.Path().c_str());
    }
    ~PlantedCurrentFolder() { SetCurrentDirectoryA(previous_); }
    bool Planted() const { return FileExists(folder_.Path() + kOnlyInCurrentFolder); }

  private:
    TempFolder folder_{"current"};
    char previous_[MAX_PATH] = "";
};

} // namespace

// Without the restriction the planted copies load, also from the current folder: the bench
// plants, so the cases below that see none are not vacuous.
TEST(DllSearchControl, PlantedCopiesLoadWithoutTheRestriction) {
    ASSERT_TRUE(FileExists(ProgramFolder() + kOnlyBeside));
    EXPECT_TRUE(IsPlanted(LoadLibraryA(kOnlyBeside))) << kOnlyBeside;
    for (const char* name : kSystemNames)
        EXPECT_TRUE(IsPlanted(LoadLibraryA(name)))
            << name << " came from " << ModulePath(GetModuleHandleA(name));
    PlantedCurrentFolder current;
    ASSERT_TRUE(current.Planted());
    EXPECT_TRUE(IsPlanted(LoadLibraryA(kOnlyInCurrentFolder))) << kOnlyInCurrentFolder;
}

TEST(DllSearch, OnlyTheSystemFolderIsSearched) {
    ASSERT_TRUE(FileExists(ProgramFolder() + kOnlyBeside));
    RestrictDllSearch();
    HMODULE beside = LoadLibraryA(kOnlyBeside);
    EXPECT_EQ(beside, nullptr) << "loaded " << ModulePath(beside);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    for (const char* name : kSystemNames)
        ExpectFromSystemFolder(name);
}

// Where SetDefaultDllDirectories is missing, the current folder is no longer searched, and
// the DLLs loaded by full path beforehand are what a later load by bare name finds.
TEST(DllSearchFallback, CurrentFolderIsDroppedAndPreloadedDllsAreFoundByName) {
    PlantedCurrentFolder current;
    ASSERT_TRUE(current.Planted());
    RestrictDllSearchFallback();
    HMODULE fromCurrent = LoadLibraryA(kOnlyInCurrentFolder);
    EXPECT_EQ(fromCurrent, nullptr) << "loaded " << ModulePath(fromCurrent);
    for (const char* name : kSystemNames) {
        HMODULE preloaded = GetModuleHandleA(name);
        ASSERT_NE(preloaded, nullptr) << name << " was not preloaded";
        ExpectFromSystemFolder(name);
        EXPECT_EQ(LoadLibraryA(name), preloaded) << name;
    }
}
