// Finding and removing the server: the autostart key scan, the sweep and the
// elimination sequence, with real look-alike processes, real registry values
// and real files, and every notice read off the screen.
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>
#include "LongPath.h"
#include "ScanTest.h"
#include "Zorvane.h"
#include "app/App.h"
#include "scan/Scan.h"
#include "settings/Settings.h"

namespace {

char const RunServices[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
char const RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// A key of the tests' own, for scanning one key directly.
char const TestKey[] = "Software\\ZorvaneTests\\Autostart";

// A file held open by the test, with the given sharing, until the object goes.
class HeldFile {
public:
    HeldFile(const std::string& path, DWORD sharing)
        : file_(CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0,
                            nullptr))
    {
    }
    ~HeldFile()
    {
        if (Open())
            CloseHandle(file_);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Open() const { return file_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE file_;
};

ProcessEntry EntryOf(const LookAlikeProcess& process, const std::string& path)
{
    ProcessEntry entry;
    entry.id = process.Id();
    lstrcpyA(entry.path.data(), path.c_str());
    return entry;
}

std::string ShortPath(const std::string& path)
{
    char shortPath[MAX_PATH] = "";
    DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return n > 0 && n < sizeof shortPath ? shortPath : "<no short path>";
}

std::string WindowsFile(const char* name)
{
    char folder[MAX_PATH] = "";
    GetWindowsDirectoryA(folder, sizeof folder);
    return std::string(folder) + "\\" + name;
}

std::string const NotDeleted = "\n\nNot everything could be done:\nThe file could not be deleted";
std::string const DeletedAtRestart = NotDeleted + "; it will be deleted when the computer restarts.";

class Elimination : public ScanTest {
protected:
    void SetUp() override
    {
        ScanTest::SetUp();
        RemoveKey(HKEY_CURRENT_USER, TestKey);
    }
    void TearDown() override
    {
        RemoveKey(HKEY_CURRENT_USER, TestKey);
        ScanTest::TearDown();
    }

    std::vector<Notice> ScanKey(HKEY root, const char* key, int pass, std::vector<int> buttons = {})
    {
        ProcessList snapshot;
        EXPECT_TRUE(snapshot.Take());
        ScanPass = pass;
        return Answering(std::move(buttons), [&] { ScanAutostartKey(root, key, snapshot); });
    }
};

TEST_F(Elimination, TheTypicalEventIsRemovedWithoutAQuestion)
{
    FixtureCopy server("server.exe", SystemDirectory(), " .exe");
    ASSERT_TRUE(server.Made());
    // The name alone identifies it: its code bytes need not match.
    server.Poke(1536, 0x90);
    LookAlikeProcess process(server.Path());
    ASSERT_TRUE(process.Running());
    Register(HKEY_LOCAL_MACHINE, RunServices, "ZorvaneTestTypical", " .exe");
    ASSERT_TRUE(PlantDropperDll());
    std::string original = FileBytes(server.Path());
    NoticeOwner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  nullptr, nullptr);

    std::vector<Notice> notices = RunCycle({IDOK});
    DestroyWindow(NoticeOwner);

    ASSERT_EQ(1u, notices.size()) << "only the report, no question";
    std::string image = Upper(SystemImageDirectory() + "\\ .exe");
    EXPECT_EQ(Report(image, Upper(SystemImageDirectory()) + "\\GrimlatchRemoved.exe"), notices[0].text);
    EXPECT_EQ(NoticeOwner, notices[0].owner);
    EXPECT_EQ("OK", notices[0].buttons);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RunServices, "ZorvaneTestTypical"));
    EXPECT_FALSE(FileExists(server.Path()));
    EXPECT_FALSE(FileExists(DropperDllFile()));
    EXPECT_EQ(original, FileBytes(Quarantine(SystemDirectory())))
        << "the visible copy must hold the server's bytes";
    EXPECT_EQ(1, FoundThisCycle) << "which brings the next scan a second later";
}

TEST_F(Elimination, ALookAlikeUnderAnotherNameIsKnownByItsCodeInTheSilentPass)
{
    FixtureCopy server("server.exe", Folder(), "svchelper.exe");
    ASSERT_TRUE(server.Made());
    LookAlikeProcess process(server.Path());
    Register(HKEY_CURRENT_USER, TestKey, "helper", server.Path());

    std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 0, {IDOK});

    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe"),
              notices[0].text);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, TestKey, "helper"));
    EXPECT_EQ(1, FoundThisCycle);
}

TEST_F(Elimination, ACandidateWithoutNameOrCodeIsOnlyAskedAboutInTheSecondPass)
{
    FixtureCopy candidate("candidate.exe", Folder(), "Candidate Copy.exe");
    ASSERT_TRUE(candidate.Made());
    LookAlikeProcess process(candidate.Path());
    Register(HKEY_CURRENT_USER, TestKey, "candidate", candidate.Path());

    EXPECT_TRUE(ScanKey(HKEY_CURRENT_USER, TestKey, 0).empty()) << "pass 0 never asks";

    std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO});
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Question(candidate.Path()), notices[0].text) << "the path as the snapshot gives it";
    EXPECT_EQ("Cancel Yes No", notices[0].buttons);
    EXPECT_TRUE(process.Running()) << "No leaves everything alone";
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, TestKey, "candidate"));
    EXPECT_TRUE(FileExists(candidate.Path()));
    EXPECT_EQ(0, FoundThisCycle);

    notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDYES, IDOK});
    ASSERT_EQ(2u, notices.size());
    EXPECT_EQ(Report(Upper(candidate.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe"),
              notices[1].text);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, TestKey, "candidate"));
    EXPECT_FALSE(FileExists(candidate.Path()));
    EXPECT_TRUE(FileExists(Quarantine(Folder())));
    std::string asked = "Question | " + candidate.Path();
    EXPECT_EQ((std::vector<std::string>{asked + " | No", asked + " | Yes",
                                        "Removed | " + Upper(candidate.Path()) + " | " +
                                            Quarantine(Upper(Folder()))}),
              LogEntries());
}

