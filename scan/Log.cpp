#include "win/Win.h"
#include "scan/Scan.h"

namespace {

constexpr char LogName[] = "\\Zorvane.log";
// Under the user's local application data, as Windows programs keep theirs.
constexpr char UserLogFolder[] = "\\Quillane\\Zorvane";
static_assert(MAX_PATH + sizeof UserLogFolder + sizeof LogName <= PathBufferSize);

using SHGetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPSTR);
// CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, which the headers give only to
// programs for Windows 2000 and later.
int const LocalAppData = 0x001C | 0x8000;

DWORD const LogLimit = 256 * 1024;
// No log of ours grows this large, so such a file is someone else's.
DWORD const ForeignSize = 16 * 1024 * 1024;

// Room for the longest line: the time, the event, an image path, its copy's
// path, an autostart value's key, and its name and data, each character of
// which may take six, and every failed step of a removal, each well under 128
// characters.
// It lives on the heap: a frame of a page or more would need the stack probe,
// which the programs that ship do without.
size_t const LineSize = 8192;
static_assert(LineSize > 64 + PathBufferSize + sizeof(QuarantineBuffer) + 160 +
                             2 * 6 * PathBufferSize + 6 * 128);

// Whether the file at `path` is not Zorvane's to change: a folder, a file over
// 16 MiB, or a read-only file, which is left alone also where the system
// would let it be written (Wine run as root).
bool IsForeign(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    DWORD size = 0;
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ((attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ||
            (QueryFileStatus(path, &size) && size > ForeignSize));
}

// Drops the older half of the log, whole lines only, where it cannot become
// Zorvane.old. The newer half is written over the older, within the file's
// own length, so that a full disk cannot stop the write part-way.
bool KeepNewestHalf(const char* path)
{
    KernelHandle log(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    DWORD size = log.Valid() ? GetFileSize(log.Get(), nullptr) : INVALID_FILE_SIZE;
    if (size == 0 || size > ForeignSize)
        return false;
    HeapBlock text(size);
    DWORD got = 0, written = 0;
    if (!text.Get() || !ReadFile(log.Get(), text.Get(), size, &got, nullptr) || got != size)
        return false;
    DWORD cut = size / 2;
    while (cut > 0 && cut < size && text.Get()[cut - 1] != '\n')
        ++cut;
    DWORD kept = size - cut;
    return SetFilePointer(log.Get(), 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(log.Get(), text.Get() + cut, kept, &written, nullptr) && written == kept &&
           SetEndOfFile(log.Get());
}

// Where the log goes: beside the program while its folder takes the log.
// A user who may not write there (a limited user of XP, or from Vista on
// any user not elevated, with the program in Program Files; or a folder on
// read-only media) keeps the log in a folder of their own instead, so that
// a removal is never recorded nowhere. Windows 95/98 keep no rights on
// folders: the log stays beside the program there. A log beside the
// program that is not Zorvane's, or that another program holds, keeps the
// log there, to lose its line as before.
bool ChooseLogPath(PathBuffer& path)
{
    if (!PathBesideProgram(LogName, path))
        return false;
    if (RunningOnWindows9x() || IsForeign(path.data()))
        return true;
    KernelHandle probe(CreateFileA(path.data(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD refused = probe.Valid() ? ERROR_SUCCESS : GetLastError();
    if (refused != ERROR_ACCESS_DENIED && refused != ERROR_WRITE_PROTECT)
        return true;
    auto folderPath = Lookup<SHGetFolderPathFn>(SystemModule::Shell, "SHGetFolderPathA");
    if (!folderPath || folderPath(nullptr, LocalAppData, nullptr, 0, path.data()) != S_OK)
        return false;
    // Each level is made in turn: CreateDirectoryA makes one only.
    char* end = path.data() + lstrlenA(path.data());
    lstrcpyA(end, UserLogFolder);
    end[9] = '\0'; // Quillane
    CreateDirectoryA(path.data(), nullptr);
    end[9] = '\\';
    CreateDirectoryA(path.data(), nullptr);
    lstrcatA(end, LogName);
    return true;
}

// The whole line goes in one write at the end, so no earlier line is ever
// touched. A full log is renamed whole rather than cut, for the same reason,
// wherever Zorvane.old may take it.
void AppendLine(const char* line)
{
    PathBuffer path;
    if (!ChooseLogPath(path) || IsForeign(path.data()))
        return;
    DWORD length = static_cast<DWORD>(lstrlenA(line));
    DWORD size = 0;
    if (QueryFileStatus(path.data(), &size) && size > LogLimit - length) {
        PathBuffer old = path; // Zorvane.old
        lstrcpyA(old.data() + lstrlenA(old.data()) - 3, "old");
        // The old archive goes only once the log has moved out of the way
        // under a name of its own: a log that another program holds cannot
        // move, and the archive then stays as it is. So does it where that
        // name is taken by what cannot be deleted.
        PathBuffer aside = old; // Zorvane.ol~
        aside[lstrlenA(aside.data()) - 1] = '~';
        bool renamed = false;
        if (!IsForeign(old.data())) {
            DeleteFileA(aside.data());
            if (MoveFileA(path.data(), aside.data())) {
                DeleteFileA(old.data());
                renamed = MoveFileA(aside.data(), old.data()) != 0;
                if (!renamed)
                    MoveFileA(aside.data(), path.data());
            }
        }
        if (!renamed && !KeepNewestHalf(path.data()))
            return;
    }
    KernelHandle log(CreateFileA(path.data(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD end = log.Valid() ? SetFilePointer(log.Get(), 0, nullptr, FILE_END)
                            : INVALID_SET_FILE_POINTER;
    if (end == INVALID_SET_FILE_POINTER)
        return;
    // A write cut short, on a full disk, would leave half a line for the next
    // one to run on from; the log is cut back to where the line began.
    DWORD written = 0;
    if (!WriteFile(log.Get(), line, length, &written, nullptr) || written != length) {
        SetFilePointer(log.Get(), static_cast<LONG>(end), nullptr, FILE_BEGIN);
        SetEndOfFile(log.Get());
    }
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

// A field never holds the separator: a '|' in it is written twice, and a
// byte below 0x20, such as a line break in an autostart value's data, as a
// '|' and its two hexadecimal digits. Paths and the report's words hold
// neither, and read as they are. A lead byte takes the next byte along, as
// the second of its character, only when that is one: in the double-byte
// code pages of Windows (932, 936, 949, 950) every second byte is 0x40 or
// above. Data of any type may hold a lead byte before a line break.
char* AppendField(char* end, const char* p, size_t length)
{
    for (const char* stop = p + length; p < stop; ++p) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte == '|' || byte < 0x20) {
            end += wsprintfA(end, byte == '|' ? "||" : "|%02X", byte);
        } else {
            *end++ = *p;
            if (p + 1 < stop && NextChar(p) == p + 2 && static_cast<unsigned char>(p[1]) >= 0x40)
                *end++ = *++p;
        }
    }
    return end;
}

// A value's name or text as the NT family stores it is written character by
// character: each that the code page spells as above, each other one as "|u"
// and its UTF-16 code in four hexadecimal digits, so that the value can be
// put back exactly. A '|' is never followed by a 'u' otherwise.
char* AppendWideField(char* end, const wchar_t* field, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        std::array<char, 3> one = {};
        wchar_t const character[] = {field[i], 0};
        // A zero, which ends no such text, is written as a zero byte is.
        if (!field[i] || ExactAnsi(character, one))
            end = AppendField(end, one.data(),
                              field[i] ? static_cast<size_t>(lstrlenA(one.data())) : 1);
        else
            end += wsprintfA(end, "|u%04X", field[i]);
    }
    return end;
}

} // namespace

void LogEvent(std::span<const char* const> fields, const char* whole, DWORD wholeLength,
              const wchar_t* const* wide)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    HeapBlock line(LineSize);
    if (!line.Get())
        return;
    char* end = line.Get();
    end += wsprintfA(end, "%d-%02d-%02d %02d:%02d:%02d", now.wYear, now.wMonth, now.wDay,
                     now.wHour, now.wMinute, now.wSecond);
    for (size_t i = 0; i < fields.size(); ++i) {
        end += wsprintfA(end, " | ");
        const wchar_t* unicode = wide ? wide[i] : nullptr;
        size_t length = fields[i] == whole ? wholeLength
                        : unicode          ? WideLength(unicode)
                                           : static_cast<size_t>(lstrlenA(fields[i]));
        end = unicode ? AppendWideField(end, unicode, length) : AppendField(end, fields[i], length);
    }
    lstrcpyA(end, "\r\n");
    AppendLine(line.Get());
}

void LogQuestion(const char* imagePath, int answer)
{
    LogAnswer("Question", imagePath, answer);
}

void LogRestartOffer(int answer)
{
    LogAnswer("Restart offer", DropperDllPath.data(), answer);
}
