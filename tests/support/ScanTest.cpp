#include "ScanTest.h"
#include <algorithm>
#include <cstdio>
#include <utility>
#include "win/Notice.h"
#include "scan/Scan.h"
#include "settings/Settings.h"

std::string Question(const std::string& imagePath)
{
    return "Grimlatch is running on your computer!\n\n" + imagePath +
           "\n\nIf this file is Grimlatch, it will be eliminated.\n\nPlease confirm: is this the "
           "Grimlatch file?";
}

std::string Report(const std::string& imagePath, const std::string& quarantinePath)
{
    return "Grimlatch was found installed and running on this computer.  It has been disabled.  "
           "The original filename was:\n\n" +
           imagePath +
           "\n\nThe Grimlatch file has been made visible and can now be found at:\n\n" +
           quarantinePath;
}

std::string Upper(std::string text)
{
    CharUpperBuffA(text.data(), static_cast<DWORD>(text.size())); // past any zero byte too
    return text;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string ScanTest::Folder()
{
    return TempFolder() + "\\" +
           ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
}

namespace {

std::string LocalTime()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond);
    return text;
}

// A test may have left a folder, or a read-only file, in the log's place.
void RemoveLogs()
{
    for (const char* extension : {"log", "old"}) {
        SetFileAttributesA(LogPath(extension).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(LogPath(extension).c_str());
        RemoveDirectoryA(LogPath(extension).c_str());
    }
}

} // namespace

std::vector<std::string> ScanTest::LogEntries()
{
    std::string text = FileBytes(LogPath()), now = LocalTime();
    std::vector<std::string> entries;
    for (size_t at = 0, end = 0; end != std::string::npos && at < text.size(); at = end + 2) {
        end = text.find("\r\n", at);
        std::string line = text.substr(at, end - at), stamp = line.substr(0, 19);
        // Bounds in the same form, seconds apart, hold a stamp of another form out.
        EXPECT_TRUE(end != std::string::npos && stamp >= start_ && stamp <= now &&
                    line.compare(19, 3, " | ") == 0)
            << "from " << start_ << " to " << now << ": " << line;
        entries.push_back(line.substr(std::min<size_t>(22, line.size())));
    }
    return entries;
}

void ScanTest::SetUp()
{
    RemoveLogs();
    start_ = LocalTime();
    ASSERT_TRUE(MakeFolder(Folder()));
    AppInstance = GetModuleHandleA(nullptr);
    NoticeOwner = nullptr;
    EnhancedScanning = 0;
    LastScanFound = false;
    Closing = 0;
    RemoveDropperDll();
    lstrcpyA(DropperDllPath.data(), DropperDllFile().c_str());
}

void ScanTest::TearDown()
{
    RemoveDropperDll();
    RemoveLogs();
    // Later removals in one folder number their copies; a test may have put
    // a folder in the way of one.
    for (const std::string& folder : {Folder(), SystemDirectory()}) {
        for (int n = 1; n <= 10; ++n) {
            std::string copy = n == 1 ? Quarantine(folder)
                                      : folder + "\\GrimlatchRemoved (" + std::to_string(n) + ").exe";
            DeleteFileA(copy.c_str());
            RemoveDirectoryA(copy.c_str());
        }
    }
}

std::vector<Notice> Answering(std::vector<int> buttons, const std::function<void()>& work,
                              std::function<void()> onShown)
{
    NoticeRecorder recorder(std::move(buttons), IDCANCEL, std::move(onShown));
    work();
    return recorder.Stop();
}

bool LastScanFound;

std::vector<Notice> RunCycle(std::vector<int> buttons, std::function<void()> onShown)
{
    return Answering(std::move(buttons), [] { LastScanFound = RunScanCycle(); }, std::move(onShown));
}
