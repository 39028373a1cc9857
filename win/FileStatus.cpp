#include "win/Win.h"

bool HoldsWildcard(const char* text)
{
    for (; *text; ++text) {
        if (*text == '*' || *text == '?')
            return true;
    }
    return false;
}

namespace {

// What the query needs of a name: its attributes and, for a file, its size.
struct Status {
    DWORD attributes = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
};

using GetFileAttributesExFn = BOOL(WINAPI*)(const char*, GET_FILEEX_INFO_LEVELS, void*);

// One call on Windows 98, the NT family and Wine; Windows 95 lacks it.
bool StatusInOneCall(const char* path, Status& status)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto attributesEx = reinterpret_cast<GetFileAttributesExFn>(reinterpret_cast<void*>(
        kernel ? GetProcAddress(kernel, "GetFileAttributesExA") : nullptr));
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!attributesEx || !attributesEx(path, GetFileExInfoStandard, &data))
        return false;
    status = {data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow};
    return true;
}

// Calls that every Windows 95 has. The attributes say whether the name exists
// and whether it is a folder: a drive's or a share's root has them, though no
// search finds it. A search of the folder gives a file's size.
bool StatusFromSearch(const char* path, Status& status)
{
    status.attributes = GetFileAttributesA(path);
    if (status.attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (status.attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    FileSearch search(path);
    if (!search.Found())
        return false;
    status.sizeHigh = search.Entry().nFileSizeHigh;
    status.sizeLow = search.Entry().nFileSizeLow;
    return true;
}

// A size past 32 bits is not cut to its low half, which could make a huge
// file look small; it stands at the largest count there is.
bool Report(const Status& status, DWORD* size)
{
    if (size == nullptr)
        return true;
    if (status.attributes & FILE_ATTRIBUTE_DIRECTORY)
        *size = 0;
    else
        *size = status.sizeHigh ? 0xFFFFFFFF : status.sizeLow;
    return true;
}

} // namespace

// A name with a wildcard is refused first, so that the search never takes it
// for a pattern. The search also stands in where the single call fails: the
// NT family refuses it for a few files that the system holds open. Neither
// way opens the file, so a file that another program holds open, however it
// shares it, is known all the same.
bool QueryFileStatus(const char* path, DWORD* size)
{
    Status status;
    if (HoldsWildcard(path) || (!StatusInOneCall(path, status) && !StatusFromSearch(path, status)))
        return false;
    return Report(status, size);
}

bool QueryFileStatusBySearch(const char* path, DWORD* size)
{
    Status status;
    if (HoldsWildcard(path) || !StatusFromSearch(path, status))
        return false;
    return Report(status, size);
}
