// Small owners for the platform's handles, so that nothing leaks on an early
// return. Ownership moves only through Release().
#pragma once
#include <windows.h>

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
    ~KernelHandle() { if (Valid()) CloseHandle(handle_); }
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;

    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }

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
