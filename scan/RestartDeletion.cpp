#include "win/Win.h"
#include "scan/Removal.h"

char WininitLeftAt[MAX_PATH];

namespace {

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
    // The system reads the list at the next start as it stands, without the
    // redirection of a 32-bit program's file calls: a file of its system
    // folder is recorded where it really lies, in SysWOW64, and one reached
    // through Sysnative in the real system folder. Recorded as the program
    // names it, the real system folder's namesake would go instead.
    Wow64Folders folders;
    PathBuffer real;
    if (QueryWow64Folders(folders) &&
        (SwapFolder(path, folders.system.data(), folders.redirected.data(), real) ||
         SwapFolder(path, folders.native.data(), folders.system.data(), real)))
        path = real.data();
    using MoveFileExFn = BOOL(WINAPI*)(const char*, const char*, DWORD);
    auto moveFileEx = Lookup<MoveFileExFn>(SystemModule::Kernel, "MoveFileExA");
    return moveFileEx && moveFileEx(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
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
    return WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) &&
           written == count;
}

} // namespace

// The line comes without its CRLF. The old text is copied around it, so that
// a line that another program wrote without one keeps its own bytes.
size_t AddToRenameSection(std::span<const char> text, const char* line, std::span<char> out)
{
    size_t at = 0;
    bool hasSection = FindRenameSectionEnd(text, at);
    // The most that goes in: a CRLF, the header, the line and its CRLF, and
    // the terminator that is written after them.
    size_t lineLength = static_cast<size_t>(lstrlenA(line));
    if (lineLength > MAX_PATH + 4 || text.size() + lineLength + 15 > out.size())
        return 0;
    CopyMemory(out.data(), text.data(), at);
    char* added = out.data() + at;
    auto length = static_cast<size_t>(
        wsprintfA(added, "%s%s%s\r\n", at > 0 && text[at - 1] != '\n' ? "\r\n" : "",
                  hasSection ? "" : "[rename]\r\n", line));
    CopyMemory(added + length, text.data() + at, text.size() - at);
    return text.size() + length;
}

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
    // The old text, and after it room for the new one.
    size_t room = size + WininitLineRoom;
    HeapBlock texts(size + room);
    DWORD got = 0;
    if (!texts.Get() || (size > 0 && (!ReadFile(file.Get(), texts.Get(), size, &got, nullptr) ||
                                       got != size)))
        return false;
    std::array<char, MAX_PATH + 8> line;
    wsprintfA(line.data(), "NUL=%s", shortPath);
    std::span<char> text(texts.Get() + size, room);
    size_t newLength = AddToRenameSection({texts.Get(), size}, line.data(), text);
    if (newLength == 0)
        return false;

    char newPath[MAX_PATH], oldPath[MAX_PATH];
    UINT taken = GetTempFileNameA(folder.data(), "zrv", 0, newPath);
    if (!taken)
        return false;
    KernelHandle replacement(CreateFileA(newPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    bool written = replacement.Valid() && WriteAll(replacement.Get(), text.data(), newLength) &&
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
    NoteHandedOver(path);
    return true;
}
