// The shell inside the test process: notices, the scan tick, the owner of
// scan notices, and the resources built into Zorvane.exe.
#include <gtest/gtest.h>
#include <vector>
#include "Fixtures.h"
#include "Notices.h"
#include "Zorvane.h"
#include "app/App.h"
#include "scan/Scan.h"

namespace {

class Shell : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseAllZorvanes();
        AppInstance = GetModuleHandleA(nullptr);
        RegisterMainClass(AppInstance);
        MainWindow = CreateMainWindow(AppInstance);
        ASSERT_NE(nullptr, MainWindow);
    }
    void TearDown() override
    {
        DestroyWindow(MainWindow);
        MainWindow = nullptr;
        MSG msg; // drop the quit message that WM_DESTROY posted
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
};

TEST_F(Shell, NoticeIsTopmostWithTheProgramsIconAndReturnsTheButton)
{
    NoticeAnswerer answer(IDYES);
    int button = ShowNotice(MainWindow, "Is this the file?", NoticeCaption, MB_YESNOCANCEL);
    const Notice& seen = answer.Seen();
    EXPECT_EQ(IDYES, button);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ("Is this the file?", seen.text);
    EXPECT_EQ("Cancel Yes No", seen.buttons);
    EXPECT_EQ(MainWindow, seen.owner);
    EXPECT_TRUE(seen.foreground) << "notices must come to the foreground";
    if (RunningOnWine())
        EXPECT_FALSE(seen.topmost) << "Wine now honours MB_TOPMOST in message boxes: "
                                      "drop this platform exception";
    else
        EXPECT_TRUE(seen.topmost) << "notices must stay above ordinary windows";
    EXPECT_EQ(LoadIconA(AppInstance, IconGroupName), seen.icon)
        << "the notice must show ZORVANE_ICON";
    EXPECT_NE(nullptr, seen.icon);
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
    NoticeAnswerer answer(IDYES);
    int button = ShowNotice(gone, "Still asked", NoticeCaption, MB_YESNOCANCEL);
    const Notice& seen = answer.Seen();
    EXPECT_EQ(IDYES, button) << "a Yes in the fallback box must still count";
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ("Still asked", seen.text);
    EXPECT_EQ(nullptr, seen.owner);
    EXPECT_FALSE(seen.topmost);
    EXPECT_EQ(LoadIconA(nullptr, IDI_EXCLAMATION), seen.icon);
}

// Counts WM_TIMER messages for the scan timer that arrive within `ms`.
int ScanTicksWithin(DWORD ms)
{
    int ticks = 0;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        MSG msg;
        while (PeekMessageA(&msg, MainWindow, WM_TIMER, WM_TIMER, PM_REMOVE))
            ticks += msg.wParam == ScanTimer;
        Sleep(10);
    }
    return ticks;
}

TEST_F(Shell, MessageLoopEndsWithTheQuitCode)
{
    PostMessageA(MainWindow, WM_NULL, 0, 0);
    PostQuitMessage(7);
    EXPECT_EQ(7, RunMessageLoop()) << "the quit message's code is the program's exit code";
}

TEST_F(Shell, ScanTickClearsTheFlagAndRearmsTheTimerForThirtySeconds)
{
    SetTimer(MainWindow, ScanTimer, 60000, nullptr);
    FoundThisCycle = 1;
    lstrcpyA(DropperDllPath.data(), "stale");
    SendMessageA(MainWindow, WM_TIMER, ScanTimer, 0);
    EXPECT_EQ(0, FoundThisCycle) << "the flag is cleared before the scan";
    EXPECT_STRCASEEQ((SystemDirectory() + "\\windll.dll").c_str(), DropperDllPath.data())
        << "the tick must run a scan cycle, which rebuilds the DLL path";
    EXPECT_EQ(0, ScanTicksWithin(1500)) << "with nothing found the next tick is 30 s away";
    EXPECT_TRUE(KillTimer(MainWindow, ScanTimer)) << "the timer must be armed again";
}

TEST_F(Shell, MainWindowClassUsesButtonFaceAndStockIconAndCursor)
{
    EXPECT_EQ(static_cast<ULONG_PTR>(COLOR_BTNFACE + 1),
              GetClassLongPtrA(MainWindow, GCLP_HBRBACKGROUND));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(LoadIconA(nullptr, IDI_APPLICATION)),
              GetClassLongPtrA(MainWindow, GCLP_HICON)) << "the class must not use ZORVANE_ICON";
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(LoadCursorA(nullptr, IDC_ARROW)),
              GetClassLongPtrA(MainWindow, GCLP_HCURSOR));
    EXPECT_EQ(static_cast<ULONG_PTR>(CS_HREDRAW | CS_VREDRAW), GetClassLongPtrA(MainWindow, GCL_STYLE));
}