// Windows starts the program of a command in quotes, or with arguments after
// it, all the same.
TEST_F(Elimination, CommandsMatchThePathOrFileNameAsWindowsReadsThem)
{
    FixtureCopy candidate("candidate.exe", Folder(), "match me.exe");
    ASSERT_TRUE(candidate.Made());
    LookAlikeProcess process(candidate.Path());
    std::string shortPath = ShortPath(candidate.Path());
    struct { std::string data; bool asks; } cases[] = {
        {Upper(candidate.Path()), true},
        {"Match Me.EXE", true},
        {shortPath, true},
        {shortPath.substr(shortPath.rfind('\\') + 1), true},
        {candidate.Path() + " -autorun", true},
        {"\"" + candidate.Path() + "\"", true},
        {"\"" + candidate.Path() + "\" -autorun", true},
        {"Match Me.exe\t/s", true},
        {shortPath + " -autorun", true},
        {"match me", false},
        {candidate.Path() + "x -autorun", false},
        {"\"" + candidate.Path(), false},
    };
    for (const auto& c : cases) {
        RemoveKey(HKEY_CURRENT_USER, TestKey);
        Register(HKEY_CURRENT_USER, TestKey, "value", c.data);
        std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO});
        EXPECT_EQ(c.asks ? 1u : 0u, notices.size()) << "data: " << c.data;
    }
    EXPECT_TRUE(process.Running());
}

// Windows 95/98 may list an image under the short form of its path, where the
// value holds the long one; a value may hold the short form of a path that the
// system lists long. The image is given here as either system would list it.
TEST_F(Elimination, ACommandNamesAnImageWhicheverFormOfThePathEitherSideHolds)
{
    std::string folder = Folder() + "\\Long Folder Name";
    ASSERT_TRUE(MakeFolder(folder));
    FixtureCopy image("candidate.exe", folder, "match me please.exe");
    FixtureCopy namesake("candidate.exe", Folder(), "match me please.exe");
    ASSERT_TRUE(image.Made() && namesake.Made());
    std::string longPath = image.Path(), shortPath = ShortPath(longPath);
    ASSERT_NE(Upper(longPath), Upper(shortPath)) << "the long names have short forms";
    std::string shortName = shortPath.substr(shortPath.rfind('\\') + 1);
    std::string shortFolderLongName = ShortPath(folder) + "\\match me please.exe";
    struct {
        std::string listed, command;
        bool names;
        const char* why;
    } cases[] = {
        {shortPath, Upper(longPath), true, "the long path of an image listed short"},
        {shortPath, "Match Me Please.exe", true, "the long name of an image listed short"},
        {longPath, shortPath, true, "the short path of an image listed long"},
        {longPath, shortName, true, "the short name of an image listed long"},
        {longPath, shortFolderLongName, true, "a short folder with a long name"},
        {shortFolderLongName, shortPath, true, "an image listed half short"},
        {shortPath, namesake.Path(), false, "the same name in another folder"},
        {longPath, ShortPath(namesake.Path()), false, "the same short name in another folder"},
        {longPath, shortPath + " -autorun", true, "arguments"},
        {shortPath, "\"" + longPath + "\"", true, "quotes"},
        {longPath, longPath + ".old", false, "a name that only begins with the image's"},
        {shortPath, "match me", false, "part of the name"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.names, CommandNamesImage(c.command.c_str(), c.listed.c_str()))
            << c.why << ": command " << c.command << ", image listed as " << c.listed;
    }
}

// On 64-bit Windows a 32-bit program's system folder is SysWOW64 on disk, and
// the process list names the server there, while the intruder writes its
// value from GetSystemDirectoryA: Windows starts the SysWOW64 file for it all
// the same. Only there does the difference exist: a 32-bit Windows has no
// SysWOW64, and nothing redirects a 64-bit program.
TEST_F(Elimination, OnWow64AValueInTheSystemFolderNamesTheServerInSysWow64)
{
    BOOL wow64 = FALSE;
    char folder[MAX_PATH] = "";
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64 ||
        !GetSystemWow64DirectoryA(folder, sizeof folder))
        GTEST_SKIP() << "nothing redirects the system folder of this program";
    std::string redirected = Upper(folder), written = Upper(SystemDirectory()) + "\\ .exe";
    for (const std::string& command :
         {"\"" + written + "\"", written + " /s", "\"" + written + "\" /s"}) {
        FixtureCopy server("server.exe", SystemDirectory(), " .exe");
        ASSERT_TRUE(server.Made());
        ASSERT_TRUE(FileExists(redirected + "\\ .exe")) << "the copy is redirected to " << redirected;
        LookAlikeProcess process(server.Path());
        ASSERT_TRUE(process.Running());
        Register(HKEY_CURRENT_USER, TestKey, "server", command);

        std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 0, {IDOK});

        ASSERT_EQ(1u, notices.size()) << "the silent pass must find " << command;
        EXPECT_EQ(Report(redirected + "\\ .EXE", Quarantine(redirected)), notices[0].text);
        EXPECT_TRUE(process.WaitForExit(Patience));
        EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, TestKey, "server")) << command;
        DeleteFileA(Quarantine(redirected).c_str());
    }
    std::string image = redirected + "\\ .exe";
    EXPECT_TRUE(CommandNamesImage((Upper(SystemDirectory()) + "\\ .exe").c_str(), image.c_str()))
        << "the path alone";
    EXPECT_FALSE(CommandNamesImage(("\"" + Upper(SystemDirectory()) + "X\\ .exe\" /s").c_str(),
                                   (redirected + "X\\ .exe").c_str()))
        << "a folder whose name only begins with the system folder's is not redirected";
}

