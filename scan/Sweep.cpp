#include "scan/Scan.h"
#include "win/Notice.h"

bool BearsServerContent(const char* imagePath)
{
    return IsServerCandidate(imagePath) && MatchesServerSignature(imagePath);
}

// Finds a server by its content alone, whatever its name and whether or not
// anything starts it, and never acts without the user's Yes.
bool SweepProcesses(const ProcessList& snapshot)
{
    for (const ProcessEntry& entry : snapshot.Entries()) {
        const char* imagePath = entry.path.data();
        if (!BearsServerContent(imagePath))
            continue;
        int answer = AskAboutImage(imagePath);
        if (answer == IDCANCEL || Closing)
            return false;
        if (answer == IDYES) {
            // The file is checked again by the test that found it: one that
            // merely looks like a candidate may have taken its place.
            EliminateServer(entry, BearsServerContent);
            return true;
        }
    }
    return false;
}
