// Finding and removing the server: the autostart key scan, the sweep and the
// elimination sequence, with real look-alike processes, real registry values
// and real files, and every notice read off the screen.
#include <gtest/gtest.h>
#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>
#include <shlobj.h>
#include "LongPath.h"
#include "ScanTest.h"
#include "Zorvane.h"
#include "win/Notice.h"
#include "scan/Removal.h"
#include "scan/Scan.h"
#include "settings/Settings.h"

namespace {

char const RunServices[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
char const RunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// A key of the tests' own, for scanning one key directly.
char const TestKey[] = "Software\\ZorvaneTests\\Autostart";

// A file held open by the test, with the given sharing, until the object goes.
struct HeldFile : KernelHandle {
    HeldFile(const std::string& path, DWORD sharing)
        : KernelHandle(CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    bool Open() const { return Valid(); }
};

// A process id that no process has: the server had already gone.
constexpr DWORD Gone = 0x7FFFFFFC;
constexpr DWORD NotHeld = 0xFFFFFFFF;

// Removes the server at `path`, listed as process `id`, while the test holds
// its file with `sharing`, as another program might, and gives back its one
// notice's text; `sooner` learns whether the next scan comes sooner.
std::string Removal(const std::string& path, DWORD id, DWORD sharing = NotHeld,
                    ServerTest test = IsServerCandidate, bool* sooner = nullptr,
                    AutostartValue* value = nullptr)
{
    std::unique_ptr<HeldFile> held(sharing == NotHeld ? nullptr : new HeldFile(path, sharing));
    EXPECT_TRUE(!held || held->Open()) << path;
    ProcessEntry entry;
    entry.id = id;
    lstrcpyA(entry.path.data(), path.c_str());
    bool result = false;
    std::vector<Notice> notices =
        Answering({IDOK}, [&] { result = EliminateServer(entry, test, value); });
    if (sooner)
        *sooner = result;
    EXPECT_EQ(1u, notices.size()) << path;
    return notices.empty() ? "" : notices[0].text;
}

// The report of a removal that made the first copy beside the file.
std::string FirstReport(const std::string& path)
{
    return Report(Upper(path), Upper(path.substr(0, path.rfind('\\'))) + "\\GrimlatchRemoved.exe");
}

std::string ShortPath(const std::string& path)
{
    char shortPath[MAX_PATH] = "";
    DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return n > 0 && n < sizeof shortPath ? shortPath : "<no short path>";
}

std::string WindowsFolder()
{
    char folder[MAX_PATH] = "";
    GetWindowsDirectoryA(folder, sizeof folder);
    return folder;
}

std::string WindowsFile(const char* name)
{
    return WindowsFolder() + "\\" + name;
}

// A folder put first on the PATH that Windows searches for a program named
// without one, until the object goes.
class FolderOnPath {
public:
    explicit FolderOnPath(const std::string& folder)
    {
        std::vector<char> path(GetEnvironmentVariableA("PATH", nullptr, 0) + 1);
        GetEnvironmentVariableA("PATH", path.data(), static_cast<DWORD>(path.size()));
        old_ = path.data();
        SetEnvironmentVariableA("PATH", (folder + ";" + old_).c_str());
    }
    ~FolderOnPath() { SetEnvironmentVariableA("PATH", old_.c_str()); }
    FolderOnPath(const FolderOnPath&) = delete;
    FolderOnPath& operator=(const FolderOnPath&) = delete;

private:
    std::string old_;
};

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
        RemoveKey(HKEY_LOCAL_MACHINE, TestKey);
        ScanTest::TearDown();
    }

    std::vector<Notice> ScanKey(HKEY root, const char* key, int pass, std::vector<int> buttons = {})
    {
        ProcessList snapshot;
        EXPECT_TRUE(snapshot.Take());
        ScanPass scanPass = pass ? ScanPass::Asking : ScanPass::Silent;
        return Answering(std::move(buttons),
                         [&] { LastScanFound = ScanAutostartKey(root, key, snapshot, scanPass); });
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
    EXPECT_TRUE(LastScanFound) << "which brings the next scan a second later";
}

// Wine takes the user's language from the Unix locale that Zorvane.exe is
// started in. The server carries its texts under US English, whatever the
// language of the machine it runs on, so it must be found for a German and a
// British user too: the typical event, a question in the asking pass, and the
// sweep. A look-alike with proper German texts beside blank US English ones
// is asked about; one with no translation blank throughout is not.
TEST_F(Elimination, TheServerIsFoundWhateverTheUsersLanguage)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the user's language is set from Wine's Unix side";
    std::string const hint = " (the locale must be installed, as tools/lib.sh does)";
    for (const char* locale : {"de_DE.UTF-8", "en_GB.UTF-8"}) {
        SCOPED_TRACE(locale);
        CloseAllZorvanes();
        {
            FixtureCopy server("server.exe", SystemDirectory(), " .exe");
            ASSERT_TRUE(server.Made());
            server.Poke(1536, 0x90); // known by its name alone
            LookAlikeProcess process(server.Path());
            TestValues values;
            ASSERT_TRUE(values.Write(HKEY_LOCAL_MACHINE, RunServices, "ZorvaneTestTypical", " .exe"));
            ASSERT_TRUE(PlantDropperDll());
            ZorvaneProcess z;
            ASSERT_TRUE(z.StartInLocale(locale));
            Notice report = AnswerNotice(IDOK);
            CloseAllZorvanes();
            std::string image = Upper(SystemImageDirectory() + "\\ .exe");
            EXPECT_EQ(Report(image, Upper(SystemImageDirectory()) + "\\GrimlatchRemoved.exe"), report.text)
                << "the typical event must end in the report" << hint;
            EXPECT_FALSE(process.Running()) << "a removal ends the server before it reports";
            EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RunServices, "ZorvaneTestTypical"));
            DeleteFileA(Quarantine(SystemDirectory()).c_str());
        }
        {
            FixtureCopy candidate("candidate.exe", Folder(), "candidate.exe");
            FixtureCopy server("server-translations.exe", Folder(), "unlisted.exe");
            FixtureCopy split("near-split.exe", Folder(), "split.exe");
            LookAlikeProcess a(candidate.Path()), b(server.Path()), c(split.Path());
            TestValues values;
            ASSERT_TRUE(values.Write(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestAsked", candidate.Path()));
            ASSERT_TRUE(PlantDropperDll());
            ZorvaneProcess z;
            ASSERT_TRUE(z.StartInLocale(locale));
            // The questions, answered No, until the offer to restart ends the cycle.
            std::vector<std::string> asked;
            for (Notice n; (n = AnswerNotice(IDNO)).shown && Contains(n.text, "Please confirm");)
                asked.push_back(n.text);
            CloseAllZorvanes();
            EXPECT_EQ((std::vector<std::string>{Question(candidate.Path()), Question(server.Path())}),
                      asked)
                << "the asking pass, then the sweep, and never the look-alike that has no "
                   "translation blank throughout" << hint;
            EXPECT_TRUE(a.Running() && b.Running() && c.Running()) << "No leaves them alone";
        }
    }
    RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
}

// The short form of a path that only Unicode spells, in the ANSI that it is
// spelled in.
std::string ShortPath(const std::wstring& path)
{
    wchar_t shortPath[MAX_PATH] = L"";
    char ansi[MAX_PATH] = "";
    GetShortPathNameW(path.c_str(), shortPath, MAX_PATH);
    WideCharToMultiByte(CP_ACP, 0, shortPath, -1, ansi, MAX_PATH, nullptr, nullptr);
    return ansi;
}

// A string value whose name or data only Unicode spells, and the count of
// the values that a key holds, which tells whether such a value is gone.
bool StoreWideValue(HKEY root, const char* key, const wchar_t* name, const std::wstring& data)
{
    HKEY opened = nullptr;
    LONG stored = RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (stored == ERROR_SUCCESS)
        stored = RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(opened);
    return stored == ERROR_SUCCESS;
}

DWORD ValueCount(HKEY root, const char* key)
{
    HKEY opened = nullptr;
    DWORD count = 0;
    if (RegOpenKeyExA(root, key, 0, KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS)
        RegQueryInfoKeyA(opened, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(opened);
    return count;
}

// A copy of a fixture under a name that only Unicode spells for the test,
// deleted again when the object goes.
class WideCopy {
public:
    WideCopy(const std::string& fixture, const std::wstring& path) : path_(path)
    {
        std::string source = FixturePath(fixture);
        std::wstring from(source.begin(), source.end());
        made_ = CopyFileW(from.c_str(), path.c_str(), FALSE) != 0;
    }
    ~WideCopy() { DeleteFileW(path_.c_str()); }
    WideCopy(const WideCopy&) = delete;
    WideCopy& operator=(const WideCopy&) = delete;
    bool Made() const { return made_; }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
    bool made_ = false;
};

// On a Japanese Windows (code page 932) the katakana letter SO (U+30BD) is
// the bytes 0x83 0x5C, and 0x5C is a backslash. Zorvane.exe started in a
// Japanese locale must read "SO .exe" as a name of its own, not as the
// server's " .exe", and must name the copy of a server called "SO.exe"
// GrimlatchRemoved.exe, not "SOGrimlatchRemoved.exe". The first is scanned
// before the second.
TEST_F(Elimination, OnADoubleByteWindowsAPathIsCutAtItsBackslashesOnly)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the code page is set from Wine's Unix side";
    std::wstring const folder = Wide(Folder());
    WideCopy named("candidate.exe", folder + L"\\\u30BD .exe");
    WideCopy server("server.exe", folder + L"\\\u30BD.exe");
    ASSERT_TRUE(named.Made() && server.Made());
    LookAlikeProcess a, b;
    ASSERT_TRUE(a.Launch(named.Path()) && b.Launch(server.Path()));
    TestValues values;
    ASSERT_TRUE(values.Write(HKEY_LOCAL_MACHINE, RunServices, "ZorvaneTestSo", ""));
    ASSERT_TRUE(values.Write(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestSo", ""));
    ASSERT_TRUE(StoreWideValue(HKEY_LOCAL_MACHINE, RunServices, L"ZorvaneTestSo", named.Path()));
    ASSERT_TRUE(StoreWideValue(HKEY_CURRENT_USER, RunKeyPath, L"ZorvaneTestSo", server.Path()));
    ASSERT_TRUE(PlantDropperDll());

    ZorvaneProcess z;
    ASSERT_TRUE(z.StartInLocale("ja_JP.UTF-8"));
    Notice report = AnswerNotice(IDOK);
    CloseAllZorvanes();
    RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");

    EXPECT_TRUE(Contains(report.text, "It has been disabled.")) << report.text;
    EXPECT_TRUE(a.Running()) << "\"SO .exe\" is not the server's name"
                                " (the locale must be installed, as tools/lib.sh does)";
    EXPECT_FALSE(b.Running()) << "the server named \"SO.exe\" is removed";
    EXPECT_TRUE(FileExists(Quarantine(Folder()))) << "its copy must be GrimlatchRemoved.exe";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesW((folder + L"\\\u30BDGrimlatchRemoved.exe").c_str()));
    DeleteFileW((folder + L"\\\u30BDGrimlatchRemoved.exe").c_str());
}

// On the NT family the code page turns a full-width 'U' into an 'U', and a
// letter that it lacks into '?'. Read so, the server's value would be taken
// for another program's of the plain name, and deleted in its place; a
// server in a user's folder that the code page cannot spell would be missed.
// It goes silently, value and all, known by its code under another name, and
// the report names it in a form that opens it: its short form where the long
// one cannot be spelled.
TEST_F(Elimination, AValueIsDeletedByItsOwnNameAndAPathOnlyUnicodeSpellsIsReached)
{
    struct Case {
        const wchar_t* folder; // under the suite's folder, or none
        const wchar_t* file;
        const wchar_t* arguments;
        bool shownShort;
    };
    for (auto [sub, file, arguments, shownShort] :
         {Case{L"", L"svchelper.exe", L"", false},
          {L"\\\u0414\u043C\u0438\u0442\u0440\u0438\u0439", L" .exe", L" -s", true}}) {
        std::wstring const folder = Wide(Folder()) + sub;
        CreateDirectoryW(folder.c_str(), nullptr);
        {
            WideCopy server("server.exe", folder + L"\\" + file);
            ASSERT_TRUE(server.Made());
            LookAlikeProcess process;
            ASSERT_TRUE(process.Launch(server.Path()));
            Register(HKEY_CURRENT_USER, TestKey, "Updater", "C:\\Tools\\updater.exe");
            ASSERT_TRUE(StoreWideValue(HKEY_CURRENT_USER, TestKey, L"\uFF35pdater",
                                       L"\"" + server.Path() + L"\"" + arguments));
            std::string const image = shownShort ? ShortPath(server.Path())
                                                 : Folder() + "\\svchelper.exe";
            std::string const shownFolder = shownShort ? ShortPath(folder) : Folder();

            std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 0, {IDOK});

            ASSERT_EQ(1u, notices.size());
            EXPECT_EQ(Report(Upper(image), Upper(shownFolder) + "\\GrimlatchRemoved.exe"),
                      notices[0].text);
            EXPECT_TRUE(process.WaitForExit(Patience));
            EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, TestKey, "Updater")) << "another program's";
            EXPECT_EQ(1u, ValueCount(HKEY_CURRENT_USER, TestKey)) << "the server's own value goes";
            EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(server.Path().c_str()));
            std::vector<std::string> logged = LogEntries();
            ASSERT_FALSE(logged.empty());
            EXPECT_TRUE(Contains(logged.back(), " | |uFF35pdater | \""))
                << "the name as it can be put back: " << logged.back();
            EXPECT_TRUE(LastScanFound);
        }
        DeleteFileW((folder + L"\\GrimlatchRemoved.exe").c_str());
        if (*sub)
            RemoveDirectoryW(folder.c_str());
    }
}

