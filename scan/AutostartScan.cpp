#include "win/Win.h"
#include "scan/Scan.h"
#include "win/Notice.h"

namespace {

constexpr char ServerFileName[] = " .exe";

bool EndsWithin(const PathBuffer& data, DWORD size)
{
    for (DWORD i = 0; i < size && i < data.size(); ++i) {
        if (data[i] == '\0')
            return true;
    }
    return false;
}

// The short form of a path, whole or not at all.
bool ShortForm(const char* path, PathBuffer& out)
{
    DWORD length = GetShortPathNameA(path, out.data(), PathBufferSize);
    return length > 0 && length < PathBufferSize;
}

// A bare name names the image when it is either of the names of the image's
// file: its long name or its short one. A search for the file gives both.
bool IsNameOfImage(const char* name, const char* imagePath)
{
    if (HoldsWildcard(imagePath))
        return false;
    FileSearch search(imagePath);
    if (!search.Found())
        return false;
    const WIN32_FIND_DATAA& file = search.Entry();
    return SamePath(name, file.cFileName) ||
           (file.cAlternateFileName[0] != '\0' && SamePath(name, file.cAlternateFileName));
}

bool IsKnownByNameOrCode(const char* imagePath)
{
    return HasServerFileName(imagePath) || MatchesServerSignature(imagePath);
}

enum class Decision { Server, Ask, Pass };

Decision Decide(const char* imagePath, ScanPass pass)
{
    if (IsKnownByNameOrCode(imagePath))
        return Decision::Server;
    return pass == ScanPass::Asking ? Decision::Ask : Decision::Pass;
}

// Whether ".exe", in any case, ends the program's name here: at a blank or
// at the end of the command.
bool EndsProgramName(const char* at)
{
    auto lower = [](char c) { return static_cast<char>(c | 0x20); };
    return at[0] == '.' && lower(at[1]) == 'e' && lower(at[2]) == 'x' && lower(at[3]) == 'e' &&
           (at[4] == '\0' || at[4] == ' ' || at[4] == '\t');
}

// The program that Windows starts for a command: the text in its opening
// quotes, or else the text up to the end of the first ".exe" that a blank
// or the end of the command follows. False when the command shows neither.
bool CommandProgram(const char* command, PathBuffer& program)
{
    const char* start = command;
    const char* end = nullptr;
    if (*command == '"') {
        start = command + 1;
        for (end = start; *end != '"'; ++end)
            if (*end == '\0')
                return false;
    } else {
        for (const char* at = command; *at && !end; ++at)
            if (EndsProgramName(at))
                end = at + 4;
        if (!end)
            return false;
    }
    lstrcpynA(program.data(), start, static_cast<int>(end - start) + 1);
    return true;
}

// Where the names of the system folder lead when Windows starts a program
// that a value names: for a value that a 32-bit program reads, SysWOW64; for
// one in the machine's 64-bit view, the real system folder, which the process
// list names through Sysnative. Inactive where nothing is redirected.
// The Redirection also tells whether Explorer starts the key's values, in
// which folder Windows looks first for a program named without one.
struct Redirection {
    Wow64Folders folders;
    const char* to;
    bool explorerStarts;
};

void QueryRedirection(Redirection& redirection, REGSAM view)
{
    redirection.to = nullptr;
    redirection.explorerStarts = false;
    if (QueryWow64Folders(redirection.folders))
        redirection.to = view ? redirection.folders.native.data()
                              : redirection.folders.redirected.data();
}

// A program as a command names it, with what the key scan asks of it at every
// image found once: whether it is a bare file name, and whether it holds a
// '~', as a short form may.
struct Program {
    const char* text;
    bool bare;
    bool tilde;
};

Program Describe(const char* text)
{
    return {text, BaseName(text) == text, Holds(text, '~')};
}

// An image as the key scan holds commands against it.
struct Image {
    const char* path;
    const char* name;
    bool tilde;
};

// The programs that a command may start: the command as written; the program
// of a command in quotes or with arguments, which Windows starts all the
// same; and the file that it names in the redirected system folder.
struct Command {
    std::array<Program, 3> programs;
    int count;
    PathBuffer program;
    PathBuffer redirected;
};

void ReadCommand(const char* text, const Redirection& redirection, Command& command)
{
    command.count = 0;
    command.programs[command.count++] = Describe(text);
    if (CommandProgram(text, command.program) && lstrlenA(command.program.data()) != lstrlenA(text))
        command.programs[command.count++] = Describe(text = command.program.data());
    if (redirection.to &&
        SwapFolder(text, redirection.folders.system.data(), redirection.to, command.redirected))
        command.programs[command.count++] = Describe(command.redirected.data());
}

// The file that Windows starts for a program named without a folder, as
// CreateProcess searches for it: the folder of the program that starts it
// first, then the system folder, the 16-bit one ("System" in the Windows
// folder, the system folder itself on Windows 95/98), the Windows folder
// and the folders on the PATH. Explorer, in the Windows folder, starts the
// Run keys' values on the NT family; which program starts any other key's
// values, and every key's on Windows 95/98, and from which folder, is not
// documented. `windowsFirst` searches as from the Windows folder, and
// otherwise the system folder comes first. SearchPathA is looked up, as it
// is missing from the list of functions that the program imports.
bool FindAsWindowsWould(const char* name, bool windowsFirst, PathBuffer& found)
{
    using SearchPathFn = DWORD(WINAPI*)(const char*, const char*, const char*, DWORD, char*, char**);
    auto search = Lookup<SearchPathFn>(GetModuleHandleA("kernel32.dll"), "SearchPathA");
    DWORD pathLength = GetEnvironmentVariableA("PATH", nullptr, 0);
    HeapBlock folders(5 * MAX_PATH + pathLength + 1);
    PathBuffer windows, system;
    UINT windowsLength = GetWindowsDirectoryA(windows.data(), MAX_PATH);
    UINT systemLength = GetSystemDirectoryA(system.data(), MAX_PATH);
    if (!search || !folders.Get() || windowsLength - 1 >= MAX_PATH - 1 ||
        systemLength - 1 >= MAX_PATH - 1)
        return false;
    char* at = folders.Get();
    at += wsprintfA(at, "%s;%s;%s\\System;%s;", windowsFirst ? windows.data() : system.data(),
                    system.data(), windows.data(), windows.data());
    GetEnvironmentVariableA("PATH", at, pathLength);
    DWORD length = search(folders.Get(), name, nullptr, PathBufferSize, found.data(), nullptr);
    return length > 0 && length < PathBufferSize;
}

// Whether a program names the image, and whether it names that file alone: a
// bare name that Windows may take for another file of that name names the
// image, but its value is not the server's alone.
enum class Naming { None, Shared, Alone };

Naming NamesImage(const Command& command, const Image& image, const Redirection& redirection);

// Nothing in the command is expanded: the value's type has decided that. Equal
// to the image's path as written, it names the image, as it always did.
// Otherwise the two may be forms of one path, short where the other is long.
// Windows makes every short name of a long one with a '~' and a number
// ("PROGRA~1", "SERVER~1.EXE"), so without a '~' on either side they are not;
// only a user who turned the number off on Windows 95/98 has short names
// without one. The file system, which costs far more than a comparison, is
// asked only then. A bare name names the image only where Windows would find
// that very file by it: a program of the same name in another folder is another
// program, and its value not the server's. Where it is not known which folder
// the search starts in, the name names the image alone only when both searches
// find it.
Naming ProgramNamesImage(const Program& program, const Image& image, const Redirection& redirection)
{
    bool maybeShort = program.tilde || image.tilde;
    if (program.bare) {
        if (!SamePath(program.text, image.name) &&
            !(maybeShort && IsNameOfImage(program.text, image.path)))
            return Naming::None;
        int finds = 0;
        for (bool windowsFirst : {true, redirection.explorerStarts}) {
            PathBuffer found;
            Command located;
            if (FindAsWindowsWould(program.text, windowsFirst, found)) {
                ReadCommand(found.data(), redirection, located);
                finds += NamesImage(located, image, redirection) != Naming::None;
            }
        }
        return finds == 2 ? Naming::Alone : finds ? Naming::Shared : Naming::None;
    }
    if (SamePath(program.text, image.path))
        return Naming::Alone;
    PathBuffer shortProgram, shortImage;
    return maybeShort && ShortForm(program.text, shortProgram) &&
                   ShortForm(image.path, shortImage) &&
                   SamePath(shortProgram.data(), shortImage.data())
               ? Naming::Alone
               : Naming::None;
}

Naming NamesImage(const Command& command, const Image& image, const Redirection& redirection)
{
    Naming naming = Naming::None;
    for (int i = 0; i < command.count; ++i) {
        Naming one = ProgramNamesImage(command.programs[i], image, redirection);
        if (one > naming)
            naming = one;
    }
    return naming;
}

// The key as the removal needs it, to delete the value that started the
// server, in the view where the value was found. The right to delete is
// asked for only now: a user who may not change the key may still read it,
// and so find the server. Where the right is refused, the key as read goes to
// the removal, which then reports the value that it could not delete.
HKEY KeyToDeleteFrom(HKEY root, const char* keyPath, REGSAM view, RegKey& read)
{
    HKEY writable = nullptr;
    if (RegOpenKeyExA(root, keyPath, 0, KEY_SET_VALUE | view, &writable) == ERROR_SUCCESS)
        return writable;
    return read.Release();
}

// The key as a registry editor shows it, for the log, so that a value can be
// put back where it was. On 64-bit Windows the editor shows a 32-bit
// program's view of the machine's Software key under WOW6432Node. Every key
// that the scan reads lies under Software.
void NameKey(HKEY root, const char* keyPath, bool thirtyTwoBitView, std::array<char, 160>& out)
{
    bool inNode = thirtyTwoBitView && root == HKEY_LOCAL_MACHINE;
    wsprintfA(out.data(), "%s\\%s%s",
              root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER",
              inNode ? "Software\\WOW6432Node" : "", inNode ? keyPath + 8 : keyPath);
}

// Whether the key is a Run or RunOnce key, which Explorer reads, and not
// RunServices or RunServicesOnce: the scan reads no other key.
bool IsRunKey(const char* keyPath)
{
    return BaseName(keyPath)[3] != 'S';
}

// A value whose type says so has its environment strings expanded before
// Windows starts it; any other is read as it is stored. Where the system
// cannot expand them (ExpandEnvironmentStringsA is looked up, as it is
// missing from the list of functions that the program imports), it starts
// the value as stored too. Null where the expansion does not fit.
const char* ReadAsWindowsDoes(const char* data, DWORD type, PathBuffer& expanded)
{
    using ExpandFn = DWORD(WINAPI*)(const char*, char*, DWORD);
    auto expand = Lookup<ExpandFn>(GetModuleHandleA("kernel32.dll"), "ExpandEnvironmentStringsA");
    if (type != REG_EXPAND_SZ || !expand)
        return data;
    DWORD length = expand(data, expanded.data(), PathBufferSize);
    return length > 0 && length <= PathBufferSize ? expanded.data() : nullptr;
}

} // namespace

