#include <cstring>
#include "win/Win.h"
#include "scan/Scan.h"

PathBuffer DropperDllPath;

namespace {

DWORD const DropperDllSize = 8192;
LONG const DropperCodeOffset = 1537;
constexpr std::array<BYTE, 10> DropperCodeSignature = {
    0x33, 0xC0, 0x8A, 0x44, 0x24, 0x12, 0x50, 0x68, 0x38, 0x30};

DWORD const MinServerSize = 124500;
LONG const ServerCodeOffset = 1536;
constexpr std::array<BYTE, 27> ServerCodeSignature = {
    0x10, 0x8B, 0x4C, 0x24, 0x04, 0x39, 0x48, 0x04, 0x74, 0x07, 0x8B, 0x40, 0x10, 0x85,
    0xC0, 0x75, 0xF4, 0xC3, 0x56, 0x57, 0x6A, 0x14, 0x33, 0xFF, 0xE8, 0xB3, 0xA7};
LONG const ZeroRunOffset = 123616;
size_t const ZeroRunLength = 1000;

constexpr std::array<const char*, 4> VersionKeyList = {
    "CompanyName", "FileDescription", "OriginalFilename", "InternalName"};
// Unicode first, then Windows Latin-1.
constexpr std::array<unsigned, 2> VersionCodePages = {1200, 1252};

// A file opened with the simple file calls, closed on every return.
class SimpleFile {
public:
    explicit SimpleFile(const char* path) : file_(_lopen(path, OF_READ)) {}
    ~SimpleFile()
    {
        if (IsOpen())
            _lclose(file_);
    }
    SimpleFile(const SimpleFile&) = delete;
    SimpleFile& operator=(const SimpleFile&) = delete;

    bool IsOpen() const { return file_ != HFILE_ERROR; }
    bool Seek(LONG offset) { return _llseek(file_, offset, FILE_BEGIN) != HFILE_ERROR; }

    // The count of bytes read, fewer at the end of the file; HFILE_ERROR
    // when nothing could be read.
    UINT Read(std::span<BYTE> out) { return _lread(file_, out.data(), static_cast<UINT>(out.size())); }

    // True only when every byte of `out` was read: bytes that were not read
    // are never judged, so a file too short to supply them does not match.
    bool ReadAll(std::span<BYTE> out) { return Read(out) == out.size(); }

private:
    HFILE file_;
};

bool IsWhiteSpace(char c)
{
    auto byte = static_cast<unsigned char>(c);
    return byte == 0x20 || (byte >= 0x09 && byte <= 0x0D);
}

// Looks the key up under one language, in each of the code pages in turn. A
// key found under none counts as not blank.
bool IsBlankVersionString(char* block, WORD language, std::span<const unsigned> codePages,
                          const char* key)
{
    for (unsigned codePage : codePages) {
        std::array<char, 64> subBlock;
        wsprintfA(subBlock.data(), "\\StringFileInfo\\%04X%04X\\%s", language, codePage, key);
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(block, subBlock.data(), &value, &length))
            continue;
        return IsBlankVersionValue(static_cast<const char*>(value), length);
    }
    return false;
}

// The first key that is not blank ends the walk.
bool AreBlankUnder(char* block, WORD language, std::span<const unsigned> codePages)
{
    for (const char* key : VersionKeyList) {
        if (!IsBlankVersionString(block, language, codePages, key))
            return false;
    }
    return true;
}

// The language and code page pairs that the block says it holds its texts
// under. The table is the file's, and so possibly crafted: it may declare
// more than the block holds, and VerQueryValueA passes that on. Only whole
// pairs within the table's length and within the block count: within what
// was read, and within the length that the block gives itself first.
bool AreBlankUnderADeclaredTranslation(char* block, DWORD size)
{
    void* table = nullptr;
    UINT length = 0;
    WORD blockLength = 0;
    std::memcpy(&blockLength, block, sizeof blockLength);
    const char* end = block + (blockLength < size ? blockLength : size);
    if (!VerQueryValueA(block, "\\VarFileInfo\\Translation", &table, &length))
        return false;
    const char* pairs = static_cast<const char*>(table);
    if (pairs < block || pairs >= end)
        return false;
    if (length > static_cast<UINT>(end - pairs))
        length = static_cast<UINT>(end - pairs);
    for (UINT at = 0; at + sizeof(DWORD) <= length; at += sizeof(DWORD)) {
        DWORD pair;
        std::memcpy(&pair, pairs + at, sizeof pair);
        unsigned const codePage[] = {HIWORD(pair)};
        if (AreBlankUnder(block, LOWORD(pair), codePage))
            return true;
    }
    return false;
}

} // namespace