TEST_F(Elimination, AProgramWhosePathTheCodePageChangesIsNotTakenForItsLookAlike)
{
    FixtureCopy server("server.exe", Folder(), "svchelper.exe");
    WideCopy other("ordinary.exe", Wide(Folder()) + L"\\\uFF53vchelper.exe");
    ASSERT_TRUE(server.Made() && other.Made());
    LookAlikeProcess process;
    ASSERT_TRUE(process.Launch(other.Path()));
    Register(HKEY_CURRENT_USER, TestKey, "helper", server.Path());

    EXPECT_TRUE(ScanKey(HKEY_CURRENT_USER, TestKey, 1).empty());
    EXPECT_TRUE(process.Running()) << "the running program is not the look-alike";
    EXPECT_TRUE(FileExists(server.Path()));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, TestKey, "helper"));
}

TEST_F(Elimination, ACandidateWithoutNameOrCodeIsOnlyAskedAboutInTheSecondPass)
{
    FixtureCopy candidate("candidate.exe", Folder(), "Candidate Copy.exe");
    ASSERT_TRUE(candidate.Made());
    LookAlikeProcess process(candidate.Path());
    // The log keeps the value, so that it can be put back; a '|' in it, or a
    // byte below 0x20, cannot pass for the log's own separator.
    std::string const data = "\"" + candidate.Path() + "\" /a|b\tc";
    Register(HKEY_CURRENT_USER, TestKey, "candidate | one", data);

    EXPECT_TRUE(ScanKey(HKEY_CURRENT_USER, TestKey, 0).empty()) << "pass 0 never asks";

    std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO});
    ASSERT_EQ(1u, notices.size());
    EXPECT_EQ(Question(candidate.Path()), notices[0].text) << "the path as the snapshot gives it";
    EXPECT_EQ("Cancel Yes No", notices[0].buttons);
    EXPECT_TRUE(process.Running()) << "No leaves everything alone";
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, TestKey, "candidate | one"));
    EXPECT_TRUE(FileExists(candidate.Path()));
    EXPECT_FALSE(LastScanFound);

    notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDYES, IDOK});
    ASSERT_EQ(2u, notices.size());
    EXPECT_EQ(FirstReport(candidate.Path()), notices[1].text);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, TestKey, "candidate | one"));
    EXPECT_FALSE(FileExists(candidate.Path()));
    EXPECT_TRUE(FileExists(Quarantine(Folder())));
    std::string asked = "Question | " + candidate.Path();
    EXPECT_EQ((std::vector<std::string>{
                  asked + " | No", asked + " | Yes",
                  "Removed | " + Upper(candidate.Path()) + " | " + Quarantine(Upper(Folder())) +
                      " | HKEY_CURRENT_USER\\" + TestKey + " | candidate || one | \"" +
                      candidate.Path() + "\" /a||b|09c | 1"}),
              LogEntries());
}

