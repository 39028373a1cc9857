#include "win/Win.h"
#include "win/Notice.h"

namespace {

// What the system's code page says of each byte, asked for once: a call into
// the system at every character would cost a scan, which holds every command
// against every program, a call per byte. Only bytes from 0x80 up can lead a
// double-byte character, and only letters have another case.
struct CodePageTable {
    bool known;
    bool lead[256];
    unsigned char upper[256];
};
CodePageTable CodePage;

// The file system knows a name in either case: the ASCII letters, and a
// code page's own letters as CharUpperA pairs them, which is the same in
// every language (a Turkish user's 'i' is still an 'I' to it). A byte that
// only a word comparison would take for another is never folded: a letter
// from 0x80 up whose capital would be an ASCII letter, such as the Turkish
// dotless i, names another file than that letter does.
const CodePageTable& Table()
{
    if (!CodePage.known) {
        for (unsigned byte = 0; byte <= 0xFF; ++byte) {
            unsigned folded = byte >= 'a' && byte <= 'z' ? byte - 0x20 : byte;
            if (byte >= 0x80) {
                CodePage.lead[byte] = IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0;
                // Given a character rather than a text, CharUpperA gives back its capital.
                auto upper = static_cast<unsigned char>(reinterpret_cast<UINT_PTR>(
                    CharUpperA(reinterpret_cast<char*>(static_cast<UINT_PTR>(byte)))));
                if (!CodePage.lead[byte] && upper >= 0x80)
                    folded = upper;
            }
            CodePage.upper[byte] = static_cast<unsigned char>(folded);
        }
        CodePage.known = true;
    }
    return CodePage;
}

} // namespace

const char* NextChar(const char* p)
{
    return Table().lead[static_cast<unsigned char>(*p)] && p[1] ? p + 2 : p + 1;
}

// Byte by byte, but by character: the second byte of a double-byte character
// is compared as it stands, since it may be any byte from 0x40 up, a letter
// or a backslash among them. Nothing is ignored, unlike in a comparison of
// words, which passes over a soft hyphen.
bool SamePath(const char* a, const char* b)
{
    const CodePageTable& table = Table();
    for (;;) {
        auto x = static_cast<unsigned char>(*a++);
        auto y = static_cast<unsigned char>(*b++);
        if (table.upper[x] != table.upper[y])
            return false;
        if (x == 0)
            return true;
        if (table.lead[x] && *a && *a++ != *b++)
            return false;
    }
}

// Texts are walked by character, not by byte: in the double-byte code pages
// of Chinese, Japanese and Korean Windows the second byte of a character can
// be any byte from 0x40 up, a backslash or a '~' among them.
bool Holds(const char* text, char c)
{
    for (; *text; text = NextChar(text)) {
        if (*text == c)
            return true;
    }
    return false;
}

bool HoldsWildcard(const char* text)
{
    return Holds(text, '*') || Holds(text, '?');
}

const char* BaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; p = NextChar(p))
        if (*p == '\\')
            base = p + 1;
    return base;
}

// On the NT family the ANSI name of a folder that the code page cannot
// spell holds '?'s and names no file: the program's own path is asked for in
// Unicode there, and given in a form that opens it. Windows 95/98 have only
// a stub of the Unicode call, which fails.
bool ProgramPath(PathBuffer& path)
{
    using GetModuleFileNameWFn = DWORD(WINAPI*)(HMODULE, wchar_t*, DWORD);
    auto unicode = Lookup<GetModuleFileNameWFn>(SystemModule::Kernel,
                                                "GetModuleFileNameW");
    std::array<wchar_t, PathBufferSize> name;
    DWORD length = unicode ? unicode(AppInstance, name.data(), PathBufferSize) : 0;
    if (length > 0)
        return length < PathBufferSize && AnsiPath(name.data(), path);
    length = GetModuleFileNameA(AppInstance, path.data(), static_cast<DWORD>(path.size()));
    return length > 0 && length < path.size();
}

// A path cut short could name some other file, so such a path is refused.
bool PathBesideProgram(const char* fileName, PathBuffer& path)
{
    if (!ProgramPath(path))
        return false;
    size_t folderLength = static_cast<size_t>(BaseName(path.data()) - path.data());
    if (folderLength == 0 || folderLength - 1 + static_cast<size_t>(lstrlenA(fileName)) >= path.size())
        return false;
    lstrcpyA(path.data() + folderLength - 1, fileName);
    return true;
}

namespace {

// What the query needs of a name: its attributes and, for a file, its size.
struct Status {
    DWORD attributes = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
};

// The attributes come first: they are the cheapest way to learn that a name
// does not exist, and the name asked about most often, the dropper DLL on a
// clean machine, does not. A drive's or a share's root has them too, though
// no search finds it.
bool ReadAttributes(const char* path, Status& status)
{
    status.attributes = GetFileAttributesA(path);
    return status.attributes != INVALID_FILE_ATTRIBUTES;
}

using GetFileAttributesExFn = BOOL(WINAPI*)(const char*, GET_FILEEX_INFO_LEVELS, void*);

// One call on Windows 98, the NT family and Wine; Windows 95 lacks it.
bool ReadSizeInOneCall(const char* path, Status& status)
{
    auto attributesEx = Lookup<GetFileAttributesExFn>(SystemModule::Kernel,
                                                      "GetFileAttributesExA");
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributesEx || !attributesEx(path, GetFileExInfoStandard, &data))
        return false;
    status.sizeHigh = data.nFileSizeHigh;
    status.sizeLow = data.nFileSizeLow;
    return true;
}

// Every Windows 95 has this: a search of the file's folder.
bool ReadSizeFromSearch(const char* path, Status& status)
{
    FileSearch search(path);
    if (!search.Found())
        return false;
    status.sizeHigh = search.Entry().nFileSizeHigh;
    status.sizeLow = search.Entry().nFileSizeLow;
    return true;
}

// Where there is no single call, or it fails (the NT family refuses it for a
// few files that the system holds open), the search stands in.
bool ReadSize(const char* path, Status& status)
{
    return ReadSizeInOneCall(path, status) || ReadSizeFromSearch(path, status);
}

// A name with a wildcard is refused first, so that the search never takes it
// for a pattern. No way of reading the size opens the file, so a file that
// another program holds open, however it shares it, is known all the same.
// A size past 32 bits is not cut to its low half, which could make a huge
// file look small; it stands at the largest count there is.
bool Query(const char* path, DWORD* size, bool (*readSize)(const char*, Status&))
{
    Status status;
    if (HoldsWildcard(path) || !ReadAttributes(path, status))
        return false;
    bool folder = (status.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!folder && !readSize(path, status))
        return false;
    if (size)
        *size = folder ? 0 : status.sizeHigh ? 0xFFFFFFFF : status.sizeLow;
    return true;
}

} // namespace

bool QueryFileStatus(const char* path, DWORD* size)
{
    return Query(path, size, ReadSize);
}

bool QueryFileStatusBySearch(const char* path, DWORD* size)
{
    return Query(path, size, ReadSizeFromSearch);
}
