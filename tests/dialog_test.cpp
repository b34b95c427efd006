// The update dialog run in this process from this program's copy of the resources, for what
// the platform answers only inside the dialog's own process: its icons and its picture.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "harness.h"
#include "resource_ids.h"
#include "updater.h"

namespace {

struct Observed {
    bool found = false;
    HICON bigIcon = 0, smallIcon = 0;
    BITMAP picture = {};
    bool pictureRead = false;
    std::string name;
};

// Runs the modal dialog; a second thread looks at it and then ends it as `end` does (by
// default with Escape).
INT_PTR RunDialogAndObserve(
    Observed& seen,
    std::function<void(HWND)> end = [](HWND dialog) { PressKey(dialog, VK_ESCAPE); }) {
    Instance = GetModuleHandleA(0);
    DialogWindow = 0;
    std::thread observer([&] {
        seen.found = WaitFor([] { return DialogWindow && IsWindowVisible(DialogWindow); });
        if (!seen.found)
            return;
        HWND dialog = DialogWindow;
        seen.bigIcon = reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0));
        seen.smallIcon = reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0));
        HBITMAP bitmap = reinterpret_cast<HBITMAP>(
            SendDlgItemMessageA(dialog, IDC_PICTURE, STM_GETIMAGE, IMAGE_BITMAP, 0));
        seen.pictureRead = GetObjectA(bitmap, sizeof(seen.picture), &seen.picture) != 0;
        seen.name = WindowText(GetDlgItem(dialog, IDC_NAME));
        end(dialog);
    });
    INT_PTR result = DialogBoxParamW(Instance, L"UpdateDlg", 0, UpdateDialogProc, 0);
    observer.join();
    return result;
}

void ExpectIconsAndPicture(const Observed& seen) {
    ASSERT_TRUE(seen.found) << "the dialog did not show";
    EXPECT_NE(seen.bigIcon, nullptr) << "no big icon";
    EXPECT_NE(seen.smallIcon, nullptr) << "no small icon";
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(seen.bigIcon, &info));
    BITMAP colour = {};
    GetObjectA(info.hbmColor, sizeof(colour), &colour);
    EXPECT_EQ(colour.bmWidth, GetSystemMetrics(SM_CXICON)) << "the icon at the large size";
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    ASSERT_TRUE(seen.pictureRead) << "the picture control holds no bitmap";
    EXPECT_EQ(seen.picture.bmWidth, 96);
    EXPECT_EQ(seen.picture.bmHeight, 42);
}

TEST(DialogInProcess, JapaneseShowsIconsAndPicture) {
    ASSERT_EQ(GetACP(), 932u) << "run under the Japanese locale";
    Observed seen;
    EXPECT_EQ(RunDialogAndObserve(seen), IDCANCEL);
    ExpectIconsAndPicture(seen);
    EXPECT_EQ(seen.name, kFishName) << "got " << Hex(seen.name);
}

// The icon and the picture are found when the user language is neither Japanese nor German.
TEST(DialogForeignInProcess, ShowsIconsAndPicture) {
    LANGID language = PRIMARYLANGID(GetUserDefaultUILanguage());
    ASSERT_TRUE(language != LANG_JAPANESE && language != LANG_GERMAN) << "language " << language;
    Observed seen;
    EXPECT_EQ(RunDialogAndObserve(seen), IDCANCEL);
    ExpectIconsAndPicture(seen);
}

void PostCommand(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, 0), LPARAM(GetDlgItem(dialog, id)));
}

// Escape and the close box end the dialog with IDCANCEL; every command other than install
// and launch ends it with its own id.
TEST(DialogInProcess, EndsWithTheCommandsId) {
    struct Case {
        const char* what;
        std::function<void(HWND)> end;
        INT_PTR expected;
    } cases[] = {
        {"Escape", [](HWND d) { PressKey(d, VK_ESCAPE); }, IDCANCEL},
        {"close box", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }, IDCANCEL},
        {"exit button", [](HWND d) { PostCommand(d, IDCANCEL); }, IDCANCEL},
        {"the picture's id", [](HWND d) { PostCommand(d, IDC_PICTURE); }, IDC_PICTURE},
        {"an unknown id", [](HWND d) { PostCommand(d, 4242); }, 4242},
    };
    for (const Case& c : cases) {
        Observed seen;
        EXPECT_EQ(RunDialogAndObserve(seen, c.end), c.expected) << c.what;
        EXPECT_TRUE(seen.found) << c.what;
    }
}

// The not-installed warning shows the system's warning icon (it is comparable only here, in
// the process that shows it).
TEST(DialogInProcess, NotInstalledWarningShowsTheWarningIcon) {
    HostRegistration::Remove();
    DWORD thread = GetCurrentThreadId();
    HICON shown = 0;
    std::thread observer([&] {
        HWND box = 0;
        WaitFor([&] { return (box = FindMessageBoxOf(thread)) != 0; });
        if (!box)
            return;
        for (HWND icon = FindWindowExA(box, 0, "Static", 0); icon;
             icon = FindWindowExA(box, icon, "Static", 0))
            if (GetWindowLongA(icon, GWL_STYLE) & SS_ICON)
                shown = reinterpret_cast<HICON>(SendMessageA(icon, STM_GETICON, 0, 0));
        DismissMessageBox(box);
    });
    EXPECT_EQ(WinMain(GetModuleHandleA(0), 0, const_cast<char*>(""), SW_SHOW), 0);
    observer.join();
    HICON warning = LoadIconA(0, IDI_WARNING);
    EXPECT_EQ(shown, warning) << "expected the warning icon " << warning << ", got " << shown
                              << " (information " << LoadIconA(0, IDI_INFORMATION) << ", error "
                              << LoadIconA(0, IDI_ERROR) << ")";
}

// The German name is a multi-line edit: when it gets the focus its notification arrives
// as a command with its id, and that ends the dialog like any other id.
TEST(DialogGermanInProcess, NameEditNotificationEndsTheDialog) {
    Observed seen;
    INT_PTR result = RunDialogAndObserve(seen, [](HWND dialog) {
        PostMessageA(dialog, WM_NEXTDLGCTL, WPARAM(GetDlgItem(dialog, IDC_NAME)), TRUE);
    });
    EXPECT_EQ(result, IDC_NAME);
}

TEST(DialogGermanInProcess, ShowsIconsAndPicture) {
    ASSERT_EQ(PRIMARYLANGID(GetUserDefaultUILanguage()), LANG_GERMAN) << "run under de_DE";
    Observed seen;
    EXPECT_EQ(RunDialogAndObserve(seen), IDCANCEL);
    ExpectIconsAndPicture(seen);
}

} // namespace
