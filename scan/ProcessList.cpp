#include "scan/Scan.h"

bool ProcessList::Take()
{
    entries_.clear();
    return false;
}

bool ResolveImagePath(DWORD, const char*, std::span<char, PathBufferSize>)
{
    return false;
}
