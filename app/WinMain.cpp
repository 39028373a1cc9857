#include "app/App.h"

// The command line and the show command are ignored: the window is always
// shown the same way, at zero size and at the bottom of the z-order.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    RegisterMainClass(instance);
    CloseRunningCopy();
    AppInstance = instance; // the icon is loaded from it while the window is created
    MainWindow = CreateMainWindow(instance);
    // Without the window nothing could ever close the program.
    if (MainWindow == nullptr)
        return ReportNoMainWindow();
    NoticeOwner = ChooseNoticeOwner();
    SetTimer(MainWindow, ScanTimer, FirstScanDelay, nullptr);
    // Shown without being activated: activation would take the keyboard
    // focus from the user's program at every start, and under Wine it also
    // loads COM for the input method: over a megabyte of private memory.
    ShowWindow(MainWindow, SW_SHOWNA);
    SetWindowPos(MainWindow, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOACTIVATE);
    UpdateWindow(MainWindow);
    return RunMessageLoop();
}