TEST_F(Elimination, TheServersFileNameCountsUnderItsShortNameToo)
{
    FixtureCopy server("server.exe", Folder(), " .exe");
    FixtureCopy other("server.exe", Folder(), "x .exe");
    ASSERT_TRUE(server.Made() && other.Made());
    for (const std::string& listed : {server.Path(), ShortPath(server.Path())})
        EXPECT_TRUE(HasServerFileName(listed.c_str())) << listed;
    EXPECT_FALSE(HasServerFileName(ShortPath(other.Path()).c_str()));
}

TEST_F(Elimination, CancelEndsTheKeyAndItsLaterValuesAreNotAskedAbout)
{
    FixtureCopy first("candidate.exe", Folder(), "first.exe");
    FixtureCopy second("candidate.exe", Folder(), "second.exe");
    LookAlikeProcess one(first.Path()), two(second.Path());
    Register(HKEY_CURRENT_USER, TestKey, "first", first.Path());
    Register(HKEY_CURRENT_USER, TestKey, "second", second.Path());

    std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDCANCEL, IDYES});
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Question(first.Path()), notices[0].text);
    EXPECT_TRUE(one.Running());
    EXPECT_TRUE(two.Running());

    notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO, IDNO});
    EXPECT_EQ(2u, notices.size()) << "without Cancel every value is asked about";
}

TEST_F(Elimination, AValueTooLongForTheBuffersDoesNotHideTheServerBehindIt)
{
    FixtureCopy server("server.exe", Folder(), "hidden.exe");
    LookAlikeProcess process(server.Path());
    Register(HKEY_CURRENT_USER, TestKey, std::string(320, 'n'), "x");
    Register(HKEY_CURRENT_USER, TestKey, "long data", std::string(400, 'd'));
    Register(HKEY_CURRENT_USER, TestKey, "server", server.Path());

    std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 0, {IDOK});

    ASSERT_EQ(1u, notices.size()) << "the server's value must be reached";
    EXPECT_TRUE(Contains(notices[0].text, Upper(server.Path())));
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, TestKey, "server"));
}

TEST_F(Elimination, DataWithoutATerminatorNeverMatches)
{
    FixtureCopy candidate("candidate.exe", Folder(), "unterminated.exe");
    LookAlikeProcess process(candidate.Path());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, TestKey, 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &key, nullptr));
    const std::string& path = candidate.Path();
    RegSetValueExA(key, "bare path", 0, REG_BINARY, reinterpret_cast<const BYTE*>(path.data()),
                   static_cast<DWORD>(path.size()));
    std::string full(300, 'z');
    RegSetValueExA(key, "full buffer", 0, REG_BINARY, reinterpret_cast<const BYTE*>(full.data()),
                   300);
    RegCloseKey(key);

    EXPECT_TRUE(ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO, IDNO}).empty());
    EXPECT_TRUE(process.Running());
}

TEST_F(Elimination, TheSweepAsksAboutASignatureLookAlikeAndLeavesTheRegistryAlone)
{
    EnhancedScanning = 1;
    FixtureCopy server("server.exe", Folder(), "unlisted.exe");
    FixtureCopy named("candidate.exe", Folder(), " .exe");
    LookAlikeProcess process(server.Path()), plain(named.Path());
    Register(HKEY_CURRENT_USER, RunKey, "ZorvaneTestUnlisted", server.Path());

    std::vector<Notice> notices = RunCycle({IDNO});
    ASSERT_EQ(1u, notices.size()) << "a \" .exe\" without the code is never asked about";
    EXPECT_EQ(Question(server.Path()), notices[0].text);
    EXPECT_TRUE(process.Running());

    notices = RunCycle({IDYES, IDOK});
    ASSERT_EQ(2u, notices.size()) << "No is asked again at the next sweep";
    EXPECT_EQ(Question(server.Path()), notices[0].text);
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe"),
              notices[1].text);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, RunKey, "ZorvaneTestUnlisted"))
        << "the sweep does no registry work";
    EXPECT_TRUE(plain.Running());
}

TEST_F(Elimination, TwoServersAreRemovedOnePerCycle)
{
    EnhancedScanning = 1;
    FixtureCopy a("server.exe", Folder(), "server a.exe");
    FixtureCopy b("server.exe", Folder(), "server b.exe");
    LookAlikeProcess pa(a.Path()), pb(b.Path());

    std::vector<Notice> first = RunCycle({IDYES, IDOK});
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(1, pa.Running() + pb.Running()) << "one server per cycle";
    std::vector<Notice> second = RunCycle({IDYES, IDOK});
    ASSERT_EQ(2u, second.size());
    EXPECT_NE(first[0].text, second[0].text);
    EXPECT_TRUE(pa.WaitForExit(Patience));
    EXPECT_TRUE(pb.WaitForExit(Patience));
}

TEST_F(Elimination, TheSameServerUnderTwoKeysLosesOnlyTheFirstValue)
{
    FixtureCopy server("server.exe", Folder(), "twice.exe");
    LookAlikeProcess process(server.Path());
    Register(HKEY_LOCAL_MACHINE, RunKey, "ZorvaneTestTwice", server.Path());
    Register(HKEY_CURRENT_USER, RunKey, "ZorvaneTestTwice", server.Path());
    ASSERT_TRUE(PlantDropperDll());

    std::vector<Notice> notices = RunCycle({IDOK});

    ASSERT_EQ(1u, notices.size());
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RunKey, "ZorvaneTestTwice"));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, RunKey, "ZorvaneTestTwice"))
        << "with the DLL gone no further key is scanned";
}

