// Zorvane.exe against the smallest resident tray program, both watched from
// outside as a user's tools would: the time until each shows its icon,
// memory, handles and CPU time.
#include <memory>
#include "Bench.h"
#include "TrayIcon.h"
#include "app/App.h"
#include <psapi.h>
#include <shellapi.h>

namespace {

UINT const ScanTimer = 3;
DWORD const CycleTimeoutMs = 60000;
DWORD const IdleWindowMs = 60000;
int const IdleCopies = 7;
int const FootprintRepetitions = 7;
DWORD const IconLimitMs = 20000;

struct Program {
    const char* exe;
    const char* windowClass;
    UINT iconId;
};
// The floor's icon id is the one bench/TrayFloor.cpp gives its icon.
Program const Zorvane = {"Zorvane.exe", "Zorvane", TrayIconId};
Program const TrayFloor = {"TrayFloor.exe", "ZorvaneTrayFloor", 1};

void WriteEnhancedSetting(const char* value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quillane\\Zorvane", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        Fail("cannot write the setting");
    RegSetValueExA(key, "Enhanced", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), 2);
    RegCloseKey(key);
}

// A started program, watched from outside; it runs on the given desktop
// (nullptr: the bench's own), and is closed or ended when the object goes.
// Unless told not to, the constructor returns only once the program waits
// for input, so that a reading never catches it half started; a caller that
// times the start itself must not wait.
class WatchedProgram {
public:
    WatchedProgram(const Program& program, const char* desktop = nullptr,
                   bool waitUntilIdle = true)
        : program_(program)
    {
        std::string exe = ProgramFolder() + "\\" + program.exe;
        std::string commandLine = "\"" + exe + "\"";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.lpDesktop = const_cast<char*>(desktop);
        PROCESS_INFORMATION info = {};
        startedMs_ = NowMs();
        if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &info))
            Fail("cannot start " + exe);
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
        if (waitUntilIdle)
            WaitForInputIdle(process_, 20000);
    }
    ~WatchedProgram()
    {
        // A program on another desktop cannot be reached by its window.
        HWND window = Window();
        if (!window || !PostMessageA(window, WM_CLOSE, 0, 0) ||
            WaitForSingleObject(process_, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process_, 0);
        WaitForSingleObject(process_, 10000);
        CloseHandle(process_);
    }
    WatchedProgram(const WatchedProgram&) = delete;
    WatchedProgram& operator=(const WatchedProgram&) = delete;

    // Its own main window, on the bench's desktop.
    HWND Window() const
    {
        for (HWND window = FindWindowExA(nullptr, nullptr, program_.windowClass, nullptr); window;
             window = FindWindowExA(nullptr, window, program_.windowClass, nullptr)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == id_)
                return window;
        }
        return nullptr;
    }
    HWND WaitForWindow() const
    {
        for (int tries = 0; tries < 400; ++tries) {
            if (HWND window = Window())
                return window;
            Sleep(25);
        }
        Fail(std::string("no window from ") + program_.exe);
        return nullptr;
    }
    HANDLE Process() const { return process_; }
    bool Alive() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    DWORD Id() const { return id_; }
    // NowMs() just before the program was started.
    double StartedMs() const { return startedMs_; }

private:
    Program program_;
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    double startedMs_ = 0;
};

// ---- Readings from outside -------------------------------------------------
//
// Wine 8 answers three of the documented calls only in part, so each reading
// falls back to a source that Wine does fill, and says which one it used:
// - PrivateUsage stays 0; PagefileUsage, the same commit charge, is filled.
// - GetProcessHandleCount gives 0; the system's handle list names each
//   handle's owner.
// - GetProcessTimes of another process gives the caller's own times; the
//   system's process list carries each process's times.

using QuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
ULONG const SystemProcessInformation = 5;
ULONG const SystemHandleInformation = 16;

// The records of SystemProcessInformation, as far as they are read here.
struct ProcessRecord {
    ULONG nextEntryOffset;
    ULONG threads;
    LARGE_INTEGER unused[3];
    LARGE_INTEGER createTime, userTime, kernelTime;
    USHORT nameLength, nameCapacity;
    wchar_t* name;
    LONG basePriority;
    ULONG_PTR processId;
};
struct HandleRecord {
    ULONG ownerId;
    BYTE objectType, flags;
    USHORT value;
    void* object;
    ULONG access;
};

