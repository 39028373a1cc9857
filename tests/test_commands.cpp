// The menu commands of a real Zorvane.exe, sent to its window as the menu
// sends them, with its notices answered on the screen; and the help file test.
#include <gtest/gtest.h>
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>
#include "Fixtures.h"
#include "LongPath.h"
#include "Notices.h"
#include "Registry.h"
#include "ScanTest.h"
#include "TrayIcon.h"
#include "Wait.h"
#include "Zorvane.h"
#include "app/App.h"
#include "win/Win.h"

namespace {

constexpr char ExitQuestion[] =
    "If you close the Zorvane you will have no protection against Grimlatch until you restart "
    "your computer or re-launch the Zorvane manually.\n\nAre you sure you want to close the "
    "Quillane Zorvane?";
constexpr char UninstallQuestion[] =
    "If you uninstall the Zorvane you will have no protection against Grimlatch.\n\nAre you sure "
    "you want to uninstall the Zorvane?";
constexpr char MachineEntryLeft[] =
    "Zorvane may still start with Windows: only an administrator can remove its entries for this "
    "computer, by running Zorvane and choosing Uninstall Zorvane.";
constexpr char UserEntryLeft[] =
    "Zorvane may still start with Windows: only an administrator can remove its entry for your "
    "user account.";
constexpr char SettingLeft[] =
    "Zorvane will not start with Windows again: only an administrator can remove its setting for "
    "this computer, by running Zorvane and choosing Uninstall Zorvane.";
constexpr char KeptSettingsSubkey[] = "Software\\Quillane\\Zorvane\\Kept";
constexpr char HelpMissing[] = "ERROR: helpfile Zorvane.hlp unavailable";
constexpr char PageMissing[] = "ERROR: helpfile Zorvane.htm unavailable";
constexpr char PageNotOpened[] =
    "ERROR: helpfile Zorvane.htm could not be opened. It can be read in any web browser:\n\n";

void Choose(HWND window, WPARAM command)
{
    PostMessageA(window, WM_COMMAND, command, 0);
}

// A folder of the test's own under C:\, removed with what it holds.
class Folder {
public:
    explicit Folder(std::string path) : path_(std::move(path))
    {
        Clear();
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    // A copy of Zorvane.exe that still runs cannot be deleted.
    ~Folder() { CloseAllZorvanes(), Clear(); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    std::string operator/(const char* name) const { return path_ + "\\" + name; }
    const std::string& Path() const { return path_; }

private:
    void Clear()
    {
        for (const char* name : {"Zorvane.exe", "Zorvane.hlp", "Zorvane.htm"})
            DeleteFileA((*this / name).c_str());
        RemoveDirectoryA(path_.c_str());
    }
    std::string path_;
};

// The texts of every visible window of a process, children included.
struct TextSearch {
    DWORD process;
    std::string texts;
};

BOOL CALLBACK CollectText(HWND window, LPARAM search)
{
    auto* s = reinterpret_cast<TextSearch*>(search);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != s->process || !IsWindowVisible(window))
        return TRUE;
    char text[512] = "";
    GetWindowTextA(window, text, sizeof text);
    s->texts += std::string(text) + "\n";
    // EnumWindows gives the top-level windows; their children come from here.
    if (GetAncestor(window, GA_PARENT) == GetDesktopWindow())
        EnumChildWindows(window, CollectText, search);
    return TRUE;
}

std::string VisibleTextsOf(DWORD process)
{
    TextSearch search{process, ""};
    EnumWindows(CollectText, reinterpret_cast<LPARAM>(&search));
    return search.texts;
}

// The Windows version that Wine reports to every Zorvane.exe while the object
// lives: "winxp" has a help engine, "win10" has none.
struct WindowsVersionOfZorvane : TestValues {
    explicit WindowsVersionOfZorvane(const char* version)
    {
        Write(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\Zorvane.exe", "Version", version);
    }
};

// A stand-in browser, tests/fixtures/Opener.cpp, is what the shell starts to
// open a page while the object lives; it writes down what it was given.
constexpr char PageProgId[] = "ZorvaneTest.Page";
constexpr char PageOpenCommand[] = "ZorvaneTest.Page\\shell\\open\\command";
class PageOpener {
public:
    PageOpener()
    {
        DeleteFileA(record_.c_str());
        StoreText(HKEY_CLASSES_ROOT, ".htm", "", PageProgId);
        StoreText(HKEY_CLASSES_ROOT, PageOpenCommand, "", "\"" + FixturePath("opener.exe") + "\" \"%1\"");
    }
    ~PageOpener()
    {
        DeleteFileA(record_.c_str());
        for (const char* key : {PageOpenCommand, "ZorvaneTest.Page\\shell\\open", "ZorvaneTest.Page\\shell", PageProgId})
            RemoveKey(HKEY_CLASSES_ROOT, key);
    }
    // The command line the stand-in was started with, once it has written it.
    std::string Opened()
    {
        std::string line;
        WaitUntil([&] { return Contains(line = Upper(FileBytes(record_)), "ZORVANE.HTM"); }, Patience);
        return line;
    }

private:
    KeptValue association_{HKEY_CLASSES_ROOT, ".htm", ""};
    std::string record_ = FixturePath("opened.txt");
};

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        helpEnginesBefore_ = ProcessesNamed("winhlp32.exe");
        TearDown();
    }
    void TearDown() override
    {
        // The help engine first: a program that handed it a file waits for it.
        for (DWORD id : NewHelpEngines())
            EndProcess(id);
        CloseAllZorvanes();
        RemoveKey(HKEY_LOCAL_MACHINE, KeptSettingsSubkey);
        RemoveKey(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey);
        RemoveKey(HKEY_CURRENT_USER, ZorvaneSettingsKey);
        RemoveValue(HKEY_CURRENT_USER, RunKeyPath, "Zorvane");
    }