TEST_F(Elimination, AProcessIdNowHeldByAnotherProgramIsNotTerminated)
{
    FixtureCopy server("server.exe", Folder(), "stale.exe");
    FixtureCopy ordinary("ordinary.exe", Folder(), "bystander.exe");
    LookAlikeProcess bystander(ordinary.Path());
    ProcessEntry stale;
    stale.id = bystander.Id(); // the server has ended and its id went to another program
    lstrcpyA(stale.path.data(), server.Path().c_str());

    std::vector<Notice> notices = Answering({IDOK}, [&] { EliminateServer(stale, IsServerCandidate); });

    EXPECT_TRUE(bystander.Running()) << "an unrelated program must never be ended";
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe"),
              notices[0].text) << "the server itself was no longer running";
    EXPECT_FALSE(FileExists(server.Path())) << "the file steps still run";
    EXPECT_TRUE(FileExists(Quarantine(Folder())));
    EXPECT_EQ(1, FoundThisCycle);
}

TEST_F(Elimination, AFailedCopyLeavesTheOriginalAndTheReportSaysSo)
{
    FixtureCopy server("server.exe", Folder(), "keepme.exe");
    LookAlikeProcess process(server.Path());
    ProcessEntry entry = EntryOf(process, server.Path());
    ASSERT_TRUE(PlantDropperDll());

    // Held open without read sharing, the file cannot be copied.
    std::vector<Notice> notices;
    {
        HeldFile held(server.Path(), 0);
        ASSERT_TRUE(held.Open());
        notices = Answering({IDOK}, [&] { EliminateServer(entry, IsServerCandidate); });
    }

    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_TRUE(FileExists(server.Path())) << "no copy, no delete";
    EXPECT_FALSE(FileExists(DropperDllFile()));
    ASSERT_EQ(1u, notices.size());
    const std::string& text = notices[0].text;
    EXPECT_TRUE(Contains(text, "The file could not be copied and was left in place.")) << text;
    EXPECT_FALSE(Contains(text, "made visible")) << "a copy that does not exist is never named";
    EXPECT_FALSE(Contains(text, "GrimlatchRemoved.exe")) << text;
    EXPECT_TRUE(Contains(text, Upper(server.Path()))) << text;
    EXPECT_EQ(1, FoundThisCycle);
    EXPECT_EQ((std::vector<std::string>{"DLL deleted | " + DropperDllFile(),
                                        "Removed | " + Upper(server.Path()) + " | No copy | The "
                                            "file could not be copied and was left in place."}),
              LogEntries());
}

// The program itself is started under a file size limit below the server's
// size, so its copy fails part-way with the first name taken and the second
// free: the part written at the second goes, the earlier copy at the first
// stays. Its sweep finds the server and asks.
TEST_F(Elimination, ACopyThatFailsPartWayLeavesNoPartAndKeepsTheEarlierCopy)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the file size limit is set from Wine's Unix side";
    std::string folder = Folder();
    FixtureCopy server("server.exe", folder, "half copied.exe");
    LookAlikeProcess process(server.Path());
    std::string const earlier = "an earlier copy";
    SetFileText(Quarantine(folder), &earlier);

    ZorvaneProcess z;
    ASSERT_TRUE(z.StartWithFileSizeLimit(64)) << "at most 64 KiB, the server has 128";
    EXPECT_EQ(Question(server.Path()), AnswerNotice(IDYES).text);
    Notice report = AnswerNotice(IDOK);
    z.End();

    EXPECT_TRUE(Contains(report.text, "The file could not be copied and was left in place."))
        << report.text;
    EXPECT_FALSE(FileExists(folder + "\\GrimlatchRemoved (2).exe")) << "the part written must go";
    EXPECT_EQ(earlier, FileBytes(Quarantine(folder))) << "a copy this attempt did not make stays";
    EXPECT_TRUE(FileExists(server.Path()));
}

TEST_F(Elimination, AValueThatCannotBeDeletedIsReported)
{
    FixtureCopy server("server.exe", Folder(), "sticky.exe");
    LookAlikeProcess process(server.Path());
    Register(HKEY_CURRENT_USER, TestKey, "other", "x");
    HKEY readOnly = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_CURRENT_USER, TestKey, 0, KEY_QUERY_VALUE, &readOnly));
    ProcessEntry entry = EntryOf(process, server.Path());

    std::vector<Notice> notices =
        Answering({IDOK}, [&] { EliminateServer(entry, IsServerCandidate, readOnly, "not there"); });

    ASSERT_EQ(1u, notices.size());
    EXPECT_TRUE(Contains(notices[0].text, "The autostart value could not be deleted.")) << notices[0].text;
    EXPECT_FALSE(Contains(notices[0].text, "It has been disabled.")) << notices[0].text;
    EXPECT_TRUE(Contains(notices[0].text, "made visible")) << "the copy was made and is named";
}

TEST_F(Elimination, AFileThatOnlyBearsTheDropperDllsNameIsNotDeleted)
{
    // The sweep finds the server although no genuine dropper DLL exists.
    EnhancedScanning = 1;
    FixtureCopy server("server.exe", Folder(), "swept.exe");
    LookAlikeProcess process(server.Path());
    ASSERT_TRUE(PlantDropperDll("windll-8193.dll"));
    std::string innocent = FileBytes(DropperDllFile());

    std::vector<Notice> notices = RunCycle({IDYES, IDOK});

    ASSERT_EQ(2u, notices.size());
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe"),
              notices[1].text);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_EQ(innocent, FileBytes(DropperDllFile()))
        << "a windll.dll of 8193 bytes is not the intruder's and must stay";
}