std::vector<char> QuerySystem(ULONG infoClass)
{
    auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        LONG status = query ? query(infoClass, buffer.data(), static_cast<ULONG>(buffer.size()),
                                    &needed)
                            : -1;
        if (status == 0)
            return buffer;
        if (status != static_cast<LONG>(0xC0000004) || buffer.size() > (64u << 20))
            Fail("NtQuerySystemInformation failed");
        buffer.resize(buffer.size() * 4); // STATUS_INFO_LENGTH_MISMATCH
    }
}

double CountedHandles(DWORD processId)
{
    std::vector<char> list = QuerySystem(SystemHandleInformation);
    ULONG count = *reinterpret_cast<ULONG*>(list.data());
    auto* records = reinterpret_cast<HandleRecord*>(list.data() + sizeof(ULONG_PTR));
    double owned = 0;
    for (ULONG i = 0; i < count; ++i)
        owned += records[i].ownerId == processId;
    return owned;
}

double ListedCpuMs(DWORD processId)
{
    std::vector<char> list = QuerySystem(SystemProcessInformation);
    for (size_t at = 0;;) {
        auto* record = reinterpret_cast<ProcessRecord*>(list.data() + at);
        if (record->processId == processId)
            return static_cast<double>(record->userTime.QuadPart + record->kernelTime.QuadPart) /
                   10000.0;
        if (record->nextEntryOffset == 0)
            Fail("the process is not in the system's list");
        at += record->nextEntryOffset;
    }
}

struct Sources {
    const char* privateBytes = "PrivateUsage";
    const char* handles = "GetProcessHandleCount";
    const char* cpu = "GetProcessTimes";
};
Sources sources;

struct Reading {
    double privateKiB = 0;
    double workingSetKiB = 0;
    double handles = 0;
};

Reading Read(HANDLE process, DWORD processId)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof memory))
        Fail("GetProcessMemoryInfo failed");
    Reading reading;
    reading.workingSetKiB = static_cast<double>(memory.WorkingSetSize) / 1024;
    reading.privateKiB = static_cast<double>(memory.PrivateUsage) / 1024;
    if (memory.PrivateUsage == 0) {
        sources.privateBytes = "PagefileUsage (Wine leaves PrivateUsage at 0)";
        reading.privateKiB = static_cast<double>(memory.PagefileUsage) / 1024;
    }
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    reading.handles = handles;
    if (handles == 0) { // a running program holds handles: this is Wine's stub
        sources.handles = "system handle list (Wine's GetProcessHandleCount gives 0)";
        reading.handles = CountedHandles(processId);
    }
    return reading;
}

double Ms(FILETIME t)
{
    return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) /
           10000.0;
}

double CpuMs(HANDLE process, DWORD processId)
{
    FILETIME created, exited, kernel, user, ownKernel, ownUser;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        !GetProcessTimes(GetCurrentProcess(), &created, &exited, &ownKernel, &ownUser))
        Fail("GetProcessTimes failed");
    if (Ms(kernel) != Ms(ownKernel) || Ms(user) != Ms(ownUser))
        return Ms(kernel) + Ms(user);
    sources.cpu = "system process list (Wine's GetProcessTimes gives the caller's own times)";
    return ListedCpuMs(processId);
}

// Runs `count` scan cycles, one per tick of the scan timer. The tick is sent
// rather than posted so that each call returns when its cycle has ended.
void RunCycles(HWND window, int count)
{
    for (int i = 0; i < count; ++i) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(window, WM_TIMER, ScanTimer, 0, SMTO_NORMAL, CycleTimeoutMs,
                                 &result))
            Fail("a scan cycle did not end in time");
    }
}

// Each idle copy gets a virtual desktop of its own with a taskbar, so that
// several copies of Zorvane can run at once without closing one another.
std::string IdleDesktop(int index)
{
    std::string name = "ZorvaneIdle" + std::to_string(index);
    HKEY desktops = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\Explorer\\Desktops", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &desktops, nullptr);
    RegSetValueExA(desktops, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("640x480"),
                   8);
    HKEY shell = nullptr;
    RegCreateKeyExA(desktops, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &shell,
                    nullptr);
    DWORD on = 1;
    RegSetValueExA(shell, "EnableShell", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on),
                   sizeof on);
    RegCloseKey(shell);
    RegCloseKey(desktops);
    return name;
}

