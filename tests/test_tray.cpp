// The notification-area icon and its popup menu: the menu driven in the test
// process from a second thread, the way a user would work it; the icon of a
// real Zorvane.exe asked for from outside.
#include <gtest/gtest.h>
#include <algorithm>
#include <vector>
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
    explicit MenuUser(int downs = 0) : downs_(downs)
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
        if (!WaitUntil([&] { return (window = FindOpenMenu()) != nullptr; }, Patience))
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

// Every item is enabled, none is the default, and only the switch, while on,
// is checked.
void ExpectMenu(const MenuFacts& menu, bool enhanced)
{
    const struct {
        UINT id;
        const char* text; // empty for a separator
    } expected[] = {
        {IDM_ABOUT, "Zorvane Is Active"},
        {0, ""},
        {IDM_UNINSTALL, "Uninstall Zorvane"},
        {IDM_HELP, "Zorvane Help"},
        {IDM_ENHANCED, enhanced ? "Enhanced Scanning is ON" : "Enhanced Scanning is OFF"},
        {IDM_ABOUT, "About Zorvane"},
        {0, ""},
        {IDM_EXIT, "Exit Zorvane"},
    };
    ASSERT_TRUE(menu.opened) << "no popup menu appeared";
    ASSERT_EQ(8u, menu.items.size());
    for (size_t i = 0; i < 8; ++i) {
        const MenuItemFacts& item = menu.items[i];
        SCOPED_TRACE("item " + std::to_string(i + 1));
        bool separator = !*expected[i].text;
        EXPECT_EQ(expected[i].id, item.id);
        EXPECT_EQ(static_cast<UINT>(separator ? MFT_SEPARATOR : MFT_STRING), item.type);
        EXPECT_EQ(expected[i].text, item.text);
        UINT mask = MFS_CHECKED | MFS_DEFAULT | (separator ? 0 : MFS_GRAYED | MFS_DISABLED);
        EXPECT_EQ(i == 4 && enhanced ? MFS_CHECKED : 0u, item.state & mask);
    }
}

TEST_F(TrayMenu, ALeftOrRightPressShowsTheEightItemsAtThePointerThenDiscardsTheMenu)
{
    EnhancedScanning = 1;
    for (UINT press : {WM_LBUTTONDOWN, WM_RBUTTONDOWN}) {
        SCOPED_TRACE(press == WM_LBUTTONDOWN ? "left" : "right");
        SetCursorPos(200, 300);
        MenuUser user;
        Press(press);
        const MenuFacts& menu = user.Seen();
        ExpectMenu(menu, true);
        EXPECT_EQ(200, menu.rect.left) << "the menu's top-left corner is at the pointer";
        EXPECT_EQ(300, menu.rect.top);
        EXPECT_FALSE(IsMenu(menu.menu)) << "the menu must be destroyed once it has closed";
        MSG msg;
        EXPECT_TRUE(PeekMessageA(&msg, MainWindow, WM_USER, WM_USER, PM_REMOVE))
            << "WM_USER must be posted after the menu closes";
    }
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

TEST_F(TrayMenu, OnlyLeftAndRightPressesOnItsOwnIconOpenTheMenu)
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
}

TEST_F(TrayMenu, ChoosingTheSwitchFlipsItAndTheNextOpeningShowsTheNewState)
{
    LoadSettings();
    ASSERT_EQ(1, EnhancedScanning);
    for (int now : {1, 0}) {
        {
            MenuUser user(4); // the fifth item; the separator is passed over
            Press(WM_RBUTTONDOWN);
            ExpectMenu(user.Seen(), now);
        }
        PumpMessages();
        EXPECT_EQ(1 - now, EnhancedScanning);
        EXPECT_EQ(std::string(now ? "0" : "1") + '\0', EnhancedValue().bytes);
    }
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

std::string const Tooltip = "Zorvane...updates at http://www.quillane.example/";

class TrayIconOfTheProgram : public ::testing::Test {
protected:
    void SetUp() override { CloseAllZorvanes(); }
    void TearDown() override { CloseAllZorvanes(); }
};

// Added on start with its tooltip, added again only for a new taskbar, and
// gone with the program.
TEST_F(TrayIconOfTheProgram, IsAddedOnStartAgainForANewTaskbarAndRemovedOnClose)
{
    auto tips = ShellTooltipTexts();
    auto tipsBefore = std::count(tips.begin(), tips.end(), Tooltip);
    ZorvaneProcess z;
    ASSERT_TRUE(z.Start());
    HWND w = z.WaitForWindow();
    ASSERT_NE(nullptr, w) << "the program's window did not appear";
    ASSERT_TRUE(WaitForTrayIcon(w, true)) << "no icon with id 1226 for the program's window";
    EXPECT_FALSE(TrayIconShown(w, TrayIconId + 1));
    tips = ShellTooltipTexts();
    EXPECT_EQ(tipsBefore + 1, std::count(tips.begin(), tips.end(), Tooltip))
        << "the shell must have been given the program's tooltip with its icon";

    ASSERT_TRUE(RemoveTrayIcon(w)) << "could not take the icon away";
    PostMessageA(w, RegisterWindowMessageA("ZorvaneTestSomethingElse"), 0, 0);
    EXPECT_FALSE(WaitForTrayIcon(w, true, 500)) << "only TaskbarCreated may add the icon again";
    PostMessageA(w, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(WaitForTrayIcon(w, true)) << "the icon must be added again for a new taskbar";

    PostMessageA(w, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(z.WaitForExit(Patience, &code)) << "the program did not end";
    EXPECT_EQ(0u, code);
    EXPECT_FALSE(TrayIconShown(w)) << "the icon must go with the program";
}

} // namespace
