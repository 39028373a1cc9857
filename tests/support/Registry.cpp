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

void PutBack(HKEY root, const char* key, const char* name, const StoredValue& value)
{
    if (value.present)
        StoreValue(root, key, name, value.type, value.bytes.data(),
                   static_cast<DWORD>(value.bytes.size()));
    else
        RemoveValue(root, key, name);
}

TestValues::~TestValues()
{
    for (const Value& value : values_)
        RemoveValue(value.root, value.key, value.name.c_str());
}

bool TestValues::Write(HKEY root, const char* key, const std::string& name,
                       const std::string& data)
{
    values_.push_back({root, key, name});
    return StoreText(root, key, name.c_str(), data);
}

bool WaitForAutostartEntry(const std::string& path, DWORD timeoutMs)
{
    return WaitUntil([&] { return AutostartEntry().bytes == path + '\0'; }, timeoutMs);
}

ReadOnlyKey::ReadOnlyKey(HKEY root, const char* key) : root_(root), key_(key)
{
    HKEY opened;
    if (RegOpenKeyExA(root, key, 0, READ_CONTROL | WRITE_DAC, &opened) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    RegGetKeySecurity(opened, DACL_SECURITY_INFORMATION, nullptr, &size);
    saved_.resize(size);
    if (RegGetKeySecurity(opened, DACL_SECURITY_INFORMATION, saved_.data(), &size) !=
        ERROR_SUCCESS)
        saved_.clear();
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    std::vector<char> list(256);
    auto* acl = reinterpret_cast<ACL*>(list.data());
    InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION);
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ | WRITE_DAC, everyone);
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    if (!saved_.empty())
        RegSetKeySecurity(opened, DACL_SECURITY_INFORMATION, &descriptor);
    FreeSid(everyone);
    RegCloseKey(opened);
}

ReadOnlyKey::~ReadOnlyKey()
{
    HKEY opened;
    if (saved_.empty() ||
        RegOpenKeyExA(root_, key_, 0, WRITE_DAC, &opened) != ERROR_SUCCESS)
        return;
    RegSetKeySecurity(opened, DACL_SECURITY_INFORMATION, saved_.data());
    RegCloseKey(opened);
}

bool ReadOnlyKey::Locked() const
{
    HKEY opened;
    if (RegOpenKeyExA(root_, key_, 0, KEY_SET_VALUE, &opened) != ERROR_SUCCESS)
        return true;
    RegCloseKey(opened);
    return false;
}
