// The update dialog run in this process from this program's copy of the resources, for what
// the platform answers only inside the dialog's own process: its icons and its picture.
#include <gtest/gtest.h>

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

// Runs the modal dialog; a second thread looks at it and then presses Escape.
INT_PTR RunDialogAndObserve(Observed& seen) {
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
        PressKey(dialog, VK_ESCAPE);
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
    EXPECT_EQ(seen.name, "ミツボシクロスズメダイ") << "got " << Hex(seen.name);
}

// The icon and the picture are found when the user language is neither Japanese nor German.
TEST(DialogForeignInProcess, ShowsIconsAndPicture) {
    LANGID language = PRIMARYLANGID(GetUserDefaultUILanguage());
    ASSERT_TRUE(language != LANG_JAPANESE && language != LANG_GERMAN) << "language " << language;
    Observed seen;
    EXPECT_EQ(RunDialogAndObserve(seen), IDCANCEL);
    ExpectIconsAndPicture(seen);
}

TEST(DialogGermanInProcess, ShowsIconsAndPicture) {
    ASSERT_EQ(PRIMARYLANGID(GetUserDefaultUILanguage()), LANG_GERMAN) << "run under de_DE";
    Observed seen;
    EXPECT_EQ(RunDialogAndObserve(seen), IDCANCEL);
    ExpectIconsAndPicture(seen);
}

} // namespace
