#include <array>
#include "app/App.h"
#include "win/Win.h"
#include "settings/Settings.h"

namespace {

constexpr char AutostartValue[] = "Zorvane";
using ModulePathBuffer = std::array<char, 300>;
// The path, and the two quotes that a path with a blank is given.
using EntryBuffer = std::array<char, 300 + 2>;

// The full path of the running executable. False when it cannot be had whole:
// a path cut short would make Windows start some other file, or none.
bool ModulePath(ModulePathBuffer& path)
{
    DWORD length = GetModuleFileNameA(AppInstance, path.data(), static_cast<DWORD>(path.size()));
    return length > 0 && length < path.size();
}

// Unquoted, "C:\Program Files\Zorvane\Zorvane.exe" would let a planted
// C:\Program.exe start at logon in the program's place. A path without a
// blank is written bare, as it always was.
void MakeEntry(const char* path, EntryBuffer& entry)
{
    if (!Holds(path, ' ')) {
        lstrcpyA(entry.data(), path);
        return;
    }
    lstrcpyA(entry.data(), "\"");
    lstrcatA(entry.data(), path);
    lstrcatA(entry.data(), "\"");
}

} // namespace

// Every start writes the entry again, so it always names the copy that started
// last. Off is the uninstall: the entry goes, and so does the setting's key;
// "Software\Quillane" above it stays.
void SetAutostart(int on)
{
    ModulePathBuffer path;
    if (on && !ModulePath(path))
        return;
    {
        char noClass[] = "";
        DWORD disposition = 0;
        RegKey run;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunKey, 0, noClass, REG_OPTION_NON_VOLATILE,
                            KEY_WRITE, nullptr, run.Receive(), &disposition) == ERROR_SUCCESS) {
            if (on) {
                EntryBuffer entry;
                MakeEntry(path.data(), entry);
                RegSetValueExA(run.Get(), AutostartValue, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(entry.data()),
                               static_cast<DWORD>(lstrlenA(entry.data()) + 1));
            } else
                RegDeleteValueA(run.Get(), AutostartValue);
        }
    }
    if (!on)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, SettingsKey);
}
