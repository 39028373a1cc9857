#include "Fixtures.h"
#include "Zorvane.h"
#include "Wait.h"

std::string FixturePath(const std::string& fixture)
{
    return BuildFolder() + "\\fixtures\\" + fixture;
}

std::string SystemDirectory()
{
    char path[MAX_PATH] = "";
    UINT length = GetSystemDirectoryA(path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

std::string SystemImageDirectory()
{
    BOOL wow64 = FALSE;
    char path[MAX_PATH] = "";
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return SystemDirectory();
    UINT length = GetSystemWow64DirectoryA(path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

std::string TempFolder()
{
    char path[MAX_PATH] = "";
    GetTempPathA(sizeof path, path);
    std::string folder = std::string(path) + "ZorvaneTests";
    MakeFolder(folder);
    return folder;
}

bool MakeFolder(const std::string& folder)
{
    for (size_t at = folder.find('\\', 3); at != std::string::npos; at = folder.find('\\', at + 1))
        CreateDirectoryA(folder.substr(0, at).c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    DWORD attributes = GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string FileBytes(const std::string& path)
{
    std::string bytes;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

void SetFileText(const std::string& path, const std::string* bytes)
{
    DeleteFileA(path.c_str());
    if (!bytes)
        return;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr);
    CloseHandle(file);
}

// A process that was just ended may hold its image for a moment longer.
static void DeleteSoon(const std::string& path)
{
    WaitUntil([&] { return DeleteFileA(path.c_str()) || !FileExists(path); }, Patience);
}

FixtureCopy::FixtureCopy(const std::string& fixture, const std::string& folder,
                         const std::string& name)
    : path_(folder + "\\" + name)
{
    made_ = CopyFileA(FixturePath(fixture).c_str(), path_.c_str(), FALSE) != 0;
}

FixtureCopy::~FixtureCopy()
{
    if (made_)
        DeleteSoon(path_);
}

FixtureCopy& FixtureCopy::Poke(DWORD offset, BYTE value)
{
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN);
        WriteFile(file, &value, 1, &written, nullptr);
        CloseHandle(file);
    }
    return *this;
}

FixtureCopy& FixtureCopy::Resize(DWORD length)
{
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        SetFilePointer(file, static_cast<LONG>(length), nullptr, FILE_BEGIN);
        SetEndOfFile(file);
        CloseHandle(file);
    }
    return *this;
}

bool LookAlikeProcess::StartSealed(const std::string& image)
{
    SECURITY_DESCRIPTOR descriptor;
    ACL nobody; // an empty access list: every access is refused
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&nobody, sizeof nobody, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &nobody, FALSE);
    SECURITY_ATTRIBUTES security = {sizeof security, &descriptor, FALSE};
    return Launch(image, "", SW_SHOWNORMAL, &security);
}

std::string DropperDllFile()
{
    return SystemDirectory() + "\\windll.dll";
}

bool PlantDropperDll(const std::string& fixture)
{
    return CopyFileA(FixturePath(fixture).c_str(), DropperDllFile().c_str(), FALSE) != 0;
}

void RemoveDropperDll()
{
    DeleteSoon(DropperDllFile());
}

NoticeRecorder::NoticeRecorder(std::vector<int> buttons, int otherwise,
                               std::function<void()> onShown)
    : buttons_(std::move(buttons)), otherwise_(otherwise), onShown_(std::move(onShown))
{
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

const std::vector<Notice>& NoticeRecorder::Stop()
{
    if (thread_) {
        InterlockedExchange(&stop_, 1);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return seen_;
}

DWORD WINAPI NoticeRecorder::Run(void* self)
{
    auto* me = static_cast<NoticeRecorder*>(self);
    for (;;) {
        WaitUntil([me] { return me->stop_ || NoticeAppears(0); }, INFINITE);
        if (me->stop_)
            return 0;
        if (me->onShown_)
            me->onShown_();
        size_t next = me->seen_.size();
        int button = next < me->buttons_.size() ? me->buttons_[next] : me->otherwise_;
        Notice notice = AnswerNotice(button, Patience);
        if (notice.shown)
            me->seen_.push_back(notice);
    }
}
