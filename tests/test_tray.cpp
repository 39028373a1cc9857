// The notification-area icon and its popup menu: the menu driven in the test
// process from a second thread, the way a user would work it; the icon of a
// real Zorvane.exe asked for from outside.
#include <gtest/gtest.h>
#include <algorithm>
#include <vector>
#include "Fixtures.h"
#include "MainWindow.h"
#include "Notices.h"
#include "Registry.h"
#include "TrayIcon.h"
#include "Wait.h"
#include "Zorvane.h"
#include "app/App.h"
#include "settings/Settings.h"

namespace {

struct MenuItemFacts {
    UINT id = 0;
    UINT type = 0;
    UINT state = 0;
    std::string text;
};

struct MenuFacts {
    bool opened = false;
    RECT rect = {};
    HMENU menu = nullptr;
    std::vector<MenuItemFacts> items;
};

HWND FindOpenMenu()
{
    for (HWND w = FindWindowExA(nullptr, nullptr, "#32768", nullptr); w;
         w = FindWindowExA(nullptr, w, "#32768", nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(w))
            return w;
    }
    return nullptr;
}

MenuFacts ReadMenu(HWND window)
{
    MenuFacts facts;
    facts.opened = true;
    GetWindowRect(window, &facts.rect);
    facts.menu = reinterpret_cast<HMENU>(SendMessageA(window, MN_GETHMENU, 0, 0));
    int count = GetMenuItemCount(facts.menu);
    for (int i = 0; i < count; ++i) {
        char text[80] = "";
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_TYPE;
        info.dwTypeData = text;
        info.cch = sizeof text;
        GetMenuItemInfoA(facts.menu, static_cast<UINT>(i), TRUE, &info);
        facts.items.push_back({info.wID, info.fType, info.fState,
                               info.fType & MFT_SEPARATOR ? "" : text});
    }
    return facts;
}

bool NoItemLit(HMENU menu)
{
    for (int i = 0, count = GetMenuItemCount(menu); i < count; ++i)
        if (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_HILITE)
            return false;
    return true;
}

// Waits on a thread of its own for the popup menu that the window procedure
// runs on the test's thread, reads it, and then works it with the keyboard:
// `downs` presses of the down arrow and Enter, or Escape when downs is 0.
class MenuUser {
public:
    explicit MenuUser(int downs = 0, DWORD timeoutMs = Patience) : downs_(downs), timeoutMs_(timeoutMs)
    {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~MenuUser()
    {
        Seen();
        CloseHandle(thread_);
    }
    MenuUser(const MenuUser&) = delete;
    MenuUser& operator=(const MenuUser&) = delete;

    const MenuFacts& Seen()
    {
        WaitForSingleObject(thread_, INFINITE);
        return seen_;
    }

private:
    static DWORD WINAPI Run(void* self)
    {
        auto* me = static_cast<MenuUser*>(self);
        HWND window = nullptr;
        if (!WaitUntil([&] { return (window = FindOpenMenu()) != nullptr; }, me->timeoutMs_))
            return 0;
        me->seen_ = ReadMenu(window);
        // Off the menu, so that the pointer selects nothing while keys do:
        // the keys go once no item is lit.
        SetCursorPos(5, 5);
        WaitUntil([&] { return NoItemLit(me->seen_.menu); }, Patience);
        for (int i = 0; i < me->downs_; ++i)
            PostMessageA(window, WM_KEYDOWN, VK_DOWN, 0);
        if (me->downs_ > 0)
            PostMessageA(window, WM_CHAR, '\r', 0);
        else
            PostMessageA(window, WM_KEYDOWN, VK_ESCAPE, 0);
        return 0;
    }

    int downs_;
    DWORD timeoutMs_;
    MenuFacts seen_;
    HANDLE thread_;
};

// Dispatches what the menu posted: the chosen command, WM_USER.
void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
}

class TrayMenu : public MainWindowTest {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        RemoveKey(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
    }

