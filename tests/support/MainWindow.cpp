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

void MainWindowTest::TearDown()
{
    CloseMainWindow();
    EnhancedScanning = enhancedScanning_;
}

void MainWindowTest::CloseMainWindow()
{
    if (MainWindow && IsWindow(MainWindow))
        SendMessageA(MainWindow, WM_CLOSE, 0, 0);
    MainWindow = nullptr;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}
