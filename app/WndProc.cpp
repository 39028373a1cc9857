#include "app/App.h"
#include "scan/Scan.h"
#include "settings/Settings.h"

namespace {

// Explorer sends this to every top-level window when it has built the taskbar
// afresh, after a crash or a restart. It is registered when the window is
// created, not by an initialiser: the program has no start-up code that would
// run one.
UINT TaskbarCreatedMessage;

LRESULT OnCreate(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    LoadSettings();
    SetTrayIcon(window, 1);
    SetAutostart(1);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT OnClose(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Closing = 1;
    SetTrayIcon(MainWindow, 0);
    return DefWindowProcA(window, message, wParam, lParam);
}

// The timer is stopped for the whole scan, so its own ticks never come while
// a scan waits in a notice; the next interval counts from the scan's end.
// Any program can post a tick all the same, and a notice's loop would start
// a second scan inside the first with it.
bool ScanRunning;

void OnScanTick(HWND window)
{
    if (ScanRunning)
        return;
    ScanRunning = true;
    KillTimer(window, ScanTimer);
    bool found = RunScanCycle();
    ScanRunning = false;
    if (!Closing)
        SetTimer(window, ScanTimer, found ? ScanDelayAfterRemoval : ScanDelay, nullptr);
}

} // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate(window, message, wParam, lParam);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        return OnClose(window, message, wParam, lParam);
    case WM_COMMAND:
        OnCommand(window, message, wParam, lParam);
        return 0;
    case WM_TIMER:
        if (wParam == ScanTimer)
            OnScanTick(window);
        return DefWindowProcA(window, message, wParam, lParam);
    case TrayCallbackMessage:
        if (wParam == TrayIconId && (lParam == WM_LBUTTONDOWN || lParam == WM_RBUTTONDOWN))
            OnTrayCallback(window);
        return 0;
    default:
        // Explorer has been restarted, so the tray icon will have been lost.
        if (TaskbarCreatedMessage != 0 && message == TaskbarCreatedMessage)
            SetTrayIcon(window, 1);
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
