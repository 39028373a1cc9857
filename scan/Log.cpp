#include "app/App.h"
#include "win/Win.h"
#include "scan/Scan.h"

namespace {

constexpr char LogName[] = "\\Zorvane.log";

DWORD const LogLimit = 256 * 1024;
// No log of ours grows this large, so such a file is someone else's.
DWORD const ForeignSize = 16 * 1024 * 1024;

// Room for the longest line: the time, the event, an image path, its copy's
// path and every failed step of a removal, each well under 128 characters.
using LineBuffer = std::array<char, 2048>;
static_assert(sizeof(LineBuffer) > 64 + PathBufferSize + sizeof(QuarantineBuffer) + 6 * 128);

// The whole line goes in one write at the end, so no earlier line is ever
// touched. A full log is renamed whole rather than cut, for the same reason.
void AppendLine(const char* line)
{
    PathBuffer path;
    if (!PathBesideProgram(LogName, path))
        return;
    // A read-only log is left alone, also where the system would let it be
    // written (Wine run as root), and before it could be renamed.
    DWORD attributes = GetFileAttributesA(path.data());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return;
    DWORD length = static_cast<DWORD>(lstrlenA(line));
    DWORD size = 0;
    if (QueryFileStatus(path.data(), &size) && size > LogLimit - length) {
        if (size > ForeignSize)
            return;
        PathBuffer old = path; // Zorvane.old
        lstrcpyA(old.data() + lstrlenA(old.data()) - 3, "old");
        DeleteFileA(old.data());
        if (!MoveFileA(path.data(), old.data()))
            return;
    }
    KernelHandle log(CreateFileA(path.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (log.Valid() && SetFilePointer(log.Get(), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER)
        WriteFile(log.Get(), line, length, &written, nullptr);
}

// A box that was never shown was no question to the user.
void LogAnswer(const char* event, const char* path, int answer)
{
    const char* fields[] = {event, path,
                            answer == IDYES      ? "Yes"
                            : answer == IDNO     ? "No"
                            : answer == IDCANCEL ? "Cancel"
                                                 : nullptr};
    if (fields[2])
        LogEvent(fields);
}

} // namespace

// A path cut short could name some other file, so such a path is refused.
bool PathBesideProgram(const char* fileName, PathBuffer& path)
{
    DWORD length = GetModuleFileNameA(AppInstance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return false;
    size_t folderLength = static_cast<size_t>(BaseName(path.data()) - path.data());
    if (folderLength == 0 || folderLength - 1 + static_cast<size_t>(lstrlenA(fileName)) >= path.size())
        return false;
    lstrcpyA(path.data() + folderLength - 1, fileName);
    return true;
}

void LogEvent(std::span<const char* const> fields)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    LineBuffer line;
    wsprintfA(line.data(), "%d-%02d-%02d %02d:%02d:%02d", now.wYear, now.wMonth, now.wDay,
              now.wHour, now.wMinute, now.wSecond);
    for (const char* field : fields) {
        lstrcatA(line.data(), " | ");
        lstrcatA(line.data(), field);
    }
    lstrcatA(line.data(), "\r\n");
    AppendLine(line.data());
}

void LogQuestion(const char* imagePath, int answer)
{
    LogAnswer("Question", imagePath, answer);
}

void LogRestartOffer(int answer)
{
    LogAnswer("Restart offer", DropperDllPath.data(), answer);
}
