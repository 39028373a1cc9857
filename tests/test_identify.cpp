// The fingerprint tests against the look-alikes, as real files: the dropper
// DLL in the real system directory, server images in a folder of their own.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include "Fixtures.h"
#include "ScanTest.h"
#include "scan/Scan.h"

namespace {

void PointAtDropperDll()
{
    lstrcpyA(DropperDllPath.data(), DropperDllFile().c_str());
}

class DropperDll : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveDropperDll();
        PointAtDropperDll();
    }
    void TearDown() override { RemoveDropperDll(); }
};

TEST_F(DropperDll, GenuineDllIsActiveAndEachCallReadsTheDiskAfresh)
{
    EXPECT_FALSE(IsDropperDllActive()) << "no DLL in the system directory";
    ASSERT_TRUE(PlantDropperDll());
    EXPECT_TRUE(IsDropperDllActive()) << "8192 bytes with the code at 1537";
    EXPECT_TRUE(MatchesDropperSignature());
    RemoveDropperDll();
    EXPECT_FALSE(IsDropperDllActive()) << "a deleted DLL must be missed at once";
}

// One byte too few or too many, whatever the code; any changed code byte.
TEST_F(DropperDll, OnlyTheExactSizeAndEveryCodeByteMakeItActive)
{
    for (const char* fixture : {"windll-8191.dll", "windll-8193.dll"}) {
        ASSERT_TRUE(PlantDropperDll(fixture));
        EXPECT_TRUE(MatchesDropperSignature()) << fixture << " still carries the code bytes";
        EXPECT_FALSE(IsDropperDllActive()) << fixture;
    }
    for (DWORD offset = 1536; offset <= 1547; ++offset) {
        bool inCode = offset >= 1537 && offset <= 1546;
        FixtureCopy dll("windll.dll", SystemDirectory(), "windll.dll");
        ASSERT_TRUE(dll.Made());
        dll.Poke(offset, 0x5A);
        EXPECT_EQ(!inCode, IsDropperDllActive()) << "byte changed at offset " << offset;
    }
}

