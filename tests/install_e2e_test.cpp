// The install button: the fish's three files in the host's Fish folder, the completion
// message only when all three are complete, and nothing at all when the data file fails.
#include <gtest/gtest.h>

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

// The thumbnail or the name file cannot be written: the install is not reported as done.
TEST(Install, IncompleteInstallIsNotReported) {
    struct Case {
        const char* what;
        bool blockThumbnail, lockName;
    } cases[] = {{"thumbnail target is a folder", true, false}, {"name file locked", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HostInstallation host;
        HostRegistration registration(host.ProgramPath());
        if (c.blockThumbnail) {
            ASSERT_TRUE(CreateDirectoryA((host.FishFolder() + FISH_BASE_NAME ".bmp").c_str(), 0));
        }
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.lockName) {
            WriteFileBytes(host.FishFolder() + FISH_BASE_NAME ".txt", "old name");
            held = CreateFileA((host.FishFolder() + FISH_BASE_NAME ".txt").c_str(), GENERIC_READ, 0,
                               0, OPEN_EXISTING, 0, 0);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        UpdaterRun updater;
        HWND dialog = StartWithDialog(updater);
        ASSERT_NE(dialog, nullptr);
        ExpectSilentInstall(updater, dialog);
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
            EXPECT_EQ(ReadFileBytes(host.FishFolder() + FISH_BASE_NAME ".txt"), "old name");
        }
        EXPECT_TRUE(ReadFileBytes(host.FishFolder() + FISH_BASE_NAME ".vmf") ==
                    Payload("DATA.VMF"));
        for (const std::string& name : FolderEntries(host.FishFolder()))
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << "left behind: " << name;
    }
}

} // namespace
