// The program's real main window, made inside the test process. Creating it
// loads the setting, adds the tray icon and writes the autostart entry, so
// the fixture puts back what was there: both entries, both settings keys and
// their values, and EnhancedScanning; and it closes the window, which takes
// the icon.
#pragma once
#include <gtest/gtest.h>
#include "Registry.h"

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    KeptValue kept_[4] = {{HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane"},
                          {HKEY_CURRENT_USER, RunKeyPath, "Zorvane"},
                          {HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced"},
                          {HKEY_CURRENT_USER, ZorvaneSettingsKey, "Enhanced"}};
    int enhancedScanning_ = 0;
};
