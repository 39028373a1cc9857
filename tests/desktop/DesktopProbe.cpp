// The Windows side of the desktop check: it looks at what the pointer has
// done (the tray icon, the open menu, a tooltip, a notice) and reports it on
// stdout for tests/desktop/check.sh, which drives the real X pointer.
//   DesktopProbe icon      the program's window and its tray icon are there
//   DesktopProbe tray      the notification area's rectangle
//   DesktopProbe tooltip   a tooltip is on the screen: its rectangle, then its text
//   DesktopProbe menu      the program's popup menu is open: its rectangle
//   DesktopProbe notice    a notice is on the screen: its text, left open
//   DesktopProbe answer    presses OK in the notice on the screen
//   DesktopProbe close     closes every running copy of the program
#include <windows.h>
#include <cstdio>
#include <cstring>
#include "Notices.h"
#include "TrayIcon.h"
#include "Wait.h"
#include "Zorvane.h"
#include "app/App.h"

namespace {

template <typename Find>
HWND WaitFor(Find find)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = find()) != nullptr; }, Patience);
    return found;
}

HWND VisibleWindowOfClass(const char* cls, DWORD process)
{
    for (HWND w = FindWindowExA(nullptr, nullptr, cls, nullptr); w;
         w = FindWindowExA(nullptr, w, cls, nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        RECT r;
        if (IsWindowVisible(w) && GetWindowRect(w, &r) && r.right > r.left &&
            (process == 0 || pid == process))
            return w;
    }
    return nullptr;
}

int PrintRect(HWND w)
{
    if (!w)
        return 1;
    RECT r;
    GetWindowRect(w, &r);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
}

DWORD ProgramProcess()
{
    HWND w = FindWindowA(MainClassName, nullptr);
    DWORD pid = 0;
    if (w)
        GetWindowThreadProcessId(w, &pid);
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    const char* what = argc > 1 ? argv[1] : "";
    if (!std::strcmp(what, "icon")) {
        HWND w = WaitFor([] { return FindWindowA(MainClassName, nullptr); });
        return w && WaitForTrayIcon(w, true, Patience) ? 0 : 1;
    }
    if (!std::strcmp(what, "tray"))
        return PrintRect(FindWindowA("Shell_TrayWnd", nullptr));
    if (!std::strcmp(what, "tooltip")) {
        HWND tip = WaitFor([] { return VisibleWindowOfClass("tooltips_class32", 0); });
        if (PrintRect(tip) != 0)
            return 1;
        for (const std::string& text : TooltipTexts(tip))
            std::printf("%s\n", text.c_str());
        return 0;
    }
    if (!std::strcmp(what, "menu"))
        return PrintRect(WaitFor([] { return VisibleWindowOfClass("#32768", ProgramProcess()); }));
    if (!std::strcmp(what, "notice")) {
        Notice notice = WaitForNotice(Patience);
        std::printf("%s\n", notice.text.c_str());
        return notice.shown ? 0 : 1;
    }
    if (!std::strcmp(what, "answer"))
        return AnswerNotice(IDOK, Patience).shown ? 0 : 1;
    if (!std::strcmp(what, "close")) {
        CloseAllZorvanes();
        return CountZorvaneWindows() == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: DesktopProbe icon|tray|tooltip|menu|notice|answer|close\n");
    return 2;
}
