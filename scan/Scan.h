// The detection and removal engine.
#pragma once
#include <windows.h>
#include <array>
#include <span>
#include "win/Win.h"

// ---- Process list -------------------------------------------------------

// One running process: its id and the full path of its image file.
struct ProcessEntry {
    DWORD id = 0;
    PathBuffer path = {};
    // Where the file name starts in the path, and whether the path holds a
    // '~', as a short form may: found once, for the key scans, which hold
    // every command against every program.
    WORD nameAt = 0;
    bool tilde = false;
    // Gone after in this cycle already, so not asked about again in it.
    bool handled = false;
};

// One snapshot of the running processes, with every full image path resolved
// once when it is taken. Entries whose full path cannot be resolved, or would
// not fit PathBuffer, are left out; a path is never cut short.
// The entries live on the process heap rather than in a std::vector, whose
// growth pulls in the C++ run-time's exceptions and thread support, and with
// them imports that Windows 95 lacks.
class ProcessList {
public:
    ProcessList() = default;
    ~ProcessList() { Release(); }
    ProcessList(const ProcessList&) = delete;
    ProcessList& operator=(const ProcessList&) = delete;

    bool Take(); // false when no snapshot could be taken
    std::span<const ProcessEntry> Entries() const { return {entries_, count_}; }
    std::span<ProcessEntry> Entries() { return {entries_, count_}; }
    void Release(); // frees the entries; the list is then empty

private:
    bool Append(const ProcessEntry& entry);

