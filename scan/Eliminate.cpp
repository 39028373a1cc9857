#include "app/App.h"
#include "win/Win.h"
#include "scan/Scan.h"

namespace {

constexpr char QuarantineBaseName[] = "GrimlatchRemoved";

// Room for a quarantine file name: the base name, a number and ".exe".
using QuarantineNameBuffer = std::array<char, sizeof QuarantineBaseName + 16>;
// Room for an image path with its base name replaced by a quarantine name.
using QuarantineBuffer = std::array<char, PathBufferSize + sizeof(QuarantineNameBuffer)>;

DWORD const TerminationWait = 2000;

// What became of the server's process.
enum class ProcessOutcome { Ended, Gone, StillRunning };

// Whom a process id belongs to now. The cycle's snapshot may be stale and the
// id handed on to another program.
enum class Holder { Server, Other, Unknown };

Holder HolderOf(DWORD processId, const char* imagePath)
{
    PathBuffer current;
    switch (CurrentImagePath(processId, current)) {
    case ImageLookup::Found:
        return lstrcmpiA(current.data(), imagePath) == 0 ? Holder::Server : Holder::Other;
    case ImageLookup::NotRunning:
        return Holder::Other;
    case ImageLookup::Unknown:
        break;
    }
    return Holder::Unknown;
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

// A process that cannot be checked may well be the server, so it counts as
// still running; and as it may as well be another program, it is not ended.
ProcessOutcome EndServerProcess(const ProcessEntry& entry)
{
    KernelHandle process(OpenServerProcess(entry.id));
    Holder holder = HolderOf(entry.id, entry.path.data());
    if (holder == Holder::Other)
        return ProcessOutcome::Gone;
    if (holder == Holder::Unknown || !process.Valid())
        return ProcessOutcome::StillRunning;
    if (!TerminateProcess(process.Get(), 0))
        return ProcessOutcome::StillRunning;
    if (WaitForSingleObject(process.Get(), TerminationWait) != WAIT_OBJECT_0)
        return ProcessOutcome::StillRunning;
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
        PathBuffer iniPath;
        UINT length = GetWindowsDirectoryA(iniPath.data(), iniPath.size());
        if (length == 0 || length + sizeof "\\WININIT.INI" > iniPath.size())
            return false;
        lstrcatA(iniPath.data(), "\\WININIT.INI");
        return AppendWininitDeletion(iniPath.data(), shortPath);
    }
    using MoveFileExFn = BOOL(WINAPI*)(const char*, const char*, DWORD);
    auto moveFileEx = reinterpret_cast<MoveFileExFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "MoveFileExA")));
    return moveFileEx && moveFileEx(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

int const MaxQuarantineNumber = 9999;

// The first copy is "GrimlatchRemoved.exe", later ones in the same folder
// "GrimlatchRemoved (2).exe", "GrimlatchRemoved (3).exe" and so on.
void MakeQuarantinePath(const char* imagePath, int number, QuarantineBuffer& out)
{
    int cut = 0;
    for (int i = 0; imagePath[i]; ++i)
        if (imagePath[i] == '\\')
            cut = i + 1;
    lstrcpynA(out.data(), imagePath, cut + 1);
    QuarantineNameBuffer name;
    wsprintfA(name.data(), number == 1 ? "%s.exe" : "%s (%d).exe", QuarantineBaseName, number);
    lstrcatA(out.data(), name.data());
}

// An earlier copy is never replaced: it may be the only copy of a file that
// the user confirmed by mistake. A name that is taken, by a file or a folder,
// moves the copy on to the next number.
bool CopyToQuarantine(const char* imagePath, QuarantineBuffer& quarantinePath)
{
    for (int number = 1; number <= MaxQuarantineNumber; ++number) {
        MakeQuarantinePath(imagePath, number, quarantinePath);
        if (CopyFileA(imagePath, quarantinePath.data(), TRUE))
            return true;
        if (GetFileAttributesA(quarantinePath.data()) == INVALID_FILE_ATTRIBUTES)
            return false; // the name was free, so the copy itself failed
    }
    return false;
}

// The intruder marks its file read-only, hidden and system. The copy takes
// those marks along; it is meant to be seen, so it gets none.
bool MakeVisible(const char* quarantinePath)
{
    return SetFileAttributesA(quarantinePath, FILE_ATTRIBUTE_NORMAL) != 0;
}

// A read-only file cannot be deleted, so the mark goes first.
bool DeleteServerFile(const char* imagePath)
{
    DWORD attributes = GetFileAttributesA(imagePath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(imagePath, attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileA(imagePath) != 0;
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
    bool visible = false;
    bool deleted = false;
    bool deleteScheduled = false;
};

void ShowReport(const char* imagePath, const char* quarantinePath, const Outcome& o)
{
    bool complete = o.process != ProcessOutcome::StillRunning && o.valueDeleted && o.copied &&
                    o.visible && o.deleted;
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
        if (o.copied && !o.visible)
            Append(text, "\nThe copy could not be made visible.");
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

// A WININIT.INI larger than this is not the platform's own, and is left alone.
DWORD const MaxWininitSize = 1024 * 1024;

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Where a line's text starts, past its leading blanks.
size_t TextStart(std::span<const char> line)
{
    size_t at = 0;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
        ++at;
    return at;
}

bool OpensSection(std::span<const char> line)
{
    size_t at = TextStart(line);
    return at < line.size() && line[at] == '[';
}

// Whether the line opens the [rename] section.
bool OpensRenameSection(std::span<const char> line)
{
    constexpr char header[] = "[rename]";
    size_t at = TextStart(line);
    for (size_t i = 0; header[i]; ++i, ++at) {
        if (at >= line.size() || LowerAscii(line[at]) != header[i])
            return false;
    }
    return true;
}

// Where a line belongs at the end of the [rename] section: before the next
// section's header, or at the end of the text. False when there is no such
// section.
bool FindRenameSectionEnd(std::span<const char> text, size_t& end)
{
    bool inside = false;
    for (size_t start = 0; start < text.size();) {
        size_t next = start;
        while (next < text.size() && text[next] != '\n')
            ++next;
        std::span<const char> line = text.subspan(start, next - start);
        if (inside && OpensSection(line)) {
            end = start;
            return true;
        }
        if (OpensRenameSection(line))
            inside = true;
        start = next < text.size() ? next + 1 : next;
    }
    end = text.size();
    return inside;
}

bool WriteAll(HANDLE file, const char* bytes, size_t count)
{
    DWORD written = 0;
    return count == 0 ||
           (WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) &&
            written == count);
}

} // namespace

// WritePrivateProfileStringA would replace an earlier "NUL=" line, and with it
// a deletion that this program or an installer had scheduled. The text before
// the new line stays as it is on disk; only the new line and what follows it
// are written.
bool AppendWininitDeletion(const char* iniPath, const char* shortPath)
{
    KernelHandle file(CreateFileA(iniPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || lstrlenA(shortPath) >= MAX_PATH)
        return false;
    DWORD size = GetFileSize(file.Get(), nullptr);
    if (size == INVALID_FILE_SIZE || size > MaxWininitSize)
        return false;
    HeapBlock old(size + 1);
    DWORD got = 0;
    if (!old.Get() || (size > 0 && (!ReadFile(file.Get(), old.Get(), size, &got, nullptr) ||
                                     got != size)))
        return false;
    std::span<const char> text(old.Get(), size);

    size_t at = 0;
    bool hasSection = FindRenameSectionEnd(text, at);
    std::array<char, MAX_PATH + 32> line = {};
    if (at > 0 && text[at - 1] != '\n')
        lstrcatA(line.data(), "\r\n");
    if (!hasSection)
        lstrcatA(line.data(), "[rename]\r\n");
    lstrcatA(line.data(), "NUL=");
    lstrcatA(line.data(), shortPath);
    lstrcatA(line.data(), "\r\n");

    if (SetFilePointer(file.Get(), static_cast<LONG>(at), nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER)
        return false;
    return WriteAll(file.Get(), line.data(), lstrlenA(line.data())) &&
           WriteAll(file.Get(), text.data() + at, text.size() - at);
}

namespace {

void Eliminate(const ProcessEntry& entry, HKEY key, const char* valueName)
{
    Outcome o;
    o.process = EndServerProcess(entry);
    if (key)
        o.valueDeleted = RegDeleteValueA(key, valueName) == ERROR_SUCCESS;

    PathBuffer imagePath = entry.path;
    CharUpperA(imagePath.data());
    QuarantineBuffer quarantinePath;
    o.copied = CopyToQuarantine(imagePath.data(), quarantinePath);
    Sleep(50);
    // Without its copy the file stays: the user may have confirmed the wrong
    // file, and the copy is the only way back.
    if (o.copied) {
        o.visible = MakeVisible(quarantinePath.data());
        o.deleted = DeleteServerFile(imagePath.data());
        if (!o.deleted)
            o.deleteScheduled = DeleteAtRestart(imagePath.data());
    }
    Sleep(10);
    // Only the genuine dropper DLL goes: a file that merely bears its name is
    // not the intruder's, and the cycle leaves it alone too.
    if (IsDropperDllActive())
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
