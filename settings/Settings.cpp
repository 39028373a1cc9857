#include <array>
#include "win/Win.h"
#include "settings/Settings.h"

int EnhancedScanning;

bool QueryRegistryValue(HKEY root, const char* key, const char* name, char* data, DWORD* size)
{
    RegKey opened;
    return RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, opened.Receive()) == ERROR_SUCCESS &&
           RegQueryValueExA(opened.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                            size) == ERROR_SUCCESS;
}

bool SetRegistryText(HKEY root, const char* key, const char* name, const char* text)
{
    char noClass[] = "";
    DWORD disposition = 0;
    RegKey opened;
    return RegCreateKeyExA(root, key, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                           opened.Receive(), &disposition) == ERROR_SUCCESS &&
           RegSetValueExA(opened.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(lstrlenA(text) + 1)) == ERROR_SUCCESS;
}

// The user's own choice, kept where the machine's key refused it, comes
// first. Only the first character of the stored text counts. Whatever cannot
// be read (no key, no value, a text too long for the buffer) falls through to
// the next place, and past the last leaves enhanced scanning on. Reading
// never creates a key.
void LoadSettings()
{
    EnhancedScanning = 1;
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        std::array<char, 5> data;
        DWORD size = data.size();
        // A value without data has no first character to go by; the buffer
        // then holds nothing that was read.
        if (QueryRegistryValue(root, SettingsKey, EnhancedValueName, data.data(), &size) &&
            size != 0) {
            EnhancedScanning = data[0] == '1' ? 1 : 0;
            return;
        }
    }
}

// Always one character and its terminator: "1" or "0". A user who may not
// change the machine keeps the choice in their own key; a choice that the
// machine's key takes removes that copy, which would hide it from the user.
void SaveEnhancedSetting(int on)
{
    const char* text = on ? "1" : "0";
    if (SetRegistryText(HKEY_LOCAL_MACHINE, SettingsKey, EnhancedValueName, text))
        RegDeleteKeyA(HKEY_CURRENT_USER, SettingsKey);
    else
        SetRegistryText(HKEY_CURRENT_USER, SettingsKey, EnhancedValueName, text);
}