TEST_F(Elimination, ALaterRemovalInTheSameFolderKeepsEveryEarlierCopy)
{
    std::string folder = Folder();
    std::string second = folder + "\\GrimlatchRemoved (2).exe";
    std::string third = folder + "\\GrimlatchRemoved (3).exe";
    std::string fourth = folder + "\\GrimlatchRemoved (4).exe";
    ASSERT_TRUE(CreateDirectoryA(third.c_str(), nullptr)) << "a folder takes the name as well";

    std::vector<std::string> copies;
    std::vector<std::string> originals;
    for (int i = 0; i < 3; ++i) {
        FixtureCopy server("server.exe", folder, "server " + std::to_string(i) + ".exe");
        server.Poke(130000, static_cast<BYTE>('A' + i)); // padding, to tell the copies apart
        LookAlikeProcess process(server.Path());
        originals.push_back(FileBytes(server.Path()));
        std::vector<Notice> notices =
            Answering({IDOK}, [&] { EliminateServer(EntryOf(process, server.Path()), IsServerCandidate); });
        ASSERT_EQ(1u, notices.size());
        copies.push_back(notices[0].text);
        EXPECT_TRUE(process.WaitForExit(Patience));
    }
    std::string upper = Upper(folder);
    EXPECT_EQ(Report(Upper(folder + "\\server 0.exe"), upper + "\\GrimlatchRemoved.exe"),
              copies[0]) << "the first name, free, gives today's words";
    EXPECT_EQ(Report(Upper(folder + "\\server 1.exe"), upper + "\\GrimlatchRemoved (2).exe"),
              copies[1]);
    EXPECT_EQ(Report(Upper(folder + "\\server 2.exe"), upper + "\\GrimlatchRemoved (4).exe"),
              copies[2]) << "the name taken by a folder is passed over";
    EXPECT_TRUE(originals[0] == FileBytes(Quarantine(folder))) << "the first copy was replaced";
    EXPECT_TRUE(originals[1] == FileBytes(second)) << "the second copy was replaced";
    EXPECT_TRUE(originals[2] == FileBytes(fourth)) << "the third copy is not the third server";
}

TEST_F(Elimination, AProtectedServerFileIsDeletedAndItsCopyShows)
{
    FixtureCopy server("server.exe", Folder(), "protected.exe");
    DWORD const marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesA(server.Path().c_str(), marks));
    LookAlikeProcess process(server.Path());
    ASSERT_TRUE(process.Running());

    std::vector<Notice> notices =
        Answering({IDOK}, [&] { EliminateServer(EntryOf(process, server.Path()), IsServerCandidate); });

    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe"),
              notices[0].text);
    EXPECT_FALSE(FileExists(server.Path())) << "the read-only mark must not keep the file";
    DWORD copy = GetFileAttributesA(Quarantine(Folder()).c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, copy);
    EXPECT_EQ(0u, copy & marks) << "the copy keeps marks 0x" << std::hex << (copy & marks);

    SetFileAttributesA(Quarantine(Folder()).c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA(server.Path().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Elimination, AProcessThatCannotBeCheckedCountsAsStillRunning)
{
    FixtureCopy server("server.exe", Folder(), "unchecked.exe");
    LookAlikeProcess process;
    ASSERT_TRUE(process.StartSealed(server.Path()));

    std::vector<Notice> notices =
        Answering({IDOK}, [&] { EliminateServer(EntryOf(process, server.Path()), IsServerCandidate); });

    ASSERT_EQ(1u, notices.size());
    const std::string& text = notices[0].text;
    EXPECT_TRUE(process.Running()) << "a process whose image cannot be read is never ended";
    EXPECT_FALSE(Contains(text, "It has been disabled.")) << text;
    EXPECT_TRUE(Contains(text, "\nThe process could not be ended.")) << text;
}

// Where Wine, like the NT family, keeps the deletions that wait for a restart.
char const SessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
char const PendingRenamesName[] = "PendingFileRenameOperations";

// Removes the server while the test holds its file open for reading, as
// another program might: it can be copied, but not deleted.
std::vector<Notice> EliminateHeld(const FixtureCopy& server, const LookAlikeProcess& process)
{
    HeldFile held(server.Path(), FILE_SHARE_READ);
    EXPECT_TRUE(held.Open());
    return Answering({IDOK}, [&] { EliminateServer(EntryOf(process, server.Path()), IsServerCandidate); });
}

TEST_F(Elimination, AnUndeletableServerIsDeletedAtRestartOnTheNtFamily)
{
    FixtureCopy server("server.exe", Folder(), "held nt.exe");
    LookAlikeProcess process(server.Path());
    KeptValue pending(HKEY_LOCAL_MACHINE, SessionManager, PendingRenamesName);
    std::string wininit = FileBytes(WindowsFile("WININIT.INI"));

    std::vector<Notice> notices = EliminateHeld(server, process);

    ASSERT_EQ(1u, notices.size());
    std::string image = Upper(server.Path());
    EXPECT_EQ(Report(image, Upper(Folder()) + "\\GrimlatchRemoved.exe") + DeletedAtRestart,
              notices[0].text);
    StoredValue after = ReadStoredValue(HKEY_LOCAL_MACHINE, SessionManager, PendingRenamesName);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), after.type);
    std::string entry = "\\??\\" + image + std::string(2, '\0'); // the path, then no new name
    EXPECT_TRUE(Contains(Upper(after.bytes), entry))
        << "no deletion of " << image << " among " << after.bytes.size() << " bytes";
    EXPECT_EQ(wininit, FileBytes(WindowsFile("WININIT.INI"))) << "WININIT.INI is for 95/98";
}

