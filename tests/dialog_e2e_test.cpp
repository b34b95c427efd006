// The update dialog as a user sees it: caption, size and place, layout, texts and focus,
// in the Japanese and the German variant, and the ways to close it.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

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

// The dialog as the updater showed it at one system DPI: its frame and client area, each
// control's rectangle, and what the fit probe measured inside it (the texts with their
// controls' own fonts, the picture's bitmap, the big icon).
struct Measured {
    std::string kind;
    long textWidth = 0, textHeight = 0, clientWidth = 0, clientHeight = 0;
    long lines = 0, lineHeight = 0, formatHeight = 0;
    // The share of its control the text takes, as a fraction: of the width in a static or a
    // button, of the lines shown in the German name's multi-line edit.
    long long Part() const { return kind == "Edit" ? lines * lineHeight : textWidth; }
    long long Whole() const { return kind == "Edit" ? formatHeight : clientWidth; }
    // Compared exactly: 20 of 275 pixels is the share of 16 of 220.
    bool NoLargerShareThan(const Measured& other) const {
        return Part() * other.Whole() <= other.Part() * Whole();
    }
};
struct DialogAtDpi {
    RECT frame = {}, client = {};
    std::map<int, RECT> controls;
    std::map<int, Measured> texts;
    long pictureWidth = 0, pictureHeight = 0, iconWidth = 0, systemIconWidth = 0;
};

void ReadProbe(const std::vector<std::string>& lines, DialogAtDpi& seen) {
    for (const std::string& line : lines) {
        std::istringstream fields(line);
        std::string first;
        fields >> first;
        if (first == "picture") {
            fields >> seen.pictureWidth >> seen.pictureHeight;
        } else if (first == "icon") {
            fields >> seen.iconWidth >> seen.systemIconWidth;
        } else {
            Measured m;
            fields >> m.kind >> m.textWidth >> m.textHeight >> m.clientWidth >> m.clientHeight >>
                m.lines >> m.lineHeight >> m.formatHeight;
            ASSERT_FALSE(fields.fail()) << "probe line: " << line;
            seen.texts[atoi(first.c_str())] = m;
        }
    }
}

// Starts the updater at a system DPI, measures its dialog and ends it.
void ObserveAt(DWORD dpi, DialogAtDpi& seen) {
    TempFolder folder("fit");
    std::string result = folder.Path() + "fit.txt";
    ScopedVariable resultPath("PELAGIO_FIT_RESULT", result);
    HostRegistration registration("C:\\Program Files\\X\\Pelagio2.scr");
    UpdaterRun updater;
    {
        SystemDpi system(dpi);
        ASSERT_TRUE(updater.Start());
        ASSERT_TRUE(updater.WaitForIdle()) << "the updater " << updater.State();
    }
    HWND dialog = updater.WaitForDialog();
    ASSERT_NE(dialog, nullptr);
    GetWindowRect(dialog, &seen.frame);
    GetClientRect(dialog, &seen.client);
    for (const Placement& p : kLayout) {
        RECT r = {};
        GetWindowRect(GetDlgItem(dialog, p.id), &r);
        MapWindowPoints(0, dialog, reinterpret_cast<POINT*>(&r), 2);
        seen.controls[p.id] = r;
    }
    std::vector<std::string> probed =
        ProbeInside(updater, dialog, "fit_probe.dll", "FitHook", "PelagioFitProbe", result);
    ASSERT_EQ(probed.size(), 6u) << (probed.empty() ? "the probe wrote nothing" : probed[0]);
    ReadProbe(probed, seen);
    PressKey(dialog, VK_ESCAPE);
    EXPECT_TRUE(updater.WaitForExit(10000));
}

std::string Text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "-" + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

// At 120 and 144 DPI, as on a Windows that hands the program the real DPI: the dialog, its
// place and every control scaled from 96 DPI, each text taking no larger share of its
// control than at 96 DPI, the picture filling its control and the icon at the system's size.
void ExpectInProportion() {
    DialogAtDpi base;
    ObserveAt(96, base);
    ASSERT_EQ(base.texts.size(), 4u);
    for (DWORD dpi : {120u, 144u}) {
        SCOPED_TRACE(std::to_string(dpi) + " DPI");
        DialogAtDpi seen;
        ObserveAt(dpi, seen);
        if (::testing::Test::HasFatalFailure())
            return;
        auto scale = [&](long pixels) { return long(MulDiv(pixels, dpi, 96)); };
        int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
        RECT frame = {(width - scale(408)) / 2, (height - scale(170)) / 2, 0, 0};
        frame.right = frame.left + scale(408);
        frame.bottom = frame.top + scale(170);
        EXPECT_TRUE(EqualRect(&seen.frame, &frame))
            << "dialog: expected " << Text(frame) << ", got " << Text(seen.frame);
        for (const Placement& p : kLayout) {
            RECT expected = {scale(p.client.left), scale(p.client.top), 0, 0};
            expected.right = expected.left + scale(p.client.right - p.client.left);
            expected.bottom = expected.top + scale(p.client.bottom - p.client.top);
            const RECT& got = seen.controls[p.id];
            EXPECT_TRUE(EqualRect(&got, &expected))
                << "control " << p.id << ": expected " << Text(expected) << ", got " << Text(got);
            RECT inside;
            IntersectRect(&inside, &got, &seen.client);
            EXPECT_TRUE(EqualRect(&inside, &got))
                << "control " << p.id << " at " << Text(got) << " leaves the client area "
                << Text(seen.client);
        }
        for (const auto& text : base.texts) {
            const Measured& was = text.second;
            const Measured& now = seen.texts[text.first];
            EXPECT_TRUE(now.NoLargerShareThan(was))
                << "control " << text.first << " (" << now.kind << "): text " << now.textWidth
                << " x " << now.textHeight << " in " << now.clientWidth << " x " << now.clientHeight
                << ", " << now.lines << " line(s); at 96 DPI " << was.textWidth << " x "
                << was.textHeight << " in " << was.clientWidth << " x " << was.clientHeight << ", "
                << was.lines << " line(s)";
            EXPECT_LE(now.textHeight, now.clientHeight) << "control " << text.first;
        }
        const RECT& picture = seen.controls[IDC_PICTURE];
        EXPECT_EQ(seen.pictureWidth, picture.right - picture.left - 2) << "picture width";
        EXPECT_EQ(seen.pictureHeight, picture.bottom - picture.top - 2) << "picture height";
        EXPECT_EQ(seen.iconWidth, seen.systemIconWidth) << "the big icon at the system's size";
    }
}

TEST(DialogDpi, JapaneseInProportion) {
    ExpectInProportion();
}

TEST(DialogDpi, GermanInProportion) {
    ExpectInProportion();
}

} // namespace
