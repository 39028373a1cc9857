#include "settings/Settings.h"

int EnhancedScanning;

void LoadSettings()
{
}

void SaveEnhancedSetting(int)
{
}
