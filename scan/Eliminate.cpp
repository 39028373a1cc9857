#include "win/Win.h"
#include "scan/Scan.h"
#include "win/Notice.h"

namespace {

constexpr char QuarantineBaseName[] = "GrimlatchRemoved";

// Room for a quarantine file name: the base name, a number and ".exe".
using QuarantineNameBuffer = std::array<char, sizeof QuarantineBaseName + 16>;
static_assert(PathBufferSize + sizeof(QuarantineNameBuffer) <= sizeof(QuarantineBuffer));

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

// Where a WININIT.INI that could not be replaced left its new text, for the
// report to name; empty when it did not.
char WininitLeftAt[MAX_PATH];

// A file that is still in use goes at the next restart instead.
bool HandOverDeletion(const char* path)
{
    WininitLeftAt[0] = '\0';
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

bool IsReadable(const char* path)
{
    return KernelHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr))
        .Valid();
}

// A read-only file cannot be deleted, so the mark goes first.
bool DeleteMarkedFile(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileA(path) != 0;
}

// An earlier copy is never replaced: it may be the only copy of a file that
// the user confirmed by mistake. A name that is taken, by a file or a folder,
// moves the copy on to the next number. A copy that fails part-way leaves a
// partial file, which would pass for an earlier copy and move every later
// one on; so whatever this attempt left at a name that was free goes again.
bool CopyToQuarantine(const char* imagePath, QuarantineBuffer& quarantinePath)
{
    for (int number = 1; number <= MaxQuarantineNumber; ++number) {
        if (!MakeQuarantinePath(imagePath, number, quarantinePath))
            return false;
        if (GetFileAttributesA(quarantinePath.data()) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (CopyFileA(imagePath, quarantinePath.data(), TRUE))
            return true;
        if (GetLastError() == ERROR_FILE_EXISTS)
            continue; // taken since it was looked at, by someone else
        DeleteMarkedFile(quarantinePath.data());
        return false;
    }
    return false;
}

// A few paths that this run has noted, each once; when all are taken, the
// oldest is forgotten first. Both memories of a removal keep their paths so.
template <size_t N> struct RecentPaths {
    std::array<PathBuffer, N> paths;
    size_t noted;

    // The slot that holds the path, or N.
    size_t Find(const char* path) const
    {
        size_t count = noted < N ? noted : N;
        for (size_t slot = 0; slot < count; ++slot)
            if (lstrcmpiA(paths[slot].data(), path) == 0)
                return slot;
        return N;
    }
    // The slot that holds the path from now on.
    size_t Note(const char* path)
    {
        size_t slot = Find(path);
        if (slot == N) {
            slot = noted++ % N;
            lstrcpynA(paths[slot].data(), path, PathBufferSize);
        }
        return slot;
    }
};

// The copies that this run made of files that it could not delete, so that a
// server that can be neither ended nor deleted, found again at every scan,
// does not fill its folder with copies: each original's newest copy, in the
// slot of the original.
RecentPaths<8> CopiedOriginals;
std::array<QuarantineBuffer, 8> RunCopies;

// The copy of this original made earlier in the run, still there, still of
// the original's size and with the original's bytes where the server's code
// lies. Only a file that has just passed the test that found it is asked
// about: one that cannot be read cannot be told apart from another.
const char* EarlierCopy(const char* imagePath)
{
    size_t slot = CopiedOriginals.Find(imagePath);
    if (slot == RunCopies.size())
        return nullptr;
    DWORD copySize = 0, originalSize = 0;
    const char* copy = RunCopies[slot].data();
    return QueryFileStatus(copy, &copySize) && QueryFileStatus(imagePath, &originalSize) &&
                   copySize == originalSize && HoldSameServerCode(copy, imagePath)
               ? copy
               : nullptr;
}

void RememberCopy(const char* imagePath, const QuarantineBuffer& copy)
{
    RunCopies[CopiedOriginals.Note(imagePath)] = copy;
}

// The files handed over for deletion at the next restart in this run: each
// once, so that a file found again at every scan is not listed again each time.
RecentPaths<8> HandedOver;

bool WasHandedOver(const char* path)
{
    return HandedOver.Find(path) != HandedOver.paths.size();
}

// The intruder marks its file read-only, hidden and system. The copy takes
// those marks along; it is meant to be seen, so it gets none.
bool MakeVisible(const char* quarantinePath)
{
    return SetFileAttributesA(quarantinePath, FILE_ATTRIBUTE_NORMAL) != 0;
}

// Appends to a text buffer, never past its end.
template <size_t N> void Append(std::array<char, N>& text, const char* more)
{
    int used = lstrlenA(text.data());
    lstrcpynA(text.data() + used, more, static_cast<int>(N) - used);
}

// Room for the step that names where WININIT.INI's new text was left.
using StepBuffer = std::array<char, MAX_PATH + 96>;

struct Outcome {
    ProcessOutcome process = ProcessOutcome::Ended;
    bool valueDeleted = true;
    bool changed = false;
    bool copied = false;
    bool reused = false;
    bool visible = false;
    bool deleted = false;
    bool deleteScheduled = false;
    DllDeletion dll = DllDeletion::Deleted;
    StepBuffer leftAt = {};
};

// The steps that failed, each in the words that the report and the log
// share, into `steps`; their count.
size_t ListFailedSteps(const Outcome& o, const char** steps)
{
    size_t n = 0;
    if (o.process == ProcessOutcome::StillRunning)
        steps[n++] = "The process could not be ended.";
    if (!o.valueDeleted)
        steps[n++] = "The autostart value could not be deleted.";
    if (o.copied && !o.visible)
        steps[n++] = "The copy could not be made visible.";
    if (o.changed)
        steps[n++] = "The file has changed since it was found and was not removed.";
    else if (!o.copied)
        steps[n++] = "The file could not be copied and was left in place.";
    else if (!o.deleted && o.leftAt[0])
        steps[n++] = o.leftAt.data();
    else if (!o.deleted)
        steps[n++] = o.deleteScheduled ? "The file could not be deleted; it will be deleted when "
                                         "the computer restarts."
                                       : "The file could not be deleted.";
    if (o.dll != DllDeletion::Deleted)
        steps[n++] = o.dll == DllDeletion::AtRestart
                         ? "The Grimlatch DLL windll.dll could not be deleted; it will be "
                           "deleted when the computer restarts."
                         : "The Grimlatch DLL windll.dll could not be deleted.";
    return n;
}

void ShowReport(const char* imagePath, const char* quarantinePath, const Outcome& o,
                std::span<const char* const> failed)
{
    std::array<char, 2048> text = {};
    if (o.changed) {
        Append(text, "Grimlatch was found running on this computer, but nothing has been "
                     "removed.  The filename is:\n\n");
    } else {
        Append(text, "Grimlatch was found installed and running on this computer.  ");
        if (o.process != ProcessOutcome::StillRunning && o.valueDeleted)
            Append(text, "It has been disabled.  ");
        Append(text, "The original filename was:\n\n");
    }
    Append(text, imagePath);
    if (o.copied) {
        Append(text, o.reused ? "\n\nThe Grimlatch file was made visible by an earlier removal "
                                "and can still be found at:\n\n"
                              : "\n\nThe Grimlatch file has been made visible and can now be "
                                "found at:\n\n");
        Append(text, quarantinePath);
    }
    // Where nothing was done, the reason stands alone.
    if (!failed.empty())
        Append(text, o.changed ? "\n" : "\n\nNot everything could be done:");
    for (const char* step : failed) {
        Append(text, "\n");
        Append(text, step);
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

// Moves the file to a free "zrv" name in `folder`, trying the numbers after
// `taken`. No empty file is made to hold the name first: one that could not
// be deleted again would stay in the Windows folder for good.
bool MoveAside(const char* path, const char* folder, UINT taken, char (&aside)[MAX_PATH])
{
    for (UINT unique = taken + 1; unique <= taken + 64; ++unique) {
        if (!GetTempFileNameA(folder, "zrv", unique, aside))
            return false;
        if (MoveFileA(path, aside))
            return true;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
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
// a deletion that this program or an installer had scheduled. The file is
// never written over: a write that failed half-way, on a full disk, would
// lose the renames that other programs wait for. The new text is written
// whole into a file beside it, which then takes the old one's place; the
// old one keeps a name of its own until then, and gets its name back when
// the new one cannot take it.
bool AppendWininitDeletion(const char* iniPath, const char* shortPath)
{
    PathBuffer folder;
    int length = lstrlenA(iniPath);
    if (lstrlenA(shortPath) >= MAX_PATH || length >= static_cast<int>(folder.size()))
        return false;
    lstrcpyA(folder.data(), iniPath);
    length = static_cast<int>(BaseName(iniPath) - iniPath);
    folder[length > 0 ? length - 1 : 0] = '\0';

    // Windows 95/98 keep the .INI file used last in a cache: a line that
    // another program has just written with the profile functions may not be
    // on disk yet.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, iniPath);
    bool existed = GetFileAttributesA(iniPath) != INVALID_FILE_ATTRIBUTES;
    KernelHandle file(existed ? CreateFileA(iniPath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr)
                              : nullptr);
    if (existed && !file.Valid())
        return false;
    DWORD size = existed ? GetFileSize(file.Get(), nullptr) : 0;
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

    char newPath[MAX_PATH], oldPath[MAX_PATH];
    UINT taken = GetTempFileNameA(folder.data(), "zrv", 0, newPath);
    if (!taken)
        return false;
    KernelHandle replacement(CreateFileA(newPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    bool written = replacement.Valid() && WriteAll(replacement.Get(), text.data(), at) &&
                   WriteAll(replacement.Get(), line.data(), lstrlenA(line.data())) &&
                   WriteAll(replacement.Get(), text.data() + at, text.size() - at) &&
                   FlushFileBuffers(replacement.Get());
    replacement.Close();
    file.Close();
    if (!written) {
        DeleteFileA(newPath);
        return false;
    }
    if (!existed) {
        if (MoveFileA(newPath, iniPath))
            return true;
        DeleteFileA(newPath);
        return false;
    }
    if (!MoveAside(iniPath, folder.data(), taken, oldPath)) {
        DeleteFileA(newPath);
        return false;
    }
    if (!MoveFileA(newPath, iniPath)) {
        if (MoveFileA(oldPath, iniPath)) {
            DeleteFileA(newPath);
            return false;
        }
        // Neither takes the name back. The new text holds every line of the
        // old, so it is kept: under the name, as a copy; failing that where
        // it lies, which the report names. Nothing reads the old one now.
        bool kept = CopyFileA(newPath, iniPath, FALSE) != 0;
        if (kept)
            DeleteFileA(newPath);
        else
            lstrcpyA(WininitLeftAt, newPath);
        DeleteMarkedFile(oldPath);
        return kept;
    }
    // A read-only WININIT.INI keeps its mark under the name it was moved to.
    DeleteMarkedFile(oldPath);
    return true;
}

bool DeleteAtRestart(const char* path)
{
    if (WasHandedOver(path))
        return true;
    if (!HandOverDeletion(path))
        return false;
    HandedOver.Note(path);
    return true;
}

// A DLL that waits for the restart is logged once, when it is handed over.
// A read-only one loses its mark first, as the server does: the restart's
// deletion may stop at the mark too, and the offer to restart would then
// come back at every scan.
DllDeletion DeleteDropperDll()
{
    const char* dll = DropperDllPath.data();
    bool handedOver = WasHandedOver(dll);
    DllDeletion done = DeleteMarkedFile(dll)  ? DllDeletion::Deleted
                       : DeleteAtRestart(dll) ? DllDeletion::AtRestart
                                              : DllDeletion::Left;
    const char* fields[] = {done == DllDeletion::Deleted ? "DLL deleted" : "DLL deleted at restart",
                            dll};
    if (done == DllDeletion::Deleted || (done == DllDeletion::AtRestart && !handedOver))
        LogEvent(fields);
    return done;
}

// The first copy is "GrimlatchRemoved.exe", later ones in the same folder
// "GrimlatchRemoved (2).exe", "GrimlatchRemoved (3).exe" and so on. A server
// may lie in a folder so deep that its own path fits in MAX_PATH and no copy
// name beside it does; Windows 95/98 and the NT family's ANSI calls take no
// longer path, so the folder is then named by its short form.
bool MakeQuarantinePath(const char* imagePath, int number, QuarantineBuffer& out)
{
    int cut = static_cast<int>(BaseName(imagePath) - imagePath);
    QuarantineNameBuffer name;
    wsprintfA(name.data(), number == 1 ? "%s.exe" : "%s (%d).exe", QuarantineBaseName, number);
    lstrcpynA(out.data(), imagePath, cut + 1);
    lstrcatA(out.data(), name.data());
    if (lstrlenA(out.data()) < MAX_PATH)
        return true;
    PathBuffer folder;
    lstrcpynA(folder.data(), imagePath, cut); // without its last backslash
    char shortFolder[MAX_PATH];
    DWORD n = GetShortPathNameA(folder.data(), shortFolder, sizeof shortFolder);
    if (n == 0 || n + 1 + lstrlenA(name.data()) >= MAX_PATH)
        return false;
    lstrcpyA(out.data(), shortFolder);
    lstrcatA(out.data(), "\\");
    lstrcatA(out.data(), name.data());
    return true;
}

namespace {

void Eliminate(const ProcessEntry& entry, ServerTest identifiedBy, HKEY key,
               const char* valueName)
{
    Outcome o;
    PathBuffer imagePath = entry.path;
    CharUpperA(imagePath.data());
    QuarantineBuffer quarantinePath;
    // The path may hold another file by now: a question may have stayed open
    // for minutes while the program there was updated, or on the NT family a
    // folder was renamed underneath. Such a file is not the one found, and
    // nothing is done for it: its process, its value and the DLL stay, and
    // the next scan looks at it afresh. A file that cannot even be read
    // cannot be told apart, nor copied; the copy then fails and says so.
    bool passes = identifiedBy(entry.path.data());
    o.changed = !passes && IsReadable(imagePath.data());
    if (!o.changed) {
        o.process = EndServerProcess(entry);
        if (key)
            o.valueDeleted = RegDeleteValueA(key, valueName) == ERROR_SUCCESS;
        if (const char* earlier = passes ? EarlierCopy(imagePath.data()) : nullptr) {
            lstrcpyA(quarantinePath.data(), earlier);
            o.copied = o.reused = true;
        } else {
            o.copied = CopyToQuarantine(imagePath.data(), quarantinePath);
        }
        Sleep(50);
        // Without its copy the file stays: the user may have confirmed the
        // wrong file, and the copy is the only way back.
        if (o.copied) {
            o.visible = MakeVisible(quarantinePath.data());
            o.deleted = DeleteMarkedFile(imagePath.data());
            if (!o.deleted) {
                o.deleteScheduled = DeleteAtRestart(imagePath.data());
                if (!o.deleteScheduled && WininitLeftAt[0])
                    wsprintfA(o.leftAt.data(),
                              "The file could not be deleted; WININIT.INI could not be "
                              "replaced, and its new text was left in %s.",
                              WininitLeftAt);
                if (!o.reused)
                    RememberCopy(imagePath.data(), quarantinePath);
            }
        }
        Sleep(10);
        // Only the genuine dropper DLL goes: a file that merely bears its name
        // is not the intruder's, and the cycle leaves it alone too. A program
        // that has loaded it keeps it from being deleted until the restart.
        if (IsDropperDllActive())
            o.dll = DeleteDropperDll();
    }

    // The line is written before the report is shown: the user may leave it
    // open, or the program may be closed under it. Its fields end with the
    // failed steps, which the report lists too. A file left alone has no copy
    // to name.
    const char* line[3 + 5] = {o.changed ? "Not removed" : "Removed", imagePath.data(),
                               o.copied ? quarantinePath.data() : "No copy"};
    size_t fixed = o.changed ? 2 : 3;
    size_t failed = ListFailedSteps(o, line + fixed);
    LogEvent({line, fixed + failed});
    ShowReport(imagePath.data(), quarantinePath.data(), o, {line + fixed, failed});
    if (key)
        RegCloseKey(key);
}

} // namespace

void EliminateServer(const ProcessEntry& entry, ServerTest identifiedBy, HKEY key,
                     const char* valueName)
{
    Eliminate(entry, identifiedBy, key, valueName);
}

void EliminateServer(const ProcessEntry& entry, ServerTest identifiedBy)
{
    Eliminate(entry, identifiedBy, nullptr, nullptr);
}
