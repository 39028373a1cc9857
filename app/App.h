// The application shell: entry, hidden main window, window procedure, tray
// icon and menu, menu commands and notices.
#pragma once
#include <windows.h>

// Process-wide state, set once at start.
extern HINSTANCE AppInstance;
extern HWND MainWindow;
extern HWND NoticeOwner;

// Set by an elimination during a scan; read after the scan to pick the next tick.
extern int FoundThisCycle;

// Set once the main window has been told to close. A close can come while a
// notice is open, inside a scan; the scan then stops and shows no more.
extern int Closing;

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
inline constexpr char NoticeCaption[] = "Quillane Zorvane";
inline constexpr char IconGroupName[] = "ZORVANE_ICON";

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

// Shows a modal notice with the program's icon; returns the button pressed
// (IDOK, IDCANCEL, IDYES, IDNO) or 0 when no box could be shown.
int ShowNotice(HWND owner, const char* text, const char* caption, UINT style);
