// Runs every measurement of tools/bench in one Wine process, on processes
// started in three steps (10, then 40 more, then 50 more), since every
// snapshot sees every running process.
#include <cstdio>
#include <cstdlib>
#include "Bench.h"

namespace {

// One ordinary program in five is small; the rest are of a server's size
// with proper version strings.
bool IsSmall(int index)
{
    return index % 5 == 4;
}

std::string Numbered(const char* stem, int index)
{
    char name[64];
    wsprintfA(name, "%s-%03d.exe", stem, index);
    return name;
}

void CopyOrFail(const std::string& from, const std::string& to)
{
    if (!CopyFileA(from.c_str(), to.c_str(), FALSE))
        Fail("cannot copy " + from + " to " + to);
}

// The programs of the steady state: ordinary.exe under distinct names, and
// the unpadded ordinary program as the small ones.
std::vector<std::string> LayOutPrograms(int count)
{
    std::string folder = BenchFolder() + "\\procs";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> images;
    for (int i = 0; i < count; ++i) {
        std::string image = folder + "\\" + Numbered(IsSmall(i) ? "small" : "ordinary", i);
        CopyOrFail(IsSmall(i) ? SleeperPath() : FixturePath("ordinary.exe"), image);
        images.push_back(image);
    }
    return images;
}

// The look-alikes and near misses, several copies each, for the peer.
std::vector<std::string> LayOutLookAlikes(int copies)
{
    static const char* const Stems[] = {
        "server", "server-codepage1252", "candidate", "near-124499", "near-124500",
        "near-runbyte", "near-noversion", "near-company", "near-language", "near-nointernal"};
    std::string folder = BenchFolder() + "\\peer";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::vector<std::string> files;
    for (const char* stem : Stems) {
        for (int i = 0; i < copies; ++i) {
            std::string file = folder + "\\" + Numbered(stem, i);
            CopyOrFail(FixturePath((std::string(stem) + ".exe").c_str()), file);
            files.push_back(file);
        }
    }
    return files;
}

} // namespace

double NowMs()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string JsonText(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string JsonList(const std::vector<double>& samples)
{
    std::string out = "[";
    for (size_t i = 0; i < samples.size(); ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%.6g", i ? ", " : "", samples[i]);
        out += number;
    }
    return out + "]";
}

std::string JsonList(const std::vector<std::string>& texts)
{
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); ++i)
        out += (i ? ", " : "") + JsonText(texts[i]);
    return out + "]";
}

void Emit(const char* kind, const std::string& fields)
{
    std::printf("{\"kind\": \"%s\", %s}\n", kind, fields.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "  measured: %s\n", kind);
}

void Fail(const std::string& why)
{
    std::fprintf(stderr, "ZorvaneBench: %s\n", why.c_str());
    std::exit(1);
}

std::string ProgramFolder()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder = path;
    return folder.substr(0, folder.rfind('\\'));
}

std::string FixturePath(const char* fixture)
{
    return ProgramFolder() + "\\fixtures\\" + fixture;
}

std::string SleeperPath()
{
    return ProgramFolder() + "\\tests\\fixtures\\sleeper_ordinary.exe";
}

std::string BenchFolder()
{
    return "C:\\bench";
}

std::string SystemDropperDll()
{
    char folder[MAX_PATH] = "";
    GetSystemDirectoryA(folder, sizeof folder);
    return std::string(folder) + "\\windll.dll";
}

bool Processes::Start(const std::string& image)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::string commandLine = "\"" + image + "\"";
    if (!CreateProcessA(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    handles_.push_back(info.hProcess);
    return true;
}

void Processes::EndAll()
{
    for (HANDLE process : handles_)
        TerminateProcess(process, 0);
    for (HANDLE process : handles_) {
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    handles_.clear();
}

namespace {

volatile LONG noticesSeen = 0;

DWORD WINAPI NoticeWatcher(void*)
{
    for (;;) {
        if (HWND box = FindWindowA("#32770", "Quillane Zorvane")) {
            InterlockedIncrement(&noticesSeen);
            PostMessageA(box, WM_CLOSE, 0, 0);
            Sleep(500);
        }
        Sleep(25);
    }
}

} // namespace

void WatchForNotices()
{
    CloseHandle(CreateThread(nullptr, 0, NoticeWatcher, nullptr, 0, nullptr));
}

int NoticesSeen()
{
    return static_cast<int>(noticesSeen);
}

int main()
{
    WatchForNotices();
    CreateDirectoryA(BenchFolder().c_str(), nullptr);
    DeleteFileA(SystemDropperDll().c_str());

    int const Levels[] = {10, 50, 100};
    std::vector<std::string> images = LayOutPrograms(Levels[2]);
    std::vector<std::string> peerFiles = LayOutLookAlikes(11);
    peerFiles.insert(peerFiles.end(), images.begin(), images.end());

    Processes running;
    for (int level : Levels) {
        while (running.Count() < static_cast<size_t>(level)) {
            if (!running.Start(images[running.Count()]))
                Fail("cannot start " + images[running.Count()]);
        }
        MeasureCycle(level);
        MeasureKeyScans(level, level == 50 ? std::vector<int>{0, 60, 600}
                                           : std::vector<int>{600});
        // Zorvane.exe's own cycles are driven while ten programs run.
        if (level == Levels[0]) {
            MeasureFootprint();
            MeasureStart();
            MeasureIdleCycle();
        }
    }
    MeasureContentTest(peerFiles);
    running.EndAll();
    MeasureIdle();

    if (NoticesSeen() != 0)
        Fail(std::to_string(NoticesSeen()) + " notice(s) appeared during the bench");
    return 0;
}
