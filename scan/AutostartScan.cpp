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
    return lstrcmpiA(name, file.cFileName) == 0 ||
           (file.cAlternateFileName[0] != '\0' && lstrcmpiA(name, file.cAlternateFileName) == 0);
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

// Equal as written, but for case. The lengths go first: they cost nothing,
// and a scan compares every value with every program.
bool SameText(const char* a, const char* b)
{
    return lstrlenA(a) == lstrlenA(b) && lstrcmpiA(a, b) == 0;
}

// Nothing in the command is expanded. Equal to the image's path or file name
// as written, it names the image, as it always did. Otherwise the two may be
// forms of one path, short where the other is long. Windows makes every
// short name of a long one with a '~' and a number ("PROGRA~1",
// "SERVER~1.EXE"), so without a '~' on either side they are not; only a user
// who turned the number off on Windows 95/98 has short names without one.
// The file system, which costs far more than a comparison, is asked only
// then: a bare name is held against both names of the image's file, and a
// path is compared with the image's path once both are in their short form.
bool ProgramNamesImage(const char* command, const char* imagePath)
{
    const char* name = BaseName(imagePath);
    if (SameText(command, imagePath) || SameText(command, name))
        return true;
    if (BaseName(command) == command)
        return (Holds(command, '~') || Holds(name, '~')) && IsNameOfImage(command, imagePath);
    if (!Holds(command, '~') && !Holds(imagePath, '~'))
        return false;
    PathBuffer shortCommand, shortImage;
    return ShortForm(command, shortCommand) && ShortForm(imagePath, shortImage) &&
           lstrcmpiA(shortCommand.data(), shortImage.data()) == 0;
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

// The program of a command when it is not the whole command, else null.
const char* ProgramOf(const char* command, PathBuffer& program)
{
    return CommandProgram(command, program) && lstrlenA(program.data()) != lstrlenA(command)
               ? program.data()
               : nullptr;
}

// Where a 32-bit program on 64-bit Windows finds the system folder: SysWOW64.
struct Redirection {
    std::array<char, MAX_PATH> system;
    std::array<char, MAX_PATH> redirected;
    bool active;
};

void QueryRedirection(Redirection& redirection)
{
    redirection.active = QuerySystemFolderRedirection(redirection.system, redirection.redirected);
}

// The path that Windows starts for a program in the system folder when it
// redirects that folder, and where the process list names the image: the
// intruder writes its value from GetSystemDirectoryA. Null for any other path.
const char* RedirectedProgram(const char* program, const Redirection& redirection, PathBuffer& out)
{
    if (!redirection.active)
        return nullptr;
    int length = lstrlenA(redirection.system.data());
    int folderLength = lstrlenA(redirection.redirected.data());
    PathBuffer folder;
    if (lstrlenA(program) <= length || program[length] != '\\' ||
        folderLength + lstrlenA(program + length) >= static_cast<int>(PathBufferSize))
        return nullptr;
    lstrcpynA(folder.data(), program, length + 1);
    if (lstrcmpiA(folder.data(), redirection.system.data()) != 0)
        return nullptr;
    lstrcpynA(out.data(), redirection.redirected.data(), folderLength + 1);
    lstrcpynA(out.data() + folderLength, program + length, static_cast<int>(PathBufferSize) - folderLength);
    return out.data();
}

// A command in quotes, or with arguments after the program, starts the
// program all the same, so its program's name is held against the image too,
// and so is the file it names in the redirected system folder.
bool NamesImage(const char* command, const char* program, const char* redirected,
                const char* imagePath)
{
    return ProgramNamesImage(command, imagePath) ||
           (program && ProgramNamesImage(program, imagePath)) ||
           (redirected && ProgramNamesImage(redirected, imagePath));
}

// The key as the removal needs it, to delete the value that started the
// server. The right to delete is asked for only now: a user who may not
// change the key may still read it, and so find the server. Where the right
// is refused, the key as read goes to the removal, which then reports the
// value that it could not delete.
HKEY KeyToDeleteFrom(HKEY root, const char* keyPath, RegKey& read)
{
    HKEY writable = nullptr;
    if (RegOpenKeyExA(root, keyPath, 0, KEY_SET_VALUE, &writable) == ERROR_SUCCESS)
        return writable;
    return read.Release();
}

} // namespace

bool IdentifiesItselfAsServer(const char* imagePath)
{
    return IsServerCandidate(imagePath) && IsKnownByNameOrCode(imagePath);
}

bool CommandNamesImage(const char* command, const char* imagePath)
{
    Redirection redirection;
    QueryRedirection(redirection);
    PathBuffer programBuffer, redirectedBuffer;
    const char* program = ProgramOf(command, programBuffer);
    return NamesImage(command, program,
                      RedirectedProgram(program ? program : command, redirection, redirectedBuffer),
                      imagePath);
}

// Windows 95/98 may list the server under a short name, which its long name
// " .exe" is known by.
bool HasServerFileName(const char* imagePath)
{
    return lstrcmpiA(BaseName(imagePath), ServerFileName) == 0 ||
           IsNameOfImage(ServerFileName, imagePath);
}

int AskAboutImage(const char* imagePath)
{
    std::array<char, PathBufferSize + 160> text;
    wsprintfA(text.data(),
              "Grimlatch is running on your computer!\n\n%s\n\nIf this file is Grimlatch, it "
              "will be eliminated.\n\nPlease confirm: is this the Grimlatch file?",
              imagePath);
    int answer = ShowNotice(NoticeOwner, text.data(), NoticeCaption, MB_YESNOCANCEL);
    LogQuestion(imagePath, answer);
    return answer;
}

bool ScanAutostartKey(HKEY root, const char* keyPath, const ProcessList& snapshot, ScanPass pass)
{
    RegKey key;
    if (RegOpenKeyExA(root, keyPath, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return false;
    Redirection redirection;
    QueryRedirection(redirection);
    for (DWORD index = 0;; ++index) {
        PathBuffer name, data;
        DWORD nameSize = PathBufferSize, dataSize = PathBufferSize;
        LONG read = RegEnumValueA(key.Get(), index, name.data(), &nameSize, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(data.data()), &dataSize);
        // A value too long for the buffers is passed over, not taken as the
        // end of the key: one long value must not hide the ones after it.
        if (read == ERROR_MORE_DATA)
            continue;
        if (read != ERROR_SUCCESS)
            return false;
        // Data that does not end within the buffer is no command line.
        if (!EndsWithin(data, dataSize))
            continue;

        PathBuffer programBuffer, redirectedBuffer;
        const char* program = ProgramOf(data.data(), programBuffer);
        const char* redirected =
            RedirectedProgram(program ? program : data.data(), redirection, redirectedBuffer);
        for (const ProcessEntry& entry : snapshot.Entries()) {
            const char* imagePath = entry.path.data();
            if (!NamesImage(data.data(), program, redirected, imagePath) ||
                !IsServerCandidate(imagePath))
                continue;
            Decision decision = Decide(imagePath, pass);
            if (decision == Decision::Pass)
                continue;
            int answer = decision == Decision::Server ? IDYES : AskAboutImage(imagePath);
            if (answer == IDCANCEL || Closing)
                return false;
            if (answer == IDYES) {
                EliminateServer(entry,
                                decision == Decision::Server ? IdentifiesItselfAsServer
                                                             : IsServerCandidate,
                                KeyToDeleteFrom(root, keyPath, key), name.data());
                return true;
            }
        }
    }
}