    ProcessEntry* entries_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

// The full image path of a running process, looked up afresh by its id. The
// snapshot's own name is used when it already holds a full path (Windows
// 95/98); otherwise the path is asked of the system by id.
bool ResolveImagePath(DWORD processId, const char* snapshotName, std::span<char, PathBufferSize> out);

// What a snapshot taken now says of one process id: the image it runs, that
// no process holds the id, or that this cannot be told (no snapshot could be
// taken, or the image path cannot be read).
enum class ImageLookup { Found, NotRunning, Unknown };
ImageLookup CurrentImagePath(DWORD processId, PathBuffer& out);

// ---- Identification -----------------------------------------------------

extern PathBuffer DropperDllPath;

bool IsDropperDllActive();
bool MatchesDropperSignature();
bool IsServerCandidate(const char* imagePath);
bool HasBlankVersionStrings(const char* imagePath);
// The same test on a version block as GetFileVersionInfoA hands it out, of
// `size` bytes in all.
bool IsBlankVersionBlock(char* block, DWORD size);
bool MatchesServerSignature(const char* imagePath);
// Whether two files hold the same bytes, every one of them.
bool HoldSameBytes(const char* onePath, const char* otherPath);
void TrimSpaces(char* text);
// Whether a version string, as VerQueryValueA hands it out (a pointer into
// the block and a length), is blank once trimmed.
bool IsBlankVersionValue(const char* text, UINT length);

// ---- Scan cycle ---------------------------------------------------------

// The six autostart keys, in the order in which each pass scans them.
struct AutostartKey {
    HKEY root;
    const char* path;
};
extern const std::array<AutostartKey, 6> AutostartKeys;

// One complete hunt for the intruder, run on every tick of the scan timer.
// True when it went after a server and ended its process or dealt with its
// file: the next hunt then comes sooner.
bool RunScanCycle();

// Restarts the computer with ExitWindowsEx(flags, reason), after enabling the
// shutdown privilege that the NT family asks for. The cycle calls it through
// RestartComputer, which tests point at a recorder so that a Yes to the
// reboot offer can be seen without ending the session.
void RestartWindows(UINT flags, DWORD reason);
using RestartFunction = void (*)(UINT flags, DWORD reason);
extern RestartFunction RestartComputer;

// Enables the process's shutdown privilege; false where there is none to
// enable (Windows 95/98) or it was not granted.
bool EnableShutdownPrivilege();

// The two passes over the autostart keys: the silent one removes only the
// servers that identify themselves, the asking one may ask about others.
enum class ScanPass { Silent, Asking };

// Both scans tell whether they went after a server and ended its process or
// dealt with its file: the next scan then comes sooner. Each marks what it
// went after as handled, and passes over what is marked. The key scan reads
// the key in the given view of the registry: 0, or KEY_WOW64_64KEY for the
// 64-bit view that a 32-bit program has beside its own on 64-bit Windows.
bool ScanAutostartKey(HKEY root, const char* keyPath, ProcessList& snapshot, ScanPass pass,
                      REGSAM view = 0);
// Whether a value's command names an image: its full path or its file name,
// ignoring case, as written or in the other (8.3 or long) form of either.
// Windows 95/98 may list an image under the short form of a path that a
// value holds in its long form; a value may hold the short form of a path
// that the system lists long.
bool CommandNamesImage(const char* command, const char* imagePath);
// Whether the image's file is the server's " .exe", under either of its names.
bool HasServerFileName(const char* imagePath);
bool SweepProcesses(ProcessList& snapshot);
// Whether the image bears the server's content: a candidate with the
// server's code bytes. The sweep knows a server by this alone.
bool BearsServerContent(const char* imagePath);

// Asks the user whether the image is the intruder's server; returns the button.
int AskAboutImage(const char* imagePath);

// Whether the image identifies itself as the server, without a question:
// a candidate that bears the server's file name or its code bytes.
bool IdentifiesItselfAsServer(const char* imagePath);

// Adds a "NUL=<shortPath>" line to the [rename] section of the WININIT.INI
// at `iniPath`, which Windows 95/98 carry out at the next start. Every line
// already there is kept; the section is made when it is missing. The old
// file is replaced only by a new one written whole beside it.
bool AppendWininitDeletion(const char* iniPath, const char* shortPath);

// The text of a WININIT.INI with `line` added at the end of its [rename]
// section, or in a new section at the end when there is none; every line
// already there is kept. Gives the new text's length in `out`, or 0 when
// `out` cannot hold it or the line is longer than MAX_PATH + 4 characters;
// WininitLineRoom bytes more than the old text always suffice.
size_t const WininitLineRoom = MAX_PATH + 32;
size_t AddToRenameSection(std::span<const char> text, const char* line, std::span<char> out);

// Has the file deleted when the computer next starts; a file already handed
// over in this run is not handed over again.
bool DeleteAtRestart(const char* path);

// Room for the path of a copy: an image path with its file name replaced by
// "GrimlatchRemoved (<number>).exe".
using QuarantineBuffer = std::array<char, PathBufferSize + 40>;

// The path of the numbered copy of an image, beside it. Where that path
// would not fit in MAX_PATH, the folder is given in its short form; false
// when even that does not fit.
bool MakeQuarantinePath(const char* imagePath, int number, QuarantineBuffer& out);

// The test by which a server was identified. Its file must still pass it
// just before it is copied: a question may have stayed open for minutes.
using ServerTest = bool (*)(const char* imagePath);

// The autostart value that started a server: the key, open to delete the
// value or, where that was refused, as it was read; where the key lies, as a
// registry editor shows it; the value's name, its data as they were read, of
// `length` bytes (its terminator not counted), and its type, by number. A
// value that may start another program than the server too is not the
// server's alone, and stays. On the NT family, which stores names and text
// in Unicode, the name and any text data are given as they were read, in
// Unicode: the value is deleted and logged by them, since their ANSI form may
// name another value; `length` then counts UTF-16 units. Null elsewhere.
struct AutostartValue {
    HKEY key;
    const char* where;
    const char* name;
    const char* data;
    DWORD length;
    const char* type;
    bool shared;
    const wchar_t* wideName = nullptr;
    const wchar_t* wideData = nullptr;
};

// Removes an identified server. The key variant also deletes the autostart
// value that started it, records it in the log, and closes its key. True when
// the process was ended or the file deleted or handed to the next restart.
bool EliminateServer(const ProcessEntry& entry, ServerTest identifiedBy,
                     const AutostartValue* value = nullptr);

// Deletes the dropper DLL at DropperDllPath, or, while a program has it
// loaded, has it deleted when the computer restarts; the log records which.
enum class DllDeletion { Deleted, AtRestart, Left };
DllDeletion DeleteDropperDll();

// ---- Log ----------------------------------------------------------------

// Adds one line to Zorvane.log beside the program: the local time as
// "YYYY-MM-DD HH:MM:SS", then each field, all separated by " | ", then CRLF.
// Past 256 KiB the log becomes Zorvane.old and a new one is started. A log
// that cannot be written, or a Zorvane.log that is not ours (a folder, a file
// over 16 MiB), loses the line and changes nothing else.
// The field `whole` is written for `wholeLength` characters, any zero in it
// too; the others up to their terminator. `wide`, where given, holds a
// Unicode text for each field, or null: a field that has one is written from
// it, each character that the code page cannot spell as "|u" and its four
// hexadecimal digits.
void LogEvent(std::span<const char* const> fields, const char* whole = nullptr,
              DWORD wholeLength = 0, const wchar_t* const* wide = nullptr);
// A question about a file, and the offer to restart (for the dropper DLL),
// with the answer as Yes, No or Cancel; a box that could not be shown leaves
// no line.
void LogQuestion(const char* imagePath, int answer);
void LogRestartOffer(int answer);
