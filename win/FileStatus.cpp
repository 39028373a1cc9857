#include "win/Win.h"

bool HoldsWildcard(const char* text)
{
    for (; *text; ++text) {
        if (*text == '*' || *text == '?')
            return true;
    }
    return false;
}

// Made of calls that every Windows 95 has. The attributes say whether the
// name exists and whether it is a folder; a drive's or a share's root has
// them, though no search can find it. A file's size comes from a search of
// its folder, which reads the folder, not the file: it works while another
// program holds the file open, however it shares it. A name with a wildcard
// is refused first, so that the search never takes it for a pattern.
bool QueryFileStatus(const char* path, DWORD* size)
{
    if (HoldsWildcard(path))
        return false;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    DWORD bytes = 0;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        FileSearch search(path);
        if (!search.Found())
            return false;
        // A size past 32 bits is not cut to its low half, which could make a
        // huge file look small; it stands at the largest count there is.
        bytes = search.Entry().nFileSizeHigh ? 0xFFFFFFFF : search.Entry().nFileSizeLow;
    }
    if (size)
        *size = bytes;
    return true;
}