// Windows starts the program of a command in quotes, or with arguments after
// it, all the same. A program named without a folder is the first of that
// name in the system folder, the Windows folder or a folder on the PATH: the
// look-alike while its folder is on the PATH, and no longer once a namesake
// in the Windows folder comes first.
TEST_F(Elimination, CommandsMatchThePathOrFileNameAsWindowsReadsThem)
{
    FixtureCopy candidate("candidate.exe", Folder(), "match me.exe");
    ASSERT_TRUE(candidate.Made());
    LookAlikeProcess process(candidate.Path());
    std::string shortPath = ShortPath(candidate.Path());
    struct { std::string data; bool asks; bool bare; } cases[] = {
        {Upper(candidate.Path()), true, false},
        {"Match Me.EXE", true, true},
        {shortPath, true, false},
        {shortPath.substr(shortPath.rfind('\\') + 1), true, true},
        {candidate.Path() + " -autorun", true, false},
        {"\"" + candidate.Path() + "\"", true, false},
        {"\"" + candidate.Path() + "\" -autorun", true, false},
        {"Match Me.exe\t/s", true, true},
        {shortPath + " -autorun", true, false},
        {"match me", false, false},
        {candidate.Path() + "x -autorun", false, false},
        {"\"" + candidate.Path(), false, false},
    };
    FolderOnPath onPath(Folder());
    for (bool namesakeFirst : {false, true}) {
        std::unique_ptr<FixtureCopy> namesake;
        if (namesakeFirst)
            namesake = std::make_unique<FixtureCopy>("ordinary.exe", WindowsFolder(), "match me.exe");
        for (const auto& c : cases) {
            RemoveKey(HKEY_CURRENT_USER, TestKey);
            Register(HKEY_CURRENT_USER, TestKey, "value", c.data);
            std::vector<Notice> notices = ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO});
            EXPECT_EQ(c.asks && !(c.bare && namesakeFirst) ? 1u : 0u, notices.size())
                << "data: " << c.data << (namesakeFirst ? ", with a namesake found first" : "");
        }
    }
    EXPECT_TRUE(process.Running());
}

// Windows 95/98 may list an image under the short form of its path, where the
// value holds the long one; a value may hold the short form of a path that the
// system lists long. The image is given here as either system would list it.
// A value is read as Windows reads it: one whose type says "expand" with its
// environment strings expanded, any other as stored. A name without a folder
// is looked for first in the folder of the program that starts the value:
// Explorer, in the Windows folder, starts the Run keys' values on the NT
// family; that of RunServices is not known, so a value there that may start
// a namesake in the other folder stays. The log keeps type and whole data.
TEST_F(Elimination, AValueNamesWhatWindowsStartsFromIt)
{
    std::string const sys = SystemDirectory(), win = WindowsFolder(), name = "zrvboth.exe";
    std::string const expand = "%SystemRoot%" + sys.substr(win.size()) + "\\" + name;
    HKEY const user = HKEY_CURRENT_USER;
    struct {
        std::string folder, namesake;
        HKEY root;
        const char* key;
        DWORD type;
        std::string data, logged; // logged is empty where nothing is removed
        bool valueStays;
    } const cases[] = {
        {sys, Folder(), user, TestKey, REG_SZ, expand, "", true},
        {sys, Folder(), user, TestKey, REG_EXPAND_SZ, expand, expand + " | 2", false},
        {sys, Folder(), user, TestKey, REG_MULTI_SZ, name + '\0' + "tail" + '\0',
         name + "|00tail|00 | 7", false},
        {sys, win, user, RunKey, REG_SZ, name, "", true},
        {win, sys, user, RunKey, REG_SZ, name, name + " | 1", false},
        {sys, win, HKEY_LOCAL_MACHINE, RunServices, REG_SZ, name,
         name + " | 1 | The autostart value was left: it may start another file too.", true},
    };
    for (const auto& c : cases) {
        FixtureCopy server("server.exe", c.folder, name);
        FixtureCopy namesake("ordinary.exe", c.namesake, name);
        LookAlikeProcess process(server.Path());
        ASSERT_TRUE(process.Running());
        DeleteFileA(LogPath().c_str());
        TestValues values;
        ASSERT_TRUE(values.Write(c.root, c.key, "typed", ""));
        ASSERT_TRUE(StoreValue(c.root, c.key, "typed", c.type, c.data.c_str(),
                               static_cast<DWORD>(c.data.size() + 1)));

        std::vector<Notice> notices = ScanKey(c.root, c.key, 0, {IDOK});

        SCOPED_TRACE(c.data + " under " + c.key + " for " + server.Path());
        EXPECT_EQ(c.logged.empty(), notices.empty());
        EXPECT_EQ(c.valueStays, ValueExists(c.root, c.key, "typed"));
        EXPECT_TRUE(c.logged.empty() ? process.Running() : process.WaitForExit(Patience));
        std::string line = FileExists(LogPath()) ? LogEntries().back() : "";
        EXPECT_TRUE(c.logged.empty() ? line.empty()
                                     : Contains(line, "\\" + Upper(name) + " | ") &&
                                           Contains(line, " | typed | " + c.logged))
            << line;
        process.End();
        DeleteFileA(Quarantine(c.folder).c_str());
    }
}

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
    FolderOnPath onPath(folder); // where Windows finds the file by its name alone
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

// The real system folder, which a 32-bit program reaches through Sysnative on
// 64-bit Windows; empty where nothing is redirected.
std::string NativeSystemDirectory()
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return "";
    return WindowsFolder() + "\\Sysnative";
}

// A 64-bit program is never the 32-bit server, even where the intruder has
// put a server under its name in SysWOW64 and registered the name in the
// system folder, where this program's file calls lead to SysWOW64. The native
// program here is the 64-bit tree's own look-alike of the server, so that
// only its kind tells it apart; without that tree, one of Wine's programs.
TEST_F(Elimination, OnWow64ANativeProgramIsNeverTakenForTheServer)
{
    std::string native = NativeSystemDirectory();
    if (native.empty())
        GTEST_SKIP() << "no 64-bit programs beside this one";
    std::string image = BuildFolder() + "\\x64\\fixtures\\server.exe";
    if (!FileExists(image))
        image = native + "\\notepad.exe";
    ASSERT_TRUE(CopyFileA(image.c_str(), (native + "\\zrvnative.exe").c_str(), FALSE));
    FixtureCopy server("server.exe", SystemDirectory(), "zrvnative.exe"); // in SysWOW64
    ASSERT_TRUE(server.Made());
    LookAlikeProcess program(native + "\\zrvnative.exe");
    ASSERT_TRUE(program.Running());
    Register(HKEY_CURRENT_USER, TestKey, "native", SystemDirectory() + "\\zrvnative.exe");

    for (int pass : {0, 1})
        EXPECT_TRUE(ScanKey(HKEY_CURRENT_USER, TestKey, pass).empty()) << "pass " << pass;

    EXPECT_TRUE(program.Running());
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, TestKey, "native"));
    EXPECT_TRUE(FileExists(server.Path()));
    program.End();
    DeleteFileA((native + "\\zrvnative.exe").c_str());
}

// Windows starts what either view of the machine's Run key names; the cycle
// reads the 64-bit view too, and deletes the value there. A path there in the
// system folder names the real one: the server that runs from it is read and
// removed where it lies, and its namesake in SysWOW64 is left alone. The
// report and the log name the real system folder as the user's programs do:
// Sysnative is there for 32-bit programs only.
TEST_F(Elimination, OnWow64TheMachinesSixtyFourBitViewIsScannedToo)
{
    std::string native = NativeSystemDirectory();
    if (native.empty())
        GTEST_SKIP() << "the registry has one view only for this program";
    FixtureCopy decoy("ordinary.exe", SystemDirectory(), "zrv64.exe"); // in SysWOW64
    struct {
        std::string folder;
        std::string written;
        std::string shown;
    } const cases[] = {
        {Folder(), Folder() + "\\zrv64.exe", Upper(Folder())},
        {native, SystemDirectory() + "\\zrv64.exe", Upper(SystemDirectory())},
    };
    for (const auto& c : cases) {
        FixtureCopy server("server.exe", c.folder, "zrv64.exe");
        ASSERT_TRUE(server.Made() && decoy.Made());
        std::string decoyBytes = FileBytes(decoy.Path());
        LookAlikeProcess process(server.Path());
        ASSERT_TRUE(process.Running());
        HKEY run = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, RunKeyPath, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &run,
                                                 nullptr));
        RegSetValueExA(run, "ZorvaneTest64", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(c.written.c_str()),
                       static_cast<DWORD>(c.written.size() + 1));
        ASSERT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RunKeyPath, "ZorvaneTest64"))
            << "the value must be in the 64-bit view only";
        ASSERT_TRUE(PlantDropperDll());

        std::vector<Notice> notices = RunCycle({IDOK});

        ASSERT_EQ(1u, notices.size()) << c.written;
        EXPECT_EQ(Report(c.shown + "\\ZRV64.EXE", Quarantine(c.shown)), notices[0].text);
        std::vector<std::string> logged = LogEntries();
        std::string const line = logged.empty() ? "" : logged.back();
        EXPECT_TRUE(Contains(line, "Removed | " + c.shown + "\\ZRV64.EXE | " + Quarantine(c.shown)))
            << line;
        EXPECT_TRUE(process.WaitForExit(Patience)) << c.written;
        EXPECT_FALSE(FileExists(server.Path())) << c.written;
        EXPECT_TRUE(FileExists(Quarantine(c.folder))) << c.written;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(run, "ZorvaneTest64", nullptr, nullptr,
                                                         nullptr, nullptr))
            << c.written;
        EXPECT_EQ(decoyBytes, FileBytes(decoy.Path())) << c.written;
        RegDeleteValueA(run, "ZorvaneTest64");
        RegCloseKey(run);
        DeleteFileA(Quarantine(c.folder).c_str());
    }
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

