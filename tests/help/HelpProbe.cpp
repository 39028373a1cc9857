// The Windows side of the help check: it looks at the help engine's windows
// and drives them, for tests/help/check.sh, which starts Zorvane, reads the
// engine's trace and the screen.
//   HelpProbe help              chooses "Zorvane Help" from Zorvane's menu, as
//                               the menu does (WM_COMMAND 201)
//   HelpProbe window            waits for the help window; moves it to a known
//                               place; prints "left top right bottom|title"
//   HelpProbe text PREFIX       waits until the topic shown starts with PREFIX;
//                               prints the topic's text
//   HelpProbe boxes             prints the text of every message box of the
//                               engine or of Zorvane; fails if there is one
//   HelpProbe index             presses the help window's Index button and
//                               prints the keywords of the index, one a line
//   HelpProbe choose KEYWORD    in the open index, chooses KEYWORD and OK
//   HelpProbe sheet             prints "left top right bottom" of the open index
//   HelpProbe contexts NAME TITLE...
//                               opens Zorvane.hlp of the build folder at each
//                               context NAME in a hidden engine of its own,
//                               one after the other, and waits until it
//                               shows the topic TITLE
//   HelpProbe close             ends every help engine and Zorvane
#include <windows.h>
#include <prsht.h>
#include <tlhelp32.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "Zorvane.h"
#include "app/App.h"

