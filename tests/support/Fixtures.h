// The intruder's look-alikes in the real machine: copies of the fixtures in
// real folders, running look-alike processes, the dropper DLL in the real
// system directory, and a recorder that answers every notice that a call
// raises. Autostart values are written with the helpers of Registry.h.
//
// The fixtures, in <build>\fixtures (made by tools/make_lookalikes.py):
//   server.exe               the server: blank version strings (0x0409, code
//                            page 1200), its code bytes at 0x600 and its zero
//                            run, 131072 bytes; a real program that sleeps
//   server-codepage1252.exe  the same, its strings under code page 1252 only
//   server-translations.exe  the same, with proper German strings (0x0407)
//                            declared beside the blank US English ones
//   candidate.exe            a candidate (size, blank strings) without the code
//   near-124499.exe          one byte too small to be a candidate
//   near-124500.exe          just large enough, too short for the zero run
//   near-runbyte.exe         byte 124615, the last of the zero run, is 1
//   near-noversion.exe       no version block
//   near-company.exe         "CompanyName" is not blank
//   near-language.exe        the strings are under German (0x0407) only
//   near-split.exe           German and US English, each key blank in one of
//                            them, but no translation with all four blank
//   near-nointernal.exe      "InternalName" is missing
//   near-overrun.exe         blank under German only, which its translation
//                            table names past the end of the version block
//   ordinary.exe             an ordinary program with proper version strings
//   windll.dll               the dropper DLL: 8192 bytes, its code at 1537
//   windll-8191.dll, windll-8193.dll   one byte short, one byte over
#pragma once
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "Notices.h"
#include "Registry.h"
#include "Zorvane.h"

std::string FixturePath(const std::string& fixture);
std::string SystemDirectory();
// Where a program of the system folder runs from, as the process list names
// it: for a 32-bit program on 64-bit Windows, SysWOW64.
std::string SystemImageDirectory();
std::string TempFolder(); // a folder of the tests' own under the temp folder
// Creates `folder` and any folder above it that is missing.
bool MakeFolder(const std::string& folder);

// A copy of a fixture at folder\name, deleted again when the object goes.
class FixtureCopy {
public:
    FixtureCopy(const std::string& fixture, const std::string& folder, const std::string& name);
    ~FixtureCopy();
    FixtureCopy(const FixtureCopy&) = delete;
    FixtureCopy& operator=(const FixtureCopy&) = delete;

    bool Made() const { return made_; }
    const std::string& Path() const { return path_; }
    FixtureCopy& Poke(DWORD offset, BYTE value); // overwrite one byte
    FixtureCopy& Resize(DWORD length);           // cut short, or extend with zeros

private:
    std::string path_;
    bool made_ = false;
};

// A look-alike running as a real process, ended when the object goes.
class LookAlikeProcess : public StartedProcess {
public:
    LookAlikeProcess() = default;
    explicit LookAlikeProcess(const std::string& image) { Start(image); }

    bool Start(const std::string& image) { return Launch(image); }
    // Starts it with a security descriptor that grants nobody any access, so
    // that no other process can open it to ask for its image path.
    bool StartSealed(const std::string& image);
};

// <system>\windll.dll, planted from a fixture and removed again.
std::string DropperDllFile();
bool PlantDropperDll(const std::string& fixture = "windll.dll");
void RemoveDropperDll();
bool FileExists(const std::string& path);
std::string FileBytes(const std::string& path); // "<unreadable>" when it cannot be read
// Writes `bytes` as the whole file, or deletes the file when `bytes` is null.
void SetFileText(const std::string& path, const std::string* bytes);


// Answers every notice that appears until Stop(): with the given buttons in
// turn, then with `otherwise`. `onShown` runs while each notice is still on
// the screen, before it is answered.
class NoticeRecorder {
public:
    explicit NoticeRecorder(std::vector<int> buttons = {}, int otherwise = IDCANCEL,
                            std::function<void()> onShown = nullptr);
    ~NoticeRecorder() { Stop(); }
    NoticeRecorder(const NoticeRecorder&) = delete;
    NoticeRecorder& operator=(const NoticeRecorder&) = delete;

    const std::vector<Notice>& Stop(); // waits for the thread; the notices seen

private:
    static DWORD WINAPI Run(void* self);
    std::vector<int> buttons_;
    int otherwise_;
    std::function<void()> onShown_;
    std::vector<Notice> seen_;
    volatile LONG stop_ = 0;
    HANDLE thread_ = nullptr;
};