// Read past its length, the unterminated value would name the candidate: the
// value before it leaves its terminator just there in the reader's buffer.
// The same bytes with a terminator within the value's length do name it.
TEST_F(Elimination, DataWithoutATerminatorNeverMatches)
{
    FixtureCopy candidate("candidate.exe", Folder(), "unterminated.exe");
    LookAlikeProcess process(candidate.Path());
    const std::string& path = candidate.Path();
    std::string filler(path.size(), 'z');
    auto size = static_cast<DWORD>(path.size());
    ASSERT_TRUE(StoreValue(HKEY_CURRENT_USER, TestKey, "a filler", REG_BINARY, filler.c_str(), size + 1));
    for (DWORD length : {size, size + 1}) {
        ASSERT_TRUE(StoreValue(HKEY_CURRENT_USER, TestKey, "b path", REG_BINARY, path.c_str(), length));
        EXPECT_EQ(length > size ? 1u : 0u, ScanKey(HKEY_CURRENT_USER, TestKey, 1, {IDNO}).size())
            << "a value of " << length << " bytes";
    }
    EXPECT_TRUE(process.Running());
}

TEST_F(Elimination, TheSweepAsksAboutASignatureLookAlikeAndLeavesTheRegistryAlone)
{
    EnhancedScanning = 1;
    FixtureCopy server("server.exe", Folder(), "unlisted.exe");
    FixtureCopy named("candidate.exe", Folder(), " .exe");
    LookAlikeProcess process(server.Path()), plain(named.Path());
    Register(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestUnlisted", server.Path());

    std::vector<Notice> notices = RunCycle({IDNO});
    ASSERT_EQ(1u, notices.size()) << "a \" .exe\" without the code is never asked about";
    EXPECT_EQ(Question(server.Path()), notices[0].text);
    EXPECT_TRUE(process.Running());

    notices = RunCycle({IDYES, IDOK});
    ASSERT_EQ(2u, notices.size()) << "No is asked again at the next sweep";
    EXPECT_EQ(Question(server.Path()), notices[0].text);
    EXPECT_EQ(FirstReport(server.Path()), notices[1].text);
    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestUnlisted"))
        << "the sweep does no registry work";
    EXPECT_TRUE(plain.Running());
}

// A server that the key scan went after stays in the cycle's list of
// processes, and its file may still be there; the sweep does not ask about
// it again in the same cycle.
TEST_F(Elimination, TheSweepPassesOverWhatTheKeyScanWentAfter)
{
    FixtureCopy server("server.exe", Folder(), "kept.exe");
    LookAlikeProcess process(server.Path());
    Register(HKEY_CURRENT_USER, TestKey, "kept", server.Path());
    HeldFile held(server.Path(), FILE_SHARE_READ); // it cannot be deleted
    ProcessList snapshot;
    ASSERT_TRUE(snapshot.Take());

    std::vector<Notice> notices = Answering({IDOK, IDNO}, [&] {
        ScanAutostartKey(HKEY_CURRENT_USER, TestKey, snapshot, ScanPass::Silent);
        SweepProcesses(snapshot);
    });

    ASSERT_EQ(1u, notices.size()) << "the report alone, no question: " << notices.back().text;
    EXPECT_TRUE(FileExists(server.Path()));
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
    Register(HKEY_LOCAL_MACHINE, RunKeyPath, "ZorvaneTestTwice", server.Path());
    Register(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestTwice", server.Path());
    ASSERT_TRUE(PlantDropperDll());

    std::vector<Notice> notices = RunCycle({IDOK});

    ASSERT_EQ(1u, notices.size());
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RunKeyPath, "ZorvaneTestTwice"));
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestTwice"))
        << "with the DLL gone no further key is scanned";
}

TEST_F(Elimination, AProcessIdNowHeldByAnotherProgramIsNotTerminated)
{
    FixtureCopy server("server.exe", Folder(), "stale.exe");
    FixtureCopy ordinary("ordinary.exe", Folder(), "bystander.exe");
    LookAlikeProcess bystander(ordinary.Path());
    // The server has ended and its id went to another program.
    EXPECT_EQ(FirstReport(server.Path()), Removal(server.Path(), bystander.Id()))
        << "the server itself was no longer running";
    EXPECT_TRUE(bystander.Running()) << "an unrelated program must never be ended";
    EXPECT_FALSE(FileExists(server.Path())) << "the file steps still run";
    EXPECT_TRUE(FileExists(Quarantine(Folder())));
}

TEST_F(Elimination, AFailedCopyLeavesTheOriginalAndTheReportSaysSo)
{
    FixtureCopy server("server.exe", Folder(), "keepme.exe");
    LookAlikeProcess process(server.Path());
    ASSERT_TRUE(PlantDropperDll());

    // Held open without read sharing, the file cannot be copied.
    std::string report = Removal(server.Path(), process.Id(), 0);

    EXPECT_TRUE(process.WaitForExit(Patience));
    EXPECT_TRUE(FileExists(server.Path())) << "no copy, no delete";
    EXPECT_FALSE(FileExists(DropperDllFile()));
    EXPECT_FALSE(Contains(report, "GrimlatchRemoved.exe")) << "no copy, none named";
    EXPECT_EQ((std::vector<std::string>{"DLL deleted | " + DropperDllFile(),
                                        "Removed | " + Upper(server.Path()) + " | No copy | The "
                                            "file could not be copied and was left in place."}),
              LogEntries());
}

// The program itself is started under a file size limit below the server's
// size, so its copy fails part-way with the first name taken and the second
// free: the part written at the second goes, the earlier copy at the first
// stays. Its sweep finds the server and asks. Its log, just short of the
// limit, keeps no part of a line that did not fit.
TEST_F(Elimination, ACopyThatFailsPartWayLeavesNoPartAndKeepsTheEarlierCopy)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the file size limit is set from Wine's Unix side";
    std::string folder = Folder();
    FixtureCopy server("server.exe", folder, "half copied.exe");
    LookAlikeProcess process(server.Path());
    std::string const earlier = "an earlier copy";
    SetFileText(Quarantine(folder), &earlier);
    // The log lacks 10 bytes of the limit, so its next line is cut short too.
    std::string log;
    for (int i = 0; log.size() < 32 * 1024 - 10; ++i)
        log += "an earlier line, number " + std::to_string(i) + "\r\n";
    log.resize(32 * 1024 - 12);
    log += "\r\n";
    SetFileText(LogPath(), &log);

    ZorvaneProcess z;
    ASSERT_TRUE(z.StartWithFileSizeLimit(64)) << "at most 32 KiB, the server has 128";
    EXPECT_EQ(Question(server.Path()), AnswerNotice(IDYES).text);
    Notice report = AnswerNotice(IDOK);
    z.End();

    EXPECT_TRUE(Contains(report.text, "The file could not be copied and was left in place."))
        << report.text;
    EXPECT_FALSE(FileExists(folder + "\\GrimlatchRemoved (2).exe")) << "the part written must go";
    EXPECT_EQ(earlier, FileBytes(Quarantine(folder))) << "a copy this attempt did not make stays";
    EXPECT_TRUE(FileExists(server.Path()));
    std::string after = FileBytes(LogPath());
    EXPECT_TRUE(log == after) << "no part of a line may stay; the log ends in: "
                              << after.substr(log.size() - 20);
}

