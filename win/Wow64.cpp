#include "win/Win.h"

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using GetSystemWow64DirectoryFn = UINT(WINAPI*)(LPSTR, UINT);

// The whole folder or nothing; the call gave the size it needs where it had too little.
bool WholeFolder(UINT length, std::span<char, MAX_PATH> folder)
{
    return length > 0 && length < folder.size() - 1;
}

} // namespace

// XP SP2 and 2003 SP1 brought the call; a Windows without it has no 64-bit
// sibling, so nothing there runs under WoW64.
bool RunsUnderWow64(HANDLE process)
{
    auto isWow64 = Lookup<IsWow64ProcessFn>(SystemModule::Kernel, "IsWow64Process");
    BOOL underWow64 = FALSE;
    return isWow64 && isWow64(process, &underWow64) && underWow64;
}

// Sysnative lies beside the system folder, in the Windows folder; its name is
// one letter longer than "system32", so one more byte is kept free for it.
bool QueryWow64Folders(Wow64Folders& folders)
{
    auto wow64Directory =
        Lookup<GetSystemWow64DirectoryFn>(SystemModule::Kernel, "GetSystemWow64DirectoryA");
    if (!wow64Directory || !RunsUnderWow64(ThisProcess()) ||
        !WholeFolder(GetSystemDirectoryA(folders.system.data(), MAX_PATH - 1), folders.system) ||
        !WholeFolder(wow64Directory(folders.redirected.data(), MAX_PATH), folders.redirected))
        return false;
    folders.native = folders.system;
    lstrcpyA(folders.native.data() + (BaseName(folders.system.data()) - folders.system.data()),
             "Sysnative");
    return true;
}

bool SwapFolder(const char* path, const char* from, const char* to, PathBuffer& out)
{
    int length = lstrlenA(from);
    int toLength = lstrlenA(to);
    if (lstrlenA(path) <= length || path[length] != '\\' ||
        toLength + lstrlenA(path + length) >= static_cast<int>(PathBufferSize))
        return false;
    lstrcpynA(out.data(), path, length + 1);
    if (!SamePath(out.data(), from))
        return false;
    lstrcpyA(out.data(), to);
    lstrcpyA(out.data() + toLength, path + length);
    return true;
}

// Sysnative is there for 32-bit programs only: Explorer, and every other
// program that the user may paste the path into, has no such folder.
void NameAsTheUserSees(const char* path, PathBuffer& out)
{
    Wow64Folders folders;
    if (!QueryWow64Folders(folders) ||
        !SwapFolder(path, folders.native.data(), folders.system.data(), out))
        lstrcpynA(out.data(), path, PathBufferSize);
}