TEST_F(Elimination, AnUndeletableServerThatCannotWaitForARestartIsReportedAsLeft)
{
    FixtureCopy server("server.exe", Folder(), "held unscheduled.exe");
    LookAlikeProcess process(server.Path());
    KeptValue pending(HKEY_LOCAL_MACHINE, SessionManager, PendingRenamesName);
    std::vector<Notice> notices;
    {
        ReadOnlyKey locked(HKEY_LOCAL_MACHINE, SessionManager);
        ASSERT_TRUE(locked.Locked());
        notices = EliminateHeld(server, process);
    }

    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe") +
                  NotDeleted + ".",
              notices[0].text);
    EXPECT_TRUE(FileExists(server.Path()));
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += static_cast<char>(c);
    return narrow;
}

// The longest image path that a process entry holds is asked about whole.
// The report is shown whole with the longest paths that the file calls take:
// an image path of 259 characters, and its copy's path beside it.
TEST_F(Elimination, TheQuestionAndTheReportShowTheLongestPathsWhole)
{
    std::string longest = "C:\\" + std::string(150, 'q') + "\\" + std::string(141, 'q') + ".exe";
    ASSERT_EQ(299u, longest.size());
    std::vector<Notice> question = Answering({IDNO}, [&] { AskAboutImage(longest.c_str()); });
    ASSERT_EQ(1u, question.size());
    EXPECT_EQ(Question(longest), question[0].text);

    LongFolder folder(L"C:\\ZorvaneLongReport", 233);
    FixtureCopy server("server.exe", Narrow(folder.Path()), std::string(25 - 4, 's') + ".exe");
    ASSERT_TRUE(server.Made());
    std::string image = server.Path();
    ASSERT_EQ(259u, image.size());
    FixtureCopy ordinary("ordinary.exe", Folder(), "bystander.exe");
    LookAlikeProcess bystander(ordinary.Path()); // the server itself has ended

    std::vector<Notice> report =
        Answering({IDOK}, [&] { EliminateServer(EntryOf(bystander, image), IsServerCandidate); });

    ASSERT_EQ(1u, report.size());
    std::string copy = Upper(Narrow(folder.Path())) + "\\GrimlatchRemoved.exe";
    EXPECT_EQ(254u, copy.size());
    EXPECT_EQ(Report(Upper(image), copy), report[0].text);
}

// A copy's name beside a server in a folder as deep as a path allows need
// not fit in MAX_PATH; the folder's short form then names the copy's folder.
TEST_F(Elimination, ACopyNameTooLongForMaxPathIsMadeInTheFoldersShortForm)
{
    std::string const copyName = "\\GrimlatchRemoved.exe";
    LongFolder fits(L"C:\\ZorvaneDeepCopy", 259 - copyName.size());
    std::string folder = Narrow(fits.Path());
    QuarantineBuffer copy;
    ASSERT_TRUE(MakeQuarantinePath((folder + "\\s.exe").c_str(), 1, copy));
    EXPECT_EQ(folder + copyName, copy.data()) << "259 characters fit as they are";
    ASSERT_TRUE(MakeQuarantinePath((folder + "\\s.exe").c_str(), 2, copy));
    EXPECT_EQ(ShortPath(folder) + "\\GrimlatchRemoved (2).exe", copy.data());

    LongFolder over(L"C:\\ZorvaneDeepCopy", 260 - copyName.size());
    folder = Narrow(over.Path());
    ASSERT_NE(folder, ShortPath(folder)) << "the long parts have short forms";
    ASSERT_TRUE(MakeQuarantinePath((folder + "\\s.exe").c_str(), 1, copy));
    EXPECT_EQ(ShortPath(folder) + copyName, copy.data());

    LongFolder plain(L"C:\\ZORVDEEP", 260 - copyName.size(), 8);
    folder = Narrow(plain.Path());
    EXPECT_FALSE(MakeQuarantinePath((folder + "\\s.exe").c_str(), 1, copy))
        << "no short form of " << folder << " leaves room for the copy";
}

// The path may hold another file by the time the server is removed: only a
// file that still passes the test that identified it is copied and deleted.
TEST_F(Elimination, AFileThatNoLongerPassesItsTestIsLeftAlone)
{
    FixtureCopy candidate("candidate.exe", Folder(), "swapped.exe");
    FixtureCopy ordinary("ordinary.exe", Folder(), "updated.exe");
    FixtureCopy other("ordinary.exe", Folder(), "bystander.exe");
    LookAlikeProcess bystander(other.Path()); // the server itself has ended
    std::string const changed = "\n\nNot everything could be done:\nThe file has changed since it "
                                "was found and was not removed.";
    struct {
        const FixtureCopy& file;
        ServerTest test;
        bool removed;
    } cases[] = {
        {candidate, IdentifiesItselfAsServer, false}, // neither the name nor the code
        {ordinary, IsServerCandidate, false},
        {candidate, IsServerCandidate, true},
    };
    for (const auto& c : cases) {
        std::string path = c.file.Path();
        std::vector<Notice> notices =
            Answering({IDOK}, [&] { EliminateServer(EntryOf(bystander, path), c.test); });
        ASSERT_EQ(1u, notices.size());
        std::string head = Report(Upper(path), "");
        head = head.substr(0, head.find("\n\nThe Grimlatch file"));
        EXPECT_EQ(c.removed ? Report(Upper(path), Quarantine(Upper(Folder()))) : head + changed,
                  notices[0].text);
        EXPECT_NE(c.removed, FileExists(path)) << path;
    }
}

