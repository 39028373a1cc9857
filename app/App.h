// The application shell: entry, hidden main window, window procedure, tray
// icon and menu, and menu commands.
#pragma once
#include <windows.h>
#include "win/Notice.h"

// Process-wide state, set once at start.
extern HWND MainWindow;

UINT const ScanTimer = 3;
UINT const TrayCallbackMessage = 1226;
UINT const TrayIconId = 1226;

UINT const FirstScanDelay = 5000;
UINT const ScanDelayAfterRemoval = 1000;
UINT const ScanDelay = 30000;

WORD const IDM_EXIT = 101;
WORD const IDM_UNINSTALL = 102;
WORD const IDM_HELP = 201;
WORD const IDM_ABOUT = 202;
WORD const IDM_ENHANCED = 203;

inline constexpr char MainClassName[] = "Zorvane";
inline constexpr char MainWindowTitle[] = "Quillane Zorvane";

// The maker's web address, named by the tooltip and by the About notice. A
// literal, so that both texts are joined with it when compiled.
#define MAKER_WEB_ADDRESS "http://www.quillane.example/"

// Start-up, in the order WinMain runs it.
void RegisterMainClass(HINSTANCE instance);
void CloseRunningCopy();
HWND CreateMainWindow(HINSTANCE instance);
HWND ChooseNoticeOwner();
// Tells the user that the program cannot run without its window; gives the
// exit code for that.
int ReportNoMainWindow();
int RunMessageLoop();

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Tray icon and popup menu.
void SetTrayIcon(HWND window, int add);
void OnTrayCallback(HWND window);

// Menu commands.
void OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// True when the path, once stripped of surrounding blanks and double quotes,
// names an existing file or folder (a drive's root included).
bool HelpFileExists(const char* path);
