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

// What the single call says of a name.
enum class Answer { Found, Missing, None };

// One call on Windows 98, the NT family and Wine; Windows 95 lacks it. A name
// that it finds missing is missing for every other way of asking too, and is
// not asked about again.
Answer StatusInOneCall(const char* path, Status& status)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto attributesEx = reinterpret_cast<GetFileAttributesExFn>(reinterpret_cast<void*>(
        kernel ? GetProcAddress(kernel, "GetFileAttributesExA") : nullptr));
    if (!attributesEx)
        return Answer::None;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (attributesEx(path, GetFileExInfoStandard, &data)) {
        status = {data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow};
        return Answer::Found;
    }
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Answer::Missing
                                                                          : Answer::None;
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
// for a pattern. The search also stands in where the single call fails for
// another reason than a missing name: the NT family refuses it for a few
// files that the system holds open. Neither
// way opens the file, so a file that another program holds open, however it
// shares it, is known all the same.
bool QueryFileStatus(const char* path, DWORD* size)
{
    if (HoldsWildcard(path))
        return false;
    Status status;
    switch (StatusInOneCall(path, status)) {
    case Answer::Found:
        return Report(status, size);
    case Answer::Missing:
        return false;
    case Answer::None:
        break;
    }
    return StatusFromSearch(path, status) && Report(status, size);
}

bool QueryFileStatusBySearch(const char* path, DWORD* size)
{
    Status status;
    if (HoldsWildcard(path) || !StatusFromSearch(path, status))
        return false;
    return Report(status, size);
}
