// A copy of Zorvane.exe at a path of an exact length, mapped into the test
// process: the way to give the code under test a module path longer than a
// process can be started from.
#pragma once
#include <windows.h>
#include <string>

class LongPathModule {
public:
    // `fileName` ends the path, e.g. L"Zorvane.exe"; `length` counts every
    // character of the full path. `root` is a folder of its own under C:\.
    LongPathModule(const wchar_t* root, size_t length, const wchar_t* fileName);
    ~LongPathModule();
    LongPathModule(const LongPathModule&) = delete;
    LongPathModule& operator=(const LongPathModule&) = delete;

    HMODULE Module() const { return module_; }
    const std::wstring& Path() const { return path_; }
    const std::wstring& Folder() const { return folder_; }
    // Puts a file of the given name beside the copy.
    bool AddFile(const wchar_t* name);

private:
    std::wstring root_, folder_, path_;
    HMODULE module_ = nullptr;
};
