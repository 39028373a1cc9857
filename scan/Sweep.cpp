#include "scan/Scan.h"
#include "win/Notice.h"

bool BearsServerContent(const char* imagePath)
{
    return IsServerCandidate(imagePath) && MatchesServerSignature(imagePath);
}

// Finds a server by its content alone, whatever its name and whether or not
// anything starts it, and never acts without the user's Yes. What the key
// scans of this cycle went after is not asked about again: the list is the
// cycle's own, and a server that they could not remove would still be in it.
bool SweepProcesses(ProcessList& snapshot)
{
    for (ProcessEntry& entry : snapshot.Entries()) {
        const char* imagePath = entry.path.data();
        if (entry.handled || !BearsServerContent(imagePath))
            continue;
        int answer = AskAboutImage(imagePath);
        if (answer == IDCANCEL || Closing)
            return false;
        if (answer == IDYES) {
            // The file is checked again by the test that found it: one that
            // merely looks like a candidate may have taken its place.
            entry.handled = true;
            return EliminateServer(entry, BearsServerContent);
        }
    }
    return false;
}
