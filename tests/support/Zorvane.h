// Starts the built Zorvane.exe as a real process and watches it from outside.
#pragma once
#include <windows.h>
#include "Wait.h"
#include <string>
#include <vector>

// The folder that holds the running test program, Zorvane.exe and the fixtures.
std::string BuildFolder();
std::string TestProgramPath(); // the running test program's own
std::string ZorvaneExe();

// A program started as a process of its own, ended when the object goes.
// The handle that creation hands back keeps every access, whatever security
// the process was given, so the test can always end what it started.
class StartedProcess {
public:
    StartedProcess() = default;
    ~StartedProcess() { End(); }
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;

    bool Launch(const std::string& exe, const std::string& arguments = "",
                WORD showCommand = SW_SHOWNORMAL, SECURITY_ATTRIBUTES* security = nullptr);
    // Starts a program whose path only Unicode can spell for this process.
    bool Launch(const std::wstring& exe);
    void End(); // terminates it and waits until it is gone
    // True, and the exit code if asked for, once the process has ended within the time given.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
    bool Running() const;
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_; }

protected:
    // Takes over a process that was started some other way.
    bool Adopt(DWORD id);

private:
    // Keeps the process that a start created, if it did.
    bool Took(BOOL created, const PROCESS_INFORMATION& pi);

    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

class ZorvaneProcess : public StartedProcess {
public:
    ZorvaneProcess() = default;
    ~ZorvaneProcess(); // asks it to close first, as a newer copy would

    // Starts `exe` (Zorvane.exe by default) with the given arguments and show command.
    bool Start(const std::string& arguments = "", WORD showCommand = SW_SHOWNORMAL,
               const std::string& exe = ZorvaneExe())
    {
        return Launch(exe, arguments, showCommand);
    }
    // Starts it from Wine's Unix side under a limit on the size of the files
    // that it writes, in 512-byte blocks: a write past it really fails part-way,
    // as on a full disk. False where no Unix shell can be run.
    bool StartWithFileSizeLimit(int blocks);
    // Starts it from Wine's Unix side in a Unix locale such as "de_DE.UTF-8",
    // from which Wine takes the user's language and the ANSI code page.
    // False where no Unix shell can be run.
    bool StartInLocale(const std::string& locale);
    // The process's own window of class "Zorvane", once it exists.
    HWND WaitForWindow(DWORD timeoutMs = Patience);

private:
    // Starts it through /bin/sh, which first runs the shell commands `setup`.
    bool StartFromUnix(const std::string& setup);
};

// The ids of the running processes whose image has this base name.
// Starts /bin/sh -c `command` from Wine's Unix side, where Wine runs it as a
// Unix program and hands back no handle to it: what it did must be looked for.
bool StartUnixShell(const std::string& command);

std::vector<DWORD> ProcessesNamed(const char* baseName);
// Ends a process that the test did not start itself.
void EndProcess(DWORD id);

// Every top-level window of class "Zorvane", in any process.
int CountZorvaneWindows();
// Closes every running copy, so that a test starts from a quiet machine.
void CloseAllZorvanes();
