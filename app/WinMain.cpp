#include "app/App.h"

// The command line and the show command are ignored: the window is always
// shown the same way, at zero size and at the bottom of the z-order.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    RegisterMainClass(instance);
    CloseRunningCopy();
    AppInstance = instance; // the icon is loaded from it while the window is created
    MainWindow = CreateMainWindow(instance);
    NoticeOwner = ChooseNoticeOwner();
    SetTimer(MainWindow, ScanTimer, FirstScanDelay, nullptr);
    ShowWindow(MainWindow, SW_SHOW);
    SetWindowPos(MainWindow, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOACTIVATE);
    UpdateWindow(MainWindow);
    return RunMessageLoop();
}
