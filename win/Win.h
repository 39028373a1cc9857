// What every other part of the program stands on: small owners for the
// platform's handles, the file-status query, paths, and the run-time lookup
// of what older Windows lack; the notices have a header of their own
// (Notice.h). The program's own start and
// the few C functions that the compiler may call live here too (Start.cpp,
// CFunctions.cpp), linked only into the programs that ship.
#pragma once
#include <windows.h>
#include <array>
#include <span>

// Paths, registry names and data all live in buffers of this size.
size_t const PathBufferSize = 300;
using PathBuffer = std::array<char, PathBufferSize>;

// Whether `path` names an existing file or folder, and for a file its size in
// bytes (`size` may be null; a file of 4 GiB or more gives 0xFFFFFFFF). Names
// with '?' or '*' fail; the root folder of a drive or share succeeds. The
// file is not opened, so a file that another program holds open is known too.
bool QueryFileStatus(const char* path, DWORD* size);
// The same query, made only of the calls that every Windows 95 has; the query
// above falls back on it where the system has no single call for it.
bool QueryFileStatusBySearch(const char* path, DWORD* size);

// Owners for the platform's handles, so that nothing leaks on an early
// return. Ownership moves only through Release().

class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY key) : key_(key) {}
    ~RegKey() { if (key_) RegCloseKey(key_); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    HKEY* Receive() { return &key_; } // for the Reg*Ex calls that hand out a key
    HKEY Get() const { return key_; }
    HKEY Release() { HKEY key = key_; key_ = nullptr; return key; }

private:
    HKEY key_ = nullptr;
};

// A kernel handle that is closed once; both null and INVALID_HANDLE_VALUE mean none.
class KernelHandle {
public:
    KernelHandle() = default;
    explicit KernelHandle(HANDLE handle) : handle_(handle) {}
    ~KernelHandle() { Close(); }
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;

    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    // Closes it early: a file must be closed before it is renamed or deleted.
    void Close()
    {
        if (Valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// A buffer on the process heap, freed on every return.
class HeapBlock {
public:
    explicit HeapBlock(size_t size)
        : data_(static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size)))
    {
    }
    ~HeapBlock()
    {
        if (data_)
            HeapFree(GetProcessHeap(), 0, data_);
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    char* Get() const { return data_; }

private:
    char* data_;
};

// The first entry that a search of a folder finds, with the search closed on
// every return. The name is taken as a pattern: '*' and '?' are wildcards.
class FileSearch {
public:
    explicit FileSearch(const char* pattern) : search_(FindFirstFileA(pattern, &found_)) {}
    ~FileSearch() { if (Found()) FindClose(search_); }
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;

    bool Found() const { return search_ != INVALID_HANDLE_VALUE; }
    const WIN32_FIND_DATAA& Entry() const { return found_; }

private:
    WIN32_FIND_DATAA found_;
    HANDLE search_;
};

// The character after the one at `p`, in the system's code page: one byte
// on, or two where the byte leads a double-byte character.
const char* NextChar(const char* p);
// Whether the text holds the character.
bool Holds(const char* text, char c);
// Whether the text holds '*' or '?', which a search would take as wildcards.
bool HoldsWildcard(const char* text);
// The part of a path after its last backslash; the whole path if it has none.
const char* BaseName(const char* path);
// Whether two paths are one as the file system compares names: equal but for
// the case of letters, in whatever language the user reads.
bool SamePath(const char* a, const char* b);
// The full path of the running executable. False when it cannot be had
// whole: a path cut short would name some other file, or none.
bool ProgramPath(PathBuffer& path);
// A file's path in the executable's folder; `fileName` starts with a
// backslash. False when the module path cannot be had whole or the file's
// path would not fit.
bool PathBesideProgram(const char* fileName, PathBuffer& path);

// On the NT family names and paths are Unicode at heart, and the ANSI calls
// convert them through the code page; Windows 95/98 store them in the code
// page itself.
// The ANSI form of a Unicode text, when it names the same thing: every
// character kept, none replaced by '?' or by a look-alike, so that it turns
// back into the very same text. False otherwise, or where `out` is too small.
bool ExactAnsi(const wchar_t* text, std::span<char> out);
// The count of UTF-16 units before the terminator.
size_t WideLength(const wchar_t* text);
// An ANSI form of a Unicode path that opens the same file or folder: the
// path itself where it survives the code page, else its short 8.3 form.
// False where neither does (a volume may keep no short names). `shortened`,
// when given, is set once the short form is tried, and left as it was else.
bool AnsiPath(const wchar_t* path, PathBuffer& out, bool* shortened = nullptr);

// A function that older Windows lack, looked up at run time in a module of
// the system: null where the module or the function is missing, and the
// caller then takes its fallback.
template <typename Fn> Fn Lookup(HMODULE module, const char* name)
{
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
// The same in one of the system's modules that the program has loaded
// already: one call for every lookup, which keeps the program small.
enum class SystemModule { Kernel, Advapi, Shell };
void* LookupLoaded(SystemModule module, const char* name);
template <typename Fn> Fn Lookup(SystemModule module, const char* name)
{
    return reinterpret_cast<Fn>(LookupLoaded(module, name));
}

// What a 32-bit program on 64-bit Windows (WoW64) finds where: its system
// folder is redirected to SysWOW64, and the real system folder is reached
// through Sysnative (from Vista on; on XP's 64-bit edition nothing is there).
struct Wow64Folders {
    std::array<char, MAX_PATH> system;     // as GetSystemDirectoryA names it
    std::array<char, MAX_PATH> redirected; // where its names lead: SysWOW64
    std::array<char, MAX_PATH> native;     // where the real one is reached
};
// False where nothing is redirected, and for a folder too long for the buffers.
bool QueryWow64Folders(Wow64Folders& folders);
// Windows 95 and 98, as GetVersion tells them from the NT family.
inline bool RunningOnWindows9x()
{
    return (GetVersion() & 0x80000000u) != 0;
}
// The handle by which a process names itself, as GetCurrentProcess gives it on
// every Windows: a constant, so the program need not import that call.
inline HANDLE ThisProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}
// Whether the process runs under WoW64; false also where that cannot be told.
bool RunsUnderWow64(HANDLE process);
// The path with its folder `from` (the folder itself or one above it)
// replaced by `to`; false for a path elsewhere, or one that would not fit.
bool SwapFolder(const char* path, const char* from, const char* to, PathBuffer& out);
// The path as the user's own programs name it: one through Sysnative in the
// real system folder, any other as it is. Every path of ours fits the buffer.
void NameAsTheUserSees(const char* path, PathBuffer& out);
