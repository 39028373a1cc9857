// Reads, writes and removes the registry values that Zorvane keeps, from
// outside the code under test, with the platform's own calls.
#pragma once
#include <windows.h>
#include "Wait.h"
#include <string>
#include <vector>

struct StoredValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::string bytes; // the data exactly as stored, terminator included
};

StoredValue ReadStoredValue(HKEY root, const char* key, const char* name);
bool KeyExists(HKEY root, const char* key);
bool StoreValue(HKEY root, const char* key, const char* name, DWORD type, const void* data,
                DWORD size);
bool StoreText(HKEY root, const char* key, const char* name, const std::string& text);
void RemoveValue(HKEY root, const char* key, const char* name);
void RemoveKey(HKEY root, const char* key);
inline bool ValueExists(HKEY root, const char* key, const char* name)
{
    return ReadStoredValue(root, key, name).present;
}
// Stores `value` as it was read, or removes the value when it was absent.
void PutBack(HKEY root, const char* key, const char* name, const StoredValue& value);

// A value as it was when the object was made, put back when it goes; a key
// that was not there goes too. The prefix outlives the run: what a test
// leaves, the next run's tests start from.
class KeptValue {
public:
    KeptValue(HKEY root, const char* key, const char* name)
        : root_(root), key_(key), name_(name), keyExisted_(KeyExists(root, key)),
          value_(ReadStoredValue(root, key, name))
    {
    }
    ~KeptValue()
    {
        PutBack(root_, key_, name_, value_);
        if (!keyExisted_)
            RemoveKey(root_, key_);
    }
    KeptValue(const KeptValue&) = delete;
    KeptValue& operator=(const KeptValue&) = delete;

private:
    HKEY root_;
    const char* key_;
    const char* name_;
    bool keyExisted_;
    StoredValue value_;
};

// String values written for one test and removed again when the object goes.
class TestValues {
public:
    TestValues() = default;
    ~TestValues();
    TestValues(const TestValues&) = delete;
    TestValues& operator=(const TestValues&) = delete;

    bool Write(HKEY root, const char* key, const std::string& name, const std::string& data);

private:
    struct Value {
        HKEY root;
        const char* key;
        std::string name;
    };
    std::vector<Value> values_;
};

// The keys, spelled out here rather than taken from the product's headers.
inline constexpr char QuillaneKey[] = "Software\\Quillane";
inline constexpr char ZorvaneSettingsKey[] = "Software\\Quillane\\Zorvane";
// The Run key, under HKEY_LOCAL_MACHINE and, for a user who may not change
// the machine, under HKEY_CURRENT_USER.
inline constexpr char RunKeyPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

inline StoredValue EnhancedValue()
{
    return ReadStoredValue(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced");
}

inline StoredValue AutostartEntry()
{
    return ReadStoredValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
}
// The entry in the user's own Run key, for a user who may not change the machine's.
inline StoredValue UserAutostartEntry()
{
    return ReadStoredValue(HKEY_CURRENT_USER, RunKeyPath, "Zorvane");
}

// Takes from everyone the right to change a key's values and subkeys, until
// the object goes and the key's own security comes back. Reading stays allowed.
class ReadOnlyKey {
public:
    ReadOnlyKey(HKEY root, const char* key);
    ~ReadOnlyKey();
    ReadOnlyKey(const ReadOnlyKey&) = delete;
    ReadOnlyKey& operator=(const ReadOnlyKey&) = delete;

    // True once a write to the key is refused, as the code under test will find.
    bool Locked() const;

private:
    HKEY root_;
    const char* key_;
    std::string saved_; // the key's own access list, to put back
};

// Polls until the autostart entry names `path`: the last thing a start does.
bool WaitForAutostartEntry(const std::string& path, DWORD timeoutMs = Patience);
