// The enhanced-scanning setting and the program's own autostart entry.
#pragma once
#include <windows.h>

extern int EnhancedScanning;

void LoadSettings();
void SaveEnhancedSetting(int on);
void SetAutostart(int on);
