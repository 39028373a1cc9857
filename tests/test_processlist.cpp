// The process list against real running look-alikes: every entry carries the
// full path of its image, whatever the platform's snapshot gives.
#include <gtest/gtest.h>
#include <set>
#include <string>
#include "Fixtures.h"
#include "Registry.h"
#include "Zorvane.h"
#include "scan/Scan.h"

namespace {

// The entry for `id` in a fresh list, or an empty path when there is none.
std::string ListedPath(DWORD id)
{
    ProcessList list;
    if (!list.Take())
        return "<no snapshot>";
    for (const ProcessEntry& entry : list.Entries()) {
        if (entry.id == id)
            return entry.path.data();
    }
    return "";
}

TEST(ProcessList, EveryEntryHoldsAFullPathAndNoIdTwice)
{
    ProcessList list;
    ASSERT_TRUE(list.Take());
    ASSERT_FALSE(list.Entries().empty());
    std::set<DWORD> ids;
    for (const ProcessEntry& entry : list.Entries()) {
        std::string path = entry.path.data();
        EXPECT_NE(std::string::npos, path.find('\\')) << "entry " << entry.id << ": " << path;
        EXPECT_TRUE(ids.insert(entry.id).second) << "id " << entry.id << " listed twice";
    }
}

// This process, a look-alike from a folder with spaces, and the server's own
// name in the system folder, where it runs from SysWOW64 for a 32-bit program
// on 64-bit Windows; each until it ends.
TEST(ProcessList, EveryProcessIsListedUnderItsFullPathUntilItEnds)
{
    EXPECT_STRCASEEQ(TestProgramPath().c_str(), ListedPath(GetCurrentProcessId()).c_str());
    std::string const spaces = TempFolder() + "\\process list\\with spaces in it";
    ASSERT_TRUE(MakeFolder(spaces));
    struct {
        std::string folder, name, listed;
    } const cases[] = {
        {spaces, "look alike server.exe", spaces + "\\look alike server.exe"},
        {SystemDirectory(), " .exe", SystemImageDirectory() + "\\ .exe"},
    };
    for (const auto& c : cases) {
        FixtureCopy image("server.exe", c.folder, c.name);
        ASSERT_TRUE(image.Made());
        LookAlikeProcess process(image.Path());
        DWORD id = process.Id();
        EXPECT_STRCASEEQ(c.listed.c_str(), ListedPath(id).c_str());
        EXPECT_TRUE(process.Running()) << "the look-alike must keep running until it is ended";
        process.End();
        EXPECT_EQ("", ListedPath(id)) << "the snapshot no longer holds it, though Wine still "
                                         "lets its id be opened for a moment";
    }
}

TEST(ProcessList, AProcessWhosePathCannotBeAskedIsPassedOver)
{
    FixtureCopy image("server.exe", TempFolder(), "sealed.exe");
    ASSERT_TRUE(image.Made());
    LookAlikeProcess process;
    ASSERT_TRUE(process.StartSealed(image.Path()));
    ASSERT_TRUE(process.Running());
    EXPECT_EQ("", ListedPath(process.Id())) << "no entry without a full path";

    // The NT family's older way of asking is tried then too, with psapi.dll
    // from the system folder, never one planted beside the program: Windows
    // 2000 and XP look there first, and so does Wine when it is told to
    // prefer a DLL that is not its own.
    SetEnvironmentVariableA("ZORVANE_PLANTED_DLL_RAN", nullptr);
    PathBuffer out;
    out.fill('#');
    {
        char const overrides[] = "Software\\Wine\\DllOverrides";
        KeptValue loadOrder(HKEY_CURRENT_USER, overrides, "psapi");
        ASSERT_TRUE(StoreText(HKEY_CURRENT_USER, overrides, "psapi", "native,builtin"));
        FixtureCopy planted("planted.dll", BuildFolder(), "psapi.dll");
        ASSERT_TRUE(planted.Made());
        EXPECT_FALSE(ResolveImagePath(process.Id(), "sealed.exe", out));
    }
    EXPECT_EQ('#', out[0]) << "nothing is written for a path that was not found";
    EXPECT_EQ(0u, GetEnvironmentVariableA("ZORVANE_PLANTED_DLL_RAN", nullptr, 0))
        << "the psapi.dll beside the program was loaded";
}

// Windows 95/98 give the full path in the snapshot itself; the id is then not
// asked about at all. One that does not fit is refused, not cut short.
TEST(ResolveImagePath, AFullPathFromTheSnapshotIsTakenAsItStandsWhereItFits)
{
    PathBuffer out;
    ASSERT_TRUE(ResolveImagePath(0, "C:\\WINDOWS\\SYSTEM\\ .EXE", out));
    EXPECT_STREQ("C:\\WINDOWS\\SYSTEM\\ .EXE", out.data());
    std::string longest = "C:\\" + std::string(296, 'a'); // 299 characters and the terminator
    ASSERT_TRUE(ResolveImagePath(0, longest.c_str(), out));
    EXPECT_EQ(longest, out.data());
    out.fill('#');
    EXPECT_FALSE(ResolveImagePath(0, (longest + "b").c_str(), out));
    EXPECT_EQ('#', out[0]) << "nothing is written for a path that does not fit";
}

} // namespace
