// The update dialog as a user sees it: caption, size and place, layout, texts and focus,
// in the Japanese and the German variant, and the ways to close it.
#include <gtest/gtest.h>

#include "fish.h"
#include "harness.h"
#include "resource_ids.h"

namespace {

// The fish of the updater under test, from the build's fish.h.
const std::string kCaption = "Pelagio 2 魚" FISH_NUMBER " の更新";
const std::string kName = FISH_NAME;

struct Placement {
    int id;
    RECT client;
};
// Every control's rectangle in client pixels, whatever the template says.
const Placement kLayout[] = {
    {IDC_UPDATE, {170, 10, 390, 40}}, {IDC_LAUNCH, {170, 54, 390, 84}},
    {IDCANCEL, {170, 98, 390, 128}},  {IDC_PICTURE, {30, 10, 128, 54}},
    {IDC_NAME, {10, 66, 160, 126}},
};

HWND FocusOf(DWORD threadId, HWND dialog) {
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof(gui);
    WaitFor([&] {
        return GetGUIThreadInfo(threadId, &gui) && gui.hwndFocus && gui.hwndFocus != dialog;
    });
    return gui.hwndFocus;
}

class DialogFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(updater_.Start());
        dialog_ = updater_.WaitForDialog();
        ASSERT_NE(dialog_, nullptr) << "no dialog appeared";
    }
    void ExpectCommonLook() {
        // The caption as UTF-16 on any system, and as the same bytes on a Japanese one.
        EXPECT_EQ(WideWindowText(dialog_), Wide(kCaption))
            << "expected " << Hex(Wide(kCaption)) << "\n  actual " << Hex(WideWindowText(dialog_));
        if (GetACP() == 932) {
            EXPECT_EQ(WindowText(dialog_), kCaption)
                << "expected " << Hex(kCaption) << "\n  actual " << Hex(WindowText(dialog_));
        }
        RECT frame;
        GetWindowRect(dialog_, &frame);
        int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
        EXPECT_EQ(frame.right - frame.left, 408);
        EXPECT_EQ(frame.bottom - frame.top, 170);
        EXPECT_EQ(frame.left, (width - 408) / 2) << "screen width " << width;
        EXPECT_EQ(frame.top, (height - 170) / 2) << "screen height " << height;
        EXPECT_TRUE(GetWindowLongA(dialog_, GWL_EXSTYLE) & WS_EX_TOPMOST) << "not topmost";
        for (const Placement& p : kLayout) {
            HWND control = GetDlgItem(dialog_, p.id);
            ASSERT_NE(control, nullptr) << "control " << p.id;
            RECT r;
            GetWindowRect(control, &r);
            MapWindowPoints(0, dialog_, reinterpret_cast<POINT*>(&r), 2);
            EXPECT_TRUE(EqualRect(&r, &p.client))
                << "control " << p.id << ": expected " << p.client.left << "," << p.client.top
                << "-" << p.client.right << "," << p.client.bottom << ", got " << r.left << ","
                << r.top << "-" << r.right << "," << r.bottom;
        }
    }
    void ExpectButtons(const std::string& install, const std::string& launch,
                       const std::string& exit) {
        struct {
            int id;
            const std::string& text;
        } buttons[] = {{IDC_UPDATE, install}, {IDC_LAUNCH, launch}, {IDCANCEL, exit}};
        for (const auto& b : buttons) {
            std::string actual = WindowText(GetDlgItem(dialog_, b.id));
            EXPECT_EQ(actual, b.text)
                << "button " << b.id << ": expected " << Hex(b.text) << ", got " << Hex(actual);
        }
    }
    void ExpectEndsWithZero() {
        DWORD exitCode = 99;
        ASSERT_TRUE(updater_.WaitForExit(10000, &exitCode)) << "the dialog did not end";
        EXPECT_EQ(exitCode, 0u);
    }
    HostRegistration registration_{"C:\\Program Files\\X\\Pelagio2.scr"};
    UpdaterRun updater_;
    HWND dialog_ = 0;
};

TEST_F(DialogFixture, JapaneseLooksAsLaidOut) {
    ExpectCommonLook();
    ExpectButtons("ファイルの更新", "Pelagio 2 の起動", "終了");
    std::string name = WindowText(GetDlgItem(dialog_, IDC_NAME));
    EXPECT_EQ(name, kName) << "expected " << Hex(kName) << ", got " << Hex(name);
    EXPECT_EQ(ClassName(GetDlgItem(dialog_, IDC_NAME)), "Static");
    EXPECT_EQ(FocusOf(updater_.ThreadId(), dialog_), GetDlgItem(dialog_, IDC_UPDATE));
    PressKey(dialog_, VK_ESCAPE);
    ExpectEndsWithZero();
}

TEST_F(DialogFixture, JapaneseCloseBoxEnds) {
    PostMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
    ExpectEndsWithZero();
}

TEST_F(DialogFixture, GermanLooksAsLaidOut) {
    ExpectCommonLook();
    // "Update ausführen" in code page 1252: ü is FC.
    ExpectButtons("Update ausf\xFChren", "Pelagio 2 starten", "Beenden");
    HWND name = GetDlgItem(dialog_, IDC_NAME);
    EXPECT_EQ(ClassName(name), "Edit");
    EXPECT_TRUE(GetWindowLongA(name, GWL_STYLE) & ES_MULTILINE);
    // The Japanese name legible on a code page 1252 system: a Unicode control holding it.
    EXPECT_TRUE(IsWindowUnicode(name)) << "the edit control keeps ANSI text";
    EXPECT_EQ(WideWindowText(name), Wide(kName))
        << "expected " << Hex(Wide(kName)) << ", got " << Hex(WideWindowText(name));
    EXPECT_TRUE(updater_.Running()) << "setting the name must not end the dialog";
    EXPECT_EQ(FocusOf(updater_.ThreadId(), dialog_), GetDlgItem(dialog_, IDCANCEL));
    PressKey(dialog_, VK_ESCAPE);
    ExpectEndsWithZero();
}

// Under German and under a locale that is neither Japanese nor German: the dialog and its
// Japanese texts are there and legible (its icon and picture: DialogForeignInProcess).
TEST_F(DialogFixture, ForeignSystemShowsTheJapaneseTexts) {
    ExpectCommonLook();
    HWND name = GetDlgItem(dialog_, IDC_NAME);
    EXPECT_TRUE(IsWindowUnicode(name));
    EXPECT_EQ(WideWindowText(name), Wide(kName))
        << "expected " << Hex(Wide(kName)) << ", got " << Hex(WideWindowText(name));
    PressKey(dialog_, VK_ESCAPE);
    ExpectEndsWithZero();
}

TEST_F(DialogFixture, GermanCloseBoxEnds) {
    PostMessageA(dialog_, WM_SYSCOMMAND, SC_CLOSE, 0);
    ExpectEndsWithZero();
}

} // namespace
