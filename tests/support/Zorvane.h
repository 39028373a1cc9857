// Starts the built Zorvane.exe as a real process and watches it from outside.
#pragma once
#include <windows.h>
#include <string>

// The folder that holds the running test program, Zorvane.exe and the fixtures.
std::string BuildFolder();
std::string ZorvaneExe();

// Starts `exe` as a process of its own; its handle and id come back.
bool StartProgram(const std::string& exe, const std::string& arguments, WORD showCommand,
                  SECURITY_ATTRIBUTES* security, HANDLE* process, DWORD* id);

class ZorvaneProcess {
public:
    ZorvaneProcess() = default;
    ~ZorvaneProcess();
    ZorvaneProcess(const ZorvaneProcess&) = delete;
    ZorvaneProcess& operator=(const ZorvaneProcess&) = delete;

    // Starts `exe` (Zorvane.exe by default) with the given arguments and show command.
    bool Start(const std::string& arguments = "", WORD showCommand = SW_SHOWNORMAL,
               const std::string& exe = ZorvaneExe());
    // The process's own window of class "Zorvane", once it exists.
    HWND WaitForWindow(DWORD timeoutMs = 10000);
    // True and the exit code once the process has ended within the time given.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode);
    bool Running() const;
    DWORD Id() const { return id_; }

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// Every top-level window of class "Zorvane", in any process.
int CountZorvaneWindows();
// Closes every running copy, so that a test starts from a quiet machine.
void CloseAllZorvanes();
