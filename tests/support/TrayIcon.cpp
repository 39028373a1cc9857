#include "TrayIcon.h"
#include <shellapi.h>
#include "Wait.h"

bool TrayIconShown(HWND window, UINT id)
{
    NOTIFYICONDATAA probe = {};
    probe.cbSize = NOTIFYICONDATAA_V1_SIZE;
    probe.hWnd = window;
    probe.uID = id;
    probe.uFlags = 0;
    return Shell_NotifyIconA(NIM_MODIFY, &probe) != FALSE;
}

bool RemoveTrayIcon(HWND window, UINT id)
{
    NOTIFYICONDATAA icon = {};
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon.hWnd = window;
    icon.uID = id;
    return Shell_NotifyIconA(NIM_DELETE, &icon) != FALSE;
}

bool WaitForTrayIcon(HWND window, bool shown, DWORD timeoutMs)
{
    return WaitUntil([&] { return TrayIconShown(window) == shown; }, timeoutMs);
}
