// Zorvane.exe as a real process: its hidden window, one copy at a time, and
// an orderly end on WM_CLOSE.
#include <gtest/gtest.h>
#include "Fixtures.h"
#include "Notices.h"
#include "Registry.h"
#include "ScanTest.h"
#include "TrayIcon.h"
#include "Wait.h"
#include "Zorvane.h"
#include "app/App.h"
#include <tlhelp32.h>

namespace {

// Start-up is over once the window has been shown and then answers from its
// message loop. Before it is shown it may answer from inside the icon's
// addition, which waits on the notification area.
bool StartupDone(HWND w)
{
    DWORD_PTR reply = 0;
    return WaitUntil([&] { return IsWindowVisible(w) != FALSE; }, Patience) &&
           SendMessageTimeoutA(w, WM_NULL, 0, 0, SMTO_NORMAL, Patience, &reply) != 0;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { CloseAllZorvanes(); }
    void TearDown() override
    {
        CloseAllZorvanes();
        DeleteFileA(LogPath().c_str()); // what the scans of a test wrote
    }
};

// Arguments and a hidden show command change nothing. A close from outside
// ends it with code 0, without asking.
TEST_F(Startup, MainWindowIsAShownZeroSizeToolWindowWhateverTheCommandLineAndWmCloseEndsIt)
{
    for (auto [arguments, show] : {std::pair{"", SW_SHOWNORMAL}, {"/uninstall -q \"C:\\some file\" --help", SW_HIDE}}) {
        SCOPED_TRACE(testing::Message() << "arguments \"" << arguments << "\", show command " << show);
        ZorvaneProcess z;
        ASSERT_TRUE(z.Start(arguments, static_cast<WORD>(show)));
        HWND w = z.WaitForWindow();
        ASSERT_NE(nullptr, w) << "no window of class Zorvane appeared";
        ASSERT_TRUE(StartupDone(w)) << "the window must be shown, whatever the show command";
        char title[64] = "";
        GetWindowTextA(w, title, sizeof title);
        EXPECT_STREQ("Quillane Zorvane", title);
        EXPECT_EQ(WS_POPUP, GetWindowLongA(w, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_CHILD));
        LONG exStyle = GetWindowLongA(w, GWL_EXSTYLE);
        EXPECT_EQ(WS_EX_TOOLWINDOW, exStyle & ~WS_EX_TOPMOST) << "exstyle " << std::hex << exStyle;
        RECT rect = {};
        GetWindowRect(w, &rect);
        EXPECT_TRUE(rect.left == 0 && rect.top == 0 && rect.right == 0 && rect.bottom == 0)
            << "the window must have no size, at 0,0: " << rect.left << "," << rect.top << " to "
            << rect.right << "," << rect.bottom;
        EXPECT_FALSE(NoticeAppears(500)) << "arguments must not lead to a notice";
        PostMessageA(w, WM_CLOSE, 0, 0);
        DWORD code = 99;
        ASSERT_TRUE(z.WaitForExit(Patience, &code)) << "the program must end without asking";
        EXPECT_EQ(0u, code);
        EXPECT_FALSE(IsWindow(w));
    }
}

TEST_F(Startup, ASecondCopyClosesTheFirstAndStays)
{
    ZorvaneProcess first, second;
    ASSERT_TRUE(first.Start());
    ASSERT_NE(nullptr, first.WaitForWindow());
    ASSERT_TRUE(second.Start());
    DWORD code = 99;
    ASSERT_TRUE(first.WaitForExit(Patience, &code)) << "the first copy must give way";
    EXPECT_EQ(0u, code);
    ASSERT_NE(nullptr, second.WaitForWindow());
    EXPECT_TRUE(second.Running());
    EXPECT_EQ(1, CountZorvaneWindows());
}

// A "Zorvane" window whose thread never takes a message stands in for a hung
// copy. It notes when a message is sent to it, without taking the message.
struct HungCopy {
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD sentAt = 0;
    HANDLE thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);

    ~HungCopy()
    {
        SetEvent(release);
        WaitForSingleObject(thread, INFINITE);
        for (HANDLE h : {thread, ready, release})
            CloseHandle(h);
    }
    static DWORD WINAPI Run(void* self)
    {
        auto* me = static_cast<HungCopy*>(self);
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = MainClassName;
        RegisterClassA(&wc);
        HWND w = CreateWindowExA(0, MainClassName, "hung", WS_POPUP, 0, 0, 0, 0, nullptr,
                                 nullptr, wc.hInstance, nullptr);
        SetEvent(me->ready);
        auto sent = [] { return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; };
        while (WaitForSingleObject(me->release, 0) == WAIT_TIMEOUT && !me->sentAt)
            if (WaitUntil(sent, 100))
                me->sentAt = GetTickCount();
        WaitForSingleObject(me->release, INFINITE);
        DestroyWindow(w);
        return 0;
    }
};