    // Starts a copy and waits until its start-up is done: the icon is
    // there and the autostart entry names it.
    HWND Start(const std::string& exe = ZorvaneExe())
    {
        if (!z_.Start("", SW_SHOWNORMAL, exe))
            return nullptr;
        HWND w = z_.WaitForWindow();
        // A path with a blank is registered in quotes.
        std::string entry = exe.find(' ') == std::string::npos ? exe : "\"" + exe + "\"";
        if (!w || !WaitForTrayIcon(w, true) || !WaitForAutostartEntry(entry))
            return nullptr;
        return w;
    }
    // Chooses a command that asks first, and answers its question.
    static void AnswerQuestion(HWND w, UINT command, const char* question, int answer)
    {
        Choose(w, command);
        Notice seen = AnswerNotice(answer);
        ASSERT_TRUE(seen.shown) << "the command must ask first";
        EXPECT_EQ(question, seen.text);
        EXPECT_EQ("Cancel Yes No", seen.buttons);
        EXPECT_EQ(w, seen.owner);
    }
    // A copy in `folder` with only `help` beside it, if anything, started
    // from a current folder that holds no help.
    HWND StartBeside(const Folder& folder, const char* help)
    {
        std::string const text = "not real help: the program only hands it on", exe = folder / "Zorvane.exe";
        for (const char* name : {"Zorvane.hlp", "Zorvane.htm"})
            SetFileText(folder / name, help && lstrcmpA(help, name) == 0 ? &text : nullptr);
        if (!FileExists(exe) && !CopyFileA(ZorvaneExe().c_str(), exe.c_str(), FALSE))
            return nullptr;
        char current[MAX_PATH];
        GetCurrentDirectoryA(sizeof current, current);
        SetCurrentDirectoryA("C:\\windows");
        HWND w = Start(exe);
        SetCurrentDirectoryA(current);
        return w;
    }
    std::vector<DWORD> NewHelpEngines() const
    {
        std::vector<DWORD> engines = ProcessesNamed("winhlp32.exe");
        std::erase_if(engines, [&](DWORD id) { return std::ranges::count(helpEnginesBefore_, id) != 0; });
        return engines;
    }
    // The exit code once the program has ended, STILL_ACTIVE if it does not.
    DWORD ExitCode()
    {
        DWORD code = STILL_ACTIVE;
        z_.WaitForExit(Patience, &code);
        return code;
    }
    // An answer that ends the program starts its end at once, and Wine takes
    // a quitting process down in well under a second: so a program still
    // there two seconds later was not ended by the answer. An end that does
    // not come cannot be waited for; a slow end makes this pass wrongly,
    // never fail wrongly.
    bool StillRunning() { DWORD code; return !z_.WaitForExit(2000, &code); }

