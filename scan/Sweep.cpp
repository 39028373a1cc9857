#include "app/App.h"
#include "scan/Scan.h"

// Finds a server by its content alone, whatever its name and whether or not
// anything starts it, and never acts without the user's Yes.
void SweepProcesses(const ProcessList& snapshot)
{
    for (const ProcessEntry& entry : snapshot.Entries()) {
        const char* imagePath = entry.path.data();
        if (!IsServerCandidate(imagePath) || !MatchesServerSignature(imagePath))
            continue;
        int answer = AskAboutImage(imagePath);
        if (answer == IDCANCEL || Closing)
            return;
        if (answer == IDYES) {
            EliminateServer(entry, IsServerCandidate);
            return;
        }
    }
}
