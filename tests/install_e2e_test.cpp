// The install button: the fish's three files in the host's Fish folder, the completion
// message only when all three are complete, and nothing at all when the data file fails.
#include <gtest/gtest.h>

#include <map>

#include "fish.h"
#include "harness.h"
#include "resource_ids.h"

namespace {

const std::string kDone = " の更新が完了しました。";

// The payload as the updater carries it.
std::string Payload(const char* name) {
    static HMODULE updater =
        LoadLibraryExA(UpdaterRun::ProgramPath().c_str(), 0,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    HRSRC found = FindResourceA(updater, name, RT_RCDATA);
    return std::string(static_cast<const char*>(LockResource(LoadResource(updater, found))),
                       SizeofResource(updater, found));
}

void ExpectInstalled(const std::string& fish) {
    struct {
        const char* file;
        const char* resource;
        size_t size;
    } files[] = {{FISH_BASE_NAME ".vmf", "DATA.VMF", FISH_DATA_SIZE},
                 {FISH_BASE_NAME ".bmp", "DATA.BMP", 7224},
                 {FISH_BASE_NAME ".txt", "DATA.TXT", sizeof(FISH_NAME) - 1 + 2}};
    for (const auto& f : files) {
        std::string bytes = ReadFileBytes(fish + f.file);
        EXPECT_EQ(bytes.size(), f.size) << f.file;
        EXPECT_TRUE(bytes == Payload(f.resource)) << f.file << " differs from " << f.resource;
    }
    EXPECT_EQ(FolderEntries(fish).size(), 3u) << "only the three files";
}

// The completion box: owned by the dialog, caption "Pelagio 2", no icon, the exact text.
void ExpectCompletion(UpdaterRun& updater, HWND dialog, const std::string& directory) {
    HWND box = updater.WaitForMessageBox(20000);
    ASSERT_NE(box, nullptr) << "no completion message";
    // The folder in the system's code page, the rest Japanese: UTF-16 on any system, and
    // the same bytes as ever through the ANSI functions of a Japanese one.
    std::string expected = directory + FISH_DATA_FILE + kDone;
    std::wstring wide = Wide(directory, CP_ACP) + Wide(FISH_DATA_FILE + kDone);
    std::wstring actual = WideWindowText(GetDlgItem(box, 0xFFFF));
    EXPECT_EQ(actual, wide) << "expected " << Hex(wide) << "\n  actual " << Hex(actual);
    if (GetACP() == 932) {
        EXPECT_EQ(MessageBoxText(box), expected)
            << "expected " << Hex(expected) << "\n  actual " << Hex(MessageBoxText(box));
    }
    EXPECT_EQ(WideWindowText(box), L"Pelagio 2");
    EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
    HWND icon = FindWindowExA(box, 0, "Static", 0);
    for (; icon; icon = FindWindowExA(box, icon, "Static", 0))
        if (GetWindowLongA(icon, GWL_STYLE) & SS_ICON) {
            EXPECT_FALSE(IsWindowVisible(icon) && SendMessageA(icon, STM_GETICON, 0, 0))
                << "a plain box shows no icon";
        }
    DismissMessageBox(box);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(box); })) << "the box stayed";
    EXPECT_TRUE(updater.Running()) << "the dialog stays open after an install";
}

