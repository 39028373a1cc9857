#include "win/Win.h"
#include "scan/Removal.h"

namespace {

bool IsReadable(const char* path)
{
    return KernelHandle(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr))
        .Valid();
}

void Eliminate(const ProcessEntry& entry, ServerTest identifiedBy, HKEY key,
               const char* valueName)
{
    Outcome o;
    PathBuffer imagePath = entry.path;
    CharUpperA(imagePath.data());
    QuarantineBuffer quarantinePath;
    // The path may hold another file by now: a question may have stayed open
    // for minutes while the program there was updated, or on the NT family a
    // folder was renamed underneath. Such a file is not the one found, and
    // nothing is done for it: its process, its value and the DLL stay, and
    // the next scan looks at it afresh. A file that cannot even be read
    // cannot be told apart, nor copied; the copy then fails and says so.
    bool passes = identifiedBy(entry.path.data());
    o.changed = !passes && IsReadable(imagePath.data());
    if (!o.changed) {
        o.process = EndServerProcess(entry);
        if (key)
            o.valueDeleted = RegDeleteValueA(key, valueName) == ERROR_SUCCESS;
        if (const char* earlier = passes ? EarlierCopy(imagePath.data()) : nullptr) {
            lstrcpyA(quarantinePath.data(), earlier);
            o.copied = o.reused = true;
        } else {
            o.copied = CopyToQuarantine(imagePath.data(), quarantinePath);
        }
        Sleep(50);
        // Without its copy the file stays: the user may have confirmed the
        // wrong file, and the copy is the only way back.
        if (o.copied) {
            o.visible = MakeVisible(quarantinePath.data());
            o.deleted = DeleteMarkedFile(imagePath.data());
            if (!o.deleted) {
                o.deleteScheduled = DeleteAtRestart(imagePath.data());
                if (!o.deleteScheduled && WininitLeftAt[0])
                    NameWhereWininitWasLeft(o, WininitLeftAt);
                if (!o.reused)
                    RememberCopy(imagePath.data(), quarantinePath);
            }
        }
        Sleep(10);
        // Only the genuine dropper DLL goes: a file that merely bears its name
        // is not the intruder's, and the cycle leaves it alone too. A program
        // that has loaded it keeps it from being deleted until the restart.
        if (IsDropperDllActive())
            o.dll = DeleteDropperDll();
    }
    ReportRemoval(imagePath.data(), quarantinePath.data(), o);
    if (key)
        RegCloseKey(key);
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

void EliminateServer(const ProcessEntry& entry, ServerTest identifiedBy, HKEY key,
                     const char* valueName)
{
    Eliminate(entry, identifiedBy, key, valueName);
}

void EliminateServer(const ProcessEntry& entry, ServerTest identifiedBy)
{
    Eliminate(entry, identifiedBy, nullptr, nullptr);
}
