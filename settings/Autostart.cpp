#include <array>
#include "app/App.h"
#include "app/Handles.h"
#include "settings/Settings.h"

namespace {

constexpr char AutostartValue[] = "Zorvane";
using ModulePathBuffer = std::array<char, 300>;

// The full path of the running executable. False when it cannot be had whole:
// a path cut short would make Windows start some other file, or none.
bool ModulePath(ModulePathBuffer& path)
{
    DWORD length = GetModuleFileNameA(AppInstance, path.data(), static_cast<DWORD>(path.size()));
    return length > 0 && length < path.size();
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
            if (on)
                RegSetValueExA(run.Get(), AutostartValue, 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(path.data()),
                               static_cast<DWORD>(lstrlenA(path.data()) + 1));
            else
                RegDeleteValueA(run.Get(), AutostartValue);
        }
    }
    if (!on)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, SettingsKey);
}
