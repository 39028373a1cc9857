#include "win/Win.h"
#include "scan/Scan.h"
#include "win/Notice.h"

namespace {

constexpr char ServerFileName[] = " .exe";

template <typename Char, size_t N> bool EndsWithin(const std::array<Char, N>& data, DWORD size)
{
    for (DWORD i = 0; i < size && i < N; ++i) {
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
template <typename Char> bool EndsProgramName(const Char* at)
{
    auto lower = [](Char c) { return static_cast<Char>(c | 0x20); };
    return at[0] == '.' && lower(at[1]) == 'e' && lower(at[2]) == 'x' && lower(at[3]) == 'e' &&
           (at[4] == '\0' || at[4] == ' ' || at[4] == '\t');
}

// Where the program that Windows starts for a command begins and ends: the
// text in its opening quotes, or else the text up to the end of the first
// ".exe" that a blank or the end of the command follows. False when the
// command shows neither. Only ASCII marks are looked for, which no second
// byte of a double-byte character can be.
template <typename Char> bool FindProgram(const Char* command, const Char*& start, const Char*& end)
{
    start = command;
    end = nullptr;
    if (*command == '"') {
        start = command + 1;
        for (end = start; *end != '"'; ++end)
            if (*end == '\0')
                return false;
    } else {
        for (const Char* at = command; *at && !end; ++at)
            if (EndsProgramName(at))
                end = at + 4;
    }
    return end != nullptr;
}

bool CommandProgram(const char* command, PathBuffer& program)
{
    const char* start;
    const char* end;
    if (!FindProgram(command, start, end))
        return false;
    lstrcpynA(program.data(), start, static_cast<int>(end - start) + 1);
    return true;
}

// A command that the code page cannot spell, as the key scan can read it: the
// program that it starts, in a form that opens the same file. A program named
// without its whole path is not looked for: the short form would be taken
// from wherever this program happens to stand. False where there is no such
// form; the value is then left alone.
bool ReadableCommand(const wchar_t* command, PathBuffer& out)
{
    const wchar_t* start;
    const wchar_t* end;
    if (!FindProgram(command, start, end))
        for (end = start = command; *end; ++end) {
        }
    std::array<wchar_t, PathBufferSize> program;
    auto length = static_cast<size_t>(end - start);
    if (length >= PathBufferSize ||
        !((start[1] == ':' && start[2] == '\\') || (start[0] == '\\' && start[1] == '\\')))
        return false;
    for (size_t i = 0; i < length; ++i)
        program[i] = start[i];
    program[length] = '\0';
    return AnsiPath(program.data(), out);
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
    auto search = Lookup<SearchPathFn>(SystemModule::Kernel, "SearchPathA");
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
    auto expand = Lookup<ExpandFn>(SystemModule::Kernel, "ExpandEnvironmentStringsA");
    if (type != REG_EXPAND_SZ || !expand)
        return data;
    DWORD length = expand(data, expanded.data(), PathBufferSize);
    return length > 0 && length <= PathBufferSize ? expanded.data() : nullptr;
}

// One autostart value as the key scan reads it: its name, its type, and its
// data whole (`length` of it, less the terminator that ends it), and the
// command in the data in ANSI. On the NT family, which stores names and text
// in Unicode, the name and any text are kept as they were read, in Unicode:
// the value is deleted and logged by them, since their ANSI form may name
// another value. A command that the code page cannot spell is read as the
// program that it starts, in a form that opens that file.
struct Value {
    // One name or the other, as the system stores it.
    union {
        PathBuffer name;
        std::array<wchar_t, PathBufferSize> wideName;
    };
    PathBuffer data;
    std::array<wchar_t, PathBufferSize> wideData;
    DWORD type = REG_NONE;
    DWORD length = 0;
};

// Data of these types is text, which the NT family stores in Unicode.
bool IsText(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

using RegEnumValueWFn = LONG(WINAPI*)(HKEY, DWORD, wchar_t*, DWORD*, DWORD*, DWORD*, BYTE*, DWORD*);
using ExpandWFn = DWORD(WINAPI*)(const wchar_t*, wchar_t*, DWORD);

// Data that does not end within the buffer is no command line.
LONG EndedWithin(const PathBuffer& data, DWORD size, DWORD& length)
{
    length = size - (size > 0 && data[size - 1] == '\0');
    return EndsWithin(data, size) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

// Text as the NT family stores it, of `units` UTF-16 units: its command is
// expanded as Windows expands it, in Unicode too, since an ANSI form of an
// environment string may name another folder.
LONG ReadText(Value& value, DWORD units)
{
    if (!EndsWithin(value.wideData, units))
        return ERROR_MORE_DATA;
    value.length = units - (value.wideData[units - 1] == '\0');
    std::array<wchar_t, PathBufferSize> expanded;
    const wchar_t* command = value.wideData.data();
    auto expand = Lookup<ExpandWFn>(SystemModule::Kernel, "ExpandEnvironmentStringsW");
    if (value.type == REG_EXPAND_SZ && expand) {
        DWORD length = expand(command, expanded.data(), PathBufferSize);
        if (length == 0 || length > PathBufferSize)
            return ERROR_MORE_DATA;
        command = expanded.data();
    }
    return ExactAnsi(command, value.data) || ReadableCommand(command, value.data)
               ? ERROR_SUCCESS
               : ERROR_MORE_DATA;
}

// ERROR_MORE_DATA for a value that is passed over: too long for the buffers,
// no command line, or one that cannot be read in a form that names the same
// thing. On the NT family, with `unicode` given, the value is read in
// Unicode, which is how it is stored; Windows 95/98 store the code page's
// bytes. Kept out of line: its buffers and the scan's together would take
// more than a page of stack, which no frame of the program may, as it does
// without the probe.
[[gnu::noinline]] LONG ReadValue(HKEY key, DWORD index, Value& value, RegEnumValueWFn unicode)
{
    DWORD nameSize = PathBufferSize, dataSize = PathBufferSize;
    LONG read;
    if (!unicode) {
        read = RegEnumValueA(key, index, value.name.data(), &nameSize, nullptr, &value.type,
                             reinterpret_cast<BYTE*>(value.data.data()), &dataSize);
    } else {
        dataSize = sizeof value.wideData;
        read = unicode(key, index, value.wideName.data(), &nameSize, nullptr, &value.type,
                       reinterpret_cast<BYTE*>(value.wideData.data()), &dataSize);
        // Only text is converted; other data reads as the bytes it holds, as
        // the ANSI call gives it.
        if (read == ERROR_SUCCESS) {
            if (IsText(value.type))
                return ReadText(value, dataSize / sizeof(wchar_t));
            if (dataSize > PathBufferSize)
                return ERROR_MORE_DATA;
            CopyMemory(value.data.data(), value.wideData.data(), dataSize);
        }
    }
    return read == ERROR_SUCCESS ? EndedWithin(value.data, dataSize, value.length) : read;
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
    auto unicode = !RunningOnWindows9x() ? Lookup<RegEnumValueWFn>(SystemModule::Advapi,
                                                               "RegEnumValueW")
                                     : nullptr;
    for (DWORD index = 0;; ++index) {
        Value read;
        LONG result = ReadValue(key.Get(), index, read, unicode);
        // A value too long for the buffers is passed over, not taken as the
        // end of the key: one long value must not hide the ones after it.
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            return false;
        // A command read in Unicode has been expanded already; one that does
        // not fit the buffer once expanded is passed over.
        PathBuffer expanded;
        const char* text =
            unicode ? read.data.data() : ReadAsWindowsDoes(read.data.data(), read.type, expanded);
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
                wsprintfA(typeNumber.data(), "%lu", read.type);
                AutostartValue value = {KeyToDeleteFrom(root, keyPath, view, key), where.data(),
                                        unicode ? "" : read.name.data(), read.data.data(),
                                        read.length,
                                        typeNumber.data(), naming == Naming::Shared,
                                        unicode ? read.wideName.data() : nullptr,
                                        unicode && IsText(read.type) ? read.wideData.data() : nullptr};
                entry.handled = true;
                return EliminateServer(entry,
                                       decision == Decision::Server ? IdentifiesItselfAsServer
                                                                    : IsServerCandidate,
                                       &value);
            }
        }
    }
}