// A user who may not change the machine, as every user who is not elevated
// from Vista on, may still read its keys: a server that one of them names is
// found and removed, and only its value stays, as the report and the log say.
TEST_F(Elimination, AKeyThatTheUserMayNotChangeIsScannedAndOnlyItsValueStays)
{
    FixtureCopy server("server.exe", Folder(), "machine wide.exe");
    LookAlikeProcess process(server.Path());
    Register(HKEY_LOCAL_MACHINE, TestKey, "machine", server.Path());
    std::vector<Notice> notices;
    {
        ReadOnlyKey locked(HKEY_LOCAL_MACHINE, TestKey);
        HKEY opened = nullptr;
        ASSERT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(HKEY_LOCAL_MACHINE, TestKey, 0,
                                                     KEY_READ | KEY_WRITE, &opened))
            << "the key must refuse what a limited user is refused";
        notices = ScanKey(HKEY_LOCAL_MACHINE, TestKey, 0, {IDOK});
    }

    ASSERT_EQ(1u, notices.size()) << "the server must be found in a key that can only be read";
    EXPECT_TRUE(Contains(notices[0].text, "The autostart value could not be deleted."))
        << notices[0].text;
    EXPECT_FALSE(process.Running());
    EXPECT_FALSE(FileExists(server.Path()));
    EXPECT_TRUE(ValueExists(HKEY_LOCAL_MACHINE, TestKey, "machine"));
    EXPECT_EQ((std::vector<std::string>{"Removed | " + Upper(server.Path()) + " | " +
                                        Quarantine(Upper(Folder())) + " | HKEY_LOCAL_MACHINE\\" +
                                        TestKey + " | machine | " + server.Path() +
                                        " | 1 | The autostart value could not be deleted."}),
              LogEntries());
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
    EXPECT_EQ(FirstReport(server.Path()), notices[1].text);
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
        copies.push_back(Removal(server.Path(), process.Id()));
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

    EXPECT_EQ(FirstReport(server.Path()), Removal(server.Path(), process.Id()));
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

    std::string text = Removal(server.Path(), process.Id());
    EXPECT_TRUE(process.Running()) << "a process whose image cannot be read is never ended";
    EXPECT_FALSE(Contains(text, "It has been disabled.")) << text;
    EXPECT_TRUE(Contains(text, "\nThe process could not be ended.")) << text;
}

// Where Wine, like the NT family, keeps the deletions that wait for a restart.
char const SessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
char const PendingRenamesName[] = "PendingFileRenameOperations";

// Where the list of such deletions cannot be changed, the file is reported as left.
TEST_F(Elimination, AnUndeletableServerIsDeletedAtRestartOnTheNtFamilyOrReportedAsLeft)
{
    FixtureCopy server("server.exe", Folder(), "held nt.exe");
    LookAlikeProcess process(server.Path());
    std::string wininit = FileBytes(WindowsFile("WININIT.INI"));

    // Held open for reading, as another program might, it can be copied but not deleted.
    EXPECT_EQ(FirstReport(server.Path()) + DeletedAtRestart,
              Removal(server.Path(), process.Id(), FILE_SHARE_READ));
    std::string image = Upper(server.Path());
    StoredValue after = ReadStoredValue(HKEY_LOCAL_MACHINE, SessionManager, PendingRenamesName);
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), after.type);
    std::string entry = "\\??\\" + image + std::string(2, '\0'); // the path, then no new name
    EXPECT_TRUE(Contains(Upper(after.bytes), entry))
        << "no deletion of " << image << " among " << after.bytes.size() << " bytes";
    EXPECT_EQ(wininit, FileBytes(WindowsFile("WININIT.INI"))) << "WININIT.INI is for 95/98";

    ReadOnlyKey locked(HKEY_LOCAL_MACHINE, SessionManager);
    ASSERT_TRUE(locked.Locked());
    FixtureCopy left("server.exe", Folder(), "held unscheduled.exe");
    LookAlikeProcess leftProcess(left.Path());
    EXPECT_EQ(Report(Upper(left.Path()), Upper(Folder()) + "\\GrimlatchRemoved (2).exe") + NotDeleted + ".",
              Removal(left.Path(), leftProcess.Id(), FILE_SHARE_READ));
    EXPECT_TRUE(FileExists(left.Path()));
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

    std::string copy = Upper(Narrow(folder.Path())) + "\\GrimlatchRemoved.exe";
    EXPECT_EQ(254u, copy.size());
    EXPECT_EQ(Report(Upper(image), copy), Removal(image, bystander.Id()));
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
// file that still passes the test that identified it is touched. For one that
// does not, nothing at all is done: its process, its value and the DLL stay.
TEST_F(Elimination, AFileThatNoLongerPassesItsTestIsLeftAlone)
{
    FixtureCopy candidate("candidate.exe", Folder(), "swapped.exe");
    FixtureCopy ordinary("ordinary.exe", Folder(), "updated.exe");
    ASSERT_TRUE(PlantDropperDll());
    std::string const changed = "The file has changed since it was found and was not removed.";
    struct {
        const FixtureCopy& file;
        ServerTest test;
        bool removed;
    } cases[] = {
        {candidate, IdentifiesItselfAsServer, false}, // neither the name nor the code
        {ordinary, IsServerCandidate, false},
        {candidate, BearsServerContent, false},
        {candidate, IsServerCandidate, true},
    };
    std::vector<std::string> logged;
    for (const auto& c : cases) {
        std::string path = c.file.Path();
        LookAlikeProcess process(path);
        Register(HKEY_CURRENT_USER, TestKey, "value", path);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegOpenKeyExA(HKEY_CURRENT_USER, TestKey, 0, KEY_READ | KEY_WRITE, &key));
        AutostartValue value = {key, "HKEY_CURRENT_USER\\Software", "value", "data", 4, "1", false};
        bool sooner = !c.removed;
        std::string report = Removal(path, process.Id(), NotHeld, c.test, &sooner, &value);
        EXPECT_EQ(c.removed, sooner) << "only a removal brings the next scan sooner: " << path;
        if (c.removed) {
            EXPECT_EQ(FirstReport(path), report);
            EXPECT_TRUE(process.WaitForExit(Patience));
            logged.push_back("DLL deleted | " + DropperDllFile());
            logged.push_back("Removed | " + Upper(path) + " | " + Quarantine(Upper(Folder())) +
                             " | HKEY_CURRENT_USER\\Software | value | data | 1");
        } else {
            EXPECT_EQ("Grimlatch was found running on this computer, but nothing has been "
                      "removed.  The filename is:\n\n" + Upper(path) + "\n\n" + changed,
                      report);
            EXPECT_TRUE(process.Running()) << "its process must not be ended: " << path;
            EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, TestKey, "value")) << path;
            EXPECT_TRUE(FileExists(DropperDllFile())) << path;
            logged.push_back("Not removed | " + Upper(path) + " | " + changed);
        }
        EXPECT_NE(c.removed, FileExists(path)) << path;
    }
    EXPECT_EQ(logged, LogEntries());
}

// The sweep knew the server by its code bytes. A file that only looks like a
// candidate, put in its place while the question was open, is not it.
TEST_F(Elimination, TheSweepChecksTheFileAgainByTheCodeItFoundItBy)
{
    EnhancedScanning = 1;
    FixtureCopy server("server.exe", Folder(), "replaced.exe");
    FixtureCopy candidate("candidate.exe", Folder(), "replacement.exe");
    LookAlikeProcess process(server.Path());
    std::string const moved = Folder() + "\\moved away.exe";
    bool replaced = false;
    std::vector<Notice> notices = RunCycle({IDYES, IDOK}, [&] {
        if (!replaced)
            replaced = MoveFileA(server.Path().c_str(), moved.c_str()) &&
                       CopyFileA(candidate.Path().c_str(), server.Path().c_str(), TRUE);
    });

    ASSERT_TRUE(replaced) << "the running server's file could not be swapped";
    ASSERT_EQ(2u, notices.size());
    EXPECT_EQ(Question(server.Path()), notices[0].text);
    EXPECT_TRUE(Contains(notices[1].text, "The file has changed since it was found")) << notices[1].text;
    EXPECT_TRUE(FileExists(server.Path())) << "the file in its place must stay";
    EXPECT_TRUE(process.Running());
    process.End();
    WaitUntil([&] { return DeleteFileA(moved.c_str()) != 0; }, Patience);
}

