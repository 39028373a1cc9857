#include "win/Win.h"
#include "scan/Removal.h"

namespace {

// A few paths that this run has noted, each once; when all are taken, the
// oldest is forgotten first. Both memories of a removal keep their paths so.
template <size_t N> struct RecentPaths {
    std::array<PathBuffer, N> paths;
    size_t noted;

    // The slot that holds the path, or N.
    size_t Find(const char* path) const
    {
        size_t count = noted < N ? noted : N;
        for (size_t slot = 0; slot < count; ++slot)
            if (SamePath(paths[slot].data(), path))
                return slot;
        return N;
    }
    // The slot that holds the path from now on.
    size_t Note(const char* path)
    {
        size_t slot = Find(path);
        if (slot == N) {
            slot = noted++ % N;
            lstrcpynA(paths[slot].data(), path, PathBufferSize);
        }
        return slot;
    }
};

// The copies that this run made of files that it could not delete, so that a
// server that can be neither ended nor deleted, found again at every scan,
// does not fill its folder with copies: each original's newest copy, in the
// slot of the original.
RecentPaths<8> CopiedOriginals;
std::array<QuarantineBuffer, 8> RunCopies;

// The files handed over for deletion at the next restart in this run: each
// once, so that a file found again at every scan is not listed again each time.
RecentPaths<8> HandedOver;

} // namespace

// The copy of this original made earlier in the run, still there and still
// holding the original's bytes, every one: a new build of a program often
// has the old one's size and start-up code, and would otherwise lose its only
// copy. Only a file that has just passed the test that found it is asked
// about: one that cannot be read cannot be told apart from another.
const char* EarlierCopy(const char* imagePath)
{
    size_t slot = CopiedOriginals.Find(imagePath);
    if (slot == RunCopies.size())
        return nullptr;
    DWORD copySize = 0, originalSize = 0;
    const char* copy = RunCopies[slot].data();
    return QueryFileStatus(copy, &copySize) && QueryFileStatus(imagePath, &originalSize) &&
                   copySize == originalSize && HoldSameBytes(copy, imagePath)
               ? copy
               : nullptr;
}

void RememberCopy(const char* imagePath, const QuarantineBuffer& copy)
{
    RunCopies[CopiedOriginals.Note(imagePath)] = copy;
}

bool WasHandedOver(const char* path)
{
    return HandedOver.Find(path) != HandedOver.paths.size();
}

void NoteHandedOver(const char* path)
{
    HandedOver.Note(path);
}
