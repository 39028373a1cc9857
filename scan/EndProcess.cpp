#include "win/Win.h"
#include "scan/Removal.h"

namespace {

DWORD const TerminationWait = 2000;

// Whom a process id belongs to now. The cycle's snapshot may be stale and the
// id handed on to another program.
enum class Holder { Server, Other, Unknown };

Holder HolderOf(DWORD processId, const char* imagePath)
{
    PathBuffer current;
    switch (CurrentImagePath(processId, current)) {
    case ImageLookup::Found:
        return SamePath(current.data(), imagePath) ? Holder::Server : Holder::Other;
    case ImageLookup::NotRunning:
        return Holder::Other;
    case ImageLookup::Unknown:
        break;
    }
    return Holder::Unknown;
}

// Ends the server's process, but only while its id still belongs to the
// identified image: an id can be handed to an unrelated program once the
// server has ended. The image file stays locked until the process has really
// gone, so the end is waited for before the file is touched.
// The open handle keeps the id from being handed on while it is checked.
HANDLE OpenServerProcess(DWORD processId)
{
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION |
                                         PROCESS_VM_READ,
                                     FALSE, processId))
        return process;
    return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
}

} // namespace

// A process that cannot be checked may well be the server, so it counts as
// still running; and as it may as well be another program, it is not ended.
ProcessOutcome EndServerProcess(const ProcessEntry& entry)
{
    KernelHandle process(OpenServerProcess(entry.id));
    Holder holder = HolderOf(entry.id, entry.path.data());
    if (holder == Holder::Other)
        return ProcessOutcome::Gone;
    if (holder == Holder::Unknown || !process.Valid())
        return ProcessOutcome::StillRunning;
    if (!TerminateProcess(process.Get(), 0))
        return ProcessOutcome::StillRunning;
    if (WaitForSingleObject(process.Get(), TerminationWait) != WAIT_OBJECT_0)
        return ProcessOutcome::StillRunning;
    return ProcessOutcome::Ended;
}
