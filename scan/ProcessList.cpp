#include <new>
#include "win/Win.h"
#include "scan/Scan.h"
#include <tlhelp32.h>

namespace {

// Vista and later; the older systems lack the function that takes it.
DWORD const QueryLimitedInformation = 0x1000;

// Wide enough that a path too long for PathBuffer comes back whole and is
// refused, instead of being cut short by the call to a length that fits.
// The NT family names files in Unicode, and is asked in it: an ANSI path
// would hold a '?' for a letter that the code page lacks, or a look-alike
// letter that names another file.
using WidePathBuffer = std::array<wchar_t, 1024>;

using QueryFullProcessImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, wchar_t*, PDWORD);
using GetModuleFileNameExFn = DWORD(WINAPI*)(HANDLE, HMODULE, wchar_t*, DWORD);

// A library loaded for one lookup and freed again.
class Library {
public:
    explicit Library(const char* name) : module_(LoadLibraryA(name)) {}
    ~Library()
    {
        if (module_)
            FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    HMODULE Get() const { return module_; }

private:
    HMODULE module_;
};

// On 64-bit Windows a 64-bit program is never the 32-bit server, and every
// file call that Zorvane, a 32-bit program there, made on its path would be
// redirected to another file: such a program is left out of the list.
bool IsOfOwnKind(HANDLE process)
{
    return !RunsUnderWow64(ThisProcess()) || RunsUnderWow64(process);
}

// Copies the whole path or nothing.
bool CopyWhole(const char* path, std::span<char, PathBufferSize> out)
{
    int length = lstrlenA(path);
    if (length <= 0 || static_cast<size_t>(length) >= PathBufferSize)
        return false;
    lstrcpynA(out.data(), path, length + 1);
    return true;
}

// Vista and later, Wine.
bool QueryFullImageName(DWORD processId, WidePathBuffer& path)
{
    auto query = Lookup<QueryFullProcessImageNameFn>(SystemModule::Kernel,
                                                     "QueryFullProcessImageNameW");
    if (!query)
        return false;
    KernelHandle process(OpenProcess(QueryLimitedInformation, FALSE, processId));
    if (!process.Valid())
        return false;
    auto size = static_cast<DWORD>(path.size());
    return query(process.Get(), 0, path.data(), &size) && IsOfOwnKind(process.Get());
}

// The NT family before Vista. The call cuts a long path short without
// failing, so a path that fills the buffer counts as not found. The library
// is loaded from the system folder by its full path: a psapi.dll planted
// beside the program would otherwise run inside it, often as an administrator.
bool QueryModuleFileName(DWORD processId, WidePathBuffer& path)
{
    PathBuffer psapiPath;
    UINT folderLength = GetSystemDirectoryA(psapiPath.data(), MAX_PATH);
    if (folderLength == 0 || folderLength >= MAX_PATH)
        return false;
    lstrcpyA(psapiPath.data() + folderLength, "\\psapi.dll");
    Library psapi(psapiPath.data());
    auto query = Lookup<GetModuleFileNameExFn>(psapi.Get(), "GetModuleFileNameExW");
    if (!query)
        return false;
    KernelHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process.Valid())
        return false;
    DWORD length = query(process.Get(), nullptr, path.data(), static_cast<DWORD>(path.size()));
    return length > 0 && length < path.size() - 1 && IsOfOwnKind(process.Get());
}

} // namespace

// Windows 95/98 put the full path into the snapshot; the NT family and Wine
// give the base name only, and the path must be asked of the system by id.
bool ResolveImagePath(DWORD processId, const char* snapshotName,
                      std::span<char, PathBufferSize> out)
{
    if (Holds(snapshotName, '\\'))
        return CopyWhole(snapshotName, out);
    WidePathBuffer wide;
    PathBuffer path;
    bool shortened = false;
    if ((!QueryFullImageName(processId, wide) && !QueryModuleFileName(processId, wide)) ||
        !AnsiPath(wide.data(), path, &shortened))
        return false;
    // Under WoW64 a 32-bit program may still run from the real system folder,
    // which Zorvane's file calls reach only through Sysnative. A short form
    // of a path there was looked up in SysWOW64, where the same name may
    // name another file, or none: such a program is left alone.
    Wow64Folders folders;
    PathBuffer native;
    if (QueryWow64Folders(folders) &&
        SwapFolder(path.data(), folders.system.data(), folders.native.data(), native))
        return !shortened && CopyWhole(native.data(), out);
    return Holds(path.data(), '\\') && CopyWhole(path.data(), out);
}

// Hands each entry of a new platform snapshot to `visit` until it returns
// false. The platform's snapshot is released before this returns.
template <typename Visit> bool WalkPlatformSnapshot(Visit visit)
{
    KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid())
        return false;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL more = Process32First(snapshot.Get(), &pe); more;
         more = Process32Next(snapshot.Get(), &pe)) {
        if (!visit(pe))
            break;
    }
    return true;
}

// Every path is resolved here, once, so that the twelve key scans and the
// sweep of a cycle all walk the same list without asking the system again.
// A list that cannot be held whole counts as no snapshot.
bool ProcessList::Take()
{
    Release();
    bool whole = true;
    bool taken = WalkPlatformSnapshot([&](const PROCESSENTRY32& pe) {
        ProcessEntry entry;
        entry.id = pe.th32ProcessID;
        if (!ResolveImagePath(pe.th32ProcessID, pe.szExeFile, entry.path))
            return true;
        entry.nameAt = static_cast<WORD>(BaseName(entry.path.data()) - entry.path.data());
        entry.tilde = Holds(entry.path.data(), '~');
        whole = Append(entry);
        return whole;
    });
    if (!taken || !whole) {
        Release();
        return false;
    }
    return true;
}

ImageLookup CurrentImagePath(DWORD processId, PathBuffer& out)
{
    ImageLookup lookup = ImageLookup::NotRunning;
    bool taken = WalkPlatformSnapshot([&](const PROCESSENTRY32& pe) {
        if (pe.th32ProcessID != processId)
            return true;
        lookup = ResolveImagePath(processId, pe.szExeFile, out) ? ImageLookup::Found
                                                                : ImageLookup::Unknown;
        return false;
    });
    return taken ? lookup : ImageLookup::Unknown;
}

void ProcessList::Release()
{
    if (entries_)
        HeapFree(GetProcessHeap(), 0, entries_);
    entries_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}

bool ProcessList::Append(const ProcessEntry& entry)
{
    if (count_ == capacity_) {
        size_t capacity = capacity_ ? capacity_ * 2 : 64;
        size_t bytes = capacity * sizeof(ProcessEntry);
        void* grown = entries_ ? HeapReAlloc(GetProcessHeap(), 0, entries_, bytes)
                               : HeapAlloc(GetProcessHeap(), 0, bytes);
        if (grown == nullptr)
            return false;
        entries_ = static_cast<ProcessEntry*>(grown);
        capacity_ = capacity;
    }
    new (&entries_[count_]) ProcessEntry(entry);
    ++count_;
    return true;
}