// Named series of samples, printed as JSON fields in the order first added.
class Series {
public:
    void Add(const std::string& name, double value)
    {
        for (auto& [known, samples] : series_) {
            if (known == name) {
                samples.push_back(value);
                return;
            }
        }
        series_.push_back({name, {value}});
    }
    std::string Json() const
    {
        std::string out;
        for (const auto& [name, samples] : series_)
            out += (out.empty() ? "" : ", ") + JsonText(name) + ": " + JsonList(samples);
        return out;
    }

private:
    std::vector<std::pair<std::string, std::vector<double>>> series_;
};

void AddReading(Series& series, const std::string& moment, const Reading& reading)
{
    series.Add("private_" + moment + "_kib", reading.privateKiB);
    series.Add("working_" + moment + "_kib", reading.workingSetKiB);
    series.Add("handles_" + moment, reading.handles);
}

std::string SourcesJson()
{
    return "\"sources\": {\"private\": " + JsonText(sources.privateBytes) +
           ", \"handles\": " + JsonText(sources.handles) + ", \"cpu\": " +
           JsonText(sources.cpu) + "}";
}

} // namespace

// Memory and handles after start and after 1, 10 and 100 cycles, for Zorvane
// with enhanced scanning on; the floor after start. Each copy is started
// afresh for each repetition.
void MeasureFootprint()
{
    WriteEnhancedSetting("1");
    Series series;
    for (int i = 0; i < FootprintRepetitions; ++i) {
        {
            WatchedProgram zorvane(Zorvane);
            HWND window = zorvane.WaitForWindow();
            Sleep(1000);
            AddReading(series, "start", Read(zorvane.Process(), zorvane.Id()));
            RunCycles(window, 1);
            AddReading(series, "1", Read(zorvane.Process(), zorvane.Id()));
            RunCycles(window, 9);
            AddReading(series, "10", Read(zorvane.Process(), zorvane.Id()));
            series.Add("outside_cycle_ms", TimeMs([&] { RunCycles(window, 90); }) / 90);
            AddReading(series, "100", Read(zorvane.Process(), zorvane.Id()));
        }
        {
            WatchedProgram floor(TrayFloor);
            floor.WaitForWindow();
            Sleep(1000);
            AddReading(series, "floor", Read(floor.Process(), floor.Id()));
        }
    }
    Emit("footprint", series.Json() + ", " + SourcesJson());
}

namespace {

// Starts the program and returns the time from just before its start until
// the first look that finds its icon, then closes its window as a user would
// and waits for it to end. The mean time between the looks that missed is
// added to lookSpacingsMs: the figure's resolution. The look that finds the
// icon is left out of it, because under Wine it is regularly sent while the
// shell is still adding the icon and answered only once the icon is in: its
// length is the shell's work, not a gap in the looking.
double StartUntilIcon(const Program& program, std::vector<double>& lookSpacingsMs)
{
    WatchedProgram started(program, nullptr, false);
    HWND window = nullptr;
    double firstMissMs = 0;
    double lastMissMs = 0;
    int misses = 0;
    for (;;) {
        if (!window)
            window = started.Window();
        bool shown = window && TrayIconShown(window, program.iconId);
        double nowMs = NowMs();
        if (shown) {
            lookSpacingsMs.push_back(misses > 1 ? (lastMissMs - firstMissMs) / (misses - 1) : 0);
            if (!PostMessageA(window, WM_CLOSE, 0, 0) ||
                WaitForSingleObject(started.Process(), 10000) != WAIT_OBJECT_0)
                Fail(std::string(program.exe) + " did not end when its window was closed");
            return nowMs - started.StartedMs();
        }
        if (misses++ == 0)
            firstMissMs = nowMs;
        lastMissMs = nowMs;
        if (nowMs - started.StartedMs() > IconLimitMs)
            Fail(std::string("no icon from ") + program.exe + " within 20 s");
        // Sleep(1) rather than Sleep(0): the program and the shell keep the
        // processor between looks, which still fall about a millisecond apart.
        Sleep(1);
    }
}

} // namespace