// A server that can be neither ended nor deleted is found again at every
// scan; its removals in one run share one copy and one deletion at restart,
// for as long as the copy is still there and holds every byte of the file,
// and the file can still be told to be the server. Only a removal that
// changed something brings the next scan a second later.
TEST_F(Elimination, RemovalsOfOneUndeletableServerShareOneCopy)
{
    FixtureCopy server("server.exe", Folder(), "held again.exe");
    LookAlikeProcess process(server.Path());
    std::string image = Upper(server.Path());
    std::string second = Upper(Folder()) + "\\GrimlatchRemoved (2).exe";
    std::string reused = Report(image, Quarantine(Upper(Folder()))) + DeletedAtRestart;
    reused.replace(reused.find("has been made visible and can now"), 33,
                   "was made visible by an earlier removal and can still");

    std::string reports[5];
    bool changed[5] = {};
    for (int i = 0; i < 5; ++i) {
        if (i == 2) // the copy is no longer whole
            SetFileText(Quarantine(Folder()), &image);
        if (i == 3) { // of the same size and code, as another build would be, but not the same
            std::string copy = FileBytes(second);
            copy[copy.size() - 1] ^= 0x55;
            SetFileText(second, &copy);
        }
        // Last, the file is held so that it cannot be read, but can be deleted.
        reports[i] = Removal(server.Path(), process.Id(), i == 4 ? FILE_SHARE_DELETE : FILE_SHARE_READ,
                             IsServerCandidate, &changed[i]);
    }
    // Only the first ended the process; the file was handed to the restart once.
    EXPECT_EQ((std::vector<bool>{true, false, false, false, false}),
              std::vector<bool>(changed, changed + 5)) << "which removals bring the next scan sooner";
    EXPECT_EQ(FirstReport(image) + DeletedAtRestart, reports[0]);
    EXPECT_EQ(reused, reports[1]);
    EXPECT_EQ(Report(image, second) + DeletedAtRestart, reports[2]);
    EXPECT_EQ(Report(image, Upper(Folder()) + "\\GrimlatchRemoved (3).exe") + DeletedAtRestart,
              reports[3]);
    EXPECT_TRUE(Contains(reports[4], "\nThe file could not be copied and was left in place."))
        << reports[4];
    EXPECT_TRUE(FileExists(server.Path())) << "a file that cannot be told apart must stay";
    std::string listed = Upper(ReadStoredValue(HKEY_LOCAL_MACHINE, SessionManager,
                                               PendingRenamesName).bytes);
    size_t first = listed.find(image + std::string(1, '\0'));
    ASSERT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, listed.find(image + std::string(1, '\0'), first + 1))
        << "the deletion is handed over once";
}

// What another program could do to the held file, tried from inside the
// re-check, once the hold has begun.
std::string DoneToTheHeldFile;

bool TriesTheFileThenIsCandidate(const char* path)
{
    std::string moved = std::string(path) + ".moved";
    if (MoveFileA(path, moved.c_str()) && MoveFileA(moved.c_str(), path))
        DoneToTheHeldFile += "renamed ";
    for (DWORD access : {DWORD(GENERIC_WRITE), DWORD(DELETE)}) {
        HANDLE file = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            DoneToTheHeldFile += access == DELETE ? "opened to delete " : "opened to write ";
        CloseHandle(file);
    }
    return IsServerCandidate(path);
}

// From the re-check until the copy is made, no other file can take the
// server's place, nor can it be changed: it is held, shared for reading only.
TEST_F(Elimination, TheFileIsHeldAgainstRenamingAndWritingUntilItsCopyIsMade)
{
    FixtureCopy server("server.exe", Folder(), "held fast.exe");
    DoneToTheHeldFile.clear();
    EXPECT_EQ(FirstReport(server.Path()),
              Removal(server.Path(), Gone, NotHeld, TriesTheFileThenIsCandidate));
    EXPECT_EQ("", DoneToTheHeldFile) << "another program could change the held file";
}

// Removes the file of a server that has gone, and tells whether the next
// scan comes sooner.
bool RemoveGone(const std::string& path, DWORD sharing = NotHeld)
{
    bool sooner = false;
    Removal(path, Gone, sharing, IsServerCandidate, &sooner);
    return sooner;
}

// Where the process had already gone, a removal brings the next scan sooner
// when it deleted the file or newly handed it to the restart; not when it
// could do nothing, or the file was handed over before.
TEST_F(Elimination, ARemovalThatOnlyTouchedTheFileStillBringsTheNextScanSooner)
{
    FixtureCopy server("server.exe", Folder(), "gone before.exe");
    EXPECT_TRUE(RemoveGone(server.Path(), FILE_SHARE_READ)) << "handed to the restart";
    EXPECT_FALSE(RemoveGone(server.Path(), FILE_SHARE_READ)) << "handed to the restart before";
    EXPECT_FALSE(RemoveGone(server.Path(), FILE_SHARE_DELETE)) << "neither copied nor deleted";
    EXPECT_TRUE(RemoveGone(server.Path())) << "deleted";
    EXPECT_FALSE(FileExists(server.Path()));
}

// Every wording of the report and of the log, for each outcome of a removal:
// the report names each step that failed, and the log ends with the same words.
TEST_F(Elimination, TheReportAndTheLogNameEachStepThatFailedInTheSameWords)
{
    std::string const image = "C:\\ZRV\\SERVER.EXE", copy = "C:\\ZRV\\GrimlatchRemoved.exe";
    std::string const visible = "The Grimlatch file has been made visible and can now be found at:",
                      earlier = "The Grimlatch file was made visible by an earlier removal and can "
                                "still be found at:",
                      atRestart = "The file could not be deleted; it will be deleted when the "
                                  "computer restarts.",
                      dllLeft = "The Grimlatch DLL windll.dll could not be deleted.",
                      notEnded = "The process could not be ended.",
                      valueLeft = "The autostart value could not be deleted.",
                      hidden = "The copy could not be made visible.";
    using P = ProcessOutcome;
    struct Row {
        void (*change)(Outcome&);
        bool disabled;
        const std::string* copyLine; // null where no copy is named
        std::vector<std::string> failed;
    } rows[] = {
        {[](Outcome&) {}, true, &visible, {}},
        {[](Outcome& o) { o.process = P::Gone; }, true, &visible, {}},
        {[](Outcome& o) { o.process = P::StillRunning; }, false, &visible, {notEnded}},
        {[](Outcome& o) { o.valueDeleted = false; }, false, &visible, {valueLeft}},
        {[](Outcome& o) { o.visible = false; }, true, &visible, {hidden}},
        {[](Outcome& o) { o.copied = o.visible = o.deleted = false; }, true, nullptr,
         {"The file could not be copied and was left in place."}},
        {[](Outcome& o) { o.deleted = false; }, true, &visible, {"The file could not be deleted."}},
        {[](Outcome& o) { o.deleted = false, o.deleteScheduled = true; }, true, &visible, {atRestart}},
        {[](Outcome& o) { o.deleted = false, NameWhereWininitWasLeft(o, "C:\\W\\WININIT.ZRV"); }, true,
         &visible, {"The file could not be deleted; WININIT.INI could not be replaced, and its new "
                    "text was left in C:\\W\\WININIT.ZRV."}},
        {[](Outcome& o) { o.reused = true, o.deleted = false, o.deleteScheduled = true; }, true,
         &earlier, {atRestart}},
        {[](Outcome& o) { o.dll = DllDeletion::AtRestart; }, true, &visible,
         {"The Grimlatch DLL windll.dll could not be deleted; it will be deleted when the "
          "computer restarts."}},
        {[](Outcome& o) { o.dll = DllDeletion::Left; }, true, &visible, {dllLeft}},
        {[](Outcome& o) {
             o.process = P::StillRunning, o.valueDeleted = o.visible = false, o.dll = DllDeletion::Left;
         }, false, &visible, {notEnded, valueLeft, hidden, dllLeft}},
    };
    std::vector<std::string> logged;
    for (const Row& row : rows) {
        Outcome o;
        o.process = P::Ended, o.copied = o.visible = o.deleted = true;
        row.change(o);
        std::string report = "Grimlatch was found installed and running on this computer.  " +
                             std::string(row.disabled ? "It has been disabled.  " : "") +
                             "The original filename was:\n\n" + image +
                             (row.copyLine ? "\n\n" + *row.copyLine + "\n\n" + copy : "") +
                             (row.failed.empty() ? "" : "\n\nNot everything could be done:");
        logged.push_back("Removed | " + image + " | " + (row.copyLine ? copy : "No copy"));
        for (const std::string& step : row.failed)
            report += "\n" + step, logged.back() += " | " + step;
        EXPECT_EQ(report, Answering({IDOK}, [&] { ReportRemoval(image.c_str(), copy.c_str(), o, nullptr); })
                              .at(0).text);
    }
    Outcome changed;
    changed.changed = true;
    std::string const because = "The file has changed since it was found and was not removed.";
    EXPECT_EQ("Grimlatch was found running on this computer, but nothing has been removed.  The "
              "filename is:\n\n" + image + "\n\n" + because,
              Answering({IDOK}, [&] { ReportRemoval(image.c_str(), "", changed, nullptr); }).at(0).text);
    logged.push_back("Not removed | " + image + " | " + because);
    EXPECT_EQ(logged, LogEntries());
}