    ZorvaneProcess z_;
    std::vector<DWORD> helpEnginesBefore_;
};

// Only a Yes ends the program, with code 0, and Exit leaves the autostart
// entry, so that the program starts again at the next logon.
TEST_F(Commands, ExitOrUninstallAnsweredNoOrCancelOrClosedChangesNothingAndExitAnsweredYesEnds)
{
    ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "0"));
    HWND w = Start();
    ASSERT_NE(nullptr, w) << "the program did not come up with its window, icon and start-up entry";
    StoredValue entry = AutostartEntry();
    ASSERT_TRUE(entry.present);
    for (auto [command, question] : {std::pair{IDM_EXIT, ExitQuestion}, {IDM_UNINSTALL, UninstallQuestion}}) {
        for (int answer : {IDNO, IDCANCEL, 0}) {
            AnswerQuestion(w, command, question, answer);
            ASSERT_TRUE(StillRunning()) << "answer " << answer << " must not end the program";
            EXPECT_TRUE(TrayIconShown(w));
            EXPECT_EQ(entry.bytes, AutostartEntry().bytes);
            EXPECT_EQ(std::string("0\0", 2), EnhancedValue().bytes);
        }
    }
    AnswerQuestion(w, IDM_EXIT, ExitQuestion, IDYES);
    EXPECT_EQ(0u, ExitCode()) << "Yes must end the program";
    EXPECT_FALSE(TrayIconShown(w));
    EXPECT_EQ(entry.bytes, AutostartEntry().bytes) << "Exit must leave the autostart entry";
}