namespace {

// Generous: on a busy machine an engine can take many seconds to start.
DWORD const Patience = 60000;
constexpr char EngineName[] = "winhlp32.exe";

template <typename Find>
auto WaitFor(Find find, DWORD patience = Patience) -> decltype(find())
{
    DWORD start = GetTickCount();
    do {
        if (auto found = find())
            return found;
        Sleep(50);
    } while (GetTickCount() - start < patience);
    return find();
}

std::vector<DWORD> EngineProcesses()
{
    return ProcessesNamed(EngineName);
}

DWORD ProcessOf(HWND w)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

bool IsEngineWindow(HWND w)
{
    DWORD pid = ProcessOf(w);
    for (DWORD id : EngineProcesses())
        if (id == pid)
            return true;
    return false;
}

std::string TextOf(HWND w)
{
    int length = static_cast<int>(SendMessageA(w, WM_GETTEXTLENGTH, 0, 0));
    std::string text(static_cast<size_t>(length) + 1, '\0');
    SendMessageA(w, WM_GETTEXT, static_cast<WPARAM>(length + 1), reinterpret_cast<LPARAM>(text.data()));
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string ClassOf(HWND w)
{
    char name[64] = "";
    GetClassNameA(w, name, sizeof name);
    return name;
}

struct Search {
    std::vector<HWND> found;
    std::string cls;     // empty: any class
    bool visibleOnly;
};

BOOL CALLBACK Collect(HWND w, LPARAM lParam)
{
    auto* search = reinterpret_cast<Search*>(lParam);
    if ((!search->visibleOnly || IsWindowVisible(w)) && (search->cls.empty() || ClassOf(w) == search->cls))
        search->found.push_back(w);
    return TRUE;
}

std::vector<HWND> TopWindows(const std::string& cls = "")
{
    Search search{{}, cls, true};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> Children(HWND parent, const std::string& cls, bool visibleOnly = true)
{
    Search search{{}, cls, visibleOnly};
    EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The engine's main window: a visible top-level window of the engine that
// holds a rich-text control for the topic.
HWND HelpWindow()
{
    for (HWND w : TopWindows())
        if (IsEngineWindow(w) && ClassOf(w) != "#32770") {
            for (HWND child : Children(w, ""))
                if (ClassOf(child).find("RichEdit") != std::string::npos ||
                    ClassOf(child).find("RICHEDIT") != std::string::npos)
                    return w;
        }
    return nullptr;
}

HWND TopicControl(HWND help, bool visibleOnly = true)
{
    for (HWND child : Children(help, "", visibleOnly))
        if (ClassOf(child).find("RichEdit") != std::string::npos ||
            ClassOf(child).find("RICHEDIT") != std::string::npos)
            return child;
    return nullptr;
}

// A dialog box of the engine or of Zorvane: message boxes and the index.
std::vector<HWND> Boxes()
{
    std::vector<HWND> boxes;
    HWND zorvane = FindWindowA(MainClassName, nullptr);
    DWORD zorvaneProcess = zorvane ? ProcessOf(zorvane) : 0;
    for (HWND w : TopWindows("#32770"))
        if (IsEngineWindow(w) || (zorvaneProcess && ProcessOf(w) == zorvaneProcess))
            boxes.push_back(w);
    return boxes;
}

HWND IndexSheet()
{
    for (HWND w : Boxes())
        if (IsEngineWindow(w) && !Children(w, "ListBox").empty())
            return w;
    return nullptr;
}

std::string Stripped(std::string text)
{
    std::string out;
    for (char c : text)
        if (c != '&')
            out += c;
    return out;
}

int Window()
{
    HWND help = WaitFor(HelpWindow);
    if (!help)
        return 1;
    // A known place and size, so that screenshots and their reading agree.
    SetWindowPos(help, HWND_TOP, 40, 20, 800, 700, SWP_SHOWWINDOW);
    SetForegroundWindow(help);
    RECT r;
    GetWindowRect(help, &r);
    std::printf("%ld %ld %ld %ld|%s\n", r.left, r.top, r.right, r.bottom, TextOf(help).c_str());
    return 0;
}

int Text(const char* prefix)
{
    std::string text;
    HWND found = WaitFor([&]() -> HWND {
        HWND help = HelpWindow();
        HWND topic = help ? TopicControl(help) : nullptr;
        if (!topic)
            return nullptr;
        text = TextOf(topic);
        return text.compare(0, std::strlen(prefix), prefix) == 0 ? topic : nullptr;
    });
    std::printf("%s\n", text.c_str());
    return found ? 0 : 1;
}

int ListBoxes()
{
    std::vector<HWND> boxes = Boxes();
    for (HWND box : boxes) {
        std::printf("[%s]", TextOf(box).c_str());
        for (HWND child : Children(box, "Static"))
            std::printf(" %s", TextOf(child).c_str());
        std::printf("\n");
    }
    return boxes.empty() ? 0 : 1;
}

// An item of another process's list box. Asked for in wide characters: the
// narrow form is not translated between processes.
std::string ItemOf(HWND list, int i)
{
    wchar_t wide[256] = L"";
    char narrow[256] = "";
    if (SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) >= 255)
        return "";
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
    WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

HWND IndexButton(HWND help)
{
    for (HWND button : Children(help, "Button"))
        if (Stripped(TextOf(button)) == "Index")
            return button;
    return nullptr;
}

int Index()
{
    HWND help = WaitFor(HelpWindow);
    HWND button = help ? WaitFor([&] { return IndexButton(help); }) : nullptr;
    if (!button) {
        std::fprintf(stderr, "no Index button\n");
        return 1;
    }
    PostMessageA(button, BM_CLICK, 0, 0);
    HWND sheet = WaitFor(IndexSheet);
    if (!sheet)
        return 1;
    SetWindowPos(sheet, HWND_TOP, 120, 60, 0, 0, SWP_NOSIZE);
    HWND list = Children(sheet, "ListBox").front();
    int count = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
        std::printf("%s\n", ItemOf(list, i).c_str());
    return count > 0 ? 0 : 1;
}

int Choose(const char* keyword)
{
    HWND sheet = WaitFor(IndexSheet);
    if (!sheet)
        return 1;
    HWND list = Children(sheet, "ListBox").front();
    int count = static_cast<int>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        if (ItemOf(list, i) == keyword) {
            SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(i), 0);
            PostMessageA(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
            return WaitFor([] { return IndexSheet() == nullptr; }) ? 0 : 1;
        }
    }
    std::fprintf(stderr, "the index has no keyword %s\n", keyword);
    return 1;
}

// Where the index is, so that its words can be read apart from the topic
// behind it.
int Sheet()
{
    HWND sheet = WaitFor(IndexSheet);
    RECT r;
    if (!sheet || !GetWindowRect(sheet, &r))
        return 1;
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
}

// The text of the topic that an engine process shows, hidden or not: its
// first top-level window that holds a topic control. Empty while it has none.
struct TopicLook {
    DWORD process;
    std::string text;
};

BOOL CALLBACK LookForTopic(HWND w, LPARAM lParam)
{
    auto* look = reinterpret_cast<TopicLook*>(lParam);
    HWND topic = ProcessOf(w) == look->process ? TopicControl(w, false) : nullptr;
    if (!topic)
        return TRUE;
    look->text = TextOf(topic);
    return FALSE;
}

std::string TopicShownBy(DWORD process)
{
    TopicLook look{process, ""};
    EnumWindows(LookForTopic, reinterpret_cast<LPARAM>(&look));
    return look.text;
}

// Each context in a hidden engine of its own, so that the engine's trace
// shows its lookup of every name, one after the other. An engine is done when
// its window shows the topic of that title; its first idle moment says
// nothing about which topic it opened, and comes late or never on a busy
// machine. A failure names the context, what the engine showed, and when.
int Contexts(int count, char** namesAndTitles)
{
    std::string file = BuildFolder() + "\\Zorvane.hlp";
    int failures = 0;
    for (int i = 0; i + 1 < count; i += 2) {
        const char* name = namesAndTitles[i];
        const char* title = namesAndTitles[i + 1];
        std::string command = std::string(EngineName) + " -x -i " + name + " \"" + file + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::fprintf(stderr, "HelpProbe: context %s\n", name);
        DWORD start = GetTickCount();
        if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process)) {
            std::printf("context %s: the engine did not start (error %lu)\n", name, GetLastError());
            ++failures;
            continue;
        }
        std::string shown;
        DWORD code = STILL_ACTIVE;
        bool showsTitle = WaitFor([&] {
            shown = TopicShownBy(process.dwProcessId);
            GetExitCodeProcess(process.hProcess, &code);
            return shown.compare(0, std::strlen(title), title) == 0 || code != STILL_ACTIVE;
        }) && code == STILL_ACTIVE;
        DWORD took = GetTickCount() - start;
        if (!showsTitle) {
            ++failures;
            if (code != STILL_ACTIVE)
                std::printf("context %s: the engine ended with code %lu after %lu ms\n", name, code, took);
            else if (shown.empty())
                std::printf("context %s: after %lu ms the engine showed no topic\n", name, took);
            else
                std::printf("context %s: after %lu ms the engine showed \"%.60s\", not \"%s\"\n", name,
                            took, shown.c_str(), title);
        }
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, Patience);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        std::fprintf(stderr, "HelpProbe: context %s done\n", name);
    }
    return failures == 0 ? 0 : 1;
}

