// WindowFinder with real windows of this thread: the platform's top-level search, the
// byte-wise child search, and activation.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"
#include "window_finder.h"

namespace {

const char kHostClass[] = "Pelagio 2 Class";
const char kOtherClass[] = "Finder Test Window";

// Windows of this thread, destroyed with the fixture.
class WindowFinderTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (const char* name : {kHostClass, kOtherClass}) {
            WNDCLASSA windowClass = {};
            windowClass.lpfnWndProc = DefWindowProcA;
            windowClass.hInstance = GetModuleHandleA(0);
            windowClass.lpszClassName = name;
            RegisterClassA(&windowClass);
        }
    }
    void TearDown() override {
        for (auto it = windows_.rbegin(); it != windows_.rend(); ++it)
            DestroyWindow(*it);
    }
    HWND Make(const char* className, const std::string& title, HWND parent = 0,
              DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE) {
        if (parent)
            style = WS_CHILD | WS_VISIBLE;
        HWND window = CreateWindowExA(0, className, title.c_str(), style, 0, 0, 100, 100, parent, 0,
                                      GetModuleHandleA(0), 0);
        EXPECT_NE(window, nullptr) << "cannot create " << title;
        windows_.push_back(window);
        return window;
    }
    std::vector<HWND> windows_;
};

TEST_F(WindowFinderTest, FindsATopLevelWindowThroughThePlatform) {
    HWND host = Make(kHostClass, "Pelagio 2");
    EXPECT_EQ(FindTopWindow(kHostClass, "Pelagio 2"), host);
    EXPECT_EQ(FoundWindow(), host);
}

// Child windows are compared byte by byte on at most 63 characters, folding only A-Z.
TEST_F(WindowFinderTest, MatchesChildWindowsByteByByte) {
    std::string seventy(70, 'T');
    struct Case {
        std::string childTitle, criterion;
        bool found;
    } cases[] = {
        {"Pelagio 2 ActiveDesktop", "Pelagio 2 ActiveDesktop", true},
        {"pelagio 2 ACTIVEDESKTOP", "Pelagio 2 ActiveDesktop", true},
        {"Pelagio 2 ActiveDesktop!", "Pelagio 2 ActiveDesktop", false},
        {seventy, seventy, false},
        {seventy, seventy.substr(0, 63), true},
        // Full-width Ｐ (82 6F) and ｐ (82 90): their second bytes are no ASCII capitals.
        {"Ｐelagio", "ｐelagio", false},
        // ア (83 41) and ヂ (83 61): a second byte in 41-5A is folded like a capital.
        {"ヂ finder", "ア finder", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("title " + Hex(c.childTitle.substr(0, 12)) + ", criterion " +
                     Hex(c.criterion.substr(0, 12)));
        HWND parent = Make(kOtherClass, "Finder parent");
        HWND child = Make(kOtherClass, c.childTitle, parent);
        HWND found = FindTopWindow(0, c.criterion.c_str());
        EXPECT_EQ(found, c.found ? child : nullptr);
        DestroyWindow(parent);
    }
}

BOOL CALLBACK CollectTopWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// Two matching children under different top-level windows: a child match stops only its own
// enumeration, so the match under the top-level window enumerated last is the one found.
TEST_F(WindowFinderTest, TheLastChildMatchIsFound) {
    HWND first = Make(kOtherClass, "Finder parent 1");
    HWND firstChild = Make(kOtherClass, "Pelagio 2 ActiveDesktop", first);
    HWND second = Make(kOtherClass, "Finder parent 2");
    HWND secondChild = Make(kOtherClass, "Pelagio 2 ActiveDesktop", second);
    std::vector<HWND> order;
    EnumWindows(CollectTopWindow, LPARAM(&order));
    auto at = [&](HWND w) { return std::find(order.begin(), order.end(), w) - order.begin(); };
    HWND expected = at(first) > at(second) ? firstChild : secondChild;
    EXPECT_EQ(FindTopWindow(0, "Pelagio 2 ActiveDesktop"), expected)
        << "parents enumerated at " << at(first) << " and " << at(second);
    EXPECT_EQ(FoundWindow(), expected);
}

TEST_F(WindowFinderTest, LeavesAWindowOfTheForegroundThreadAlone) {
    HWND host = Make(kHostClass, "Pelagio 2");
    HWND popup = CreateWindowExA(0, kOtherClass, "popup", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, host,
                                 0, GetModuleHandleA(0), 0);
    windows_.push_back(popup);
    SetForegroundWindow(host);
    SetActiveWindow(popup);
    ASSERT_EQ(GetWindowThreadProcessId(GetForegroundWindow(), 0), GetCurrentThreadId());
    ASSERT_EQ(GetLastActivePopup(host), popup);
    EXPECT_EQ(FindAndActivate(kHostClass, "Pelagio 2", 1), host) << "already in front";

    // Minimised, it is restored and its last active pop-up is what comes back.
    ShowWindow(host, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(host));
    EXPECT_EQ(FindAndActivate(kHostClass, "Pelagio 2", 1), popup);
    EXPECT_EQ(FoundWindow(), host);
    EXPECT_EQ(FindAndActivate(nullptr, "No such window title", 1), nullptr);
}

TEST_F(WindowFinderTest, ActivationRestoresAMinimisedWindowWithoutPopups) {
    HWND host = Make(kHostClass, "Pelagio 2");
    ShowWindow(host, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(host));
    EXPECT_EQ(FindAndActivate(kHostClass, "Pelagio 2", 0), host);
    EXPECT_TRUE(IsIconic(host)) << "activate 0 leaves it minimised";
    EXPECT_EQ(FindAndActivate(kHostClass, "Pelagio 2", 1), host);
    EXPECT_FALSE(IsIconic(host)) << "activate 1 restores it";
}

} // namespace
