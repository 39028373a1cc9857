// The scan engine run inside the test program against the real machine: the
// look-alikes' copies in a folder of the suite's own, no dropper DLL before
// or after, the autostart values of a test removed after it, and every notice
// answered and read back.
#pragma once
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "Fixtures.h"
#include "Registry.h"

// The question and the report, as the user must see them.
std::string Question(const std::string& imagePath);
std::string Report(const std::string& imagePath, const std::string& quarantinePath);
std::string Upper(std::string text);
bool Contains(const std::string& text, const std::string& part);

// Runs `work`, answering its notices with `buttons` in turn (Cancel after
// those), and gives back every notice that it showed. `onShown` runs while
// each one is still on the screen.
std::vector<Notice> Answering(std::vector<int> buttons, const std::function<void()>& work,
                              std::function<void()> onShown = nullptr);
// One whole scan cycle, answered the same way.
std::vector<Notice> RunCycle(std::vector<int> buttons = {}, std::function<void()> onShown = nullptr);
// Whether the last scan that a test ran found a server and went after it.
extern bool LastScanFound;

// Zorvane.log beside the test program, where the scan code run here writes,
// or Zorvane.old.
inline std::string LogPath(const char* extension = "log")
{
    return BuildFolder() + "\\Zorvane." + extension;
}

class ScanTest : public ::testing::Test {
protected:
    // A folder named after the suite, under the tests' own temp folder.
    static std::string Folder();
    // Where a removal from `folder` puts its first copy.
    static std::string Quarantine(const std::string& folder)
    {
        return folder + "\\GrimlatchRemoved.exe";
    }

    // The log's lines without their time stamps, each stamp checked to be
    // of this test's time, and each line to end in CRLF.
    std::vector<std::string> LogEntries();

    void SetUp() override;    // also removes any log
    void TearDown() override; // also removes the copies that removals left, and the log

    // An autostart value that is removed again after the test.
    void Register(HKEY root, const char* key, const std::string& name, const std::string& data)
    {
        ASSERT_TRUE(values_.Write(root, key, name, data));
    }

private:
    TestValues values_;
    std::string start_; // the local time at SetUp, as the log writes it
    // Removals hand files that they cannot delete to the next restart; the
    // prefix's list of them goes back as it was.
    KeptValue pending_{HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                       "PendingFileRenameOperations"};
};
