// The shell inside the test process: notices, the scan tick, the owner of
// scan notices, and the resources built into Zorvane.exe.
#include <gtest/gtest.h>
#include <vector>
#include "Fixtures.h"
#include "MainWindow.h"
#include "Notices.h"
#include "Zorvane.h"
#include "app/App.h"
#include "scan/Scan.h"

namespace {

class Shell : public MainWindowTest {};

// The style that each message box of this thread was given, read from the
// record that the box receives when it sets itself up: what the program asked
// of the box, whatever the platform then makes of it.
class BoxStyles {
public:
    BoxStyles()
    {
        current_ = this;
        hook_ = SetWindowsHookExA(WH_CBT, OnCbt, nullptr, GetCurrentThreadId());
    }
    ~BoxStyles()
    {
        UnhookWindowsHookEx(hook_);
        current_ = nullptr;
    }
    BoxStyles(const BoxStyles&) = delete;
    BoxStyles& operator=(const BoxStyles&) = delete;

    std::vector<DWORD> seen;

private:
    static LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam)
    {
        auto window = reinterpret_cast<HWND>(wParam);
        char cls[16] = "";
        if (code == HCBT_CREATEWND && GetClassNameA(window, cls, sizeof cls) &&
            lstrcmpA(cls, "#32770") == 0)
            boxProc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
                window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OnBoxMessage)));
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static LRESULT CALLBACK OnBoxMessage(HWND box, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_INITDIALOG && current_)
            current_->seen.push_back(reinterpret_cast<const MSGBOXPARAMSA*>(lParam)->dwStyle);
        return CallWindowProcA(boxProc_, box, message, wParam, lParam);
    }

    static inline BoxStyles* current_ = nullptr;
    static inline WNDPROC boxProc_ = nullptr;
    HHOOK hook_ = nullptr;
};

TEST_F(Shell, NoticeIsTopmostAndForegroundWithTheProgramsIconAndReturnsTheButton)
{
    BoxStyles styles;
    NoticeAnswerer answer(IDYES);
    int button = ShowNotice(MainWindow, "Is this the file?", NoticeCaption, MB_YESNOCANCEL);
    const Notice& seen = answer.Seen();
    EXPECT_EQ(IDYES, button);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ("Is this the file?", seen.text);
    EXPECT_EQ("Cancel Yes No", seen.buttons);
    EXPECT_EQ(MainWindow, seen.owner);
    EXPECT_TRUE(seen.foreground) << "notices must come to the foreground";
    // Wine does not raise a box that asks to stay on top; Windows does.
    EXPECT_TRUE(seen.topmost || RunningOnWine()) << "notices must stay above other windows";
    ASSERT_EQ(1u, styles.seen.size()) << "one box, shown once";
    EXPECT_EQ(static_cast<DWORD>(MB_YESNOCANCEL | MB_USERICON | MB_SETFOREGROUND | MB_TOPMOST),
              styles.seen[0])
        << "the box must be asked to stay on top and come forward, with our own icon";
    EXPECT_EQ(LoadIconA(AppInstance, IconGroupName), seen.icon)
        << "the notice must show ZORVANE_ICON";
}

TEST_F(Shell, NoticeReturnsEachButtonAndCancelWhenClosed)
{
    struct { UINT style; int press; int expected; } cases[] = {
        {MB_OK, IDOK, IDOK},
        {MB_YESNOCANCEL, IDNO, IDNO},
        {MB_YESNOCANCEL, IDCANCEL, IDCANCEL},
        {MB_YESNOCANCEL, 0, IDCANCEL}, // closed by its close button
    };
    for (auto c : cases) {
        NoticeAnswerer answer(c.press);
        EXPECT_EQ(c.expected, ShowNotice(MainWindow, "text", NoticeCaption, c.style))
            << "style " << c.style << ", pressed " << c.press;
        EXPECT_TRUE(answer.Seen().shown);
    }
}