// Zorvane and the floor are started in turn, after one uncounted start of
// each: the first start in a new prefix pays for Wine's one-time work. Each
// copy has ended before the next starts, so no start has a running copy of
// Zorvane to close.
void MeasureStart()
{
    std::vector<double> zorvaneMs, floorMs, lookSpacingsMs, warmUpSpacingsMs;
    StartUntilIcon(Zorvane, warmUpSpacingsMs);
    StartUntilIcon(TrayFloor, warmUpSpacingsMs);
    for (int i = 0; i < Repetitions; ++i) {
        zorvaneMs.push_back(StartUntilIcon(Zorvane, lookSpacingsMs));
        floorMs.push_back(StartUntilIcon(TrayFloor, lookSpacingsMs));
    }
    Emit("start", "\"zorvane_ms\": " + JsonList(zorvaneMs) + ", \"floor_ms\": " +
                      JsonList(floorMs) + ", \"look_spacing_ms\": " + JsonList(lookSpacingsMs));
}

// Start-up is not idle time. Wine charges the loading of a program, and in a
// new prefix the first look at the fonts and the desktop, to the process that
// happens to do it; one such start once cost a copy 18 s of CPU. So a copy's
// idle window opens only once its CPU time has stood still for SettleSpanMs
// (its first scan, 5 s after start, included). A copy that spins never
// settles: its time until the limit is reported as start-up, and its idle
// window still counts.
DWORD const SettleSpanMs = 2000;
DWORD const SettleLimitMs = 30000;

double SettledCpuMs(const WatchedProgram& program)
{
    DWORD const started = GetTickCount();
    double last = CpuMs(program.Process(), program.Id());
    DWORD stillSince = GetTickCount();
    while (GetTickCount() - started < SettleLimitMs) {
        Sleep(250);
        double now = CpuMs(program.Process(), program.Id());
        if (now != last) {
            last = now;
            stillSince = GetTickCount();
        } else if (GetTickCount() - stillSince >= SettleSpanMs) {
            break;
        }
    }
    return last;
}

// CPU time over a minute of idling, enhanced scanning off: the copies run
// side by side, each pair on a desktop of its own.
void MeasureIdle()
{
    WriteEnhancedSetting("0");
    std::vector<std::string> desktops;
    for (int i = 0; i < IdleCopies; ++i)
        desktops.push_back(IdleDesktop(i + 1));
    std::vector<std::unique_ptr<WatchedProgram>> zorvanes, floors;
    for (const std::string& desktop : desktops) {
        zorvanes.push_back(std::make_unique<WatchedProgram>(Zorvane, desktop.c_str()));
        floors.push_back(std::make_unique<WatchedProgram>(TrayFloor, desktop.c_str()));
    }
    Sleep(FirstScanDelay + 1000);
    std::vector<double> zorvaneStart, floorStart, zorvaneCpu, floorCpu;
    for (int i = 0; i < IdleCopies; ++i) {
        zorvaneStart.push_back(SettledCpuMs(*zorvanes[i]));
        floorStart.push_back(SettledCpuMs(*floors[i]));
    }
    Sleep(IdleWindowMs);
    for (int i = 0; i < IdleCopies; ++i) {
        if (!zorvanes[i]->Alive() || !floors[i]->Alive())
            Fail("an idle copy ended early: the desktops do not keep the copies apart");
        zorvaneCpu.push_back(CpuMs(zorvanes[i]->Process(), zorvanes[i]->Id()) - zorvaneStart[i]);
        floorCpu.push_back(CpuMs(floors[i]->Process(), floors[i]->Id()) - floorStart[i]);
    }
    zorvanes.clear();
    floors.clear();
    Emit("idle", "\"seconds\": " + std::to_string(IdleWindowMs / 1000) +
                     ", \"zorvane_cpu_ms\": " + JsonList(zorvaneCpu) +
                     ", \"floor_cpu_ms\": " + JsonList(floorCpu) +
                     ", \"zorvane_startup_cpu_ms\": " + JsonList(zorvaneStart) +
                     ", \"floor_startup_cpu_ms\": " + JsonList(floorStart) + ", " + SourcesJson());
    WriteEnhancedSetting("1");
}
