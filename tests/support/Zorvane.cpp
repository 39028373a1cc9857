#include "Zorvane.h"
#include "Wait.h"
#include "app/App.h"
#include "scan/Scan.h"
#include <algorithm>

std::string TestProgramPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

std::string BuildFolder()
{
    std::string program = TestProgramPath();
    return program.substr(0, program.rfind('\\'));
}

std::string ZorvaneExe()
{
    return BuildFolder() + "\\Zorvane.exe";
}

ZorvaneProcess::~ZorvaneProcess()
{
    if (!Running())
        return;
    if (HWND window = WaitForWindow(0))
        PostMessageA(window, WM_CLOSE, 0, 0);
    WaitForExit(Patience); // what is still running then is ended by force
}

bool StartedProcess::Launch(const std::string& exe, const std::string& arguments,
                            WORD showCommand, SECURITY_ATTRIBUTES* security)
{
    End();
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = showCommand;
    PROCESS_INFORMATION pi = {};
    return Took(CreateProcessA(exe.c_str(), commandLine.data(), security, nullptr, FALSE, 0,
                               nullptr, nullptr, &si, &pi),
                pi);
}

bool StartedProcess::Launch(const std::wstring& exe)
{
    End();
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    return Took(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &si, &pi),
                pi);
}

bool StartedProcess::Took(BOOL created, const PROCESS_INFORMATION& pi)
{
    if (!created)
        return false;
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    id_ = pi.dwProcessId;
    return true;
}

bool StartedProcess::Adopt(DWORD id)
{
    End();
    process_ = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
    id_ = process_ ? id : 0;
    return process_ != nullptr;
}

// A failing write must not kill it: hence the trap.
bool ZorvaneProcess::StartWithFileSizeLimit(int blocks)
{
    return StartFromUnix("ulimit -f " + std::to_string(blocks) + " && trap '' XFSZ");
}

// LC_ALL outweighs whatever locale the test itself was started in.
// Wine takes a locale that the system lacks for US English, and a test run in
// it would prove nothing: the copy is not started then.
bool ZorvaneProcess::StartInLocale(const std::string& locale)
{
    std::string installed = locale.substr(0, locale.find('.')) + ".utf8";
    return StartFromUnix("locale -a | grep -qix '" + installed + "' && export LANG=" + locale +
                         " LC_ALL=" + locale);
}

bool StartUnixShell(const std::string& command)
{
    std::string commandLine = "/bin/sh -c \"" + command + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    return true;
}

// Wine hands back no handle for a Unix program, so the new copy is found by
// its name once the shell has become it.
bool ZorvaneProcess::StartFromUnix(const std::string& setup)
{
    End();
    char wine[MAX_PATH] = ""; // the Unix loader, which tools/test hands down
    DWORD n = GetEnvironmentVariableA("ZORVANE_WINE", wine, sizeof wine);
    if (n == 0 || n >= sizeof wine)
        return false;
    std::vector<DWORD> before = ProcessesNamed("Zorvane.exe");
    if (!StartUnixShell(setup + " && exec '" + wine + "' '" + ZorvaneExe() + "'"))
        return false;
    DWORD started = 0;
    WaitUntil([&] {
        for (DWORD id : ProcessesNamed("Zorvane.exe"))
            if (std::find(before.begin(), before.end(), id) == before.end())
                return (started = id) != 0;
        return false;
    }, Patience);
    return started && Adopt(started);
}

void StartedProcess::End()
{
    if (!process_)
        return;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, Patience);
    CloseHandle(process_);
    process_ = nullptr;
    id_ = 0;
}

HWND ZorvaneProcess::WaitForWindow(DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil([&] {
        for (HWND w = FindWindowExA(nullptr, nullptr, MainClassName, nullptr); w;
             w = FindWindowExA(nullptr, w, MainClassName, nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == Id())
                return (found = w) != nullptr;
        }
        return false;
    }, timeoutMs);
    return found;
}

bool StartedProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode)
{
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process_, exitCode);
    return true;
}

bool StartedProcess::Running() const
{
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

int CountZorvaneWindows()
{
    int count = 0;
    for (HWND w = FindWindowExA(nullptr, nullptr, MainClassName, nullptr); w;
         w = FindWindowExA(nullptr, w, MainClassName, nullptr))
        ++count;
    return count;
}

void CloseAllZorvanes()
{
    for (int tries = 0; tries < 100; ++tries) {
        HWND w = FindWindowA(MainClassName, nullptr);
        if (!w)
            return;
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId()) {
            DestroyWindow(w);
            continue;
        }
        PostMessageA(w, WM_CLOSE, 0, 0);
        if (HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid)) {
            if (WaitForSingleObject(p, Patience) != WAIT_OBJECT_0)
                TerminateProcess(p, 1);
            CloseHandle(p);
        }
    }
}

std::vector<DWORD> ProcessesNamed(const char* baseName)
{
    std::vector<DWORD> ids;
    ProcessList list;
    if (list.Take())
        for (const ProcessEntry& entry : list.Entries())
            if (SamePath(BaseName(entry.path.data()), baseName))
                ids.push_back(entry.id);
    return ids;
}

void EndProcess(DWORD id)
{
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, Patience);
        CloseHandle(process);
    }
}