TEST_F(Shell, NoticeFallsBackToAPlainBoxWhenTheOwnerIsGone)
{
    HWND gone = CreateWindowExA(0, "Static", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
    DestroyWindow(gone);
    BoxStyles styles;
    NoticeAnswerer answer(IDYES);
    int button = ShowNotice(gone, "Still asked", NoticeCaption, MB_YESNOCANCEL);
    const Notice& seen = answer.Seen();
    EXPECT_EQ(IDYES, button) << "a Yes in the fallback box must still count";
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ("Still asked", seen.text);
    EXPECT_EQ(nullptr, seen.owner);
    EXPECT_EQ(LoadIconA(nullptr, IDI_EXCLAMATION), seen.icon);
    ASSERT_FALSE(styles.seen.empty());
    EXPECT_EQ(static_cast<DWORD>(MB_YESNOCANCEL | MB_ICONEXCLAMATION), styles.seen.back())
        << "the plain box: the stock exclamation icon, not on top, not brought forward";
}

TEST_F(Shell, MessageLoopEndsWithTheQuitCode)
{
    PostMessageA(MainWindow, WM_NULL, 0, 0);
    PostQuitMessage(7);
    EXPECT_EQ(7, RunMessageLoop()) << "the quit message's code is the program's exit code";
}

// Only the tick's own re-arming can leave a timer 3 behind: none was armed
// before it. How long it is armed for is seen on a started program.
TEST_F(Shell, OnlyTheScanTickRunsACycleAndArmsTheTimerAgain)
{
    ASSERT_FALSE(KillTimer(MainWindow, ScanTimer)) << "no timer may be armed before the tick";
    for (WPARAM timer : {WPARAM{7}, WPARAM{0}, WPARAM{ScanTimer}}) {
        SCOPED_TRACE(testing::Message() << "timer " << timer);
        bool tick = timer == ScanTimer;
        lstrcpyA(DropperDllPath.data(), "stale");
        SendMessageA(MainWindow, WM_TIMER, timer, 0);
        EXPECT_STRCASEEQ(tick ? (SystemDirectory() + "\\windll.dll").c_str() : "stale", DropperDllPath.data())
            << "only the tick runs a scan cycle, which rebuilds the DLL path";
        EXPECT_EQ(tick, KillTimer(MainWindow, ScanTimer) != FALSE) << "only the tick arms timer 3 again";
    }
}

HWND MakeWindowOfClass(const char* name)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
    return CreateWindowExA(0, name, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance,
                           nullptr);
}

TEST_F(Shell, NoticeOwnerPrefersMarrowickThenOspreelThenTheMainWindow)
{
    EXPECT_EQ(MainWindow, ChooseNoticeOwner());
    HWND ospreel = MakeWindowOfClass("Ospreel");
    EXPECT_EQ(ospreel, ChooseNoticeOwner());
    HWND marrowick = MakeWindowOfClass("Marrowick");
    EXPECT_EQ(marrowick, ChooseNoticeOwner());
    DestroyWindow(ospreel);
    EXPECT_EQ(marrowick, ChooseNoticeOwner());
    DestroyWindow(marrowick);
    EXPECT_EQ(MainWindow, ChooseNoticeOwner());
}

std::string VersionString(const std::vector<char>& block, const char* name)
{
    char path[128];
    wsprintfA(path, "\\StringFileInfo\\040904b0\\%s", name);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), path, &value, &length) || !value)
        return "<absent>";
    return static_cast<const char*>(value);
}

// The size of the image that Windows picks from the group for a wanted size.
int IconImageSize(HMODULE exe, const void* group, int wanted)
{
    int id = LookupIconIdFromDirectoryEx(static_cast<BYTE*>(const_cast<void*>(group)), TRUE,
                                         wanted, wanted, LR_DEFAULTCOLOR);
    HRSRC image = FindResourceA(exe, MAKEINTRESOURCEA(id), RT_ICON);
    if (!image)
        return 0;
    auto* header = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(exe, image)));
    return header ? header->biWidth : 0;
}

// What Windows and a user see of the built executable: its version in the
// file's properties, the strings there, and the program's icon in both sizes.
TEST(Resources, TheExecutableCarriesItsVersionAndItsIconInBothSizes)
{
    std::string exe = ZorvaneExe();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &handle);
    ASSERT_NE(0u, size) << "no version block";
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS) << "file version 1.0.0.1";
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS) << "file version 1.0.0.1";
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ("1.2", VersionString(block, "FileVersion"));
    EXPECT_EQ("1.2", VersionString(block, "ProductVersion"));
    for (const char* name : {"Comments", "CompanyName", "FileDescription", "InternalName",
                             "LegalCopyright", "OriginalFilename", "ProductName"}) {
        std::string value = VersionString(block, name);
        EXPECT_TRUE(value != "<absent>" && value.find_first_not_of(' ') != std::string::npos)
            << name << " must be there and say something";
    }

    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC group = FindResourceA(module, IconGroupName, RT_GROUP_ICON);
    ASSERT_NE(nullptr, group) << "no icon group ZORVANE_ICON";
    const void* directory = LockResource(LoadResource(module, group));
    EXPECT_EQ(16, IconImageSize(module, directory, 16)) << "a 16x16 image for the tray";
    EXPECT_EQ(32, IconImageSize(module, directory, 32)) << "a 32x32 image for the notices";
    FreeLibrary(module);
}

} // namespace
