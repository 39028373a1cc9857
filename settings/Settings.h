// The enhanced-scanning setting and the program's own autostart entry.
#pragma once
#include <windows.h>

extern int EnhancedScanning;

// Under HKEY_LOCAL_MACHINE: the key that holds the setting, and the machine's
// Run key, which holds the program's autostart entry; under HKEY_CURRENT_USER,
// the same two keys hold them where the machine's may not be changed.
inline constexpr char SettingsKey[] = "Software\\Quillane\\Zorvane";
inline constexpr char EnhancedValueName[] = "Enhanced";
inline constexpr char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Reads a value into `data`, of `*size` bytes, and gives the length read;
// with both null it only tells whether the value can be read.
bool QueryRegistryValue(HKEY root, const char* key, const char* name, char* data = nullptr,
                        DWORD* size = nullptr);
// Writes `text` with its terminator as a REG_SZ value, creating the key if
// it is missing. False when either is refused.
bool SetRegistryText(HKEY root, const char* key, const char* name, const char* text);

void LoadSettings();
void SaveEnhancedSetting(int on);
// What an uninstall leaves, where the user may not change it: any of these.
enum Leftover : unsigned { MachineEntryStays = 1, UserEntryStays = 2, SettingStays = 4 };
// With `on` 0, the uninstall: what stays of the entries and the machine's
// setting, as Leftover bits; 0 when nothing stays, and always with `on` 1.
unsigned SetAutostart(int on);
