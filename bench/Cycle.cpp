// The steady state: a clean machine, enhanced scanning on, no dropper DLL.
// One real RunScanCycle is timed against the least work its checks need.
#include <sys/stat.h>
#include <cstring>
#include "Bench.h"
#include "app/App.h"
#include "scan/Scan.h"
#include "settings/Settings.h"
#include <tlhelp32.h>

namespace {

DWORD const MinServerSize = 124500;
DWORD const QueryLimitedInformation = 0x1000;

// One snapshot; for each process its full path, one file-status query, and
// for an image of a server's size one read of its version block. Nothing
// else: no check of the dropper DLL, no look inside the block.
void FloorCycle()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32First(snapshot, &pe); more; more = Process32Next(snapshot, &pe)) {
        HANDLE process = OpenProcess(QueryLimitedInformation, FALSE, pe.th32ProcessID);
        if (!process)
            continue;
        char path[MAX_PATH];
        DWORD length = sizeof path;
        BOOL named = QueryFullProcessImageNameA(process, 0, path, &length);
        CloseHandle(process);
        DWORD fileSize = 0;
        if (!named || !QueryFileStatus(path, &fileSize) || fileSize < MinServerSize)
            continue;
        DWORD handle = 0;
        DWORD size = GetFileVersionInfoSizeA(path, &handle);
        if (size == 0)
            continue;
        void* block = HeapAlloc(GetProcessHeap(), 0, size);
        GetFileVersionInfoA(path, handle, size, block);
        HeapFree(GetProcessHeap(), 0, block);
    }
    CloseHandle(snapshot);
}

// Waits until the snapshot lists every program that the bench started.
size_t WaitForProcesses(int started)
{
    for (int tries = 0; tries < 200; ++tries) {
        ProcessList list;
        list.Take();
        int ours = 0;
        for (const ProcessEntry& entry : list.Entries())
            ours += std::strstr(entry.path.data(), "\\bench\\procs\\") != nullptr;
        if (ours == started)
            return list.Entries().size();
        Sleep(50);
    }
    Fail("the snapshot does not list the started programs");
    return 0;
}

} // namespace

void MeasureCycle(int processes)
{
    size_t listed = WaitForProcesses(processes);
    EnhancedScanning = 1;
    NoticeOwner = nullptr;
    for (int i = 0; i < WarmUps; ++i) {
        RunScanCycle();
        FloorCycle();
    }
    // Alternated, so that a change in the machine's load falls on both.
    std::vector<double> cycle, floor;
    for (int i = 0; i < Repetitions; ++i) {
        cycle.push_back(TimeMs(RunScanCycle));
        floor.push_back(TimeMs(FloorCycle));
    }
    Emit("cycle", "\"P\": " + std::to_string(processes) + ", \"listed\": " +
                      std::to_string(listed) + ", \"cycle_ms\": " + JsonList(cycle) +
                      ", \"floor_ms\": " + JsonList(floor));
}

// With enhanced scanning off and no dropper DLL, a tick only looks for the
// DLL: the whole of what Zorvane does when idle, twice a minute.
void MeasureIdleCycle()
{
    EnhancedScanning = 0;
    for (int i = 0; i < WarmUps; ++i)
        RunScanCycle();
    std::vector<double> cycle;
    for (int i = 0; i < Repetitions; ++i)
        cycle.push_back(TimeMs(RunScanCycle));
    EnhancedScanning = 1;
    Emit("idle_cycle", "\"cycle_ms\": " + JsonList(cycle));
}