// A close that comes while the report of the silent pass's first removal is
// open ends the cycle there: the next key's server stays. The DLL, held by
// another program, stays active, and the keys would otherwise go on.
TEST_F(Elimination, ACloseDuringARemovalsReportStopsTheNextKeysRemoval)
{
    ASSERT_TRUE(PlantDropperDll());
    HeldFile dll(DropperDllFile(), FILE_SHARE_READ);
    FixtureCopy first("server.exe", Folder(), "first key.exe"), next("server.exe", Folder(), "next key.exe");
    LookAlikeProcess firstProcess(first.Path()), nextProcess(next.Path());
    Register(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestFirstKey", first.Path());
    Register(HKEY_CURRENT_USER, RunOnce, "ZorvaneTestNextKey", next.Path());

    std::vector<Notice> notices = RunCycle({IDOK}, [] { Closing = 1; });
    Closing = 0;
    ASSERT_EQ(1u, notices.size()) << "the first report only";
    EXPECT_TRUE(Contains(notices[0].text, Upper(first.Path()))) << notices[0].text;
    EXPECT_TRUE(nextProcess.Running()) << "the close must stop the next key's removal";
    EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, RunOnce, "ZorvaneTestNextKey"));
}

// The run remembers the copies and hand-overs of eight files; a ninth takes
// the place of the oldest, which then gets a copy of its own again, while the
// others keep theirs.
TEST_F(Elimination, MoreThanEightRemovalsInARunForgetTheOldestFirst)
{
    std::vector<std::unique_ptr<FixtureCopy>> servers;
    std::vector<std::unique_ptr<HeldFile>> held;
    std::string const folder = Upper(Folder());
    auto copy = [&](int n) {
        return n == 1 ? Quarantine(folder) : folder + "\\GrimlatchRemoved (" + std::to_string(n) + ").exe";
    };
    for (size_t i = 0; i < 9; ++i) {
        servers.push_back(std::make_unique<FixtureCopy>("server.exe", Folder(), "ring " + std::to_string(i) + ".exe"));
        held.push_back(std::make_unique<HeldFile>(servers[i]->Path(), FILE_SHARE_READ));
        EXPECT_TRUE(Contains(Removal(servers[i]->Path(), Gone), "can now be found at:\n\n" + copy(int(i) + 1)))
            << i;
    }
    EXPECT_TRUE(Contains(Removal(servers[1]->Path(), Gone),
                         "by an earlier removal and can still be found at:\n\n" + copy(2)));
    EXPECT_TRUE(RemoveGone(servers[0]->Path())) << "the first file is forgotten, and handed over again";
    EXPECT_TRUE(FileExists(copy(10))) << "and copied again";
}

// A program that has loaded the dropper DLL keeps it from being deleted. The
// removal says so, and the DLL is deleted at the restart, whether the removal
// or the end of the cycle finds it still there; once only.
TEST_F(Elimination, ADllInUseIsDeletedAtRestartAndTheReportSaysSo)
{
    ASSERT_TRUE(PlantDropperDll());
    HeldFile held(DropperDllFile(), FILE_SHARE_READ);
    ASSERT_TRUE(held.Open());
    // Recorded where the file lies: on 64-bit Windows the system folder of a
    // 32-bit program is SysWOW64, and the list is read without redirection.
    std::string dll = Upper(SystemImageDirectory() + "\\windll.dll") + std::string(2, '\0');
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
    Register(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestDllHeld", server.Path());
    notices = RunCycle({IDOK, IDNO});
    ASSERT_LE(1u, notices.size());
    EXPECT_EQ(FirstReport(server.Path()) +
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
                                            " | HKEY_CURRENT_USER\\" + RunKeyPath +
                                            " | ZorvaneTestDllHeld | " + server.Path() + " | 1 | " +
                                            failed}),
              logged) << "the handing over is logged once";
}

// The Unix path of a path, as Wine gives it; "" where it gives none.
std::string UnixName(const std::string& path)
{
    using Convert = char*(CDECL*)(const WCHAR*);
    auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring wide(path.begin(), path.end());
    char* name = convert ? convert(wide.c_str()) : nullptr;
    std::string unix = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return unix;
}

// Makes a folder refuse every new file, as Program Files refuses a limited
// user's, or take them again: Wine runs as root here and would write
// anywhere, so the folder is made immutable from Wine's Unix side.
bool SetImmutable(const std::string& folder, bool on)
{
    std::string unix = UnixName(folder), probe = folder + "\\probe";
    return !unix.empty() && StartUnixShell((on ? "chattr +i '" : "chattr -i '") + unix + "'") &&
           WaitUntil([&] {
               HANDLE file = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_FLAG_DELETE_ON_CLOSE, nullptr);
               return (file != INVALID_HANDLE_VALUE && CloseHandle(file)) != on;
           }, Patience);
}

// A user who may not write the program's folder finds the log in a folder of
// their own, under their local application data, whole as ever.
TEST_F(Elimination, AFolderThatRefusesTheLogSendsItToTheUsersOwnFolder)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the folder is locked from Wine's Unix side";
    char appData[MAX_PATH] = "";
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, appData));
    std::string const log = std::string(appData) + "\\Quillane\\Zorvane\\Zorvane.log";
    std::string const folder = Folder() + "\\Program", exe = folder + "\\Zorvane.exe";
    DeleteFileA(log.c_str());
    // The sweep finds the server: enhanced scanning is on, whatever a test left.
    RemoveKey(HKEY_CURRENT_USER, ZorvaneSettingsKey);
    Register(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "1");
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(ZorvaneExe().c_str(), exe.c_str(), FALSE));
    FixtureCopy server("server.exe", Folder(), "logged elsewhere.exe");
    LookAlikeProcess process(server.Path());
    {
        struct Unlock { std::string folder; ~Unlock() { SetImmutable(folder, false); } } unlock{folder};
        ASSERT_TRUE(SetImmutable(folder, true)) << "chattr must make " << folder << " refuse files";
        ZorvaneProcess z;
        ASSERT_TRUE(z.Start("", SW_SHOWNORMAL, exe));
        EXPECT_EQ(Question(server.Path()), AnswerNotice(IDYES).text);
        AnswerNotice(IDOK);
    }
    std::string text = FileBytes(log);
    EXPECT_TRUE(Contains(text, " | Question | " + server.Path() + " | Yes\r\n") &&
                Contains(text, " | Removed | " + Upper(server.Path()) + " | " +
                                   Quarantine(Upper(Folder())) + "\r\n"))
        << log << " holds: " << text;
    DeleteFileA(log.c_str());
    DeleteFileA(exe.c_str());
    RemoveDirectoryA(folder.c_str());
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
        EXPECT_EQ(FirstReport(server.Path()), Removal(server.Path(), bystander.Id()));
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

    // A Zorvane.old that is not Zorvane's stays as it is, and so does one that
    // the log cannot take the place of, while a viewer holds the log open
    // without letting it be moved; the log then keeps its newer half, in
    // whole lines.
    std::string lines;
    for (int i = 0; lines.size() + line.size() <= 256 * 1024; ++i)
        lines += "an earlier line, number " + std::to_string(i) + "\r\n";
    struct {
        const std::string* old;
        bool readOnly, logHeld;
    } const cases[] = {{&mine, true, false}, {&foreign, false, false}, {nullptr, false, false},
                       {&mine, false, true}};
    for (const auto& c : cases) {
        SetFileText(LogPath("old"), c.old);
        if (c.readOnly)
            SetFileAttributesA(LogPath("old").c_str(), FILE_ATTRIBUTE_READONLY);
        if (!c.old) {
            ASSERT_TRUE(CreateDirectoryA(LogPath("old").c_str(), nullptr));
        }
        SetFileText(LogPath(), &lines);
        std::unique_ptr<HeldFile> viewer;
        if (c.logHeld)
            viewer = std::make_unique<HeldFile>(LogPath(), FILE_SHARE_READ | FILE_SHARE_WRITE);
        std::string halved = removal();
        viewer.reset();
        if (c.old) {
            EXPECT_TRUE(*c.old == FileBytes(LogPath("old"))) << "Zorvane.old must stay";
            SetFileAttributesA(LogPath("old").c_str(), FILE_ATTRIBUTE_NORMAL);
        } else {
            EXPECT_TRUE(RemoveDirectoryA(LogPath("old").c_str())) << "the folder must stay, and empty";
        }
        size_t kept = halved.size() - std::min(halved.size(), line.size());
        EXPECT_TRUE(halved.size() > line.size() && kept <= lines.size() / 2 &&
                    kept + 40 > lines.size() / 2 &&
                    lines.compare(lines.size() - kept, kept, halved, 0, kept) == 0 &&
                    lines[lines.size() - kept - 1] == '\n')
            << "kept " << kept << " of " << lines.size() << " bytes, from: " << halved.substr(0, 40);
    }
}