bool IdentifiesItselfAsServer(const char* imagePath)
{
    return IsServerCandidate(imagePath) && IsKnownByNameOrCode(imagePath);
}

bool CommandNamesImage(const char* command, const char* imagePath)
{
    Redirection redirection;
    QueryRedirection(redirection, 0);
    Command read;
    ReadCommand(command, redirection, read);
    return NamesImage(read, {imagePath, BaseName(imagePath), Holds(imagePath, '~')}, redirection) !=
           Naming::None;
}

// Windows 95/98 may list the server under a short name, which its long name
// " .exe" is known by.
bool HasServerFileName(const char* imagePath)
{
    return SamePath(BaseName(imagePath), ServerFileName) ||
           IsNameOfImage(ServerFileName, imagePath);
}

int AskAboutImage(const char* imagePath)
{
    std::array<char, PathBufferSize + 160> text;
    PathBuffer shown;
    NameAsTheUserSees(imagePath, shown);
    wsprintfA(text.data(),
              "Grimlatch is running on your computer!\n\n%s\n\nIf this file is Grimlatch, it "
              "will be eliminated.\n\nPlease confirm: is this the Grimlatch file?",
              shown.data());
    int answer = ShowNotice(NoticeOwner, text.data(), NoticeCaption, MB_YESNOCANCEL);
    LogQuestion(shown.data(), answer);
    return answer;
}