// The new copy starts although the old one never answers. Wine does not even
// queue the close for a thread that it counts as hung (five seconds without
// taking a message), so the bound is timed in this process, on a copy that
// has only just stopped answering.
TEST_F(Startup, ACopyThatDoesNotAnswerDelaysTheStartByAtMostTwoSeconds)
{
    HungCopy hung;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hung.ready, Patience)) << "the hung copy did not start";
    DWORD before = GetTickCount();
    CloseRunningCopy();
    DWORD waited = GetTickCount() - before;
    EXPECT_NE(0u, hung.sentAt) << "the close must be sent to the running copy";
    EXPECT_GE(waited, 2000u - 50) << "the running copy is given two seconds";
    EXPECT_LT(waited, 2000u + 400) << "and no more";
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w) << "the new copy must start although the old one does not answer";
    EXPECT_TRUE(WaitForTrayIcon(w, true)) << "its own icon must be shown";
}

// The user is typing in a program of their own when the monitor starts.
TEST_F(Startup, StartingTakesNoFocusFromTheUsersProgram)
{
    HWND mine = CreateWindowExA(0, "Edit", "the user's program", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                100, 100, 300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, mine);
    SetForegroundWindow(mine);
    SetFocus(mine);
    ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == mine; }, Patience))
        << "the user's program did not come to the foreground";
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w) << "the program's window did not appear";
    ASSERT_TRUE(StartupDone(w));
    EXPECT_EQ(mine, GetForegroundWindow()) << "the start must not activate its window";
    EXPECT_EQ(mine, GetFocus()) << "the keyboard focus must stay where the user left it";
    DestroyWindow(mine);
}

// Scans are seen from outside by what they do: with enhanced scanning on (the
// default), each one asks about a running look-alike of the server. Every
// interval is measured from a moment that comes before the event that starts
// it: the first from the window's appearance, which comes before its timer is
// set. Each is bounded near its length: what comes on top is one scan, one
// notice and a loaded machine.
TEST_F(Startup, ScansComeFiveSecondsAfterStartThenOneAfterARemovalThenThirtyAfterNone)
{
    DWORD const Slack = 50;  // the tick count may lag the timers by a clock tick
    DWORD const Late = 1500; // a scan, a notice, and a shared machine
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        RemoveKey(root, ZorvaneSettingsKey);
    std::string folder = TempFolder() + "\\cadence";
    ASSERT_TRUE(MakeFolder(folder));
    FixtureCopy first("server.exe", folder, "first.exe"), second("server.exe", folder, "second.exe");
    ASSERT_TRUE(first.Made() && second.Made());
    LookAlikeProcess firstProcess(first.Path());
    auto asksAbout = [](const Notice& n, const std::string& path) {
        return n.shown && n.text.find(path) != std::string::npos;
    };
    auto expectNear = [&](DWORD nominal, DWORD measured, const char* what) {
        EXPECT_GE(measured, nominal - Slack) << what;
        EXPECT_LT(measured, nominal + Late) << what;
    };

    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    ASSERT_NE(nullptr, z.WaitForWindow(Patience));
    DWORD appeared = GetTickCount();
    Notice question = WaitForNotice(Patience);
    expectNear(5000, GetTickCount() - appeared, "the first scan comes 5 s after the start");
    ASSERT_TRUE(asksAbout(question, first.Path())) << "no first scan: " << question.text;

    // Not in the snapshot of the scan that is asking now: only the next scan sees it.
    LookAlikeProcess secondProcess(second.Path());
    ASSERT_TRUE(AnswerNotice(IDYES).shown);
    Notice report = WaitForNotice(Patience);
    ASSERT_NE(std::string::npos, report.text.find("Grimlatch was found")) << report.text;
    DWORD removalEnded = GetTickCount(); // the scan ends after its report is answered
    ASSERT_TRUE(AnswerNotice(IDOK).shown);
    question = WaitForNotice(Patience);
    expectNear(1000, GetTickCount() - removalEnded, "the next scan comes 1 s after a removal");
    ASSERT_TRUE(asksAbout(question, second.Path())) << question.text;

    DWORD nothingEnded = GetTickCount();
    ASSERT_TRUE(AnswerNotice(IDNO).shown);
    question = WaitForNotice(2 * Patience);
    expectNear(30000, GetTickCount() - nothingEnded, "30 s after a scan that removed nothing");
    ASSERT_TRUE(asksAbout(question, second.Path())) << question.text;
    AnswerNotice(IDNO);
    DeleteFileA((folder + "\\GrimlatchRemoved.exe").c_str());
}