// Makes, from Wine's Unix side, a file or a folder whose name differs from
// that of the file at `path` in case only, which Windows itself cannot make.
// Wine finds the exact name first, and the twin once that has gone.
bool MakeCaseTwin(const std::string& path, bool asFolder)
{
    WIN32_FIND_DATAA file;
    HANDLE search = FindFirstFileA(path.c_str(), &file);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    std::string name = file.cFileName, twin = Upper(name);
    if (twin == name)
        CharLowerA(twin.data());
    std::string folder = path.substr(0, path.rfind('\\'));
    std::string unixFolder = UnixName(folder);
    if (unixFolder.empty())
        return false;
    std::string made = unixFolder + "/twin made";
    twin = unixFolder + "/" + twin;
    if (!StartUnixShell(std::string(asFolder ? "mkdir '" : "echo twin >'") + twin + "' && touch '" +
                        made + "'"))
        return false;
    std::string madeFile = folder + "\\twin made";
    bool done = WaitUntil([&] { return FileExists(madeFile); }, Patience);
    WaitUntil([&] { return DeleteFileA(madeFile.c_str()) != 0; }, Patience);
    return done;
}

// On the NT family a folder may tell case apart, and a namesake in capitals
// is another file there: every step of a removal takes the file as the
// process list names it; only the report and the log show it in capitals.
TEST_F(Elimination, ARemovalTouchesTheListedFileNotItsNamesakeInCapitals)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the namesake is made from Wine's Unix side";
    FixtureCopy server("server.exe", Folder(), "Twin Server.exe");
    LookAlikeProcess process(server.Path());
    std::string original = FileBytes(server.Path()), twin = Folder() + "\\TWIN SERVER.EXE";
    ASSERT_TRUE(MakeCaseTwin(server.Path(), false));
    ASSERT_EQ("twin\n", FileBytes(twin));

    EXPECT_EQ(FirstReport(server.Path()), Removal(server.Path(), process.Id()));
    EXPECT_EQ(original, FileBytes(Quarantine(Folder()))) << "the copy is of the server";
    EXPECT_EQ("twin\n", FileBytes(twin)) << "the namesake must stay as it was";
    DeleteFileA(twin.c_str());
}

// The names of the "zrv" files in the folder, each followed by ';'.
std::string TemporaryFiles(const std::string& folder)
{
    std::string names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\zrv*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names += std::string(found.cFileName) + ";";
    while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
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

    FixtureCopy server("server.exe", Folder(), "held on 98.exe");
    std::string shortPath = ShortPath(server.Path());
    std::string whole = Upper("[rename]\r\nNUL=C:\\WINDOWS\\TEMP\\EARLIER.TMP\r\n"
                              "C:\\WINDOWS\\NEW.DLL=C:\\WINDOWS\\OLD.DLL\r\nNUL=" + shortPath +
                              "\r\n[later]\r\nkeep=1\r\n");
    // The second time, a folder that differs from WININIT.INI's name in case
    // only keeps both the new file and the old one from taking the name.
    Notice report[2];
    std::string after[2], left;
    for (int round = 0; round < 2; ++round) {
        SetFileText(iniPath, &earlier);
        if (round == 1 && !(RunningOnWine() && MakeCaseTwin(iniPath, true)))
            break;
        LookAlikeProcess process(server.Path());
        ASSERT_TRUE(values.Write(HKEY_CURRENT_USER, RunKeyPath, "ZorvaneTestHeld98", server.Path()));
        ASSERT_TRUE(PlantDropperDll());
        {
            HeldFile held(server.Path(), FILE_SHARE_READ);
            ASSERT_TRUE(held.Open());
            ZorvaneProcess zorvane;
            ASSERT_TRUE(zorvane.Start());
            report[round] = AnswerNotice(IDOK);
            CloseAllZorvanes();
        }
        after[round] = FileBytes(iniPath);
        if (round == 1) {
            left = TemporaryFiles(iniPath.substr(0, iniPath.rfind('\\')));
            left = left.empty() ? "<none>" : WindowsFile(left.substr(0, left.size() - 1).c_str());
            after[round] = FileBytes(left);
            DeleteFileA(left.c_str());
        }
    }
    for (int twins = 0; twins < 2; ++twins) {
        if (!DeleteFileA(iniPath.c_str()))
            RemoveDirectoryA(iniPath.c_str());
    }
    SetFileText(iniPath, hadIni ? &saved : nullptr);
    RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
    RemoveKey(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Zorvane.exe");

    ASSERT_TRUE(report[0].shown) << "no report within 30 s";
    EXPECT_EQ(FirstReport(server.Path()) + DeletedAtRestart, report[0].text);
    // Letter case aside: the short path is asked of the upper-cased image path.
    EXPECT_EQ(whole, Upper(after[0])) << "the earlier lines must stay and the new one name " << shortPath;
    if (!RunningOnWine())
        return;
    ASSERT_TRUE(report[1].shown) << "no second report within 30 s";
    EXPECT_EQ(Upper(Report(Upper(server.Path()), Upper(Folder()) + "\\GrimlatchRemoved (2).exe") +
                    NotDeleted + "; WININIT.INI could not be replaced, and its new text was left in " +
                    left + "."),
              Upper(report[1].text));
    EXPECT_EQ(whole, Upper(after[1])) << "the text left must be whole";
}

// The [rename] section of a WININIT.INI of the test's own.
class WininitDeletion : public ::testing::Test {
protected:
    std::string Path() const { return TempFolder() + "\\wininit test.ini"; }
    void TearDown() override
    {
        for (int twins = 0; twins < 2; ++twins) {
            SetFileAttributesA(Path().c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileA(Path().c_str()))
                RemoveDirectoryA(Path().c_str());
        }
        std::string left = TemporaryFiles(TempFolder());
        for (size_t at = 0, end; (end = left.find(';', at)) != std::string::npos; at = end + 1) {
            std::string file = TempFolder() + "\\" + left.substr(at, end - at);
            SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(file.c_str());
        }
    }
};

// The new text, with `room` bytes for it beyond the old text's length, and
// a sentinel byte after those that must stay untouched.
std::string WithDeletion(const std::string& before, size_t room = WininitLineRoom)
{
    std::vector<char> out(before.size() + room + 1, '#');
    size_t length = AddToRenameSection(before, "NUL=C:\\SERVER~1.EXE", {out.data(), out.size() - 1});
    EXPECT_EQ('#', out.back()) << "written past the room given, from \"" << before << "\"";
    return std::string(out.data(), length);
}

TEST(WininitText, EveryLineAlreadyThereIsKept)
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
        EXPECT_EQ(c.after, WithDeletion(c.before)) << "from \"" << c.before << "\"";
    // The most that goes in: a CRLF, the header, the line, its CRLF, a terminator.
    std::string const noSection = "[boot]\nx=1";
    EXPECT_EQ(noSection + "\r\n[rename]\r\n" + line, WithDeletion(noSection, 34))
        << "the room just suffices";
    EXPECT_EQ("", WithDeletion(noSection, 33)) << "one byte short of the room gives nothing";
}

// A write that fails half-way must not cost other programs' renames: the old
// file is never written to, and no file of the change is left beside it.
TEST_F(WininitDeletion, TheOldFileIsReplacedWholeNeverWrittenOver)
{
    EXPECT_TRUE(AppendWininitDeletion(Path().c_str(), "C:\\SERVER~1.EXE"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\SERVER~1.EXE\r\n", FileBytes(Path())) << "a missing file is made";

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
    EXPECT_EQ("", TemporaryFiles(TempFolder()));

    // A read-only old file goes as well, once the new one has its name.
    ASSERT_TRUE(SetFileAttributesA(Path().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(AppendWininitDeletion(Path().c_str(), "C:\\SERVER~2.EXE"));
    EXPECT_EQ("[rename]\r\nNUL=C:\\A.TMP\r\nNUL=C:\\SERVER~1.EXE\r\nNUL=C:\\SERVER~2.EXE\r\n"
              "[later]\r\ny=2\r\n",
              FileBytes(Path()));
    EXPECT_EQ("", TemporaryFiles(TempFolder())) << "the old file must not stay under a name of its own";
}

// Where neither the new file nor the old one can take the name back (here a
// file whose name differs in case only holds it), the new text, which holds
// every old line, is put under the name; no file of the change is left.
TEST_F(WininitDeletion, WhenNeitherFileTakesTheNameBackTheWholeTextIsKept)
{
    if (!RunningOnWine())
        GTEST_SKIP() << "the name's twin is made from Wine's Unix side";
    std::string const before = "[rename]\r\nNUL=C:\\A.TMP\r\n";
    SetFileText(Path(), &before);
    ASSERT_TRUE(MakeCaseTwin(Path(), false)) << "no twin of " << Path();

    EXPECT_TRUE(AppendWininitDeletion(Path().c_str(), "C:\\SERVER~1.EXE"));
    EXPECT_EQ(before + "NUL=C:\\SERVER~1.EXE\r\n", FileBytes(Path()));
    EXPECT_EQ("", TemporaryFiles(TempFolder()));
}

} // namespace
