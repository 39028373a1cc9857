// The enhanced-scanning setting and the autostart entry, run in the test
// process against the prefix's real HKEY_LOCAL_MACHINE.
#include <gtest/gtest.h>
#include "Fixtures.h"
#include "LongPath.h"
#include "Registry.h"
#include "Zorvane.h"
#include "app/App.h"
#include "settings/Settings.h"

namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        TearDown();
        AppInstance = GetModuleHandleA(nullptr);
    }
    void TearDown() override
    {
        RemoveKey(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
        RemoveKey(HKEY_CURRENT_USER, ZorvaneSettingsKey);
    }

    // Stores the value, loads, and tells what the flag became.
    int LoadWith(DWORD type, const void* data, DWORD size, HKEY root = HKEY_LOCAL_MACHINE)
    {
        EXPECT_TRUE(StoreValue(root, ZorvaneSettingsKey, "Enhanced", type, data, size));
        EnhancedScanning = 7;
        LoadSettings();
        return EnhancedScanning;
    }
};

TEST_F(SettingsStore, WithoutTheKeyEnhancedScanningIsOnAndTheKeyStaysAbsent)
{
    EnhancedScanning = 0;
    LoadSettings();
    EXPECT_EQ(1, EnhancedScanning);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey)) << "reading must not create the key";

    ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Other", "0"));
    EnhancedScanning = 0;
    LoadSettings();
    EXPECT_EQ(1, EnhancedScanning) << "a key without the value leaves enhanced scanning on";
}

// Only the first byte counts, whatever the stored type; a value without data
// has none and leaves enhanced scanning on. The user's own value comes first,
// over the machine's "0"; one without data falls through to it.
TEST_F(SettingsStore, OnlyAFirstByteOfCharacterOneReadsAsOnAndTheUsersValueComesFirst)
{
    struct {
        HKEY root;
        DWORD type;
        std::string data; // as stored, terminator included where there is one
        int expected;
    } cases[] = {
        {HKEY_LOCAL_MACHINE, REG_SZ, {"0", 2}, 0},     {HKEY_LOCAL_MACHINE, REG_SZ, {"1", 2}, 1},
        {HKEY_LOCAL_MACHINE, REG_SZ, {"10", 3}, 1},    {HKEY_LOCAL_MACHINE, REG_SZ, {"1x", 3}, 1},
        {HKEY_LOCAL_MACHINE, REG_SZ, {"yes", 4}, 0},   {HKEY_LOCAL_MACHINE, REG_SZ, {"on", 3}, 0},
        {HKEY_LOCAL_MACHINE, REG_SZ, {"true", 5}, 0},  {HKEY_LOCAL_MACHINE, REG_SZ, {"", 1}, 0},
        {HKEY_LOCAL_MACHINE, REG_SZ, {" 1", 3}, 0},    {HKEY_LOCAL_MACHINE, REG_SZ, {"1234", 5}, 1},
        {HKEY_LOCAL_MACHINE, REG_SZ, {"0234", 5}, 0},
        {HKEY_LOCAL_MACHINE, REG_DWORD, {"\1\0\0\0", 4}, 0}, // a 32-bit 1 starts with byte 0x01
        {HKEY_LOCAL_MACHINE, REG_DWORD, {"1\0\0\0", 4}, 1},
        {HKEY_LOCAL_MACHINE, REG_BINARY, "1", 1},       {HKEY_LOCAL_MACHINE, REG_BINARY, {"", 1}, 0},
        {HKEY_LOCAL_MACHINE, REG_SZ, "", 1},            {HKEY_LOCAL_MACHINE, REG_BINARY, "", 1},
        {HKEY_CURRENT_USER, REG_SZ, {"1", 2}, 1},       {HKEY_CURRENT_USER, REG_SZ, "", 0},
    };
    for (const auto& c : cases) {
        TearDown();
        ASSERT_TRUE(c.root != HKEY_CURRENT_USER ||
                    StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "0"));
        EXPECT_EQ(c.expected, LoadWith(c.type, c.data.data(), static_cast<DWORD>(c.data.size()), c.root))
            << (c.root == HKEY_CURRENT_USER ? "the user's " : "") << "type " << c.type << ", "
            << c.data.size() << " bytes \"" << c.data << "\"";
    }
}

// A user who may not change the machine: the key cannot be opened for
// writing. (Wine would create a missing key under a read-only parent, so the
// key is there, with or without a choice in it.) The switch still flips, and
// says nothing. The user's choice outlives a restart, and a later one that
// the machine's key takes, as an administrator's, is not hidden from that
// user by the old copy.
TEST_F(SettingsStore, AChoiceTheMachineRefusesIsKeptForTheUserUntilTheMachineTakesOne)
{
    for (bool machineHasOne : {false, true}) {
        SCOPED_TRACE(testing::Message() << "machine's choice present: " << machineHasOne);
        ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "1"));
        if (!machineHasOne)
            RemoveValue(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced");
        {
            ReadOnlyKey locked(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
            ASSERT_TRUE(locked.Locked());
            EnhancedScanning = 1;
            NoticeRecorder notices;
            OnCommand(nullptr, WM_COMMAND, IDM_ENHANCED, 0);
            EXPECT_TRUE(notices.Stop().empty()) << "a setting that cannot be stored is not reported";
            EXPECT_EQ(0, EnhancedScanning) << "the switch still changes the value in memory";
            EXPECT_EQ(machineHasOne ? std::string("1\0", 2) : "", EnhancedValue().bytes);
            LoadSettings(); // closed and started again
            EXPECT_EQ(0, EnhancedScanning);
        }
        OnCommand(nullptr, WM_COMMAND, IDM_ENHANCED, 0); // as an administrator
        LoadSettings();
        EXPECT_EQ(1, EnhancedScanning);
    }
}

