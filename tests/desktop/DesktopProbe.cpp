// The Windows side of the desktop and help checks (tests/desktop/check.sh and
// tests/help/check.sh, which drive the real X pointer and read the screen): it
// finds what appeared, drives the help engine's windows, and reports on stdout.
//   icon              Zorvane's window and its tray icon are there
//   tray              the notification area's rectangle
//   tooltip           a tooltip is on the screen: its rectangle, then its text
//   menu              Zorvane's popup menu is open: its rectangle
//   notice            a notice is on the screen: its text, left open
//   answer            presses OK in the notice on the screen
//   help              chooses "Zorvane Help" as the menu does (WM_COMMAND 201)
//   window            waits for the help window, moves it to a known place,
//                     prints "left top right bottom|caption"
//   text PREFIX       waits until the topic shown starts with PREFIX; prints it
//   boxes             prints every dialog box of the engine or of Zorvane;
//                     fails if there is one
//   index             opens the index (with the Index button) unless it is
//                     open; prints its keywords, one a line
//   choose KEYWORD    in the index, opened so, chooses KEYWORD and OK
//   contexts NAME TITLE...
//                     opens Zorvane.hlp of the build folder at each context
//                     NAME in a hidden engine of its own, one after the other,
//                     and waits until it shows the topic TITLE
//   close             ends every help engine and every Zorvane
#include <windows.h>
#include <prsht.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "Notices.h"
#include "TrayIcon.h"
#include "Zorvane.h"
#include "app/App.h"

namespace {

constexpr char Engine[] = "winhlp32.exe";

template <typename Find>
auto WaitFor(Find find)
{
    decltype(find()) found{};
    WaitUntil([&] { return static_cast<bool>(found = find()); }, Patience);
    return found;
}

DWORD ProcessOf(HWND w)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

std::string TextOf(HWND w)
{
    std::string text(static_cast<size_t>(SendMessageA(w, WM_GETTEXTLENGTH, 0, 0)) + 1, '\0');
    SendMessageA(w, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::strlen(text.c_str()));
    return text;
}

int PrintRect(HWND w, const std::string& after = "")
{
    RECT r;
    if (!w || !GetWindowRect(w, &r))
        return 1;
    std::printf("%ld %ld %ld %ld%s\n", r.left, r.top, r.right, r.bottom, after.c_str());
    return 0;
}

struct Search {
    const char* cls;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND w, LPARAM lParam)
{
    auto* search = reinterpret_cast<Search*>(lParam);
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (!lstrcmpiA(cls, search->cls))
        search->found.push_back(w);
    return TRUE;
}

// The windows of a class: the top-level ones, or all that `parent` holds.
std::vector<HWND> Windows(const char* cls, HWND parent = nullptr)
{
    Search search{cls, {}};
    if (parent)
        EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&search));
    else
        EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A top-level window on the screen, of `process` or of any (0).
HWND Shown(const char* cls, DWORD process = 0)
{
    for (HWND w : Windows(cls)) {
        RECT r;
        if (IsWindowVisible(w) && GetWindowRect(w, &r) && r.right > r.left &&
            (!process || ProcessOf(w) == process))
            return w;
    }
    return nullptr;
}

DWORD ProgramProcess() { return ProcessOf(FindWindowA(MainClassName, nullptr)); }

bool OfEngine(HWND w)
{
    std::vector<DWORD> engines = ProcessesNamed(Engine);
    return std::find(engines.begin(), engines.end(), ProcessOf(w)) != engines.end();
}

HWND HelpWindow() { return Shown("MS_WINHELP"); }

HWND TopicControl(HWND help)
{
    return help ? FindWindowExA(help, nullptr, "RichEdit20A", nullptr) : nullptr;
}

// The dialog boxes of the engine or of Zorvane: message boxes and the index.
std::vector<HWND> Boxes()
{
    std::vector<HWND> boxes;
    DWORD zorvane = ProgramProcess();
    for (HWND w : Windows("#32770"))
        if (IsWindowVisible(w) && (OfEngine(w) || (zorvane && ProcessOf(w) == zorvane)))
            boxes.push_back(w);
    return boxes;
}

HWND IndexList()
{
    for (HWND w : Boxes()) {
        std::vector<HWND> lists = OfEngine(w) ? Windows("ListBox", w) : std::vector<HWND>();
        if (!lists.empty())
            return lists.front();
    }
    return nullptr;
}

// The items of another process's list box. Asked for in wide characters: the
// narrow form is not translated between processes.
std::vector<std::string> Items(HWND list)
{
    std::vector<std::string> items;
    auto count = static_cast<WPARAM>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (WPARAM i = 0; i < count; ++i) {
        wchar_t wide[256] = L"";
        char narrow[256] = "";
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < 255) {
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
            WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
        }
        items.push_back(narrow);
    }
    return items;
}

// The list of the open index; the Index button is pressed when none is open.
HWND OpenIndex()
{
    if (HWND list = IndexList())
        return list;
    HWND help = WaitFor(HelpWindow);
    HWND button = WaitFor([&]() -> HWND {
        for (HWND b : help ? Windows("Button", help) : std::vector<HWND>()) {
            std::string text = TextOf(b);
            text.erase(std::remove(text.begin(), text.end(), '&'), text.end());
            if (text == "Index")
                return b;
        }
        return nullptr;
    });
    return button && PostMessageA(button, BM_CLICK, 0, 0) ? WaitFor(IndexList) : nullptr;
}