// A server that can be neither ended nor deleted is found again at every
// scan; its removals in one run share one copy and one deletion at restart,
// for as long as the copy is still there and whole.
TEST_F(Elimination, RemovalsOfOneUndeletableServerShareOneCopy)
{
    FixtureCopy server("server.exe", Folder(), "held again.exe");
    LookAlikeProcess process(server.Path());
    KeptValue pending(HKEY_LOCAL_MACHINE, SessionManager, PendingRenamesName);
    std::string image = Upper(server.Path());
    std::string second = Upper(Folder()) + "\\GrimlatchRemoved (2).exe";
    std::string reused = Report(image, Quarantine(Upper(Folder()))) + DeletedAtRestart;
    reused.replace(reused.find("has been made visible and can now"), 33,
                   "was made visible by an earlier removal and can still");

    std::vector<Notice> notices[3];
    for (int i = 0; i < 3; ++i) {
        if (i == 2) // the copy is no longer whole
            SetFileText(Quarantine(Folder()), &image);
        notices[i] = EliminateHeld(server, process);
        ASSERT_EQ(1u, notices[i].size());
    }
    EXPECT_EQ(Report(image, Quarantine(Upper(Folder()))) + DeletedAtRestart, notices[0][0].text);
    EXPECT_EQ(reused, notices[1][0].text);
    EXPECT_EQ(Report(image, second) + DeletedAtRestart, notices[2][0].text);
    std::string listed = Upper(ReadStoredValue(HKEY_LOCAL_MACHINE, SessionManager,
                                               PendingRenamesName).bytes);
    size_t first = listed.find(image + std::string(1, '\0'));
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, listed.find(image + std::string(1, '\0'), first + 1))
        << "the deletion is handed over once";
}

// A program that has loaded the dropper DLL keeps it from being deleted. The
// removal says so, and the DLL is deleted at the restart, whether the removal
// or the end of the cycle finds it still there; once only.
TEST_F(Elimination, ADllInUseIsDeletedAtRestartAndTheReportSaysSo)
{
    KeptValue pending(HKEY_LOCAL_MACHINE, SessionManager, PendingRenamesName);
    ASSERT_TRUE(PlantDropperDll());
    HeldFile held(DropperDllFile(), FILE_SHARE_READ);
    ASSERT_TRUE(held.Open());
    std::string dll = Upper(DropperDllFile()) + std::string(2, '\0');
    auto timesListed = [&] {
        std::string listed = Upper(ReadStoredValue(HKEY_LOCAL_MACHINE, SessionManager,
                                                   PendingRenamesName).bytes);
        int times = 0;
        for (size_t at = listed.find(dll); at != std::string::npos; at = listed.find(dll, at + 1))
            ++times;
        return times;
    };

    std::vector<Notice> notices = RunCycle({IDNO});
    ASSERT_EQ(1u, notices.size()) << "the offer to restart";
    EXPECT_EQ(1, timesListed()) << "the restart is to delete the DLL";

    FixtureCopy server("server.exe", Folder(), "dll held.exe");
    LookAlikeProcess process(server.Path());
    Register(HKEY_CURRENT_USER, RunKey, "ZorvaneTestDllHeld", server.Path());
    notices = RunCycle({IDOK, IDNO});
    ASSERT_LE(1u, notices.size());
    EXPECT_EQ(Report(Upper(server.Path()), Quarantine(Upper(Folder()))) +
                  "\n\nNot everything could be done:\nThe Grimlatch DLL windll.dll could not be "
                  "deleted; it will be deleted when the computer restarts.",
              notices[0].text);
    EXPECT_TRUE(FileExists(DropperDllFile()));
    EXPECT_EQ(1, timesListed()) << "once per file";
    std::vector<std::string> logged = LogEntries();
    logged.resize(3);
    std::string const file = DropperDllFile(), copy = Quarantine(Upper(Folder()));
    std::string const failed = notices[0].text.substr(notices[0].text.rfind('\n') + 1);
    EXPECT_EQ((std::vector<std::string>{"DLL deleted at restart | " + file,
                                        "Restart offer | " + file + " | No",
                                        "Removed | " + Upper(server.Path()) + " | " + copy +
                                            " | " + failed}),
              logged) << "the handing over is logged once";
}

// A log that cannot be written, or is not Zorvane's, is left as it was and
// changes nothing that the user sees. A log that a line would take past
// 256 KiB becomes Zorvane.old, in place of an earlier one.
TEST_F(Elimination, TheLogChangesNothingTheUserSeesAndKeepsWithinItsLimit)
{
    FixtureCopy ordinary("ordinary.exe", Folder(), "bystander.exe");
    LookAlikeProcess bystander(ordinary.Path()); // the server itself has ended
    auto removal = [&] {
        FixtureCopy server("server.exe", Folder(), "logged.exe");
        std::vector<Notice> notices = Answering(
            {IDOK}, [&] { EliminateServer(EntryOf(bystander, server.Path()), IsServerCandidate); });
        EXPECT_EQ(Report(Upper(server.Path()), Quarantine(Upper(Folder()))),
                  notices.empty() ? "" : notices[0].text);
        DeleteFileA(Quarantine(Folder()).c_str());
        return FileBytes(LogPath());
    };
    std::string const mine = "not Zorvane's\r\n", foreign(16 * 1024 * 1024 + 1, 'f');
    ASSERT_TRUE(CreateDirectoryA(LogPath().c_str(), nullptr));
    removal();
    EXPECT_TRUE(RemoveDirectoryA(LogPath().c_str())) << "the folder must stay, and empty";
    for (const std::string* kept : {&mine, &foreign}) {
        SetFileText(LogPath(), kept);
        SetFileAttributesA(LogPath().c_str(), kept == &mine ? FILE_ATTRIBUTE_READONLY : 0);
        EXPECT_TRUE(*kept == removal()) << "a read-only log, or one over 16 MiB, must stay";
        SetFileAttributesA(LogPath().c_str(), FILE_ATTRIBUTE_NORMAL);
    }

    SetFileText(LogPath(), nullptr);
    std::string line = removal(), full(256 * 1024 - line.size(), 'x');
    SetFileText(LogPath(), &full);
    SetFileText(LogPath("old"), &mine);
    full = removal();
    EXPECT_EQ(256u * 1024, full.size()) << "a line that just fits is added";
    EXPECT_EQ(line.size(), removal().size()) << "the next one starts a new log";
    EXPECT_TRUE(full == FileBytes(LogPath("old"))) << "the full log is now Zorvane.old";
}

