// Zorvane.exe as a real process: its hidden window, one copy at a time, and
// an orderly end on WM_CLOSE.
#include <gtest/gtest.h>
#include "Notices.h"
#include "Zorvane.h"
#include "app/App.h"

namespace {

struct WindowFacts {
    std::string title;
    LONG style = 0, exStyle = 0;
    DWORD classStyle = 0;
    RECT rect = {};
    bool visible = false;
};

// The window exists before start-up has shown it, so give it a moment to
// become visible; a copy that stays hidden shows up in the facts all the same.
WindowFacts Facts(HWND w)
{
    for (int i = 0; i < 150 && !IsWindowVisible(w); ++i)
        Sleep(20);
    WindowFacts f;
    char title[64] = "";
    GetWindowTextA(w, title, sizeof title);
    f.title = title;
    f.style = GetWindowLongA(w, GWL_STYLE);
    f.exStyle = GetWindowLongA(w, GWL_EXSTYLE);
    f.classStyle = GetClassLongA(w, GCL_STYLE);
    GetWindowRect(w, &f.rect);
    f.visible = IsWindowVisible(w) != 0;
    return f;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { CloseAllZorvanes(); }
    void TearDown() override { CloseAllZorvanes(); }
};

TEST_F(Startup, MainWindowIsAZeroSizeToolWindowWithTheProgramsTitle)
{
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w) << "no window of class Zorvane appeared";
    WindowFacts f = Facts(w);
    EXPECT_EQ("Quillane Zorvane", f.title);
    EXPECT_EQ(WS_POPUP, f.style & (WS_POPUP | WS_CAPTION | WS_CHILD));
    EXPECT_EQ(WS_EX_TOOLWINDOW, f.exStyle & ~WS_EX_TOPMOST) << "exstyle " << std::hex << f.exStyle;
    EXPECT_EQ(static_cast<DWORD>(CS_HREDRAW | CS_VREDRAW), f.classStyle);
    EXPECT_EQ(0, f.rect.left);
    EXPECT_EQ(0, f.rect.top);
    EXPECT_EQ(0, f.rect.right - f.rect.left) << "the window must have no width";
    EXPECT_EQ(0, f.rect.bottom - f.rect.top) << "the window must have no height";
}

TEST_F(Startup, ArgumentsAndAHiddenShowCommandChangeNothing)
{
    WindowFacts plain, odd;
    {
        ZorvaneProcess z;
        ASSERT_TRUE(z.Start());
        HWND w = z.WaitForWindow();
        ASSERT_NE(nullptr, w);
        plain = Facts(w);
    }
    CloseAllZorvanes();
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start("/uninstall -q \"C:\\some file\" --help", SW_HIDE));
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w);
    odd = Facts(w);
    EXPECT_EQ(plain.title, odd.title);
    EXPECT_EQ(plain.style, odd.style) << "a hidden show command must not hide the window";
    EXPECT_EQ(plain.exStyle, odd.exStyle);
    EXPECT_EQ(plain.visible, odd.visible);
    EXPECT_TRUE(EqualRect(&plain.rect, &odd.rect));
    EXPECT_FALSE(NoticeAppears(500)) << "arguments must not lead to a notice";
    PostMessageA(w, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(z.WaitForExit(5000, &code));
    EXPECT_EQ(0u, code);
}

TEST_F(Startup, WmCloseFromOutsideEndsTheProgramWithCodeZeroAndNoNotice)
{
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w);
    PostMessageA(w, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(z.WaitForExit(5000, &code)) << "the program must end without asking";
    EXPECT_EQ(0u, code);
    EXPECT_FALSE(NoticeAppears(200));
    EXPECT_FALSE(IsWindow(w));
}

TEST_F(Startup, ASecondCopyClosesTheFirstAndStays)
{
    ZorvaneProcess first, second;
    ASSERT_TRUE(first.Start());
    ASSERT_NE(nullptr, first.WaitForWindow());
    ASSERT_TRUE(second.Start());
    DWORD code = 99;
    ASSERT_TRUE(first.WaitForExit(5000, &code)) << "the first copy must give way";
    EXPECT_EQ(0u, code);
    ASSERT_NE(nullptr, second.WaitForWindow());
    EXPECT_TRUE(second.Running());
    EXPECT_EQ(1, CountZorvaneWindows());
}

// A "Zorvane" window whose thread never pumps messages stands in for a hung copy.
DWORD WINAPI HungCopy(void* ready)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = MainClassName;
    RegisterClassA(&wc);
    HWND w = CreateWindowExA(0, MainClassName, "hung", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             wc.hInstance, nullptr);
    SetEvent(ready);
    Sleep(6000);
    DestroyWindow(w);
    return 0;
}

TEST_F(Startup, ACopyThatDoesNotAnswerDelaysTheStartByAtMostTwoSeconds)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hung = CreateThread(nullptr, 0, HungCopy, ready, 0, nullptr);
    WaitForSingleObject(ready, 5000);
    ZorvaneProcess z;
    DWORD start = GetTickCount();
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow(5000);
    DWORD took = GetTickCount() - start;
    EXPECT_NE(nullptr, w) << "the new copy must start although the old one does not answer";
    EXPECT_GE(took, 1500u) << "the new copy should have waited for the old one";
    EXPECT_LT(took, 4000u) << "the new copy waited " << took << " ms";
    WaitForSingleObject(hung, INFINITE);
    CloseHandle(hung);
    CloseHandle(ready);
}

} // namespace
