#include "win/Win.h"

namespace {

using GetShortPathNameWFn = DWORD(WINAPI*)(const wchar_t*, wchar_t*, DWORD);

// Whether two Unicode texts are the same, unit by unit.
bool SameText(const wchar_t* a, const wchar_t* b)
{
    while (*a == *b && *a)
        ++a, ++b;
    return *a == *b;
}

} // namespace

size_t WideLength(const wchar_t* text)
{
    size_t length = 0;
    while (text[length])
        ++length;
    return length;
}

void* LookupLoaded(SystemModule module, const char* name)
{
    // GetModuleHandleA adds ".dll" to a name that has no extension.
    static constexpr char Names[][9] = {"kernel32", "advapi32", "shell32"};
    return reinterpret_cast<void*>(
        Lookup<FARPROC>(GetModuleHandleA(Names[static_cast<int>(module)]), name));
}

// The conversion replaces a character that the code page lacks by '?' and
// one that it has a look-alike for by that ("best fit"): either way the text
// comes back as another one, which is all that needs checking.
bool ExactAnsi(const wchar_t* text, std::span<char> out)
{
    std::array<wchar_t, PathBufferSize> back;
    return WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), static_cast<int>(out.size()),
                               nullptr, nullptr) > 0 &&
           MultiByteToWideChar(CP_ACP, 0, out.data(), -1, back.data(), PathBufferSize) > 0 &&
           SameText(text, back.data());
}

// The short form is spelled by the file system, in ASCII wherever Windows
// makes it; a volume that keeps no short names has none to give.
bool AnsiPath(const wchar_t* path, PathBuffer& out, bool* shortened)
{
    if (ExactAnsi(path, out))
        return true;
    // A path too long for the buffers is refused, as it always was, rather
    // than taken in another form.
    if (WideLength(path) >= PathBufferSize)
        return false;
    auto shortName = Lookup<GetShortPathNameWFn>(SystemModule::Kernel,
                                                 "GetShortPathNameW");
    std::array<wchar_t, PathBufferSize> shortPath;
    DWORD shortLength = shortName ? shortName(path, shortPath.data(), PathBufferSize) : 0;
    if (shortened)
        *shortened = true;
    return shortLength > 0 && shortLength < PathBufferSize && ExactAnsi(shortPath.data(), out);
}
