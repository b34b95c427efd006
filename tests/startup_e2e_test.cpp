// Start-up: the host lookup through App Paths and the not-installed warning.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string kWarningText = "Pelagio 2 が見つかりません。\n\n"
                                 "Pelagio 2 を最初にインストールしてください。";

// The warning box: no owner, its caption and text, a warning icon; OK ends the process with 0.
void ExpectWarningThenExit(UpdaterRun& updater) {
    HWND box = updater.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "no warning box appeared";
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    // Legible on any system: UTF-16 equal to the Japanese text; on a Japanese system the
    // same code page 932 bytes through the ANSI functions.
    EXPECT_EQ(WideWindowText(box), L"Pelagio 2");
    std::wstring text = WideWindowText(GetDlgItem(box, 0xFFFF));
    EXPECT_EQ(text, Wide(kWarningText))
        << "expected " << Hex(Wide(kWarningText)) << "\n  actual " << Hex(text);
    if (GetACP() == 932) {
        EXPECT_EQ(MessageBoxText(box), kWarningText)
            << "expected " << Hex(kWarningText) << "\n  actual " << Hex(MessageBoxText(box));
    }
    EXPECT_EQ(updater.WaitForDialog(0), nullptr) << "the update dialog must not show";
    // One OK button and an icon. Icon handles are per process, so which system icon it is
    // cannot be compared from here.
    HWND ok = GetDlgItem(box, IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_TRUE(IsWindowVisible(ok));
    for (int id : {IDCANCEL, IDYES, IDNO, IDRETRY, IDABORT, IDIGNORE}) {
        HWND other = GetDlgItem(box, id);
        EXPECT_TRUE(other == nullptr || !IsWindowVisible(other)) << "button " << id << " shows";
    }
    HWND icon = FindWindowExA(box, 0, "Static", 0);
    while (icon && !(GetWindowLongA(icon, GWL_STYLE) & SS_ICON))
        icon = FindWindowExA(box, icon, "Static", 0);
    ASSERT_NE(icon, nullptr) << "the warning box shows no icon";
    EXPECT_TRUE(IsWindowVisible(icon));
    EXPECT_NE(SendMessageA(icon, STM_GETICON, 0, 0), 0);
    DismissMessageBox(box);
    DWORD exitCode = 99;
    ASSERT_TRUE(updater.WaitForExit(10000, &exitCode)) << "the updater did not end after OK";
    EXPECT_EQ(exitCode, 0u);
}

TEST(Startup, WarnsWhenTheHostIsNotRegistered) {
    HostRegistration::Remove();
    UpdaterRun updater;
    ASSERT_TRUE(updater.Start());
    ExpectWarningThenExit(updater);
}

// Values the platform refuses or the host lookup cannot use as a registration.
TEST(Startup, WarnsWhenTheRegisteredPathDoesNotFit) {
    // 261 bytes with the terminator: one more than the host path may hold.
    HostRegistration registration("C:\\" + std::string(256, 'a') + ".scr");
    UpdaterRun updater;
    ASSERT_TRUE(updater.Start());
    ExpectWarningThenExit(updater);
}

TEST(Startup, ShowsTheDialogWhenTheHostIsRegistered) {
    struct Case {
        const char* value;
        DWORD type;
        const char* arguments;
        REGSAM view;
    } cases[] = {
        {"C:\\Program Files\\X\\Pelagio2.scr", REG_SZ, "", KEY_WOW64_32KEY},
        {"%ProgramFiles%\\X\\Pelagio2.scr", REG_EXPAND_SZ, "", KEY_WOW64_32KEY},
        {"Pelagio2.scr", REG_SZ, "/s -r Launch \"C:\\x\"", KEY_WOW64_32KEY},
        {"", REG_SZ, "/c:1234", KEY_WOW64_32KEY},
        // Registered by a 64-bit installer only. Wine 8 links the 32-bit view's App Paths
        // key to the 64-bit one, so the shipped 32-bit updater finds the host there too.
        {"C:\\Program Files\\X\\Pelagio2.scr", REG_SZ, "", KEY_WOW64_64KEY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("value ") + c.value + ", arguments " + c.arguments +
                     (c.view == KEY_WOW64_64KEY ? ", 64-bit view" : ", 32-bit view"));
        HostRegistration registration(c.value, c.type, c.view);
        UpdaterRun updater;
        ASSERT_TRUE(updater.Start("", c.arguments));
        HWND dialog = updater.WaitForDialog();
        ASSERT_NE(dialog, nullptr) << "no dialog appeared";
        EXPECT_FALSE(updater.MessageBoxAppears(0)) << "no warning may show with a registration";
        PressButton(dialog, IDCANCEL);
        DWORD exitCode = 99;
        ASSERT_TRUE(updater.WaitForExit(10000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }
}

// Run under German and under a locale that is neither Japanese nor German.
TEST(StartupForeign, WarningReadsInJapanese) {
    HostRegistration::Remove();
    UpdaterRun updater;
    ASSERT_TRUE(updater.Start());
    ExpectWarningThenExit(updater);
}

TEST(Startup, CommandLineArgumentsChangeNothing) {
    HostRegistration::Remove();
    UpdaterRun updater;
    ASSERT_TRUE(updater.Start("", "/s -r Launch /p 1234"));
    ExpectWarningThenExit(updater);
}

} // namespace
