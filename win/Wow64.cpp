#include "win/Win.h"

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using GetSystemWow64DirectoryFn = UINT(WINAPI*)(LPSTR, UINT);

// The whole folder or nothing.
bool WholeFolder(UINT length, std::span<char, MAX_PATH> folder)
{
    return length > 0 && length < folder.size();
}

} // namespace

// Both calls came with XP's 64-bit edition; Windows 95 to 2000 lack them and
// have no 64-bit sibling, so there nothing is redirected.
bool QuerySystemFolderRedirection(std::span<char, MAX_PATH> system, std::span<char, MAX_PATH> redirected)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto isWow64 = Lookup<IsWow64ProcessFn>(kernel, "IsWow64Process");
    auto wow64Directory = Lookup<GetSystemWow64DirectoryFn>(kernel, "GetSystemWow64DirectoryA");
    BOOL underWow64 = FALSE;
    if (!isWow64 || !wow64Directory || !isWow64(GetCurrentProcess(), &underWow64) || !underWow64)
        return false;
    return WholeFolder(GetSystemDirectoryA(system.data(), MAX_PATH), system) &&
           WholeFolder(wow64Directory(redirected.data(), MAX_PATH), redirected);
}