// Presses install, then exit. The exit is handled after the install has run; a completion
// box would hold the process until dismissed, so ending on time means none was shown.
void ExpectSilentInstall(UpdaterRun& updater, HWND dialog) {
    PressButton(dialog, IDC_UPDATE);
    PressButton(dialog, IDCANCEL);
    bool boxShown = false;
    DWORD exitCode = 99;
    WaitFor(
        [&] {
            boxShown = boxShown || FindMessageBoxOf(updater.ThreadId());
            return boxShown || !updater.Running();
        },
        20000);
    EXPECT_FALSE(boxShown) << "a message box was shown";
    ASSERT_TRUE(updater.WaitForExit(5000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

HWND StartWithDialog(UpdaterRun& updater, const std::string& currentDirectory = "") {
    EXPECT_TRUE(updater.Start(currentDirectory));
    HWND dialog = updater.WaitForDialog();
    EXPECT_NE(dialog, nullptr) << "no dialog appeared";
    return dialog;
}

TEST(Install, WritesTheThreeFilesAndSaysSoEachTime) {
    HostInstallation host;
    HostRegistration registration(host.ProgramPath());
    UpdaterRun updater;
    HWND dialog = StartWithDialog(updater);
    ASSERT_NE(dialog, nullptr);
    for (int press = 1; press <= 2; ++press) {
        SCOPED_TRACE("press " + std::to_string(press));
        // Stale files of another size are replaced whole.
        WriteFileBytes(host.FishFolder() + FISH_BASE_NAME ".txt", std::string(500, 's'));
        PressButton(dialog, IDC_UPDATE);
        ExpectCompletion(updater, dialog, host.Directory());
        ExpectInstalled(host.FishFolder());
    }
    PressButton(dialog, IDCANCEL);
    EXPECT_TRUE(updater.WaitForExit(10000));
}

// A full install in the awkward places, started with Enter or the button.
TEST(Install, WritesTheFishWhereverTheHostIs) {
    struct Case {
        const char* what;
        const char* folder;
        bool bareRegistration, pressEnter;
        DWORD type;
    } cases[] = {
        {"Enter at start", "Pelagio 2", false, true, REG_SZ},
        // A bare file name registered: the host directory is ".\", the current one.
        {"bare registration", "Pelagio 2", true, false, REG_SZ},
        // ソ (83 5C) and 表 (95 5C) end in a backslash byte.
        {"double-byte folder", "ソフト表示 ピクセル", false, false, REG_SZ},
        // An expandable value is used as it stands: the files go into the folder literally
        // named "%TEMP%...", not into an expansion of it.
        {"unexpanded REG_EXPAND_SZ", "%TEMP%", false, false, REG_EXPAND_SZ},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostInstallation host(c.folder);
        HostRegistration registration(c.bareRegistration ? "Pelagio2.scr" : host.ProgramPath(),
                                      c.type);
        UpdaterRun updater;
        HWND dialog = StartWithDialog(updater, c.bareRegistration ? host.Directory() : "");
        ASSERT_NE(dialog, nullptr);
        if (c.pressEnter)
            PressKey(dialog, VK_RETURN);
        else
            PressButton(dialog, IDC_UPDATE);
        ExpectCompletion(updater, dialog, c.bareRegistration ? ".\\" : host.Directory());
        ExpectInstalled(host.FishFolder());
    }
}

// Under German and a locale neither Japanese nor German: a folder name with a letter of the
// system's code page ("Übung") reads right in the completion message.
TEST(InstallForeign, CompletionShowsTheFolderAndTheJapaneseText) {
    HostInstallation host(Narrow(L"\u00DCbung"));
    HostRegistration registration(host.ProgramPath());
    UpdaterRun updater;
    HWND dialog = StartWithDialog(updater);
    ASSERT_NE(dialog, nullptr);
    PressButton(dialog, IDC_UPDATE);
    ExpectCompletion(updater, dialog, host.Directory());
    ExpectInstalled(host.FishFolder());
}

TEST(Install, WithoutAFishFolderNothingHappens) {
    HostInstallation host("Pelagio 2", false);
    HostRegistration registration(host.ProgramPath());
    UpdaterRun updater;
    HWND dialog = StartWithDialog(updater);
    ASSERT_NE(dialog, nullptr);
    ExpectSilentInstall(updater, dialog);
    EXPECT_EQ(FolderEntries(host.Directory()), std::vector<std::string>{"Pelagio2.scr"});
}

// Host directory + the data file's path passes 260 characters: the data file cannot be named.
TEST(Install, TooLongAPathWritesNothingAnywhere) {
    HostInstallation host;
    std::string directory = host.Directory();
    directory += std::string(247 - directory.size() - 1, 'd') + "\\";
    ASSERT_TRUE(CreateDirectoryA(directory.c_str(), 0));
    ASSERT_TRUE(CreateDirectoryA((directory + "Fish").c_str(), 0));
    HostRegistration registration(directory + "Pelagio2.scr");
    UpdaterRun updater;
    HWND dialog = StartWithDialog(updater);
    ASSERT_NE(dialog, nullptr);
    ExpectSilentInstall(updater, dialog);
    EXPECT_EQ(FolderEntries(directory), std::vector<std::string>{"Fish"});
    EXPECT_TRUE(FolderEntries(directory + "Fish\\").empty());
    RemoveDirectoryA((directory + "Fish").c_str());
    RemoveDirectoryA(directory.c_str());
}

// An old fish: three files of bytes of its own in the Fish folder.
const char* const kExtensions[] = {".vmf", ".bmp", ".txt"};
std::map<std::string, std::string> PlantOldFish(const std::string& fish) {
    std::map<std::string, std::string> old;
    for (const char* extension : kExtensions) {
        std::string name = FISH_BASE_NAME + std::string(extension);
        old[name] = "old fish " + name;
        EXPECT_TRUE(WriteFileBytes(fish + name, old[name])) << name;
    }
    return old;
}

// Each entry of a folder with its bytes ("<folder>" for a folder), as a user finds them.
std::map<std::string, std::string> FolderContents(const std::string& folder) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : FolderEntries(folder)) {
        DWORD attributes = GetFileAttributesA((folder + name).c_str());
        contents[name] =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                ? "<folder>"
                : ReadFileBytes(folder + name);
    }
    return contents;
}

const char kPlainText[] = " <>.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

std::string Describe(const std::map<std::string, std::string>& contents) {
    std::string text;
    for (const auto& entry : contents) {
        const std::string& bytes = entry.second;
        bool plain = bytes.find_first_not_of(kPlainText) == std::string::npos;
        text += "\n    " + entry.first + ": " + std::to_string(bytes.size()) + " bytes" +
                (bytes.size() > 40 ? ""
                 : plain           ? " \"" + bytes + "\""
                                   : " " + Hex(bytes));
    }
    return text.empty() ? " nothing" : text;
}

// Presses a button and waits until the dialog has handled the press; false when it has not
// within the time (a message box it shows holds it).
bool PressAndWait(HWND dialog, int id, DWORD timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)), SMTO_NORMAL,
                               Scaled(timeoutMs), &result) != 0;
}