// Any program may post a scan tick, and a notice's loop passes it on; a close
// may come while a scan waits in a notice, and the quit that it posts would
// end every later notice at once.
TEST_F(Startup, ATickDuringANoticeStartsNoSecondScanAndACloseEndsTheScan)
{
    constexpr char RebootOffer[] =
        "Grimlatch is running on your computer, but has not actually installed itself.  The "
        "easiest way to get rid of it is to reboot your computer.\n\nCan we reboot your "
        "computer now?";
    FixtureCopy candidate("candidate.exe", TempFolder(), "asked at close.exe");
    LookAlikeProcess process(candidate.Path());
    TestValues values;
    ASSERT_TRUE(values.Write(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestAskedAtClose", candidate.Path()));
    ASSERT_TRUE(PlantDropperDll());

    std::vector<std::string> seen;
    {
        ZorvaneProcess z;
        ASSERT_TRUE(z.Start());
        HWND w = z.WaitForWindow();
        ASSERT_TRUE(WaitForNotice(Patience).shown);
        // Sent, so that it is taken before the answer, which is posted.
        SendNotifyMessageA(w, WM_TIMER, ScanTimer, 0);
        for (Notice n; (n = AnswerNotice(IDNO, 3000)).shown;)
            seen.push_back(n.text);
    }
    EXPECT_EQ((std::vector<std::string>{Question(candidate.Path()), RebootOffer}), seen)
        << "the tick must not start a scan inside the question";

    ASSERT_TRUE(PlantDropperDll());
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_TRUE(WaitForNotice(Patience).shown);
    PostMessageA(w, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(z.WaitForExit(Patience, &code));
    EXPECT_EQ(0u, code);
    EXPECT_TRUE(FileExists(DropperDllFile())) << "the scan must stop, not go on to its end";
    RemoveDropperDll();
}

// Wine reads the manifest as Windows does: the buttons of the notices come
// from the Common Controls 6 in the side-by-side store, which Windows 95
// lacks, and no earlier comctl32 stands in for it.
TEST_F(Startup, TheNoticesButtonsAreThoseOfTheCommonControls6)
{
    ASSERT_TRUE(PlantDropperDll());
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_TRUE(WaitForNotice(Patience).shown);
    std::vector<std::string> controls;
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, z.Id());
    MODULEENTRY32 module = {};
    module.dwSize = sizeof module;
    for (BOOL more = Module32First(modules, &module); more; more = Module32Next(modules, &module))
        if (lstrcmpiA(module.szModule, "comctl32.dll") == 0)
            controls.push_back(Upper(module.szExePath));
    CloseHandle(modules);
    EXPECT_TRUE(controls.size() == 1 && Contains(controls[0], "\\WINSXS\\") &&
                Contains(controls[0], "COMMON-CONTROLS_6595B64144CCF1DF_6."))
        << controls.size() << " comctl32.dll loaded, the first from "
        << (controls.empty() ? "" : controls[0]);
    PostMessageA(w, WM_CLOSE, 0, 0);
    EXPECT_TRUE(z.WaitForExit(Patience));
    RemoveDropperDll();
}

// A hook, or a desktop out of room, can refuse the window; the program could
// then never be closed.
LRESULT CALLBACK RefuseMainWindow(int code, WPARAM wParam, LPARAM lParam)
{
    char name[16] = "";
    if (code == HCBT_CREATEWND && GetClassNameA(reinterpret_cast<HWND>(wParam), name, sizeof name) &&
        lstrcmpA(name, MainClassName) == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

DWORD WINAPI RunWithoutWindow(void* exitCode)
{
    HHOOK hook = SetWindowsHookExA(WH_CBT, RefuseMainWindow, nullptr, GetCurrentThreadId());
    *static_cast<int*>(exitCode) =
        WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<char*>(""), SW_SHOWNORMAL);
    UnhookWindowsHookEx(hook);
    return 0;
}

TEST_F(Startup, AWindowThatCannotBeCreatedIsReportedAndEndsTheProgram)
{
    int exitCode = 0;
    NoticeRecorder notices({IDOK});
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, RunWithoutWindow, &exitCode, 0, &threadId);
    bool ended = WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0;
    if (!ended) {
        PostThreadMessageA(threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    const std::vector<Notice>& seen = notices.Stop();
    EXPECT_TRUE(ended) << "a program without its window must end";
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("ERROR: Zorvane cannot run, because its window could not be created.", seen[0].text);
    EXPECT_NE(0, exitCode);
}

} // namespace
