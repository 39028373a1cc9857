#include "win/Win.h"
#include "scan/Removal.h"

namespace {

constexpr char QuarantineBaseName[] = "GrimlatchRemoved";

// Room for a quarantine file name: the base name, a number and ".exe".
using QuarantineNameBuffer = std::array<char, sizeof QuarantineBaseName + 16>;
static_assert(PathBufferSize + sizeof(QuarantineNameBuffer) <= sizeof(QuarantineBuffer));

int const MaxQuarantineNumber = 9999;

} // namespace

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

// The intruder marks its file read-only, hidden and system. The copy takes
// those marks along; it is meant to be seen, so it gets none.
bool MakeVisible(const char* quarantinePath)
{
    return SetFileAttributesA(quarantinePath, FILE_ATTRIBUTE_NORMAL) != 0;
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
