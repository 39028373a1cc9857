#include "scan/Scan.h"

PathBuffer DropperDllPath;

bool IsDropperDllActive() { return false; }
bool MatchesDropperSignature() { return false; }
bool IsServerCandidate(const char*) { return false; }
bool HasBlankVersionStrings(const char*) { return false; }
bool MatchesServerSignature(const char*) { return false; }
void TrimSpaces(char*) {}
