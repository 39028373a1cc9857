// Paths longer than most programs expect, made with the wide calls, which
// take them: a folder of an exact length, and a copy of Zorvane.exe in one,
// mapped into the test process, to give the code under test a module path
// longer than a process can be started from.
#pragma once
#include <windows.h>
#include <string>

// Paths of these tests' own, which hold no character beyond ASCII.
inline std::string Narrow(const std::wstring& path)
{
    return std::string(path.begin(), path.end());
}
inline std::wstring Wide(const std::string& path)
{
    return std::wstring(path.begin(), path.end());
}

// A folder whose full path is `length` characters long, under `root`, a folder
// of its own under C:\; removed with everything in it when the object goes.
// Its parts below the root are at most `longestPart` characters long: parts
// of 8 have no shorter 8.3 form.
class LongFolder {
public:
    LongFolder(const wchar_t* root, size_t length, size_t longestPart = 100);
    ~LongFolder();
    LongFolder(const LongFolder&) = delete;
    LongFolder& operator=(const LongFolder&) = delete;

    const std::wstring& Path() const { return folder_; }
    // Puts a file of the given name in it.
    bool AddFile(const wchar_t* name);

private:
    std::wstring root_, folder_;
};

class LongPathModule {
public:
    // `fileName` ends the path, e.g. L"Zorvane.exe"; `length` counts every
    // character of the full path.
    LongPathModule(const wchar_t* root, size_t length, const wchar_t* fileName);
    ~LongPathModule();
    LongPathModule(const LongPathModule&) = delete;
    LongPathModule& operator=(const LongPathModule&) = delete;

    HMODULE Module() const { return module_; }
    const std::wstring& Path() const { return path_; }
    const std::wstring& Folder() const { return folder_.Path(); }
    bool AddFile(const wchar_t* name) { return folder_.AddFile(name); }

private:
    LongFolder folder_;
    std::wstring path_;
    HMODULE module_ = nullptr;
};