// The user's own setting always goes, and so does their entry unless their
// Run key is locked. What stays, for a user who may not change the machine
// or that key, is named before the close: an entry that would start the
// program again, or only the machine's setting. An entry that was never there
// is no error, even where it could not have been removed.
TEST_F(Commands, UninstallAnsweredYesRemovesWhatItCanSaysWhatStaysAndEnds)
{
    struct Case {
        bool entry;         // the machine's entry is there
        bool runReadOnly;   // the user may not change the machine's Run key
        bool settingKept;   // the machine's setting cannot be removed
        bool userReadOnly;  // nor the user's own Run key
        const char* notice; // what the notice says stays, if anything
    };
    for (auto [entry, runReadOnly, settingKept, userReadOnly, notice] :
         {Case{true, false, false, false, ""}, {false, false, false, false, ""},
          {true, true, false, false, MachineEntryLeft}, {false, true, false, false, ""},
          {true, false, true, false, SettingLeft}, {true, false, false, true, UserEntryLeft}}) {
        SCOPED_TRACE(testing::Message() << "entry " << entry << ", Run key read-only "
                                        << runReadOnly << ", setting kept " << settingKept
                                        << ", user's Run key read-only " << userReadOnly);
        ASSERT_TRUE(StoreText(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey, "Enhanced", "0"));
        // Wine deletes a key whatever its access list says, but never one
        // with a subkey: the subkey keeps it, as the list would on Windows.
        ASSERT_TRUE(!settingKept || StoreText(HKEY_LOCAL_MACHINE, KeptSettingsSubkey, "", ""));
        // An entry left by the row before would let the start seem done
        // before its own write, which could then follow the removal below.
        RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
        HWND w = Start();
        ASSERT_NE(nullptr, w) << "the program did not come up with its window, icon and start-up entry";
        if (!entry)
            RemoveValue(HKEY_LOCAL_MACHINE, RunKeyPath, "Zorvane");
        ASSERT_TRUE(StoreText(HKEY_CURRENT_USER, RunKeyPath, "Zorvane", ZorvaneExe()));
        ASSERT_TRUE(StoreText(HKEY_CURRENT_USER, ZorvaneSettingsKey, "Enhanced", "0"));
        std::optional<ReadOnlyKey> locked, userLocked;
        ASSERT_TRUE(!runReadOnly || locked.emplace(HKEY_LOCAL_MACHINE, RunKeyPath).Locked());
        ASSERT_TRUE(!userReadOnly || userLocked.emplace(HKEY_CURRENT_USER, RunKeyPath).Locked());
        Choose(w, IDM_UNINSTALL);
        EXPECT_EQ(UninstallQuestion, AnswerNotice(IDYES).text);
        WaitUntil([&] { return NoticeAppears(0) || !z_.Running(); }, Patience);
        EXPECT_EQ(notice, AnswerNotice(IDOK, 0).text);
        ASSERT_EQ(0u, ExitCode()) << "the program must close, whatever stays";
        EXPECT_FALSE(TrayIconShown(w));
        EXPECT_EQ(entry && runReadOnly, AutostartEntry().present);
        EXPECT_EQ(settingKept, EnhancedValue().present);
        EXPECT_EQ(userReadOnly, UserAutostartEntry().present);
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ZorvaneSettingsKey));
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, QuillaneKey));
        RemoveKey(HKEY_LOCAL_MACHINE, KeptSettingsSubkey);
        userLocked.reset();
        RemoveValue(HKEY_CURRENT_USER, RunKeyPath, "Zorvane");
    }
    EXPECT_TRUE(FileExists(ZorvaneExe())) << "uninstall deletes no files";
}

TEST_F(Commands, HelpOpensTheFileBesideTheExecutableFromAnyCurrentFolder)
{
    WindowsVersionOfZorvane xp("winxp");
    Folder folder("C:\\Zorvane Help Test");
    HWND w = StartBeside(folder, "Zorvane.hlp");
    ASSERT_NE(nullptr, w) << "the program did not come up with its window, icon and start-up entry";

    Choose(w, IDM_HELP);
    std::vector<DWORD> engines;
    ASSERT_TRUE(WaitUntil([&] { return !(engines = NewHelpEngines()).empty(); }, Patience))
        << "the help engine was not started";
    EXPECT_FALSE(NoticeAppears(500)) << "no error notice when the help file is there";
    if (RunningOnWine()) {
        // Wine's help engine reads the file at once and complains about our
        // stand-in, naming the path it was given: proof of which file it was.
        std::string texts;
        WaitUntil([&] { return Contains(texts = Upper(VisibleTextsOf(engines.back())), "ZORVANE.HLP"); },
                  Patience);
        EXPECT_TRUE(Contains(texts, Upper(folder / "Zorvane.hlp")))
            << "the help engine must be given the file beside the executable; it shows:\n" << texts;
    }
    // Before the folder goes: the program waits for the engine to close.
    for (DWORD id : engines)
        EndProcess(id);
}

TEST_F(Commands, HelpFromVistaOnOpensThePageBesideTheExecutableInTheBrowser)
{
    WindowsVersionOfZorvane win10("win10");
    PageOpener browser;
    Folder folder("C:\\Zorvane Help Page");
    HWND w = StartBeside(folder, "Zorvane.htm");
    ASSERT_NE(nullptr, w);

    Choose(w, IDM_HELP);
    std::string opened = browser.Opened();
    EXPECT_TRUE(Contains(opened, Upper(folder / "Zorvane.htm")))
        << "the browser must be given the page beside the executable; it was started with: "
        << opened;
    EXPECT_FALSE(NoticeAppears(0)) << "no error notice when the page is there";
    EXPECT_TRUE(NewHelpEngines().empty()) << "no help engine is started";
}

