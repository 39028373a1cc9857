// Asks the notification area whether a window's icon is there. Changing an
// icon succeeds only while it exists, and a change that changes nothing
// (no flags) is allowed for any window, also for one of another process.
#pragma once
#include <windows.h>
#include "Wait.h"
#include <string>
#include <vector>

bool TrayIconShown(HWND window, UINT id = 1226);
// Takes the window's icon away, as a crashed or restarted Explorer does.
bool RemoveTrayIcon(HWND window, UINT id = 1226);
// Polls until the icon is there (shown true) or gone (shown false).
bool WaitForTrayIcon(HWND window, bool shown, DWORD timeoutMs = Patience);

// The texts of every tool of the notification area's tooltip windows: the
// tips as the shell was given them, read out of the shell's own process.
// Wine's shell keeps the tip of an icon that has gone, so a new icon's tip is
// seen as one more tip with its text.
std::vector<std::string> ShellTooltipTexts();
// The texts of the tools of one tooltip window, of any process.
std::vector<std::string> TooltipTexts(HWND tips);
