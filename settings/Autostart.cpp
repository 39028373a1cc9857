#include <array>
#include "win/Win.h"
#include "settings/Settings.h"

namespace {

constexpr char AutostartValue[] = "Zorvane";
// The path, and the two quotes that a path with a blank is given.
using EntryBuffer = std::array<char, PathBufferSize + 2>;

// Unquoted, "C:\Program Files\Zorvane\Zorvane.exe" would let a planted
// C:\Program.exe start at logon in the program's place. A path without a
// blank is written bare, as it always was.
void MakeEntry(const char* path, EntryBuffer& entry)
{
    wsprintfA(entry.data(), Holds(path, ' ') ? "\"%s\"" : "%s", path);
}

// An absent key or value is no error: there is nothing to remove.
void RemoveEntry(HKEY root)
{
    RegKey run;
    if (RegOpenKeyExA(root, RunKey, 0, KEY_SET_VALUE, run.Receive()) == ERROR_SUCCESS)
        RegDeleteValueA(run.Get(), AutostartValue);
}

} // namespace

// Every start writes the entry again, so it always names the copy that started
// last. A user who may not change the machine's Run key, as every user who
// is not elevated from Vista on, is started from their own Run key instead;
// where the machine's entry is written, a per-user one of ours would start
// the program a second time, and goes. Off is the uninstall: both entries go,
// and so do both settings keys; "Software\Quillane" above each stays. A user
// who may not change the machine cannot remove what an administrator's run
// left there, nor an entry in a Run key of their own that was locked, and
// the result says which stays.
unsigned SetAutostart(int on)
{
    if (!on) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            RemoveEntry(root);
            RegDeleteKeyA(root, SettingsKey);
        }
        // Every user may read these keys: what can still be read there
        // stays, whatever was refused, and what was never there is gone.
        unsigned stays = 0;
        if (QueryRegistryValue(HKEY_LOCAL_MACHINE, RunKey, AutostartValue))
            stays |= MachineEntryStays;
        if (QueryRegistryValue(HKEY_CURRENT_USER, RunKey, AutostartValue))
            stays |= UserEntryStays;
        if (QueryRegistryValue(HKEY_LOCAL_MACHINE, SettingsKey, EnhancedValueName))
            stays |= SettingStays;
        return stays;
    }
    // A path cut short would make Windows start some other file, or none.
    PathBuffer path;
    if (!ProgramPath(path))
        return 0;
    EntryBuffer entry;
    MakeEntry(path.data(), entry);
    if (SetRegistryText(HKEY_LOCAL_MACHINE, RunKey, AutostartValue, entry.data()))
        RemoveEntry(HKEY_CURRENT_USER);
    else
        SetRegistryText(HKEY_CURRENT_USER, RunKey, AutostartValue, entry.data());
    return 0;
}
