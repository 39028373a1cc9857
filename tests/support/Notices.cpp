#include "Notices.h"
#include "Wait.h"
#include "win/Notice.h"

namespace {

BOOL CALLBACK TakeNoticeBox(HWND window, LPARAM found)
{
    // The class comes first: asking a window of this process for its title
    // sends it a message, and its thread may be the one waiting for us.
    char cls[64] = "", title[64] = "";
    GetClassNameA(window, cls, sizeof cls);
    if (lstrcmpA(cls, "#32770") != 0 || !IsWindowVisible(window))
        return TRUE;
    GetWindowTextA(window, title, sizeof title);
    if (lstrcmpA(title, NoticeCaption) == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForNoticeBox(DWORD timeoutMs)
{
    HWND box = nullptr;
    WaitUntil([&] {
        EnumWindows(TakeNoticeBox, reinterpret_cast<LPARAM>(&box));
        return box != nullptr;
    }, timeoutMs);
    return box;
}

Notice Read(HWND box)
{
    Notice n;
    // A box is made visible before it is activated; one that is never
    // activated costs this limit, and is read as not in the foreground.
    WaitUntil([&] { return GetForegroundWindow() == box; }, 1000);
    n.shown = true;
    n.box = box;
    n.owner = GetWindow(box, GW_OWNER);
    n.topmost = (GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    n.foreground = GetForegroundWindow() == box;
    static const struct { int id; const char* name; } kButtons[] = {
        {IDOK, "OK"}, {IDCANCEL, "Cancel"}, {IDYES, "Yes"}, {IDNO, "No"}};
    for (auto b : kButtons) {
        HWND button = GetDlgItem(box, b.id);
        if (button && IsWindowVisible(button))
            n.buttons += std::string(n.buttons.empty() ? "" : " ") + b.name;
    }
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[32] = "";
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Static") != 0)
            continue;
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            n.icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
            continue;
        }
        int length = GetWindowTextLengthA(child);
        if (length > 0) {
            std::string text(static_cast<size_t>(length) + 1, '\0');
            GetWindowTextA(child, text.data(), length + 1);
            text.resize(static_cast<size_t>(length));
            n.text = text;
        }
    }
    return n;
}

} // namespace

bool RunningOnWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

Notice AnswerNotice(int button, DWORD timeoutMs)
{
    HWND box = WaitForNoticeBox(timeoutMs);
    if (!box)
        return {};
    Notice n = Read(box);
    if (button == 0)
        PostMessageA(box, WM_CLOSE, 0, 0);
    else
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
    WaitUntil([&] { return !IsWindow(box); }, timeoutMs);
    return n;
}

Notice WaitForNotice(DWORD timeoutMs)
{
    HWND box = WaitForNoticeBox(timeoutMs);
    return box ? Read(box) : Notice{};
}

bool NoticeAppears(DWORD timeoutMs)
{
    return WaitForNoticeBox(timeoutMs) != nullptr;
}

NoticeAnswerer::NoticeAnswerer(int button, DWORD timeoutMs)
    : button_(button), timeoutMs_(timeoutMs)
{
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

NoticeAnswerer::~NoticeAnswerer()
{
    Seen();
    CloseHandle(thread_);
}

const Notice& NoticeAnswerer::Seen()
{
    WaitForSingleObject(thread_, INFINITE);
    return seen_;
}

DWORD WINAPI NoticeAnswerer::Run(void* self)
{
    auto* me = static_cast<NoticeAnswerer*>(self);
    me->seen_ = AnswerNotice(me->button_, me->timeoutMs_);
    return 0;
}