TEST_F(Shell, OtherTimerIdsStartNoScan)
{
    FoundThisCycle = 1;
    lstrcpyA(DropperDllPath.data(), "stale");
    SendMessageA(MainWindow, WM_TIMER, 7, 0);
    SendMessageA(MainWindow, WM_TIMER, 0, 0);
    EXPECT_EQ(1, FoundThisCycle);
    EXPECT_STREQ("stale", DropperDllPath.data()) << "no scan cycle may have run";
    EXPECT_FALSE(KillTimer(MainWindow, ScanTimer)) << "no scan timer may be armed";
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

TEST(Resources, VersionBlockCarriesTheProductsStrings)
{
    std::string exe = ZorvaneExe();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &handle);
    ASSERT_NE(0u, size);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwProductVersionLS);
    EXPECT_EQ(0x3Fu, fixed->dwFileFlagsMask);
    EXPECT_EQ(0u, fixed->dwFileFlags);
    EXPECT_EQ(0x40004u, fixed->dwFileOS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileSubtype);
    EXPECT_EQ(0u, fixed->dwFileDateMS | fixed->dwFileDateLS);

    EXPECT_EQ("Monitors for the virus-like Grimlatch program, and uninstalls it when it appears.",
              VersionString(block, "Comments"));
    EXPECT_EQ("Quillane", VersionString(block, "CompanyName"));
    EXPECT_EQ("Zorvane", VersionString(block, "FileDescription"));
    EXPECT_EQ("1.2", VersionString(block, "FileVersion"));
    EXPECT_EQ("Zorvane.exe", VersionString(block, "InternalName"));
    EXPECT_EQ("Zorvane.exe", VersionString(block, "OriginalFilename"));
    EXPECT_EQ("Zorvane", VersionString(block, "ProductName"));
    EXPECT_EQ("1.2", VersionString(block, "ProductVersion"));
    EXPECT_NE("<absent>", VersionString(block, "LegalCopyright"));
    EXPECT_NE("", VersionString(block, "LegalCopyright"));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

BOOL CALLBACK CountGroup(HMODULE, LPCSTR, LPSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

TEST(Resources, IconGroupHoldsA32And16PixelSixteenColourImage)
{
    HMODULE exe = LoadLibraryExA(ZorvaneExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, exe);
    int groups = 0;
    EnumResourceNamesA(exe, RT_GROUP_ICON, CountGroup, reinterpret_cast<LONG_PTR>(&groups));
    EXPECT_EQ(1, groups) << "ZORVANE_ICON must be the only icon group";

    HRSRC info = FindResourceExA(exe, RT_GROUP_ICON, IconGroupName,
                                 MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(nullptr, info) << "no US English icon group ZORVANE_ICON";
    auto* dir = static_cast<const WORD*>(LockResource(LoadResource(exe, info)));
    ASSERT_NE(nullptr, dir);
    ASSERT_EQ(2, dir[2]) << "two images expected";
    auto* entries = reinterpret_cast<const GroupIconEntry*>(dir + 3);
    struct { int size; DWORD bytes; WORD id; } expected[] = {{32, 744, 1}, {16, 296, 2}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(expected[i].size, entries[i].width) << "image " << i;
        EXPECT_EQ(expected[i].size, entries[i].height) << "image " << i;
        EXPECT_EQ(16, entries[i].colours) << "image " << i;
        EXPECT_EQ(1, entries[i].planes) << "image " << i;
        EXPECT_EQ(4, entries[i].bitCount) << "image " << i;
        EXPECT_EQ(expected[i].bytes, entries[i].bytes) << "image " << i;
        EXPECT_EQ(expected[i].id, entries[i].id) << "image " << i;
        HRSRC image = FindResourceA(exe, MAKEINTRESOURCEA(entries[i].id), RT_ICON);
        ASSERT_NE(nullptr, image);
        EXPECT_EQ(expected[i].bytes, SizeofResource(exe, image));
    }
    FreeLibrary(exe);
}

} // namespace
