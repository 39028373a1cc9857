#include "app/App.h"

HWND MainWindow;

namespace {

constexpr char NoWindowText[] = "ERROR: Zorvane cannot run, because its window could not be created.";

} // namespace

void RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = MainClassName;
    // A failure here shows up as a failed window creation; nothing more to do.
    RegisterClassA(&wc);
}

// A copy that is already running gives way to the new one: it removes its
// icon and quits without asking. A hung copy is given two seconds at most.
void CloseRunningCopy()
{
    HWND running = FindWindowA(MainClassName, nullptr);
    if (running == nullptr)
        return;
    DWORD_PTR reply = 0;
    SendMessageTimeoutA(running, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 2000, &reply);
}

HWND CreateMainWindow(HINSTANCE instance)
{
    return CreateWindowExA(WS_EX_TOOLWINDOW, MainClassName, MainWindowTitle, WS_POPUP,
                           0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
}

// Scan notices prefer to belong to a "Marrowick" or "Ospreel" window when one
// is open at start; otherwise they belong to our own hidden window.
HWND ChooseNoticeOwner()
{
    if (HWND owner = FindWindowA("Marrowick", nullptr))
        return owner;
    if (HWND owner = FindWindowA("Ospreel", nullptr))
        return owner;
    return MainWindow;
}

int ReportNoMainWindow()
{
    ShowNotice(nullptr, NoWindowText, NoticeCaption, MB_OK);
    return 1;
}

int RunMessageLoop()
{
    MSG msg = {};
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // Only a quit message carries an exit code; a loop that ended because
    // GetMessageA failed has none to hand on.
    return got == 0 ? static_cast<int>(msg.wParam) : -1;
}