bool ScanAutostartKey(HKEY root, const char* keyPath, ProcessList& snapshot, ScanPass pass,
                      REGSAM view)
{
    RegKey key;
    if (RegOpenKeyExA(root, keyPath, 0, KEY_READ | view, key.Receive()) != ERROR_SUCCESS)
        return false;
    Redirection redirection;
    QueryRedirection(redirection, view);
    redirection.explorerStarts = !RunningOnWindows9x() && IsRunKey(keyPath);
    for (DWORD index = 0;; ++index) {
        PathBuffer name, data, expanded;
        DWORD nameSize = PathBufferSize, dataSize = PathBufferSize, type = 0;
        LONG read = RegEnumValueA(key.Get(), index, name.data(), &nameSize, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &dataSize);
        // A value too long for the buffers is passed over, not taken as the
        // end of the key: one long value must not hide the ones after it.
        if (read == ERROR_MORE_DATA)
            continue;
        if (read != ERROR_SUCCESS)
            return false;
        // Data that does not end within the buffer is no command line, and
        // one that does not fit the buffer once expanded is passed over too.
        const char* text =
            EndsWithin(data, dataSize) ? ReadAsWindowsDoes(data.data(), type, expanded) : nullptr;
        if (!text)
            continue;

        Command command;
        ReadCommand(text, redirection, command);
        for (ProcessEntry& entry : snapshot.Entries()) {
            const char* imagePath = entry.path.data();
            Naming naming = Naming::None;
            if (entry.handled ||
                (naming = NamesImage(command, {imagePath, imagePath + entry.nameAt, entry.tilde},
                                     redirection)) == Naming::None ||
                !IsServerCandidate(imagePath))
                continue;
            Decision decision = Decide(imagePath, pass);
            if (decision == Decision::Pass)
                continue;
            int answer = decision == Decision::Server ? IDYES : AskAboutImage(imagePath);
            if (answer == IDCANCEL || Closing)
                return false;
            if (answer == IDYES) {
                std::array<char, 160> where;
                std::array<char, 16> typeNumber;
                NameKey(root, keyPath, redirection.to && !view, where);
                wsprintfA(typeNumber.data(), "%lu", type);
                // The whole data, less the one terminator that ends it.
                DWORD length = dataSize - (data[dataSize - 1] == '\0');
                AutostartValue value = {KeyToDeleteFrom(root, keyPath, view, key), where.data(),
                                        name.data(), data.data(), length,
                                        typeNumber.data(), naming == Naming::Shared};
                entry.handled = true;
                return EliminateServer(entry,
                                       decision == Decision::Server ? IdentifiesItselfAsServer
                                                                    : IsServerCandidate,
                                       &value);
            }
        }
    }
}