// The switch creates the key and the value; what is stored is always one
// character and its terminator, also over a longer value.
TEST_F(SettingsStore, SwitchingTwiceStoresZeroThenOneAndSavingAnyNonzeroStoresOneTwoBytesEach)
{
    EnhancedScanning = 1;
    for (int now : {0, 1}) {
        OnCommand(nullptr, WM_COMMAND, IDM_ENHANCED, 0);
        EXPECT_EQ(now, EnhancedScanning);
        StoredValue stored = EnhancedValue();
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.type);
        EXPECT_EQ(std::to_string(now) + '\0', stored.bytes);
    }
    LoadSettings();
    EXPECT_EQ(1, EnhancedScanning) << "what was stored must read back";

    ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "1 and more"));
    SaveEnhancedSetting(5);
    EXPECT_EQ(std::string("1\0", 2), EnhancedValue().bytes) << "any nonzero argument stores 1";
    SaveEnhancedSetting(0);
    EXPECT_EQ(std::string("0\0", 2), EnhancedValue().bytes);
}

class Autostart : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        AppInstance = GetModuleHandleA(nullptr);
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            RemoveValue(root, RunKeyPath, "Zorvane");
            RemoveKey(root, ZorvaneSettingsKey);
        }
    }
};

TEST_F(Autostart, OnWritesTheModulePathWithItsTerminatorAndLeavesTheSettingsAlone)
{
    SetAutostart(1);
    StoredValue entry = AutostartEntry();
    ASSERT_TRUE(entry.present);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), entry.type);
    EXPECT_EQ(TestProgramPath() + '\0', entry.bytes) << "path length plus 1 bytes, no quotes";
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey)) << "registering must not create the setting";

    ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane", "C:\\elsewhere\\Zorvane.exe"));
    SetAutostart(1);
    EXPECT_EQ(TestProgramPath() + '\0', AutostartEntry().bytes) << "an older entry is overwritten";
}

// Also without an entry to remove.
TEST_F(Autostart, OffRemovesTheEntryAndBothSettingsKeysButNotTheCompanyKeys)
{
    for (bool entry : {true, false}) {
        SCOPED_TRACE(entry ? "with the entry" : "without an entry");
        SetAutostart(entry ? 1 : 0);
        ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "0"));
        ASSERT_TRUE(StoreText(HKEY_CURRENT_USER, ZorvaneSettingsKey, "Enhanced", "0"));
        ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, RunKeyPath, "Another", "other.exe"));
        EXPECT_EQ(0u, SetAutostart(0)) << "everything was removed";
        EXPECT_FALSE(AutostartEntry().present);
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            EXPECT_FALSE(KeyExists(root, ZorvaneSettingsKey));
            EXPECT_TRUE(KeyExists(root, QuillaneKey)) << "Software\\Quillane must stay";
        }
        EXPECT_TRUE(ReadStoredValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Another").present)
            << "other programs' entries must stay";
        RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Another");
    }
}

// A user who may not change the machine, as every user who is not elevated
// from Vista on, is started from their own Run key. Once the machine's takes
// the entry again, the user's goes: both would start the program twice.
TEST_F(Autostart, WhereTheMachinesRunKeyIsRefusedTheUsersOwnTakesTheEntry)
{
    std::string const entry = TestProgramPath() + '\0';
    {
        ReadOnlyKey locked(HKEY_LOCAL_MACHINE, RunKeyPath);
        ASSERT_TRUE(locked.Locked()) << "the Run key could not be made read-only";
        SetAutostart(1);
        EXPECT_FALSE(AutostartEntry().present);
        EXPECT_EQ(entry, UserAutostartEntry().bytes) << "the user's own Run key must start it";
        SetAutostart(0);
        EXPECT_FALSE(UserAutostartEntry().present) << "the uninstall removes the user's entry";
        SetAutostart(1);
    }
    SetAutostart(1);
    EXPECT_EQ(entry, AutostartEntry().bytes);
    EXPECT_FALSE(UserAutostartEntry().present) << "a second entry would start it twice";

    ASSERT_TRUE(StoreText(HKEY_CURRENT_USER, RunKeyPath, "Zorvane", TestProgramPath()));
    SetAutostart(0);
    EXPECT_FALSE(AutostartEntry().present);
    EXPECT_FALSE(UserAutostartEntry().present) << "the uninstall removes both entries";
}

TEST_F(Autostart, APathThatCannotBeHadWholeIsNotWritten)
{
    // 299 characters and the terminator fill the buffer exactly; a path cut
    // to 299 characters must not be registered.
    for (size_t length : {299u, 300u}) {
        LongPathModule module(L"C:\\ZorvaneLongPath", length, L"Zorvane.exe");
        ASSERT_NE(nullptr, module.Module());
        AppInstance = module.Module();
        RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
        SetAutostart(1);
        EXPECT_EQ(length < 300 ? Narrow(module.Path()) + '\0' : "", AutostartEntry().bytes)
            << length << " characters";
    }
    // The address of a stack variable is no module's base on either
    // architecture: no path at all.
    int notAModule = 0;
    AppInstance = reinterpret_cast<HINSTANCE>(&notAModule);
    SetAutostart(1);
    EXPECT_FALSE(AutostartEntry().present);
    ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "0"));
    SetAutostart(0);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey)) << "uninstall needs no path";
}

} // namespace
