#include "TrayIcon.h"
#include <shellapi.h>
#include <commctrl.h>
#include "Wait.h"

namespace {

// Sends the shell a record that names the icon and nothing else, no flags.
bool NotifyIcon(DWORD message, HWND window, UINT id)
{
    NOTIFYICONDATAA icon = {};
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
    icon.hWnd = window;
    icon.uID = id;
    return Shell_NotifyIconA(message, &icon) != FALSE;
}

} // namespace

bool TrayIconShown(HWND window, UINT id) { return NotifyIcon(NIM_MODIFY, window, id); }
bool RemoveTrayIcon(HWND window, UINT id) { return NotifyIcon(NIM_DELETE, window, id); }

bool WaitForTrayIcon(HWND window, bool shown, DWORD timeoutMs)
{
    return WaitUntil([&] { return TrayIconShown(window) == shown; }, timeoutMs);
}

namespace {

// Memory inside another process, for messages whose pointers that process reads.
class RemoteBlock {
public:
    RemoteBlock(HANDLE process, SIZE_T size)
        : process_(process),
          at_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {}
    ~RemoteBlock() { if (at_) VirtualFreeEx(process_, at_, 0, MEM_RELEASE); }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;

    char* At() const { return static_cast<char*>(at_); }

private:
    HANDLE process_;
    void* at_;
};

// The tool record as a 64-bit process reads it, with pointers and handles
// eight bytes wide: on 64-bit Windows a 32-bit test reads the tools of a
// 64-bit shell.
struct ToolRecord64 {
    UINT cbSize;
    UINT uFlags;
    UINT64 hwnd;
    UINT64 uId;
    RECT rect;
    UINT64 hinst;
    UINT64 lpszText;
    UINT64 lParam;
    UINT64 lpReserved;
};
static_assert(sizeof(ToolRecord64) == 72);

void PointAt(TTTOOLINFOW& tool, char* text) { tool.lpszText = reinterpret_cast<LPWSTR>(text); }
void PointAt(ToolRecord64& tool, char* text) { tool.lpszText = reinterpret_cast<UINT_PTR>(text); }

template <typename Record> void ReadToolsAs(HWND tips, HANDLE shell, std::vector<std::string>& texts)
{
    SIZE_T const TextChars = 128;
    RemoteBlock block(shell, sizeof(Record) + TextChars * sizeof(WCHAR));
    if (!block.At())
        return;
    char* remoteText = block.At() + sizeof(Record);
    LRESULT count = SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        Record tool = {};
        tool.cbSize = sizeof tool;
        PointAt(tool, remoteText);
        WCHAR text[TextChars] = {};
        SIZE_T done = 0;
        if (!WriteProcessMemory(shell, block.At(), &tool, sizeof tool, &done) ||
            !WriteProcessMemory(shell, remoteText, text, sizeof text, &done) ||
            !SendMessageW(tips, TTM_ENUMTOOLSW, static_cast<WPARAM>(i),
                          reinterpret_cast<LPARAM>(block.At())) ||
            !ReadProcessMemory(shell, remoteText, text, sizeof text - sizeof(WCHAR), &done))
            continue;
        char narrow[TextChars * 2] = "";
        WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
        texts.push_back(narrow);
    }
}

// A 32-bit process on 64-bit Windows is WoW64's; one that is not, there, is 64-bit.
bool IsWow64(HANDLE process)
{
    BOOL wow64 = FALSE;
    return IsWow64Process(process, &wow64) && wow64;
}

void ReadTools(HWND tips, HANDLE shell, std::vector<std::string>& texts)
{
    if (sizeof(void*) == 4 && IsWow64(GetCurrentProcess()) && !IsWow64(shell))
        ReadToolsAs<ToolRecord64>(tips, shell, texts);
    else
        ReadToolsAs<TTTOOLINFOW>(tips, shell, texts);
}

} // namespace

std::vector<std::string> TooltipTexts(HWND tips)
{
    std::vector<std::string> texts;
    DWORD owner = 0;
    GetWindowThreadProcessId(tips, &owner);
    if (HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                         PROCESS_QUERY_INFORMATION,
                                     FALSE, owner)) {
        ReadTools(tips, process, texts);
        CloseHandle(process);
    }
    return texts;
}

std::vector<std::string> ShellTooltipTexts()
{
    std::vector<std::string> texts;
    DWORD shellId = 0;
    if (!GetWindowThreadProcessId(FindWindowA("Shell_TrayWnd", nullptr), &shellId))
        return texts;
    for (HWND tips = FindWindowExA(nullptr, nullptr, TOOLTIPS_CLASSA, nullptr); tips;
         tips = FindWindowExA(nullptr, tips, TOOLTIPS_CLASSA, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(tips, &owner);
        if (owner == shellId)
            for (std::string& text : TooltipTexts(tips))
                texts.push_back(std::move(text));
    }
    return texts;
}