bool IsDropperDllActive()
{
    DWORD size = 0;
    if (!QueryFileStatus(DropperDllPath.data(), &size) || size != DropperDllSize)
        return false;
    return MatchesDropperSignature();
}

bool MatchesDropperSignature()
{
    SimpleFile file(DropperDllPath.data());
    if (!file.IsOpen() || !file.Seek(DropperCodeOffset))
        return false;
    std::array<BYTE, DropperCodeSignature.size()> code;
    return file.ReadAll(code) && code == DropperCodeSignature;
}

// The cheap steps come first: existence, size, then the version block.
bool IsServerCandidate(const char* imagePath)
{
    DWORD size = 0;
    return QueryFileStatus(imagePath, &size) && size >= MinServerSize &&
           HasBlankVersionStrings(imagePath);
}

// The intruder's server carries its texts under US English, and so does many
// an ordinary program, whatever the language of the machine it runs on. The
// user's language comes first, each key in Unicode or else Windows Latin-1;
// then each translation that the block declares. All four keys must be blank
// under one of them.
bool HasBlankVersionStrings(const char* imagePath)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(imagePath, &handle);
    if (size == 0)
        return false;
    // A block that cannot be held or copied is not examined, and so never
    // found blank.
    HeapBlock block(size);
    return block.Get() && GetFileVersionInfoA(imagePath, handle, size, block.Get()) &&
           IsBlankVersionBlock(block.Get(), size);
}

bool IsBlankVersionBlock(char* block, DWORD size)
{
    return AreBlankUnder(block, GetUserDefaultLangID(), VersionCodePages) ||
           AreBlankUnderADeclaredTranslation(block, size);
}

// The text is the file's, and so possibly crafted: nothing at or past
// `length` is read, even when no terminator comes before it, and the block
// is never written. A bounded copy is trimmed instead.
bool IsBlankVersionValue(const char* text, UINT length)
{
    if (text == nullptr) // found, and holding nothing at all
        return true;
    UINT used = 0;
    while (used < length && text[used] != '\0')
        ++used;
    HeapBlock copy(used + 1);
    if (!copy.Get())
        return false;
    std::memcpy(copy.Get(), text, used);
    copy.Get()[used] = '\0';
    TrimSpaces(copy.Get());
    return copy.Get()[0] == '\0';
}

// Only the bytes that are compared are read: 27 at the code, and the zero run
// only when the code matched.
bool MatchesServerSignature(const char* imagePath)
{
    SimpleFile file(imagePath);
    if (!file.IsOpen() || !file.Seek(ServerCodeOffset))
        return false;
    std::array<BYTE, ServerCodeSignature.size()> code;
    if (!file.ReadAll(code) || code != ServerCodeSignature)
        return false;
    if (!file.Seek(ZeroRunOffset))
        return false;
    std::array<BYTE, ZeroRunLength> run;
    if (!file.ReadAll(run))
        return false;
    for (BYTE b : run) {
        if (b != 0)
            return false;
    }
    return true;
}

// Read side by side in blocks, so that a file of any size costs two blocks of
// memory; a file that ends early, or cannot be read, is not the same.
bool HoldSameBytes(const char* onePath, const char* otherPath)
{
    SimpleFile one(onePath), other(otherPath);
    std::array<BYTE, 1024> blocks[2];
    if (!one.IsOpen() || !other.IsOpen())
        return false;
    for (;;) {
        UINT got = one.Read(blocks[0]);
        if (got == static_cast<UINT>(HFILE_ERROR) || other.Read(blocks[1]) != got ||
            std::memcmp(blocks[0].data(), blocks[1].data(), got) != 0)
            return false;
        if (got < blocks[0].size())
            return true;
    }
}

// Trims in place, so a text of any length is handled whole and nothing is
// copied: the leading white space is skipped, the trailing white space cut
// off, and what lies between moved to the front with its inner white space.
void TrimSpaces(char* text)
{
    if (text == nullptr || text[0] == '\0')
        return;
    char* first = text;
    while (IsWhiteSpace(*first))
        ++first;
    auto length = static_cast<size_t>(lstrlenA(first));
    while (length > 0 && IsWhiteSpace(first[length - 1]))
        --length;
    std::memmove(text, first, length);
    text[length] = '\0';
}
