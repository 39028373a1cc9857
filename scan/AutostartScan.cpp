#include "app/App.h"
#include "win/Win.h"
#include "scan/Scan.h"

namespace {

constexpr char ServerFileName[] = " .exe";

const char* BaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\')
            base = p + 1;
    return base;
}

bool EndsWithin(const PathBuffer& data, DWORD size)
{
    for (DWORD i = 0; i < size && i < data.size(); ++i) {
        if (data[i] == '\0')
            return true;
    }
    return false;
}

size_t Length(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

// Nearly every command differs in length from an image's names, which is told
// without a call; only names of equal length are compared, ignoring case.
bool SameName(const char* name, size_t length, const char* other)
{
    return other[0] != '\0' && Length(other) == length && lstrcmpiA(name, other) == 0;
}

// The short form of a path, whole or not at all.
bool ShortForm(const char* path, PathBuffer& out)
{
    DWORD length = GetShortPathNameA(path, out.data(), PathBufferSize);
    return length > 0 && length < PathBufferSize;
}

enum class Decision { Server, Ask, Pass };

Decision Decide(const ProcessEntry& entry)
{
    if (HasServerFileName(entry))
        return Decision::Server;
    if (MatchesServerSignature(entry.path.data()))
        return Decision::Server;
    return ScanPass ? Decision::Ask : Decision::Pass;
}

} // namespace

// Nothing in the command is expanded or unquoted. Equal to the image's path
// or file name as written, it names the image, as it always did. Otherwise
// the two may be forms of one path: a file goes by its long name and its
// short one, so a bare name names the image when it is either of them, and a
// path whose last part is either of them names the image when both paths
// have the same short form. Only then is the file system asked for the
// command's short form.
bool CommandNamesImage(const char* command, const ProcessEntry& entry)
{
    const char* path = entry.path.data();
    if (lstrcmpiA(command, path) == 0 || lstrcmpiA(command, BaseName(path)) == 0)
        return true;
    const char* name = BaseName(command);
    size_t length = Length(name);
    if (length == 0 || !(SameName(name, length, entry.longName.data()) ||
                         SameName(name, length, BaseName(entry.shortPath.data()))))
        return false;
    if (name == command)
        return true;
    PathBuffer shortCommand;
    return ShortForm(command, shortCommand) &&
           lstrcmpiA(shortCommand.data(), entry.shortPath.data()) == 0;
}

// Windows 95/98 may list the server under a short name such as "EXE~1",
// which its long name " .exe" is known by.
bool HasServerFileName(const ProcessEntry& entry)
{
    return lstrcmpiA(BaseName(entry.path.data()), ServerFileName) == 0 ||
           lstrcmpiA(entry.longName.data(), ServerFileName) == 0;
}

int AskAboutImage(const char* imagePath)
{
    std::array<char, PathBufferSize + 160> text;
    wsprintfA(text.data(),
              "Grimlatch is running on your computer!\n\n%s\n\nIf this file is Grimlatch, it "
              "will be eliminated.\n\nPlease confirm: is this the Grimlatch file?",
              imagePath);
    return ShowNotice(NoticeOwner, text.data(), NoticeCaption, MB_YESNOCANCEL);
}

void ScanAutostartKey(HKEY root, const char* keyPath, const ProcessList& snapshot)
{
    RegKey key;
    if (RegOpenKeyExA(root, keyPath, 0, KEY_READ | KEY_WRITE, key.Receive()) != ERROR_SUCCESS)
        return;
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
            return;
        // Data that does not end within the buffer is no command line.
        if (!EndsWithin(data, dataSize))
            continue;

        for (const ProcessEntry& entry : snapshot.Entries()) {
            const char* imagePath = entry.path.data();
            if (!CommandNamesImage(data.data(), entry) || !IsServerCandidate(imagePath))
                continue;
            Decision decision = Decide(entry);
            if (decision == Decision::Pass)
                continue;
            int answer = decision == Decision::Server ? IDYES : AskAboutImage(imagePath);
            if (answer == IDCANCEL)
                return;
            if (answer == IDYES) {
                EliminateServer(entry, key.Release(), name.data());
                return;
            }
        }
    }
}
