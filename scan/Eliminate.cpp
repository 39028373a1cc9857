#include "app/App.h"
#include "app/Handles.h"
#include "scan/Scan.h"

namespace {

constexpr char QuarantineName[] = "GrimlatchRemoved.exe";

// Room for an image path with its base name replaced by QuarantineName.
using QuarantineBuffer = std::array<char, PathBufferSize + sizeof QuarantineName>;

DWORD const TerminationWait = 2000;

// What became of the server's process.
enum class ProcessOutcome { Ended, Gone, StillRunning };

// The cycle's snapshot may be stale and the id handed on to another program.
bool StillRunsImage(DWORD processId, const char* imagePath)
{
    PathBuffer current;
    return CurrentImagePath(processId, current) && lstrcmpiA(current.data(), imagePath) == 0;
}

// Ends the server's process, but only while its id still belongs to the
// identified image: an id can be handed to an unrelated program once the
// server has ended. The image file stays locked until the process has really
// gone, so the end is waited for before the file is touched.
// The open handle keeps the id from being handed on while it is checked.
HANDLE OpenServerProcess(DWORD processId)
{
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION |
                                         PROCESS_VM_READ,
                                     FALSE, processId))
        return process;
    return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
}

ProcessOutcome EndServerProcess(const ProcessEntry& entry)
{
    KernelHandle process(OpenServerProcess(entry.id));
    bool same = StillRunsImage(entry.id, entry.path.data());
    if (!process.Valid())
        return same ? ProcessOutcome::StillRunning : ProcessOutcome::Gone;
    if (!same)
        return ProcessOutcome::Gone;
    if (!TerminateProcess(process.Get(), 0))
        return ProcessOutcome::StillRunning;
    WaitForSingleObject(process.Get(), TerminationWait);
    return ProcessOutcome::Ended;
}

bool RunningOnWindows9x()
{
    return (GetVersion() & 0x80000000u) != 0;
}

// A file that is still in use goes at the next restart instead.
bool DeleteAtRestart(const char* path)
{
    if (RunningOnWindows9x()) {
        // WININIT.INI takes short names only.
        char shortPath[MAX_PATH];
        DWORD n = GetShortPathNameA(path, shortPath, sizeof shortPath);
        if (n == 0 || n >= sizeof shortPath)
            return false;
        return WritePrivateProfileStringA("rename", "NUL", shortPath, "WININIT.INI") != 0;
    }
    using MoveFileExFn = BOOL(WINAPI*)(const char*, const char*, DWORD);
    auto moveFileEx = reinterpret_cast<MoveFileExFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "MoveFileExA")));
    return moveFileEx && moveFileEx(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

void MakeQuarantinePath(const char* imagePath, QuarantineBuffer& out)
{
    int cut = 0;
    for (int i = 0; imagePath[i]; ++i)
        if (imagePath[i] == '\\')
            cut = i + 1;
    lstrcpynA(out.data(), imagePath, cut + 1);
    lstrcatA(out.data(), QuarantineName);
}

// Appends to a text buffer, never past its end.
template <size_t N> void Append(std::array<char, N>& text, const char* more)
{
    int used = lstrlenA(text.data());
    lstrcpynA(text.data() + used, more, static_cast<int>(N) - used);
}

struct Outcome {
    ProcessOutcome process = ProcessOutcome::Ended;
    bool valueDeleted = true;
    bool copied = false;
    bool deleted = false;
    bool deleteScheduled = false;
};

void ShowReport(const char* imagePath, const char* quarantinePath, const Outcome& o)
{
    bool complete = o.process != ProcessOutcome::StillRunning && o.valueDeleted && o.copied &&
                    o.deleted;
    std::array<char, 2048> text = {};
    Append(text, "Grimlatch was found installed and running on this computer.  ");
    if (o.process != ProcessOutcome::StillRunning && o.valueDeleted)
        Append(text, "It has been disabled.  ");
    Append(text, "The original filename was:\n\n");
    Append(text, imagePath);
    if (o.copied) {
        Append(text, "\n\nThe Grimlatch file has been made visible and can now be found at:\n\n");
        Append(text, quarantinePath);
    }
    if (!complete) {
        Append(text, "\n\nNot everything could be done:");
        if (o.process == ProcessOutcome::StillRunning)
            Append(text, "\nThe process could not be ended.");
        if (!o.valueDeleted)
            Append(text, "\nThe autostart value could not be deleted.");
        if (!o.copied)
            Append(text, "\nThe file could not be copied and was left in place.");
        else if (!o.deleted)
            Append(text, o.deleteScheduled
                             ? "\nThe file could not be deleted; it will be deleted when the "
                               "computer restarts."
                             : "\nThe file could not be deleted.");
    }
    ShowNotice(NoticeOwner, text.data(), NoticeCaption, MB_OK);
}

void Eliminate(const ProcessEntry& entry, HKEY key, const char* valueName)
{
    Outcome o;
    o.process = EndServerProcess(entry);
    if (key)
        o.valueDeleted = RegDeleteValueA(key, valueName) == ERROR_SUCCESS;

    PathBuffer imagePath = entry.path;
    CharUpperA(imagePath.data());
    QuarantineBuffer quarantinePath;
    MakeQuarantinePath(imagePath.data(), quarantinePath);

    o.copied = CopyFileA(imagePath.data(), quarantinePath.data(), FALSE) != 0;
    Sleep(50);
    // Without its copy the file stays: the user may have confirmed the wrong
    // file, and the copy is the only way back.
    if (o.copied) {
        o.deleted = DeleteFileA(imagePath.data()) != 0;
        if (!o.deleted)
            o.deleteScheduled = DeleteAtRestart(imagePath.data());
    }
    Sleep(10);
    DeleteFileA(DropperDllPath.data());

    ShowReport(imagePath.data(), quarantinePath.data(), o);
    if (key)
        RegCloseKey(key);
    FoundThisCycle = 1;
}

} // namespace

void EliminateServer(const ProcessEntry& entry, HKEY key, const char* valueName)
{
    Eliminate(entry, key, valueName);
}

void EliminateServer(const ProcessEntry& entry)
{
    Eliminate(entry, nullptr, nullptr);
}
