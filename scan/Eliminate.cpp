#include "win/Win.h"
#include "scan/Removal.h"

namespace {

bool IsReadable(const char* path)
{
    return KernelHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr))
        .Valid();
}

// A copy's path as the report and the log show it: its folder in capitals,
// as the original's whole path is, and its own name as it was made.
void ShowFolderInCapitals(char* path)
{
    char* name = const_cast<char*>(BaseName(path));
    char kept = *name;
    *name = '\0';
    CharUpperA(path);
    *name = kept;
}

// A value is deleted by its own name: the ANSI form of a name that the code
// page cannot spell may be another value's, which must stay.
bool DeleteValue(const AutostartValue& value)
{
    using RegDeleteValueWFn = LONG(WINAPI*)(HKEY, const wchar_t*);
    if (!value.wideName)
        return RegDeleteValueA(value.key, value.name) == ERROR_SUCCESS;
    auto unicode = Lookup<RegDeleteValueWFn>(SystemModule::Advapi, "RegDeleteValueW");
    return unicode && unicode(value.key, value.wideName) == ERROR_SUCCESS;
}

// The file is held from the check until its copy is made, shared for reading
// only, so that no other file can take its place or change it in between:
// ending the process may take two seconds. Every open made meanwhile must be
// one that the hold allows, and that is so on the NT family only. Windows
// 95/98 follow the sharing rules of MS-DOS: a file opened in compatibility
// mode, as _lopen and OpenFile do without a OF_SHARE_ flag, cannot be opened
// while another open denies anything (only a file marked read-only is taken
// as denying writes), and the check reads it so. How GetFileVersionInfoA
// and CopyFileA open it there is not documented, so no open of ours could be
// made to fit. There the file is not held, and the check and the copy read
// it as they always did.
KernelHandle HoldFile(const char* file)
{
    if (RunningOnWindows9x())
        return KernelHandle();
    return KernelHandle(CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
}

} // namespace

// A DLL that waits for the restart is logged once, when it is handed over.
// A read-only one loses its mark first, as the server does: the restart's
// deletion may stop at the mark too, and the offer to restart would then
// come back at every scan.
DllDeletion DeleteDropperDll()
{
    const char* dll = DropperDllPath.data();
    bool handedOver = WasHandedOver(dll);
    DllDeletion done = DeleteMarkedFile(dll)  ? DllDeletion::Deleted
                       : DeleteAtRestart(dll) ? DllDeletion::AtRestart
                                              : DllDeletion::Left;
    const char* fields[] = {done == DllDeletion::Deleted ? "DLL deleted" : "DLL deleted at restart",
                            dll};
    if (done == DllDeletion::Deleted || (done == DllDeletion::AtRestart && !handedOver))
        LogEvent(fields);
    return done;
}

// Every file call is made on the path as the process list gives it: on the
// NT family a folder may tell case apart, and an upper-case namesake is
// another file there.
bool EliminateServer(const ProcessEntry& entry, ServerTest identifiedBy,
                     const AutostartValue* value)
{
    Outcome o;
    const char* file = entry.path.data();
    QuarantineBuffer quarantinePath = {};
    KernelHandle held = HoldFile(file);
    // The path may hold another file by now: a question may have stayed open
    // for minutes while the program there was updated, or on the NT family a
    // folder was renamed underneath. Such a file is not the one found, and
    // nothing is done for it: its process, its value and the DLL stay, and
    // the next scan looks at it afresh. A file that cannot even be read
    // cannot be told apart, nor copied; the copy then fails and says so.
    bool passes = identifiedBy(file);
    o.changed = !passes && IsReadable(file);
    bool handedOver = WasHandedOver(file);
    if (!o.changed) {
        o.process = EndServerProcess(entry);
        if (value) {
            o.valueShared = value->shared;
            o.valueDeleted = !o.valueShared && DeleteValue(*value);
        }
        if (const char* earlier = passes ? EarlierCopy(file) : nullptr) {
            lstrcpyA(quarantinePath.data(), earlier);
            o.copied = o.reused = true;
        } else {
            o.copied = CopyToQuarantine(file, quarantinePath);
        }
        held.Close();
        Sleep(50);
        // Without its copy the file stays: the user may have confirmed the
        // wrong file, and the copy is the only way back.
        if (o.copied) {
            o.visible = MakeVisible(quarantinePath.data());
            o.deleted = DeleteMarkedFile(file);
            if (!o.deleted) {
                o.deleteScheduled = DeleteAtRestart(file);
                if (!o.deleteScheduled && WininitLeftAt[0])
                    NameWhereWininitWasLeft(o, WininitLeftAt);
                if (!o.reused)
                    RememberCopy(file, quarantinePath);
            }
        }
        Sleep(10);
        // Only the genuine dropper DLL goes: a file that merely bears its name
        // is not the intruder's, and the cycle leaves it alone too. A program
        // that has loaded it keeps it from being deleted until the restart.
        if (IsDropperDllActive())
            o.dll = DeleteDropperDll();
    }
    PathBuffer shownPath, shownCopy;
    NameAsTheUserSees(file, shownPath);
    CharUpperA(shownPath.data());
    NameAsTheUserSees(quarantinePath.data(), shownCopy);
    ShowFolderInCapitals(shownCopy.data());
    ReportRemoval(shownPath.data(), shownCopy.data(), o, o.changed ? nullptr : value);
    if (value)
        RegCloseKey(value->key);
    // Only a removal that changed something brings the next scan sooner: one
    // that can neither end the server nor touch its file would otherwise
    // bring its report back every second, and one that left a changed file
    // alone never touched its process.
    return !o.changed &&
           (o.process == ProcessOutcome::Ended || o.deleted || (o.deleteScheduled && !handedOver));
}