// Each kind of system looks for its own file only: the page does not stand
// in for the help file where there is an engine, nor the other way round.
// The build puts the real help beside Zorvane.exe; a copy elsewhere has none.
// A page that is there but that no program opens: the shell says so by its
// answer alone, and the user is told where the page lies.
TEST_F(Commands, HelpReportsTheFileMissingThatTheSystemNeedsAndAPageThatNothingOpens)
{
    KeptValue association(HKEY_CLASSES_ROOT, ".htm", "");
    ASSERT_TRUE(StoreText(HKEY_CLASSES_ROOT, ".htm", "", "ZorvaneTest.NoOpener"));
    Folder folder("C:\\Zorvane Other Help");
    struct Case {
        const char* version;
        const char* present;
        std::string notice;
    };
    for (const auto& [version, present, notice] :
         {Case{"winxp", nullptr, HelpMissing}, {"winxp", "Zorvane.htm", HelpMissing},
          {"vista", "Zorvane.hlp", PageMissing}, {"win10", "Zorvane.hlp", PageMissing},
          {"win10", "Zorvane.htm", PageNotOpened + folder / "Zorvane.htm"}}) {
        SCOPED_TRACE(testing::Message() << version << " with only " << (present ? present : "nothing"));
        WindowsVersionOfZorvane chosen(version);
        HWND w = StartBeside(folder, present);
        ASSERT_NE(nullptr, w);
        Choose(w, IDM_HELP);
        Notice seen = AnswerNotice(IDOK);
        EXPECT_EQ(notice, seen.text);
        EXPECT_EQ("OK", seen.buttons);
        EXPECT_EQ(w, seen.owner);
        EXPECT_TRUE(StillRunning());
        CloseAllZorvanes();
    }
}

// The help path swaps the module's file name "Z.exe" for "Zorvane.hlp": a
// module of 293 characters gives a help path of 299, which fills the buffer
// with its terminator, and one of 294 a path of 300, which must be refused
// whole, not written one byte past the buffer. The user is then told.
TEST_F(Commands, HelpIsUnavailableWhenItsPathWouldNotFitTheBuffer)
{
    for (size_t helpLength : {299u, 300u}) {
        LongPathModule module(L"C:\\ZorvaneLongHelp", helpLength - 6, L"Z.exe");
        ASSERT_NE(nullptr, module.Module());
        AppInstance = module.Module();
        struct {
            PathBuffer path;
            char guard;
        } out;
        out.path.fill('x');
        out.guard = 'G';
        bool fits = PathBesideProgram("\\Zorvane.hlp", out.path);
        EXPECT_EQ(helpLength < 300, fits) << helpLength << " characters";
        EXPECT_EQ('G', out.guard) << helpLength << " characters: written past the buffer";
        if (fits) {
            EXPECT_EQ(Narrow(module.Folder()) + "\\Zorvane.hlp", out.path.data());
            continue;
        }
        MainWindow = nullptr;
        NoticeRecorder notices;
        OnCommand(nullptr, WM_COMMAND, IDM_HELP, 0);
        const std::vector<Notice>& seen = notices.Stop();
        ASSERT_EQ(1u, seen.size()) << "the user must be told that help is unavailable";
        // Windows Vista and later look for the page instead.
        EXPECT_EQ(LOBYTE(GetVersion()) < 6 ? HelpMissing : PageMissing, seen[0].text);
    }
    AppInstance = nullptr;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

TEST_F(Commands, AboutShowsVersionPurposeMakerAndTwoParagraphs)
{
    HWND w = Start();
    ASSERT_NE(nullptr, w) << "the program did not come up with its window, icon and start-up entry";
    Choose(w, IDM_ABOUT);
    Notice about = AnswerNotice(IDOK);
    ASSERT_TRUE(about.shown);
    EXPECT_EQ("OK", about.buttons);
    EXPECT_EQ(w, about.owner);
    std::vector<std::string> lines = Lines(about.text);
    ASSERT_EQ(8u, lines.size()) << about.text;
    EXPECT_EQ("Zorvane version 1.2", lines[0]);
    EXPECT_EQ("Finds, closes, and uninstalls Grimlatch", lines[1]);
    EXPECT_NE("", lines[2]) << "the maker's notice line";
    EXPECT_EQ("http://www.quillane.example/", lines[3]);
    EXPECT_EQ("", lines[4]);
    EXPECT_NE(std::string::npos, lines[5].find("Grimlatch"));
    EXPECT_NE(std::string::npos, lines[5].find("help file"));
    EXPECT_EQ("", lines[6]);
    EXPECT_NE(std::string::npos, lines[7].find("free"));
    EXPECT_NE(std::string::npos, lines[7].find("latest version"));
    EXPECT_NE(std::string::npos, lines[7].find("http://www.quillane.example/"));

    Choose(w, MAKEWPARAM(IDM_ABOUT, 1)); // as an accelerator sends it
    EXPECT_EQ(about.text, AnswerNotice(IDOK).text) << "the high word must not matter";
}

TEST_F(Commands, OtherIdentifiersDoNothing)
{
    HWND w = Start();
    ASSERT_NE(nullptr, w) << "the program did not come up with its window, icon and start-up entry";
    for (WPARAM command : {0u, 100u, 103u, 200u, 204u, 0xFFFFu, 0x00CB0001u, 0x00650000u})
        Choose(w, command);
    EXPECT_FALSE(NoticeAppears(1000));
    EXPECT_TRUE(StillRunning());
    EXPECT_TRUE(TrayIconShown(w));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, ZorvaneSettingsKey)) << "the switch must not have run";
}

