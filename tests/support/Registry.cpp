#include "Registry.h"
#include <vector>
#include "Wait.h"

StoredValue ReadStoredValue(HKEY root, const char* key, const char* name)
{
    StoredValue value;
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExA(opened, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<char> data(size + 1);
        if (RegQueryValueExA(opened, name, nullptr, &value.type,
                             reinterpret_cast<BYTE*>(data.data()), &size) == ERROR_SUCCESS) {
            value.present = true;
            value.bytes.assign(data.data(), size);
        }
    }
    RegCloseKey(opened);
    return value;
}

bool KeyExists(HKEY root, const char* key)
{
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

bool StoreValue(HKEY root, const char* key, const char* name, DWORD type, const void* data,
                DWORD size)
{
    HKEY opened;
    if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool stored = RegSetValueExA(opened, name, 0, type, static_cast<const BYTE*>(data), size) ==
                  ERROR_SUCCESS;
    RegCloseKey(opened);
    return stored;
}

bool StoreText(HKEY root, const char* key, const char* name, const std::string& text)
{
    return StoreValue(root, key, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

void RemoveValue(HKEY root, const char* key, const char* name)
{
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, KEY_SET_VALUE, &opened) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(opened, name);
    RegCloseKey(opened);
}

void RemoveKey(HKEY root, const char* key)
{
    RegDeleteKeyA(root, key);
}

bool WaitForAutostartEntry(const std::string& path, DWORD timeoutMs)
{
    return WaitUntil([&] { return AutostartEntry().bytes == path + '\0'; }, timeoutMs);
}
