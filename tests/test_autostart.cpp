// The autostart entry as real starts and uninstalls of Zorvane.exe leave it
// in the prefix's registry.
#include <gtest/gtest.h>
#include "Notices.h"
#include "Registry.h"
#include "Wait.h"
#include "Zorvane.h"
#include "app/App.h"

namespace {

class AutostartEntryOfTheProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        CloseAllZorvanes();
        RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
        RemoveKey(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
    }
    void TearDown() override
    {
        CloseAllZorvanes();
        DeleteFileA(copy_.c_str());
        RemoveDirectoryA(copyFolder_.c_str());
        RemoveKey(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
    }

    const std::string copyFolder_ = "C:\\Program Files\\Zorvane Copy";
    const std::string copy_ = copyFolder_ + "\\Zorvane.exe";
};

TEST_F(AutostartEntryOfTheProgram, AStartFromAFolderWithABlankMovesItInQuotes)
{
    ZorvaneProcess first, second;
    ASSERT_TRUE(first.Start());
    ASSERT_NE(nullptr, first.WaitForWindow());
    ASSERT_TRUE(WaitForAutostartEntry(ZorvaneExe()));

    CreateDirectoryA(copyFolder_.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(ZorvaneExe().c_str(), copy_.c_str(), FALSE));
    ASSERT_TRUE(second.Start("", SW_SHOWNORMAL, copy_));
    ASSERT_NE(nullptr, second.WaitForWindow());
    // Unquoted, the entry would let a planted C:\Program.exe start in its place.
    std::string quoted = "\"" + copy_ + "\"";
    EXPECT_TRUE(WaitForAutostartEntry(quoted))
        << "the entry must name the copy that started last, in quotes; it holds \""
        << AutostartEntry().bytes << "\"";
}

// A user's Downloads folder may have a name that the code page cannot spell:
// the entry must still name a file that starts the program, its short form.
TEST_F(AutostartEntryOfTheProgram, AStartFromAFolderThatTheCodePageCannotSpellNamesItsShortForm)
{
    std::wstring const folder = L"C:\\\u0414\u043C\u0438\u0442\u0440\u0438\u0439";
    std::wstring const copy = folder + L"\\Zorvane.exe";
    std::string const narrow = ZorvaneExe();
    std::wstring const exe(narrow.begin(), narrow.end());
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(exe.c_str(), copy.c_str(), FALSE));
    wchar_t shortCopy[MAX_PATH] = L"";
    char expected[MAX_PATH] = "";
    ASSERT_GT(GetShortPathNameW(copy.c_str(), shortCopy, MAX_PATH), 0u);
    WideCharToMultiByte(CP_ACP, 0, shortCopy, -1, expected, MAX_PATH, nullptr, nullptr);
    {
        ZorvaneProcess z;
        ASSERT_TRUE(z.Launch(copy));
        ASSERT_NE(nullptr, z.WaitForWindow());
        EXPECT_TRUE(WaitForAutostartEntry(expected))
            << "the entry holds \"" << AutostartEntry().bytes << "\"";
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(AutostartEntry().bytes.c_str()))
            << "the entry must name a file";
    }
    CloseAllZorvanes();
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

// A start writes its own path and no setting, and so does a start after an
// uninstall, which then reads enhanced scanning as on.
TEST_F(AutostartEntryOfTheProgram, AStartWritesItsOwnPathAndNoSettingAlsoAfterAnUninstall)
{
    auto start = [](ZorvaneProcess& z) {
        HWND w = z.Start() ? z.WaitForWindow() : nullptr;
        EXPECT_TRUE(w && WaitForAutostartEntry(ZorvaneExe())) << "the start must register the program";
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), AutostartEntry().type);
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey)) << "a start must not create the setting";
        return w;
    };
    {
        ZorvaneProcess z;
        HWND w = start(z);
        ASSERT_NE(nullptr, w) << "the program's window did not appear";
        ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "0"));
        PostMessageA(w, WM_COMMAND, IDM_UNINSTALL, 0);
        ASSERT_TRUE(AnswerNotice(IDYES).shown);
        ASSERT_TRUE(z.WaitForExit(Patience)) << "the program did not end";
        ASSERT_FALSE(AutostartEntry().present);
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey));
    }
    ZorvaneProcess z;
    HWND w = start(z);
    ASSERT_NE(nullptr, w) << "the program's window did not appear";
    // The switch stores the opposite of what was read: "0" means it read on.
    PostMessageA(w, WM_COMMAND, IDM_ENHANCED, 0);
    StoredValue stored;
    WaitUntil([&] { return (stored = EnhancedValue()).present; }, Patience);
    EXPECT_EQ(std::string("0\0", 2), stored.bytes) << "enhanced scanning must read as on";
}

} // namespace