int Close()
{
    for (DWORD id : EngineProcesses())
        if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    CloseAllZorvanes();
    return EngineProcesses().empty() && CountZorvaneWindows() == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* what = argc > 1 ? argv[1] : "";
    if (!std::strcmp(what, "help")) {
        HWND zorvane = WaitFor([] { return FindWindowA(MainClassName, nullptr); });
        return zorvane && PostMessageA(zorvane, WM_COMMAND, IDM_HELP, 0) ? 0 : 1;
    }
    if (!std::strcmp(what, "window"))
        return Window();
    if (!std::strcmp(what, "text") && argc > 2)
        return Text(argv[2]);
    if (!std::strcmp(what, "boxes"))
        return ListBoxes();
    if (!std::strcmp(what, "index"))
        return Index();
    if (!std::strcmp(what, "choose") && argc > 2)
        return Choose(argv[2]);
    if (!std::strcmp(what, "sheet"))
        return Sheet();
    if (!std::strcmp(what, "contexts") && argc > 2)
        return Contexts(argc - 2, argv + 2);
    if (!std::strcmp(what, "close"))
        return Close();
    std::fprintf(stderr, "usage: HelpProbe help|window|text PREFIX|boxes|index|choose KEYWORD|"
                         "sheet|contexts NAME TITLE...|close\n");
    return 2;
}