    // A press on the icon as the notification area reports it.
    static void Press(LPARAM mouseMessage, WPARAM id = TrayIconId)
    {
        SendMessageA(MainWindow, TrayCallbackMessage, id, mouseMessage);
    }
};

struct ExpectedItem {
    UINT id;
    const char* text; // null for a separator
};

void ExpectMenu(const MenuFacts& menu, bool enhanced)
{
    const ExpectedItem expected[] = {
        {IDM_ABOUT, "Zorvane Is Active"},
        {0, nullptr},
        {IDM_UNINSTALL, "Uninstall Zorvane"},
        {IDM_HELP, "Zorvane Help"},
        {IDM_ENHANCED, enhanced ? "Enhanced Scanning is ON" : "Enhanced Scanning is OFF"},
        {IDM_ABOUT, "About Zorvane"},
        {0, nullptr},
        {IDM_EXIT, "Exit Zorvane"},
    };
    ASSERT_TRUE(menu.opened) << "no popup menu appeared";
    ASSERT_EQ(8u, menu.items.size());
    for (size_t i = 0; i < 8; ++i) {
        const MenuItemFacts& item = menu.items[i];
        SCOPED_TRACE("item " + std::to_string(i + 1));
        EXPECT_EQ(expected[i].id, item.id);
        if (expected[i].text) {
            EXPECT_EQ(static_cast<UINT>(MFT_STRING), item.type);
            EXPECT_EQ(expected[i].text, item.text);
            EXPECT_EQ(0u, item.state & (MFS_GRAYED | MFS_DISABLED)) << "every item is enabled";
        } else {
            EXPECT_EQ(static_cast<UINT>(MFT_SEPARATOR), item.type);
        }
        UINT checked = i == 4 && enhanced ? MFS_CHECKED : 0;
        EXPECT_EQ(checked, item.state & MFS_CHECKED);
        EXPECT_EQ(0u, item.state & MFS_DEFAULT) << "no item is the default";
    }
}

TEST_F(TrayMenu, RightPressShowsTheEightItemsAtThePointerThenDiscardsTheMenu)
{
    EnhancedScanning = 1;
    SetCursorPos(200, 300);
    MenuUser user;
    Press(WM_RBUTTONDOWN);
    const MenuFacts& menu = user.Seen();
    ExpectMenu(menu, true);
    EXPECT_EQ(200, menu.rect.left) << "the menu's top-left corner is at the pointer";
    EXPECT_EQ(300, menu.rect.top);
    EXPECT_FALSE(IsMenu(menu.menu)) << "the menu must be destroyed once it has closed";
    MSG msg;
    EXPECT_TRUE(PeekMessageA(&msg, MainWindow, WM_USER, WM_USER, PM_REMOVE))
        << "WM_USER must be posted after the menu closes";
}

// Keeps closing any menu that opens, until told to stop, and counts them.
struct MenuGuard {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LONG menus = 0;
    HANDLE thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);

    ~MenuGuard()
    {
        CloseHandle(thread);
        CloseHandle(stop);
    }
    LONG Stop()
    {
        SetEvent(stop);
        WaitForSingleObject(thread, INFINITE);
        return menus;
    }
    static DWORD WINAPI Run(void* self)
    {
        auto* me = static_cast<MenuGuard*>(self);
        while (WaitForSingleObject(me->stop, 20) == WAIT_TIMEOUT) {
            if (HWND menu = FindOpenMenu()) {
                ++me->menus;
                PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
                WaitUntil([&] { return !IsWindowVisible(menu); }, Patience);
            }
        }
        return 0;
    }
};

TEST_F(TrayMenu, OnlyLeftAndRightPressesOpenTheMenu)
{
    MenuGuard guard;
    const UINT others[] = {WM_MOUSEMOVE,     WM_LBUTTONUP,     WM_RBUTTONUP,  WM_LBUTTONDBLCLK,
                           WM_RBUTTONDBLCLK, WM_MBUTTONDOWN,   WM_MBUTTONUP,  WM_MBUTTONDBLCLK};
    for (UINT message : others)
        Press(message);
    Press(WM_RBUTTONDOWN, TrayIconId + 1); // not our icon
    Press(WM_LBUTTONDOWN, 0);
    // A menu would have opened and closed inside the press itself.
    EXPECT_EQ(0, guard.Stop()) << "only a press of the left or right button may open the menu";

    // With enhanced scanning off, the switch shows unchecked.
    EnhancedScanning = 0;
    for (UINT message : {WM_LBUTTONDOWN, WM_RBUTTONDOWN}) {
        MenuUser user;
        Press(message);
        SCOPED_TRACE(message);
        ExpectMenu(user.Seen(), false);
    }
}

TEST_F(TrayMenu, ChoosingTheSwitchFlipsItAndTheNextOpeningShowsTheNewState)
{
    LoadSettings();
    ASSERT_EQ(1, EnhancedScanning);
    {
        MenuUser user(4); // the fifth item; the separator is passed over
        Press(WM_RBUTTONDOWN);
        ExpectMenu(user.Seen(), true);
    }
    PumpMessages();
    EXPECT_EQ(0, EnhancedScanning);
    EXPECT_EQ(std::string("0\0", 2), EnhancedValue().bytes);
    {
        MenuUser user(4);
        Press(WM_RBUTTONDOWN);
        ExpectMenu(user.Seen(), false);
    }
    PumpMessages();
    EXPECT_EQ(1, EnhancedScanning);
    EXPECT_EQ(std::string("1\0", 2), EnhancedValue().bytes);
}

TEST_F(TrayMenu, TheStatusLineAndAboutShowTheSameNotice)
{
    std::string texts[2];
    const int downs[2] = {1, 5}; // "Zorvane Is Active", "About Zorvane"
    for (int i = 0; i < 2; ++i) {
        {
            MenuUser user(downs[i]);
            Press(WM_RBUTTONDOWN);
            ASSERT_TRUE(user.Seen().opened);
        }
        NoticeAnswerer answer(IDOK);
        PumpMessages();
        const Notice& seen = answer.Seen();
        ASSERT_TRUE(seen.shown) << "item " << downs[i] << " showed no notice";
        EXPECT_EQ("OK", seen.buttons);
        EXPECT_EQ(MainWindow, seen.owner);
        texts[i] = seen.text;
    }
    EXPECT_EQ(0u, texts[0].find("Zorvane version 1.2\n")) << texts[0];
    EXPECT_EQ(texts[0], texts[1]);
}