// Zorvane.exe itself, told by Wine that it runs on Windows 98, removes a
// server whose file another program holds open.
TEST_F(Elimination, AnUndeletableServerIsDeletedAtRestartOnWindows98)
{
    CloseAllZorvanes();
    TestValues values;
    ASSERT_TRUE(values.Write(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Zorvane.exe",
                             "Version", "win98"));
    std::string iniPath = WindowsFile("WININIT.INI");
    std::string saved = FileBytes(iniPath);
    bool hadIni = FileExists(iniPath);
    std::string earlier = "[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\EARLIER.TMP\r\n"
                          "C:\\WINDOWS\\NEW.DLL=C:\\WINDOWS\\OLD.DLL\r\n[later]\r\nkeep=1\r\n";
    SetFileText(iniPath, &earlier);

    FixtureCopy server("server.exe", Folder(), "held on 98.exe");
    LookAlikeProcess process(server.Path());
    ASSERT_TRUE(values.Write(HKEY_CURRENT_USER, RunKey, "ZorvaneTestHeld98", server.Path()));
    ASSERT_TRUE(PlantDropperDll());
    std::string shortPath = ShortPath(server.Path());

    Notice report;
    {
        HeldFile held(server.Path(), FILE_SHARE_READ);
        ASSERT_TRUE(held.Open());
        ZorvaneProcess zorvane;
        ASSERT_TRUE(zorvane.Start());
        report = AnswerNotice(IDOK);
        CloseAllZorvanes();
    }
    std::string after = FileBytes(iniPath);
    SetFileText(iniPath, hadIni ? &saved : nullptr);
    RemoveValue(HKEY_LOCAL_MACHINE, MachineRunKey, "Zorvane");
    RemoveKey(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Zorvane.exe");

    ASSERT_TRUE(report.shown) << "no report within 30 s";
    EXPECT_EQ(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved.exe") + DeletedAtRestart,
              report.text);
    // Letter case aside: the short path is asked of the upper-cased image path.
    EXPECT_EQ(Upper("[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\EARLIER.TMP\r\n"
                    "C:\\WINDOWS\\NEW.DLL=C:\\WINDOWS\\OLD.DLL\r\nNUL=" + shortPath +
                    "\r\n[later]\r\nkeep=1\r\n"),
              Upper(after)) << "the earlier lines must stay and the new one name " << shortPath;
}

// The [rename] section of a WININIT.INI of the test's own.
class WininitDeletion : public ::testing::Test {
protected:
    std::string Path() const { return TempFolder() + "\\wininit test.ini"; }
    void TearDown() override { DeleteFileA(Path().c_str()); }

    std::string After(const std::string* before)
    {
        SetFileText(Path(), before);
        EXPECT_TRUE(AppendWininitDeletion(Path().c_str(), "C:\\SERVER~1.EXE"));
        return FileBytes(Path());
    }
};

TEST_F(WininitDeletion, EveryLineAlreadyThereIsKept)
{
    std::string const line = "NUL=C:\\SERVER~1.EXE\r\n";
    struct {
        std::string before;
        std::string after;
    } cases[] = {
        {"[rename]\r\nNUL=C:\\A.TMP\r\n", "[rename]\r\nNUL=C:\\A.TMP\r\n" + line},
        {"[Rename]\r\nNUL=C:\\A.TMP", "[Rename]\r\nNUL=C:\\A.TMP\r\n" + line},
        {"[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\A.TMP\r\n\r\n[later]\r\ny=2\r\n",
         "[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\A.TMP\r\n\r\n" + line + "[later]\r\ny=2\r\n"},
        {"[boot]\r\nx=1\r\n", "[boot]\r\nx=1\r\n[rename]\r\n" + line},
        {"[boot]\nx=1", "[boot]\nx=1\r\n[rename]\r\n" + line},
        {"", "[rename]\r\n" + line},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.after, After(&c.before)) << "from \"" << c.before << "\"";
    EXPECT_EQ("[rename]\r\n" + line, After(nullptr)) << "a missing file is made";
}

// A write that fails half-way must not cost other programs' renames: the old
// file is never written to, and no file of the change is left beside it.
TEST_F(WininitDeletion, TheOldFileIsReplacedWholeNeverWrittenOver)
{
    std::string const before = "[rename]\r\nNUL=C:\\A.TMP\r\n[later]\r\ny=2\r\n";
    SetFileText(Path(), &before);
    HANDLE old = CreateFileA(Path().c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, old);

    EXPECT_TRUE(AppendWininitDeletion(Path().c_str(), "C:\\SERVER~1.EXE"));

    char bytes[256] = "";
    DWORD got = 0;
    ReadFile(old, bytes, sizeof bytes, &got, nullptr);
    CloseHandle(old);
    EXPECT_EQ(before, std::string(bytes, got)) << "the old file was written to";
    EXPECT_EQ("[rename]\r\nNUL=C:\\A.TMP\r\nNUL=C:\\SERVER~1.EXE\r\n[later]\r\ny=2\r\n",
              FileBytes(Path()));
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((TempFolder() + "\\zrv*.tmp").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search) << "left behind: " << found.cFileName;
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
}

} // namespace
