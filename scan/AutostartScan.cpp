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

// A value's command names a process when it is the image's full path or its
// base name, as written: nothing is expanded or unquoted.
bool CommandNamesImage(const char* command, const char* imagePath)
{
    return lstrcmpiA(command, imagePath) == 0 || lstrcmpiA(command, BaseName(imagePath)) == 0;
}

bool EndsWithin(const PathBuffer& data, DWORD size)
{
    for (DWORD i = 0; i < size && i < data.size(); ++i) {
        if (data[i] == '\0')
            return true;
    }
    return false;
}

enum class Decision { Server, Ask, Pass };

Decision Decide(const char* imagePath)
{
    if (lstrcmpiA(BaseName(imagePath), ServerFileName) == 0)
        return Decision::Server;
    if (MatchesServerSignature(imagePath))
        return Decision::Server;
    return ScanPass ? Decision::Ask : Decision::Pass;
}

} // namespace

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
            if (!CommandNamesImage(data.data(), imagePath) || !IsServerCandidate(imagePath))
                continue;
            Decision decision = Decide(imagePath);
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
