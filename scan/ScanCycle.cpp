#include "win/Win.h"
#include "scan/Scan.h"
#include "win/Notice.h"
#include "settings/Settings.h"

RestartFunction RestartComputer = RestartWindows;

// Scanned in this order in each pass. The Run key is the one that the
// program's own entry is written to, one text for both.
const std::array<AutostartKey, 6> AutostartKeys = {{
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices"},
    {HKEY_LOCAL_MACHINE, RunKey},
    {HKEY_CURRENT_USER, RunKey},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce"},
    {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"},
    {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"},
}};

namespace {

constexpr char DropperDllName[] = "\\windll.dll";

constexpr char RebootOffer[] =
    "Grimlatch is running on your computer, but has not actually installed itself.  The "
    "easiest way to get rid of it is to reboot your computer.\n\nCan we reboot your computer "
    "now?";

UINT const RestartFlags = EWX_SHUTDOWN | EWX_REBOOT;

// The path is built whole or not at all. Left empty, it names no file, so a
// cycle that cannot build it never mistakes an older path for the DLL.
bool BuildDropperDllPath()
{
    DropperDllPath[0] = '\0';
    PathBuffer directory;
    UINT length = GetSystemDirectoryA(directory.data(), PathBufferSize);
    if (length == 0 || length + sizeof DropperDllName > PathBufferSize)
        return false;
    lstrcpyA(DropperDllPath.data(), directory.data());
    lstrcatA(DropperDllPath.data(), DropperDllName);
    return true;
}

// The first pass only removes servers that identify themselves; the second
// may ask. The DLL is tested again before every key, because an elimination
// deletes it, and with it the reason to go on scanning the keys. Once it is
// found inactive, the remaining keys are skipped without testing it again:
// nothing in the cycle can bring it back, and asking for a missing name costs
// a walk through the whole system directory on FAT and under Wine. A close
// that came while a notice was open ends the cycle at its next step.
// On 64-bit Windows the machine's keys have a 64-bit view beside the 32-bit
// one that this program sees, and Windows starts what either names: each is
// read, the program's own first. The user's keys have one view only.
bool ScanAutostartKeys(ProcessList& snapshot)
{
    bool found = false;
    bool twoViews = RunsUnderWow64(ThisProcess());
    for (ScanPass pass : {ScanPass::Silent, ScanPass::Asking}) {
        for (const AutostartKey& key : AutostartKeys) {
            for (REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_64KEY)}) {
                if (view && (!twoViews || key.root != HKEY_LOCAL_MACHINE))
                    continue;
                if (Closing || !IsDropperDllActive())
                    return found;
                found |= ScanAutostartKey(key.root, key.path, snapshot, pass, view);
            }
        }
    }
    return found;
}

// The dropper's presence without a running server means it has not finished
// installing; a restart ends whatever it started. A program that has loaded
// the DLL keeps it from being deleted now, so the restart is to delete it.
void RemoveDropperAndOfferRestart()
{
    DeleteDropperDll();
    int answer = ShowNotice(NoticeOwner, RebootOffer, NoticeCaption, MB_YESNOCANCEL);
    LogRestartOffer(answer);
    if (answer == IDYES)
        RestartComputer(RestartFlags, 0);
}

} // namespace

bool RunScanCycle()
{
    if (!BuildDropperDllPath())
        return false;
    // The setting is looked at first: with enhanced scanning on, the DLL's
    // test decides nothing here, and on a clean machine it is a missing file.
    if (EnhancedScanning == 0 && !IsDropperDllActive())
        return false;
    bool found = false;
    ProcessList snapshot;
    if (snapshot.Take()) {
        found = ScanAutostartKeys(snapshot);
        if (!Closing && (EnhancedScanning != 0 || IsDropperDllActive()))
            found |= SweepProcesses(snapshot);
        snapshot.Release();
    }
    if (!Closing && IsDropperDllActive())
        RemoveDropperAndOfferRestart();
    return found;
}

// The security calls are looked up at run time: Windows 95 lacks them and
// Windows 98 has them as stubs that fail, and neither needs the privilege.
bool EnableShutdownPrivilege()
{
    using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE*);
    using LookupPrivilegeValueFn = BOOL(WINAPI*)(const char*, const char*, LUID*);
    using AdjustTokenPrivilegesFn =
        BOOL(WINAPI*)(HANDLE, BOOL, TOKEN_PRIVILEGES*, DWORD, TOKEN_PRIVILEGES*, DWORD*);
    SystemModule advapi = SystemModule::Advapi;
    auto openToken = Lookup<OpenProcessTokenFn>(advapi, "OpenProcessToken");
    auto lookupPrivilege = Lookup<LookupPrivilegeValueFn>(advapi, "LookupPrivilegeValueA");
    auto adjustPrivileges = Lookup<AdjustTokenPrivilegesFn>(advapi, "AdjustTokenPrivileges");
    if (!openToken || !lookupPrivilege || !adjustPrivileges)
        return false;

    HANDLE token = nullptr;
    if (!openToken(ThisProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    KernelHandle tokenOwner(token);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!lookupPrivilege(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid))
        return false;
    // The call succeeds even when the token lacks the privilege; only the
    // last error tells whether it was granted.
    SetLastError(ERROR_SUCCESS);
    if (!adjustPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr))
        return false;
    return GetLastError() == ERROR_SUCCESS;
}

// Without the privilege the NT family refuses the restart; the request is
// made all the same, since Windows 95/98 need none.
void RestartWindows(UINT flags, DWORD reason)
{
    EnableShutdownPrivilege();
    ExitWindowsEx(flags, reason);
}
