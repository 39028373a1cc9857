// The enhanced-scanning setting and the program's own autostart entry.
#pragma once
#include <windows.h>

extern int EnhancedScanning;

// Under HKEY_LOCAL_MACHINE: the key that holds the setting, and the machine's
// Run key, which holds the program's autostart entry; under HKEY_CURRENT_USER,
// the user's Run key, which holds it where the machine's may not be changed.
inline constexpr char SettingsKey[] = "Software\\Quillane\\Zorvane";
inline constexpr char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

void LoadSettings();
void SaveEnhancedSetting(int on);
void SetAutostart(int on);