int Choose(const std::string& keyword)
{
    HWND list = OpenIndex();
    std::vector<std::string> items = Items(list);
    auto found = std::find(items.begin(), items.end(), keyword);
    if (found == items.end())
        return 1;
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(found - items.begin()), 0);
    PostMessageA(GetAncestor(list, GA_ROOT), PSM_PRESSBUTTON, PSBTN_OK, 0);
    return WaitFor([] { return !IndexList(); }) ? 0 : 1;
}

// The text of the topic that an engine process shows, hidden or not; empty
// while it shows none.
std::string TopicShownBy(DWORD process)
{
    for (HWND w : Windows("MS_WINHELP"))
        if (HWND topic = ProcessOf(w) == process ? TopicControl(w) : nullptr)
            return TextOf(topic);
    return "";
}

// Each context in a hidden engine of its own, so that the engine's trace
// shows the lookup of every name. An engine is done when its window shows
// the topic of that title: its first idle moment says nothing about which
// topic it opened, and comes late or never on a busy machine.
int Contexts(int count, char** namesAndTitles)
{
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof system);
    int failures = 0;
    for (int i = 0; i + 1 < count; i += 2) {
        std::string name = namesAndTitles[i], title = namesAndTitles[i + 1], shown;
        StartedProcess engine;
        DWORD start = GetTickCount();
        if (engine.Launch(std::string(system) + "\\" + Engine,
                          "-x -i " + name + " \"" + BuildFolder() + "\\Zorvane.hlp\"", SW_HIDE) &&
            WaitUntil([&] {
                shown = TopicShownBy(engine.Id());
                return shown.rfind(title, 0) == 0 || !engine.Running();
            }, Patience) && engine.Running())
            continue;
        ++failures;
        std::printf("context %s: after %lu ms the engine %s \"%.60s\", not \"%s\"\n", name.c_str(),
                    GetTickCount() - start, engine.Running() ? "shows" : "has ended, having shown",
                    shown.c_str(), title.c_str());
    }
    return failures ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string what = argc > 1 ? argv[1] : "", arg = argc > 2 ? argv[2] : "";
    if (what == "icon") {
        HWND w = WaitFor([] { return FindWindowA(MainClassName, nullptr); });
        return w && WaitForTrayIcon(w, true, Patience) ? 0 : 1;
    }
    if (what == "tray")
        return PrintRect(FindWindowA("Shell_TrayWnd", nullptr));
    if (what == "tooltip") {
        HWND tip = WaitFor([] { return Shown("tooltips_class32"); });
        std::string texts;
        for (const std::string& text : TooltipTexts(tip))
            texts += "\n" + text;
        return PrintRect(tip, texts);
    }
    if (what == "menu")
        return PrintRect(WaitFor([] { return Shown("#32768", ProgramProcess()); }));
    if (what == "notice") {
        Notice notice = WaitForNotice(Patience);
        std::printf("%s\n", notice.text.c_str());
        return notice.shown ? 0 : 1;
    }
    if (what == "answer")
        return AnswerNotice(IDOK, Patience).shown ? 0 : 1;
    if (what == "help") {
        HWND zorvane = WaitFor([] { return FindWindowA(MainClassName, nullptr); });
        return zorvane && PostMessageA(zorvane, WM_COMMAND, IDM_HELP, 0) ? 0 : 1;
    }
    if (what == "window") {
        HWND help = WaitFor(HelpWindow);
        // A known place and size, so that screenshots and their reading agree.
        if (help && SetWindowPos(help, HWND_TOP, 40, 20, 800, 700, SWP_SHOWWINDOW))
            SetForegroundWindow(help);
        return PrintRect(help, "|" + TextOf(help));
    }
    if (what == "text") {
        std::string text;
        bool shown = WaitFor([&] {
            text = TextOf(TopicControl(HelpWindow()));
            return text.rfind(arg, 0) == 0;
        });
        std::printf("%s\n", text.c_str());
        return shown ? 0 : 1;
    }
    if (what == "boxes") {
        std::vector<HWND> boxes = Boxes();
        for (HWND box : boxes) {
            std::printf("[%s]", TextOf(box).c_str());
            for (HWND text : Windows("Static", box))
                std::printf(" %s", TextOf(text).c_str());
            std::printf("\n");
        }
        return boxes.empty() ? 0 : 1;
    }
    if (what == "index") {
        std::vector<std::string> items = Items(OpenIndex());
        for (const std::string& item : items)
            std::printf("%s\n", item.c_str());
        return items.empty() ? 1 : 0;
    }
    if (what == "choose")
        return Choose(arg);
    if (what == "contexts")
        return Contexts(argc - 2, argv + 2);
    if (what == "close") {
        for (DWORD id : ProcessesNamed(Engine))
            EndProcess(id);
        CloseAllZorvanes();
        return ProcessesNamed(Engine).empty() && CountZorvaneWindows() == 0 ? 0 : 1;
    }
    std::fprintf(stderr, "usage: DesktopProbe icon|tray|tooltip|menu|notice|answer|help|window|"
                         "text PREFIX|boxes|index|choose KEYWORD|contexts NAME TITLE...|close\n");
    return 2;
}
