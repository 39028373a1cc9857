#include <array>
#include "win/Win.h"
#include "settings/Settings.h"

int EnhancedScanning;

namespace {

constexpr char EnhancedValue[] = "Enhanced";

} // namespace

// Only the first character of the stored text counts. Whatever cannot be read
// (no key, no value, a text too long for the buffer) leaves enhanced scanning
// on. Reading never creates the key.
void LoadSettings()
{
    EnhancedScanning = 1;
    RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, KEY_QUERY_VALUE, key.Receive()) !=
        ERROR_SUCCESS)
        return;
    std::array<char, 5> data;
    DWORD type = 0;
    DWORD size = data.size();
    if (RegQueryValueExA(key.Get(), EnhancedValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return;
    // A value without data has no first character to go by; the buffer then
    // holds nothing that was read, so the default stands.
    if (size == 0)
        return;
    EnhancedScanning = data[0] == '1' ? 1 : 0;
}

// Always one character and its terminator: "1" or "0".
void SaveEnhancedSetting(int on)
{
    char noClass[] = "";
    DWORD disposition = 0;
    RegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingsKey, 0, noClass, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.Receive(), &disposition) != ERROR_SUCCESS)
        return;
    const char* data = on ? "1" : "0";
    RegSetValueExA(key.Get(), EnhancedValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), 2);
}