TEST_F(TrayMenu, TheIconBelongsToTheWindowFromCreationUntilClose)
{
    EXPECT_TRUE(TrayIconShown(MainWindow)) << "creating the window must add the icon";
    SetTrayIcon(MainWindow, 0);
    EXPECT_FALSE(TrayIconShown(MainWindow)) << "removing must not wait for the window to go";
    SetTrayIcon(MainWindow, 1);
    EXPECT_TRUE(TrayIconShown(MainWindow));
    HWND window = MainWindow;
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(TrayIconShown(window));
}

// The shell keeps a copy of the icon's image. Explorer asks for the icon
// again at every new taskbar; an image kept each time would pile up. Wine,
// like Windows, gives a freed handle's slot to the next image loaded, unless
// another program takes it first; so the slot is watched for a few adds.
TEST_F(TrayMenu, AddingTheIconLeavesNoImageBehind)
{
    auto load = [] {
        return static_cast<HICON>(
            LoadImageA(AppInstance, IconGroupName, IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    };
    auto slot = [](HICON icon) { return LOWORD(reinterpret_cast<UINT_PTR>(icon)); };
    bool slotFreed = false;
    for (int add = 0; add < 10 && !slotFreed; ++add) {
        HICON before = load();
        ASSERT_NE(nullptr, before);
        DestroyIcon(before);
        SetTrayIcon(MainWindow, 1);
        HICON after = load();
        slotFreed = slot(before) == slot(after);
        DestroyIcon(after);
    }
    EXPECT_TRUE(slotFreed) << "every image loaded for the icon must be freed again";
    EXPECT_TRUE(TrayIconShown(MainWindow));
}

TEST_F(TrayMenu, TheSwitchStillFlipsAndSaysNothingWhenTheMachineRefusesTheSetting)
{
    ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "1"));
    LoadSettings();
    ReadOnlyKey locked(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
    ASSERT_TRUE(locked.Locked()) << "the settings key could not be made read-only";
    NoticeRecorder notices;
    SendMessageA(MainWindow, WM_COMMAND, IDM_ENHANCED, 0);
    EXPECT_TRUE(notices.Stop().empty()) << "a setting that cannot be stored is not reported";
    EXPECT_EQ(0, EnhancedScanning) << "the switch still changes the value in memory";
    EXPECT_EQ(std::string("1\0", 2), EnhancedValue().bytes);
    EXPECT_EQ(std::string("0\0", 2),
              ReadStoredValue(HKEY_CURRENT_USER, ZorvaneSettingsKey, "Enhanced").bytes)
        << "the choice is kept in the user's own key";
    MenuUser user;
    Press(WM_RBUTTONDOWN);
    ExpectMenu(user.Seen(), false);
}

std::string const Tooltip = "Zorvane...updates at http://www.quillane.example/";

class TrayIconOfTheProgram : public ::testing::Test {
protected:
    void SetUp() override { CloseAllZorvanes(); }
    void TearDown() override { CloseAllZorvanes(); }
};

TEST_F(TrayIconOfTheProgram, IsAddedOnStartAndRemovedOnClose)
{
    auto tips = ShellTooltipTexts();
    auto tipsBefore = std::count(tips.begin(), tips.end(), Tooltip);
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w) << "the program's window did not appear";
    EXPECT_TRUE(WaitForTrayIcon(w, true)) << "no icon with id 1226 for the program's window";
    EXPECT_FALSE(TrayIconShown(w, TrayIconId + 1));
    tips = ShellTooltipTexts();
    EXPECT_EQ(tipsBefore + 1, std::count(tips.begin(), tips.end(), Tooltip))
        << "the shell must have been given the program's tooltip with its icon";
    PostMessageA(w, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(z.WaitForExit(Patience, &code)) << "the program did not end";
    EXPECT_EQ(0u, code);
    EXPECT_FALSE(TrayIconShown(w)) << "the icon must go with the program";
}

TEST_F(TrayIconOfTheProgram, ComesBackWhenTheTaskbarIsCreatedAgain)
{
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w) << "the program's window did not appear";
    ASSERT_TRUE(WaitForTrayIcon(w, true));

    ASSERT_TRUE(RemoveTrayIcon(w)) << "could not take the icon away";
    ASSERT_FALSE(TrayIconShown(w));

    PostMessageA(w, RegisterWindowMessageA("ZorvaneTestSomethingElse"), 0, 0);
    EXPECT_FALSE(WaitForTrayIcon(w, true, 500)) << "only TaskbarCreated may add the icon again";

    PostMessageA(w, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(WaitForTrayIcon(w, true)) << "the icon must be added again for a new taskbar";
    EXPECT_TRUE(z.Running());
}

} // namespace