class HelpFile : public ::testing::Test {
protected:
    void SetUp() override { SetFileText(file_, &text_); }

    Folder folder_{"C:\\Zorvane Help File"};
    std::string file_ = folder_ / "Zorvane.hlp", text_ = "?_";
};

// Quotes and blanks around the path are ignored, inner ones are not; byte
// 0xA0 is no white space; blank text names nothing; folders and a drive's
// root, which a search cannot find, exist.
TEST_F(HelpFile, APathNamesAFileOrFolderOnceQuotesAndBlanksAroundItAreIgnored)
{
    struct {
        std::string text;
        bool exists;
    } cases[] = {
        {file_, true}, {"\"" + file_ + "\"", true}, {" \t\"" + file_ + "\" \r\n\v\f", true},
        {"\"\"" + file_ + "\"\"\"", true}, {file_ + "\xA0", false}, {"\xA0" + file_, false},
        {folder_ / "Zorvane\".hlp", false}, {folder_ / "Missing.hlp", false},
        {"", false}, {" ", false}, {"\"\"", false}, {" \t\"\r\n\v\f\" ", false},
        {folder_.Path(), true}, {"\"" + folder_.Path() + "\"", true}, {"C:\\", true},
        {" \"C:\\\" ", true}, {"C:\\Zorvane No Such Folder\\", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.exists, HelpFileExists(c.text.c_str())) << "\"" << c.text << "\"";
}

TEST_F(HelpFile, TheCallersTextIsLeftAsItWasAndALongTextIsNotCut)
{
    std::string quoted = "  \"" + file_ + "\"  ";
    std::vector<char> text(quoted.begin(), quoted.end());
    text.push_back('\0');
    EXPECT_TRUE(HelpFileExists(text.data()));
    EXPECT_EQ(quoted, text.data());

    std::string padded = file_ + std::string(300, ' ');
    EXPECT_FALSE(HelpFileExists(padded.c_str())) << "a text longer than the buffer is not cut to fit";
}

} // namespace
