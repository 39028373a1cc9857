// An infected machine before the server has started: the genuine dropper DLL
// is present and the six autostart keys hold V values, none of which names a
// running program. The twelve key scans of the two passes are timed directly
// (a real cycle would delete the DLL and offer a restart), against a floor
// that walks the same values twice and compares each with every process.
#include <cstring>
#include "Bench.h"
#include "app/App.h"
#include "scan/Scan.h"

namespace {

// Empties the six keys, then spreads `count` values over them in turn. The
// commands look like those of installed programs, and none is running.
void WriteAutostartValues(int count)
{
    for (const AutostartKey& key : AutostartKeys) {
        HKEY open = nullptr;
        if (RegCreateKeyExA(key.root, key.path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &open,
                            nullptr) != ERROR_SUCCESS)
            Fail(std::string("cannot open ") + key.path);
        char name[300];
        DWORD size = sizeof name;
        while (RegEnumValueA(open, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS) {
            RegDeleteValueA(open, name);
            size = sizeof name;
        }
        RegCloseKey(open);
    }
    for (int i = 0; i < count; ++i) {
        const AutostartKey& key = AutostartKeys[i % 6];
        char name[64], data[160];
        wsprintfA(name, "Bench Agent %03d", i);
        wsprintfA(data, "C:\\Program Files\\Bench Vendor %03d\\Agent%03d.exe /background", i, i);
        HKEY open = nullptr;
        RegOpenKeyExA(key.root, key.path, 0, KEY_SET_VALUE, &open);
        RegSetValueExA(open, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                       static_cast<DWORD>(lstrlenA(data) + 1));
        RegCloseKey(open);
    }
}

void ScanBothPasses(ProcessList& snapshot)
{
    for (ScanPass pass : {ScanPass::Silent, ScanPass::Asking}) {
        for (const AutostartKey& key : AutostartKeys)
            ScanAutostartKey(key.root, key.path, snapshot, pass);
    }
}

struct FloorEntry {
    const char* path;
    const char* base;
};

// The same values, read twice with the same buffers and access, each compared
// with every process's full path and base name; the paths were resolved once.
void FloorBothPasses(const std::vector<FloorEntry>& processes)
{
    for (int pass = 0; pass < 2; ++pass) {
        for (const AutostartKey& key : AutostartKeys) {
            HKEY open = nullptr;
            if (RegOpenKeyExA(key.root, key.path, 0, KEY_READ | KEY_WRITE, &open) != ERROR_SUCCESS)
                continue;
            for (DWORD index = 0;; ++index) {
                char name[300], data[300];
                DWORD nameSize = sizeof name, dataSize = sizeof data;
                if (RegEnumValueA(open, index, name, &nameSize, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS)
                    break;
                for (const FloorEntry& process : processes) {
                    if (lstrcmpiA(data, process.path) == 0 || lstrcmpiA(data, process.base) == 0)
                        Fail("a value names a running program");
                }
            }
            RegCloseKey(open);
        }
    }
}

std::vector<FloorEntry> FloorEntries(const ProcessList& snapshot)
{
    std::vector<FloorEntry> entries;
    for (const ProcessEntry& entry : snapshot.Entries()) {
        const char* path = entry.path.data();
        const char* slash = std::strrchr(path, '\\');
        entries.push_back({path, slash ? slash + 1 : path});
    }
    return entries;
}

} // namespace

void MeasureKeyScans(int processes, const std::vector<int>& valueCounts)
{
    if (!CopyFileA(FixturePath("windll.dll").c_str(), SystemDropperDll().c_str(), FALSE))
        Fail("cannot plant the dropper DLL");
    lstrcpyA(DropperDllPath.data(), SystemDropperDll().c_str());
    if (!IsDropperDllActive())
        Fail("the planted dropper DLL is not taken for the genuine one");
    ProcessList snapshot;
    if (!snapshot.Take())
        Fail("no snapshot");
    std::vector<FloorEntry> floorEntries = FloorEntries(snapshot);
    NoticeOwner = nullptr;

    for (int values : valueCounts) {
        WriteAutostartValues(values);
        for (int i = 0; i < WarmUps; ++i) {
            ScanBothPasses(snapshot);
            FloorBothPasses(floorEntries);
        }
        std::vector<double> scans, floor;
        for (int i = 0; i < Repetitions; ++i) {
            scans.push_back(TimeMs([&] { ScanBothPasses(snapshot); }));
            floor.push_back(TimeMs([&] { FloorBothPasses(floorEntries); }));
        }
        Emit("keys", "\"P\": " + std::to_string(processes) + ", \"V\": " +
                         std::to_string(values) + ", \"listed\": " +
                         std::to_string(snapshot.Entries().size()) + ", \"scan_ms\": " +
                         JsonList(scans) + ", \"floor_ms\": " + JsonList(floor));
    }
    WriteAutostartValues(0);
    if (!DeleteFileA(SystemDropperDll().c_str()))
        Fail("cannot remove the dropper DLL");
}
