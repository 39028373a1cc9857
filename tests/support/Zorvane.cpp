#include "Zorvane.h"
#include "app/App.h"

std::string BuildFolder()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, n);
    return folder.substr(0, folder.rfind('\\'));
}

std::string ZorvaneExe()
{
    return BuildFolder() + "\\Zorvane.exe";
}

ZorvaneProcess::~ZorvaneProcess()
{
    if (!process_)
        return;
    if (Running()) {
        if (HWND window = WaitForWindow(0))
            PostMessageA(window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
    }
    CloseHandle(process_);
}

bool StartProgram(const std::string& exe, const std::string& arguments, WORD showCommand,
                  SECURITY_ATTRIBUTES* security, HANDLE* process, DWORD* id)
{
    std::string commandLine = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = showCommand;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), security, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    *process = pi.hProcess;
    *id = pi.dwProcessId;
    return true;
}

bool ZorvaneProcess::Start(const std::string& arguments, WORD showCommand, const std::string& exe)
{
    return StartProgram(exe, arguments, showCommand, nullptr, &process_, &id_);
}

HWND ZorvaneProcess::WaitForWindow(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        for (HWND w = FindWindowExA(nullptr, nullptr, MainClassName, nullptr); w;
             w = FindWindowExA(nullptr, w, MainClassName, nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == id_)
                return w;
        }
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(20);
    }
}

bool ZorvaneProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode)
{
    if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    GetExitCodeProcess(process_, exitCode);
    return true;
}

bool ZorvaneProcess::Running() const
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
            if (WaitForSingleObject(p, 5000) != WAIT_OBJECT_0)
                TerminateProcess(p, 1);
            CloseHandle(p);
        }
    }
}
