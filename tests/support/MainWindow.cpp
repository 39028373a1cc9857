#include "MainWindow.h"
#include "Zorvane.h"
#include "app/App.h"
#include "settings/Settings.h"

void MainWindowTest::SetUp()
{
    CloseAllZorvanes();
    enhancedScanning_ = EnhancedScanning;
    AppInstance = GetModuleHandleA(nullptr);
    Closing = 0; // a window closed by an earlier test left it set
    RegisterMainClass(AppInstance);
    MainWindow = CreateMainWindow(AppInstance);
    ASSERT_NE(nullptr, MainWindow);
}

// Closes it the way a WM_CLOSE does, and drops the quit message that would
// otherwise end the next message box of this thread at once.
void MainWindowTest::TearDown()
{
    if (MainWindow && IsWindow(MainWindow))
        SendMessageA(MainWindow, WM_CLOSE, 0, 0);
    MainWindow = nullptr;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    EnhancedScanning = enhancedScanning_;
}
