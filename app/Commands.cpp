#include <array>
#include <cstring>
#include "app/App.h"
#include <shellapi.h>
#include "win/Win.h"
#include "settings/Settings.h"

namespace {

constexpr char ExitQuestion[] =
    "If you close the Zorvane you will have no protection against Grimlatch until you restart "
    "your computer or re-launch the Zorvane manually.\n\n"
    "Are you sure you want to close the Quillane Zorvane?";

constexpr char UninstallQuestion[] =
    "If you uninstall the Zorvane you will have no protection against Grimlatch.\n\n"
    "Are you sure you want to uninstall the Zorvane?";

// An entry that stays would start the program again at every logon; a
// setting that stays alone starts nothing. The user is told which stays, and
// who can remove it: the machine's, an administrator who runs the uninstall;
// the user's own, in a Run key locked against them, an administrator only.
constexpr char MayStillStart[] = "may still start with Windows";
constexpr char ByUninstalling[] = ", by running Zorvane and choosing Uninstall Zorvane";

void SayWhatStays(const char* state, const char* what, const char* how)
{
    std::array<char, 256> text;
    wsprintfA(text.data(), "Zorvane %s: only an administrator can remove %s%s.", state, what, how);
    ShowNotice(MainWindow, text.data(), NoticeCaption, MB_OK);
}

// Each kind of system is told of the file that it looks for.
constexpr char HelpFileMissing[] = "ERROR: helpfile Zorvane.hlp unavailable";
constexpr char HelpPageMissing[] = "ERROR: helpfile Zorvane.htm unavailable";
// The page is there, but nothing on the system would open it; where it lies
// follows, so that the user can open it in a browser by hand.
constexpr char HelpPageNotOpened[] =
    "ERROR: helpfile Zorvane.htm could not be opened. It can be read in any web browser:\n\n";

constexpr char HelpFileName[] = "\\Zorvane.hlp";
constexpr char HelpPageName[] = "\\Zorvane.htm";

constexpr char AboutText[] =
    "Zorvane version 1.2\n"
    "Finds, closes, and uninstalls Grimlatch\n"
    "Copyright (C) 2026 Quillane\n"
    MAKER_WEB_ADDRESS "\n"
    "\n"
    "Zorvane removes the threat of Grimlatch from your computer. Grimlatch is a virus-like "
    "stealth program with which a remote controller can covertly control your computer, steal "
    "passwords, start programs and move files over a local network or the Internet, and scan for "
    "computers on which it is installed. The only real defence is to disable its hidden "
    "component on your computer: Zorvane watches continuously and disables it when it shows "
    "up, so that the controller cannot reach your computer. The included help file explains "
    "this in detail.\n"
    "\n"
    "Zorvane is free and may be passed on freely, as a public service of Quillane. Please keep "
    "to the latest version: new versions of Grimlatch will come, and Zorvane will be updated to "
    "match. Visit " MAKER_WEB_ADDRESS " for it, and for Quillane's systems-management and "
    "security products.";

bool UserAgrees(const char* question)
{
    return ShowNotice(MainWindow, question, NoticeCaption, MB_YESNOCANCEL) == IDYES;
}

// The program ends through its normal close, after this notice has gone.
void ExitProgram()
{
    if (UserAgrees(ExitQuestion))
        PostMessageA(MainWindow, WM_CLOSE, 0, 0);
}

// The registry is cleaned before the close is posted; no file is deleted.
void Uninstall()
{
    if (!UserAgrees(UninstallQuestion))
        return;
    unsigned stays = SetAutostart(0);
    if (stays & MachineEntryStays)
        SayWhatStays(MayStillStart, "its entries for this computer", ByUninstalling);
    if (stays & UserEntryStays)
        SayWhatStays(MayStillStart, "its entry for your user account", "");
    if (stays == SettingStays)
        SayWhatStays("will not start with Windows again", "its setting for this computer",
                     ByUninstalling);
    PostMessageA(MainWindow, WM_CLOSE, 0, 0);
}

// Windows Vista and later (major version 6 and up) have no help engine of
// their own: Windows 10 and 11 cannot open a .hlp file at all. There the
// same help goes to the browser as one page.
bool HasHelpEngine()
{
    return LOBYTE(LOWORD(GetVersion())) < 6;
}

// ShellExecuteA answers 32 or less when it opened nothing: no program is
// set for the page, or the one that is could not be started.
void OpenHelpPage(HWND window, const char* path)
{
    if (reinterpret_cast<INT_PTR>(
            ShellExecuteA(window, "open", path, nullptr, nullptr, SW_SHOWNORMAL)) > 32)
        return;
    std::array<char, sizeof HelpPageNotOpened + PathBufferSize> text;
    lstrcpyA(text.data(), HelpPageNotOpened);
    lstrcatA(text.data(), path);
    ShowNotice(MainWindow, text.data(), NoticeCaption, MB_OK);
}

void ShowHelp(HWND window)
{
    bool engine = HasHelpEngine();
    PathBuffer path;
    if (!PathBesideProgram(engine ? HelpFileName : HelpPageName, path) ||
        !HelpFileExists(path.data()))
        ShowNotice(MainWindow, engine ? HelpFileMissing : HelpPageMissing, NoticeCaption, MB_OK);
    else if (engine)
        WinHelpA(window, path.data(), HELP_FINDER, 0);
    else
        OpenHelpPage(window, path.data());
}

void SwitchEnhancedScanning()
{
    EnhancedScanning = EnhancedScanning ? 0 : 1;
    SaveEnhancedSetting(EnhancedScanning);
}

// Only these bytes are white space; none from 0x80 up.
bool IsBlankOrQuote(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D) || byte == '"';
}

bool FoundBySearch(const char* path)
{
    return FileSearch(path).Found();
}

} // namespace

void OnCommand(HWND window, UINT, WPARAM wParam, LPARAM)
{
    switch (LOWORD(wParam)) {
    case IDM_EXIT:
        ExitProgram();
        break;
    case IDM_UNINSTALL:
        Uninstall();
        break;
    case IDM_HELP:
        ShowHelp(window);
        break;
    case IDM_ABOUT:
        ShowNotice(MainWindow, AboutText, NoticeCaption, MB_OK);
        break;
    case IDM_ENHANCED:
        SwitchEnhancedScanning();
        break;
    default:
        break;
    }
}

// Works on a copy. A path too long for the copy is not cut short; it names
// nothing that the program could have built.
bool HelpFileExists(const char* path)
{
    PathBuffer tidy;
    size_t length = static_cast<size_t>(lstrlenA(path));
    if (length >= tidy.size())
        return false;
    lstrcpyA(tidy.data(), path);
    char* first = tidy.data();
    while (*first != '\0' && IsBlankOrQuote(*first))
        ++first;
    if (*first == '\0')
        return false;
    char* end = tidy.data() + length;
    while (end > first && IsBlankOrQuote(end[-1]))
        *--end = '\0';
    std::memmove(tidy.data(), first, static_cast<size_t>(end - first) + 1);
    // The file-status query also knows the root folder of a drive or a
    // share, which a search cannot find.
    return FoundBySearch(tidy.data()) || QueryFileStatus(tidy.data(), nullptr);
}