TEST_F(DropperDll, ADllThatCannotBeOpenedIsNotActive)
{
    ASSERT_TRUE(PlantDropperDll());
    HANDLE locked = CreateFileA(DropperDllFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    EXPECT_FALSE(IsDropperDllActive()) << "a DLL locked against reading cannot be confirmed";
    CloseHandle(locked);
    EXPECT_TRUE(IsDropperDllActive());
}

// A folder of server look-alikes, copied from the fixtures.
class Images : public ::testing::Test {
protected:
    static std::string Folder() { return TempFolder() + "\\identify images"; }
    void SetUp() override { ASSERT_TRUE(MakeFolder(Folder())); }
};

TEST_F(Images, CandidateNeedsSizeAndFourBlankStringsUnderOneTranslation)
{
    // Here the user's language is US English, that of most look-alikes; the
    // other languages are the business of the whole program's tests.
    ASSERT_EQ(0x0409, GetUserDefaultLangID());
    // The server's signature needs its code bytes and the whole zero run,
    // whatever the version strings.
    struct {
        const char* fixture;
        bool blank, candidate, signature;
        const char* why;
    } cases[] = {
        {"server.exe", true, true, true, "empty, spaces, tab and CR, one space"},
        {"candidate.exe", true, true, false, "the code bytes play no part"},
        {"server-codepage1252.exe", true, true, true, "found by the second lookup"},
        {"server-translations.exe", true, true, true, "blank in US English, named in German"},
        {"near-124500.exe", true, true, false, "124500 bytes is large enough"},
        {"near-124499.exe", true, false, false, "124499 bytes is too small"},
        {"near-noversion.exe", false, false, true, "no version block"},
        {"near-company.exe", false, false, true, "CompanyName is not blank"},
        {"near-language.exe", true, true, true, "blank under the German that the block declares"},
        {"near-split.exe", false, false, true, "each key blank in one translation, none all four"},
        {"near-nointernal.exe", false, false, true, "InternalName is missing"},
        {"near-runbyte.exe", true, true, false, "the zero run's last byte is 1"},
        {"ordinary.exe", false, false, false, "proper version strings"},
    };
    for (const auto& c : cases) {
        FixtureCopy image(c.fixture, Folder(), c.fixture);
        ASSERT_TRUE(image.Made()) << c.fixture;
        std::string const path = image.Path();
        EXPECT_EQ(c.blank, HasBlankVersionStrings(path.c_str())) << c.fixture << ": " << c.why;
        EXPECT_EQ(c.candidate, IsServerCandidate(path.c_str())) << c.fixture << ": " << c.why;
        EXPECT_EQ(c.signature, MatchesServerSignature(path.c_str())) << c.fixture << ": " << c.why;
    }
}

TEST_F(Images, AMissingFileOrAFolderIsNoCandidate)
{
    std::string missing = Folder() + "\\missing.exe";
    EXPECT_FALSE(IsServerCandidate(missing.c_str()));
    EXPECT_FALSE(HasBlankVersionStrings(missing.c_str()));
    EXPECT_FALSE(MatchesServerSignature(missing.c_str()));
    EXPECT_FALSE(IsServerCandidate(Folder().c_str()));
}

// Each boundary of the zero run on both sides, and a file that ends one byte
// before the run does, or just where it does.
TEST_F(Images, TheWholeZeroRunMustBeThereAndEveryCodeByteMatch)
{
    struct {
        DWORD poke, length;
        bool matches;
        const char* what;
    } cases[] = {{123616, 0, false, "first byte of the run"}, {124615, 0, false, "last byte of the run"},
                 {124616, 0, true, "first byte past the run"}, {123615, 0, true, "last byte before the run"},
                 {0, 124615, false, "the run's last byte not there"}, {0, 124616, true, "exactly long enough"}};
    for (const auto& c : cases) {
        FixtureCopy image("server.exe", Folder(), "run.exe");
        c.length ? void(image.Resize(c.length)) : void(image.Poke(c.poke, 0x01));
        EXPECT_EQ(c.matches, MatchesServerSignature(image.Path().c_str())) << c.what;
    }
    FixtureCopy image("server.exe", Folder(), "code.exe");
    std::string const original = FileBytes(image.Path());
    for (DWORD offset = 1536; offset <= 1562; ++offset) {
        auto byte = static_cast<BYTE>(original[offset]);
        image.Poke(offset, static_cast<BYTE>(byte ^ 0x80));
        EXPECT_FALSE(MatchesServerSignature(image.Path().c_str())) << "code byte at " << offset;
        image.Poke(offset, byte);
    }
    EXPECT_TRUE(MatchesServerSignature(image.Path().c_str())) << "every byte put back";
}

TEST_F(Images, ARunningLookAlikeCanStillBeExamined)
{
    FixtureCopy image("server.exe", Folder(), "running.exe");
    ASSERT_TRUE(image.Made());
    LookAlikeProcess process(image.Path());
    ASSERT_TRUE(process.Running());
    EXPECT_TRUE(IsServerCandidate(image.Path().c_str()));
    EXPECT_TRUE(MatchesServerSignature(image.Path().c_str()));
}

// A file's size, also while another program holds it open without sharing;
// for a file of 4 GiB or more the largest size, since cut to its low 32 bits
// 4 GiB and 124500 bytes would pass for 124500 bytes. Folders and drive roots
// are known; a missing file and a name with wildcards are not.
TEST_F(Images, FileStatusGivesTheSizeOfAnyFileAndKnowsFoldersAndDriveRoots)
{
    FixtureCopy image("near-124499.exe", Folder(), "held.exe");
    ASSERT_TRUE(image.Made());
    KernelHandle held(CreateFileA(image.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.Valid());
    std::string huge = Folder() + "\\huge.exe";
    HANDLE file = CreateFileA(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LONG high = 1;
    SetFilePointer(file, 124500, &high, FILE_BEGIN);
    BOOL extended = SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(extended) << "cannot make a file of 4 GiB and 124500 bytes";
    struct {
        std::string path;
        bool known;
        DWORD size; // 0: not asked for
    } const cases[] = {
        {FixturePath("near-124499.exe"), true, 124499}, {image.Path(), true, 124499},
        {huge, true, 0xFFFFFFFF}, {SystemDirectory(), true, 0}, {"C:\\", true, 0},
        {SystemDirectory() + "\\no such file.dll", false, 0},
        {FixturePath("server") + ".ex?", false, 0}, {FixturePath("server") + "*", false, 0},
    };
    // Both ways of asking: the one the system answers in one call where it
    // can, and the one made of the calls that every Windows 95 has.
    using Query = bool (*)(const char*, DWORD*);
    for (auto [query, name] : {std::pair<Query, const char*>{QueryFileStatus, "QueryFileStatus"},
                               {QueryFileStatusBySearch, "QueryFileStatusBySearch"}}) {
        for (const auto& c : cases) {
            DWORD size = 0;
            EXPECT_EQ(c.known, query(c.path.c_str(), c.size ? &size : nullptr)) << name << ": " << c.path;
            EXPECT_EQ(c.size, size) << name << ": " << c.path;
        }
    }
    DeleteFileA(huge.c_str());
}

// Paths are one where the file system takes them for one: letters in either
// case, but nothing that only a comparison of words would overlook. Each row
// holds for one code page; the suite runs in a Turkish and a Japanese locale
// too (see tests/CMakeLists.txt), where Wine gives code pages 1254 and 932.
TEST(PathComparison, FoldsCaseAsTheFileSystemDoesAndNothingElse)
{
    struct {
        UINT codePage;
        const char* a;
        const char* b;
        bool same;
        const char* why;
    } const cases[] = {
        {1252, "C:\\WINDOWS\\SYSTEM\\ .EXE", "c:\\windows\\system\\ .exe", true, "ASCII letters"},
        {1252, "C:\\Caf\xE9.exe", "c:\\CAF\xC9.EXE", true, "the code page's own letters"},
        {1252, "C:\\a\xAD" "b.exe", "C:\\ab.exe", false, "a soft hyphen is part of a name"},
        {1252, "C:\\ab.exe", "C:\\ab.ex", false, "a name that only begins the other"},
        {1254, "C:\\WINDOWS\\ .EXE", "c:\\windows\\ .exe", true, "a Turkish user's i and I"},
        {1254, "C:\\\xFD.exe", "C:\\I.exe", false, "the dotless i is no I"},
        {1254, "C:\\i.exe", "C:\\\xDD.exe", false, "the dotted capital I is no i"},
        {1254, "C:\\\xF0.exe", "C:\\\xD0.exe", true, "g with breve in either case"},
        {932, "C:\\\x83\x41.exe", "C:\\\x83\x61.exe", false, "a second byte that is a letter"},
        {932, "C:\\\x83\x5C.exe", "c:\\\x83\x5C.EXE", true, "a second byte that is a backslash"},
        {932, "C:\\\x83\x5C" "a.exe", "C:\\\x83\x5C" "A.exe", true, "a letter after such a character"},
    };
    int compared = 0;
    for (const auto& c : cases) {
        if (c.codePage != GetACP())
            continue;
        ++compared;
        EXPECT_EQ(c.same, SamePath(c.a, c.b)) << c.why;
        EXPECT_EQ(c.same, SamePath(c.b, c.a)) << c.why << ", the other way round";
    }
    EXPECT_GT(compared, 0) << "no case for code page " << GetACP();
}

// No byte below 0x20 reaches the log raw, whatever the code page makes of
// the byte before it: in code page 932 0x81 and 0x83 lead a character only
// where a second byte that the code page allows follows, as 0x5C does.
TEST(LogFields, NoneHoldsAByteBelow0x20InAnyCodePage)
{
    DeleteFileA(LogPath().c_str());
    const char* fields[] = {"\x81\r\n\x83\x01|\x83\x5C\t"};
    LogEvent(fields);
    std::string line = FileBytes(LogPath());
    DeleteFileA(LogPath().c_str());
    EXPECT_EQ(" | \x81|0D|0A\x83|01||\x83\x5C|09\r\n",
              line.substr(std::min(line.size(), size_t{19})))
        << "code page " << GetACP();
}

// A version block may declare a translation table longer than the block: only
// the part within it counts. The look-alike's block ends after a translation
// with nothing blank under it; the one after the block's end, German, has
// all four texts blank. GetFileVersionInfoA writes its own signature where
// the file holds that pair, so the pair is put back there; the block is then
// lengthened by the pair, which it holds from then on.
TEST_F(Images, ATranslationTableIsReadOnlyWithinItsBlock)
{
    std::string path = FixturePath("near-overrun.exe");
    EXPECT_FALSE(HasBlankVersionStrings(path.c_str()));
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    std::string block(size, '\0');
    ASSERT_TRUE(size > 8 && GetFileVersionInfoA(path.c_str(), handle, size, block.data()));
    WORD length = 0;
    std::memcpy(&length, block.data(), sizeof length);
    ASSERT_LT(length + 4u, size);
    block.replace(length, 4, "\x07\x04\xB0\x04", 4); // German, Unicode
    EXPECT_FALSE(IsBlankVersionBlock(block.data(), size)) << "a pair just past the block";
    length += 4;
    std::memcpy(block.data(), &length, sizeof length);
    EXPECT_TRUE(IsBlankVersionBlock(block.data(), size)) << "the same pair, within the block";
    EXPECT_TRUE(HasBlankVersionStrings(FixturePath("near-language.exe").c_str()))
        << "the same texts, declared within the block";
}

struct TrimCase {
    std::string text;
    std::string expected;
};

TEST(TrimSpaces, RemovesWhiteSpaceAtBothEndsAndKeepsItInside)
{
    TrimCase cases[] = {
        {"  a b  ", "a b"},
        {"a b", "a b"},
        {"", ""},
        {" \t \t", ""},
        {"\t\n\v\f\r x \t\n\v\f\r", "x"},
        {"   lead", "lead"},
        {"trail   ", "trail"},
        {"\xA0word\xA0", "\xA0word\xA0"}, // bytes from 0x80 up are not white space
        {"\x08word\x0E", "\x08word\x0E"}, // neither are the neighbours of the range
        {std::string(5000, ' ') + std::string(70000, 'x') + "  middle  " + std::string(70000, 'y') +
             std::string(5000, '\t'),
         std::string(70000, 'x') + "  middle  " + std::string(70000, 'y')}, // a very long text whole
    };
    for (const auto& c : cases) {
        std::string buffer = c.text + '\0' + "SENTINEL";
        TrimSpaces(buffer.data());
        EXPECT_EQ(c.expected, std::string(buffer.c_str())) << "from \"" << c.text.substr(0, 40) << "\"";
        EXPECT_EQ("SENTINEL", buffer.substr(c.text.size() + 1)) << "written past the text";
    }
}

// A text that ends exactly where a read-only page ends, with an inaccessible
// page after it: a read past the text or a write into it crashes the test
// instead of passing by luck.
class TextAtEndOfPage {
public:
    explicit TextAtEndOfPage(const std::string& text)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (base_ == nullptr || text.size() > page)
            return;
        text_ = base_ + page - text.size();
        std::memcpy(text_, text.data(), text.size());
        DWORD old = 0;
        guarded_ = VirtualProtect(base_, page, PAGE_READONLY, &old) &&
                   VirtualProtect(base_ + page, page, PAGE_NOACCESS, &old);
    }
    ~TextAtEndOfPage()
    {
        if (base_)
            VirtualFree(base_, 0, MEM_RELEASE);
    }
    TextAtEndOfPage(const TextAtEndOfPage&) = delete;
    TextAtEndOfPage& operator=(const TextAtEndOfPage&) = delete;

    bool Guarded() const { return guarded_; }
    const char* Text() const { return text_; }

private:
    char* base_ = nullptr;
    char* text_ = nullptr;
    bool guarded_ = false;
};

// An overrun ends the program at once, rather than waiting for a debugger.
LONG WINAPI EndAtOnce(EXCEPTION_POINTERS*)
{
    std::fputs("access violation: the text was overrun or written\n", stderr);
    std::fflush(stderr);
    ExitProcess(3);
}

TEST(VersionValue, AnUnterminatedTextIsJudgedWithinItsLengthAndLeftUnchanged)
{
    struct {
        std::string bytes;
        UINT length;
        bool blank;
    } cases[] = {
        {"   ", 3, true},
        {" \t\r\n", 4, true},
        {"  x ", 4, false},
        {"x", 1, false},
        {"   x", 3, true},     // the x lies past the stated length
        {std::string("  \0x", 4), 4, true}, // a terminator within the length ends the text
        {"abc", 0, true},
    };
    SetUnhandledExceptionFilter(EndAtOnce);
    for (const auto& c : cases) {
        TextAtEndOfPage text(c.bytes);
        ASSERT_TRUE(text.Guarded());
        EXPECT_EQ(c.blank, IsBlankVersionValue(text.Text(), c.length))
            << "\"" << c.bytes << "\", length " << c.length;
    }
    EXPECT_TRUE(IsBlankVersionValue(nullptr, 0)) << "a key found without any text is blank";
}

} // namespace
