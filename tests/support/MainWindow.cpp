#include "MainWindow.h"
#include "Zorvane.h"
#include "app/App.h"
#include "settings/Settings.h"

namespace {

void PutBack(const char* key, const char* name, const StoredValue& value)
{
    if (value.present)
        StoreValue(HKEY_LOCAL_MACHINE, key, name, value.type, value.bytes.data(),
                   static_cast<DWORD>(value.bytes.size()));
    else
        RemoveValue(HKEY_LOCAL_MACHINE, key, name);
}

} // namespace

void MainWindowTest::SetUp()
{
    CloseAllZorvanes();
    autostart_ = AutostartEntry();
    enhanced_ = EnhancedValue();
    settingsKey_ = KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
    enhancedScanning_ = EnhancedScanning;
    AppInstance = GetModuleHandleA(nullptr);
    RegisterMainClass(AppInstance);
    MainWindow = CreateMainWindow(AppInstance);
    ASSERT_NE(nullptr, MainWindow);
}

void MainWindowTest::TearDown()
{
    CloseMainWindow();
    PutBack(MachineRunKey, "Zorvane", autostart_);
    if (settingsKey_)
        PutBack(ZorvaneSettingsKey, "Enhanced", enhanced_);
    else
        RemoveKey(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
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