// A failed press shows nothing and leaves the Fish folder exactly as it was.
void ExpectNothingChanged(UpdaterRun& updater, HWND dialog, const std::string& fish,
                          const std::map<std::string, std::string>& before) {
    EXPECT_TRUE(PressAndWait(dialog, IDC_UPDATE, 20000)) << "the install did not return";
    EXPECT_EQ(FindMessageBoxOf(updater.ThreadId()), nullptr) << "a message box was shown";
    std::map<std::string, std::string> after = FolderContents(fish);
    EXPECT_TRUE(after == before) << "expected:" << Describe(before)
                                 << "\n  found:" << Describe(after);
}

// Whatever keeps one of the three files from its place, the Fish folder keeps the old fish
// whole (or no fish at all), with no staged or set-aside file; once it is out of the way, the
// next press installs the whole fish.
TEST(Install, AFailedInstallLeavesTheFishFolderAsItWas) {
    struct Case {
        const char* what;
        bool oldFish;
        const char* extension;
        enum { Held, Folder, ReadOnly } obstacle;
    } cases[] = {
        {"data file held open", true, ".vmf", Case::Held},
        {"thumbnail held open", true, ".bmp", Case::Held},
        {"name file held open", true, ".txt", Case::Held},
        {"thumbnail's name taken by a folder, no fish before", false, ".bmp", Case::Folder},
        {"read-only name file", true, ".txt", Case::ReadOnly},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostInstallation host;
        HostRegistration registration(host.ProgramPath());
        std::string fish = host.FishFolder();
        std::string blocked = fish + FISH_BASE_NAME + c.extension;
        std::map<std::string, std::string> old;
        if (c.oldFish)
            old = PlantOldFish(fish);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.obstacle == Case::Held) {
            held = CreateFileA(blocked.c_str(), GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        } else if (c.obstacle == Case::Folder) {
            ASSERT_TRUE(CreateDirectoryA(blocked.c_str(), 0));
        } else {
            ASSERT_TRUE(SetFileAttributesA(blocked.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        // A file held without sharing reads as empty: all bytes are compared once it is free.
        std::map<std::string, std::string> before = FolderContents(fish);
        UpdaterRun updater;
        HWND dialog = StartWithDialog(updater);
        ASSERT_NE(dialog, nullptr);
        ExpectNothingChanged(updater, dialog, fish, before);
        if (c.obstacle == Case::Held) {
            CloseHandle(held);
            std::map<std::string, std::string> after = FolderContents(fish);
            EXPECT_TRUE(after == old)
                << "expected:" << Describe(old) << "\n  found:" << Describe(after);
        } else if (c.obstacle == Case::Folder) {
            RemoveDirectoryA(blocked.c_str());
        } else {
            SetFileAttributesA(blocked.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        PressButton(dialog, IDC_UPDATE);
        ExpectCompletion(updater, dialog, host.Directory());
        ExpectInstalled(fish);
        PressButton(dialog, IDCANCEL);
        EXPECT_TRUE(updater.WaitForExit(10000));
    }
}

// Held for a moment after the press (a virus scanner, the host reading its fish): the
// install waits for it and puts the whole fish in place.
TEST(Install, AMomentsHoldIsWaitedFor) {
    HostInstallation host;
    HostRegistration registration(host.ProgramPath());
    std::string fish = host.FishFolder();
    PlantOldFish(fish);
    std::string data = fish + FISH_BASE_NAME ".vmf";
    HANDLE held = CreateFileA(data.c_str(), GENERIC_READ, 0, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    UpdaterRun updater;
    HWND dialog = StartWithDialog(updater);
    ASSERT_NE(dialog, nullptr);
    PressButton(dialog, IDC_UPDATE);
    // The staged files beside the old ones: the updater is at the held file now.
    EXPECT_TRUE(WaitUntil("the staged files", [&] { return FolderEntries(fish).size() > 3; }));
    Sleep(400); // the hold itself, not a wait for anything
    CloseHandle(held);
    ExpectCompletion(updater, dialog, host.Directory());
    ExpectInstalled(fish);
}

// Run under a file-size limit of 100 KB: the data file's write comes back short, and nothing
// is replaced.
TEST(InstallShortWrite, ReplacesNothing) {
    HostInstallation host;
    HostRegistration registration(host.ProgramPath());
    std::string fish = host.FishFolder();
    ASSERT_FALSE(WriteFileBytes(fish + "probe.bin", std::string(200000, 'p')))
        << "the file-size limit is not in force";
    DeleteFileA((fish + "probe.bin").c_str());
    std::map<std::string, std::string> before = PlantOldFish(fish);
    UpdaterRun updater;
    HWND dialog = StartWithDialog(updater);
    ASSERT_NE(dialog, nullptr);
    ExpectNothingChanged(updater, dialog, fish, before);
}

} // namespace
