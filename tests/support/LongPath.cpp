#include "LongPath.h"
#include "Zorvane.h"

namespace {

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

LongFolder::LongFolder(const wchar_t* root, size_t length, size_t longestPart)
    : root_(root), folder_(root)
{
    RemoveTree(root_);
    CreateDirectoryW(folder_.c_str(), nullptr);
    while (folder_.size() < length) {
        // The last part is never empty.
        size_t remaining = length - folder_.size();
        size_t part = remaining - 1;
        if (part > longestPart)
            part = remaining - 3 < longestPart ? remaining - 3 : longestPart;
        folder_ += L"\\" + std::wstring(part, L'd');
        CreateDirectoryW(folder_.c_str(), nullptr);
    }
}

LongFolder::~LongFolder()
{
    RemoveTree(root_);
}

bool LongFolder::AddFile(const wchar_t* name)
{
    HANDLE file = CreateFileW((folder_ + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    WriteFile(file, "?_", 2, &written, nullptr);
    CloseHandle(file);
    return true;
}

LongPathModule::LongPathModule(const wchar_t* root, size_t length, const wchar_t* fileName)
    : folder_(root, length - 1 - wcslen(fileName)), path_(folder_.Path() + L"\\" + fileName)
{
    CopyFileW(Wide(ZorvaneExe()).c_str(), path_.c_str(), FALSE);
    module_ = LoadLibraryExW(path_.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
}

LongPathModule::~LongPathModule()
{
    if (module_)
        FreeLibrary(module_);
}
