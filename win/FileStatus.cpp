#include "win/Win.h"
#include "win/Notice.h"

namespace {

// The lead bytes of the system's code page, asked for once: a call into the
// system at every character would cost a scan, which holds every command
// against every program, a call per byte. Only bytes from 0x80 up can lead.
struct LeadByteTable {
    bool known;
    bool lead[256];
};
LeadByteTable LeadBytes;

bool IsLeadByte(char c)
{
    if (!LeadBytes.known) {
        for (unsigned byte = 0x80; byte <= 0xFF; ++byte)
            LeadBytes.lead[byte] = IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0;
        LeadBytes.known = true;
    }
    return LeadBytes.lead[static_cast<unsigned char>(c)];
}

// The next character, as CharNextA finds it.
const char* NextChar(const char* p)
{
    return IsLeadByte(*p) && p[1] ? p + 2 : p + 1;
}

} // namespace

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

// A path cut short could name some other file, so such a path is refused.
bool PathBesideProgram(const char* fileName, PathBuffer& path)
{
    DWORD length = GetModuleFileNameA(AppInstance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
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
    auto attributesEx = Lookup<GetFileAttributesExFn>(GetModuleHandleA("kernel32.dll"),
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
