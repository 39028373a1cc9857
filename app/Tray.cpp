#include "app/App.h"
#include <shellapi.h>
#include "settings/Settings.h"

namespace {

// The icon record in its first form, which every shell since Windows 95
// accepts; the header's record is the later, longer one, so the size is set
// to the first form's and nothing beyond it is read. In a 64-bit build the
// handles in it are wider, and so is the record.
static_assert(sizeof(void*) != 4 || NOTIFYICONDATAA_V1_SIZE == 88);
DWORD const TrayIconRecordSize = NOTIFYICONDATAA_V1_SIZE;
int const TipSize = 64; // the first form's tip field, terminator included
int const TrayIconSize = 16;

constexpr char TrayTip[] = "Zorvane...updates at " MAKER_WEB_ADDRESS;

// The popup menu lives for one press on the icon and is destroyed on every return.
class PopupMenu {
public:
    PopupMenu() : menu_(CreatePopupMenu()) {}
    ~PopupMenu() { if (menu_) DestroyMenu(menu_); }
    PopupMenu(const PopupMenu&) = delete;
    PopupMenu& operator=(const PopupMenu&) = delete;

    HMENU Get() const { return menu_; }
    void Add(WORD id, const char* text) { AppendMenuA(menu_, MF_STRING, id, text); }
    void AddSeparator() { AppendMenuA(menu_, MF_SEPARATOR, 0, nullptr); }

private:
    HMENU menu_;
};

} // namespace

void SetTrayIcon(HWND window, int add)
{
    NOTIFYICONDATAA icon = {};
    icon.cbSize = TrayIconRecordSize;
    icon.hWnd = window;
    icon.uID = TrayIconId;
    if (!add) {
        Shell_NotifyIconA(NIM_DELETE, &icon);
        return;
    }
    icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    icon.uCallbackMessage = TrayCallbackMessage;
    // Without the image the icon is still added, empty: the menu stays reachable.
    icon.hIcon = static_cast<HICON>(LoadImageA(AppInstance, IconGroupName, IMAGE_ICON,
                                               TrayIconSize, TrayIconSize, LR_DEFAULTCOLOR));
    lstrcpynA(icon.szTip, TrayTip, TipSize);
    Shell_NotifyIconA(NIM_ADD, &icon);
    // The shell keeps a copy of the image; ours would stay behind at every
    // new taskbar.
    if (icon.hIcon)
        DestroyIcon(icon.hIcon);
}

// The enhanced-scanning item shows the switch as it is at this press.
void OnTrayCallback(HWND window)
{
    PopupMenu menu;
    if (!menu.Get())
        return;
    POINT at = {};
    GetCursorPos(&at);
    menu.Add(IDM_ABOUT, "Zorvane Is Active");
    menu.AddSeparator();
    menu.Add(IDM_UNINSTALL, "Uninstall Zorvane");
    menu.Add(IDM_HELP, "Zorvane Help");
    menu.Add(IDM_ENHANCED, EnhancedScanning ? "Enhanced Scanning is ON" : "Enhanced Scanning is OFF");
    CheckMenuItem(menu.Get(), IDM_ENHANCED,
                  MF_BYCOMMAND | (EnhancedScanning ? MF_CHECKED : MF_UNCHECKED));
    menu.Add(IDM_ABOUT, "About Zorvane");
    menu.AddSeparator();
    menu.Add(IDM_EXIT, "Exit Zorvane");

    // A menu whose window is not in the foreground does not close when the
    // user clicks elsewhere. The harmless message posted after it forces the
    // task switch without which the next opening of the menu misbehaves.
    SetForegroundWindow(window);
    TrackPopupMenu(menu.Get(), TPM_RIGHTBUTTON, at.x, at.y, 0, MainWindow, nullptr);
    PostMessageA(window, WM_USER, 0, 0);
}
