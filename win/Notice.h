// The program's conversation with the user: its notices, the window that
// owns them, and whether the user has closed the program. The shell sets
// these at start and at its close; every room below it reads them.
#pragma once
#include <windows.h>

// The module that the program runs from: its icon, its path.
extern HINSTANCE AppInstance;
extern HWND NoticeOwner;

// Set once the main window has been told to close. A close can come while a
// notice is open, inside a scan; the scan then stops and shows no more.
extern int Closing;

inline constexpr char NoticeCaption[] = "Quillane Zorvane";
inline constexpr char IconGroupName[] = "ZORVANE_ICON";

// Shows a modal notice with the program's icon; returns the button pressed
// (IDOK, IDCANCEL, IDYES, IDNO) or 0 when no box could be shown.
int ShowNotice(HWND owner, const char* text, const char* caption, UINT style);
