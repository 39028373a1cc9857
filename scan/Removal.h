// What the files of a removal share. Eliminate.cpp takes a removal's steps in
// their order; each file beside it holds one concern: ending the process,
// the copies, the run's memory of copies and hand-overs, the deletion at the
// next restart, and the wording of the report and the log.
#pragma once
#include "scan/Scan.h"

// ---- Ending the process (EndProcess.cpp) ---------------------------------

// What became of the server's process.
enum class ProcessOutcome { Ended, Gone, StillRunning };
ProcessOutcome EndServerProcess(const ProcessEntry& entry);

// ---- Copies (Quarantine.cpp) ---------------------------------------------

bool CopyToQuarantine(const char* imagePath, QuarantineBuffer& quarantinePath);
bool MakeVisible(const char* quarantinePath);
// Deletes the file even when it is marked read-only.
bool DeleteMarkedFile(const char* path);

// ---- The run's memory (RunMemory.cpp) ------------------------------------

const char* EarlierCopy(const char* imagePath);
void RememberCopy(const char* imagePath, const QuarantineBuffer& copy);
bool WasHandedOver(const char* path);
void NoteHandedOver(const char* path);

// ---- Deletion at the next restart (RestartDeletion.cpp) -------------------

// Where a WININIT.INI that could not be replaced left its new text, for the
// report to name; empty when it did not.
extern char WininitLeftAt[MAX_PATH];

// ---- The report and the log (RemovalReport.cpp) ---------------------------

struct Outcome {
    ProcessOutcome process = ProcessOutcome::Ended;
    bool valueDeleted = true;
    bool valueShared = false; // left, since it may start another program too
    bool changed = false;
    bool copied = false;
    bool reused = false;
    bool visible = false;
    bool deleted = false;
    bool deleteScheduled = false;
    DllDeletion dll = DllDeletion::Deleted;
    // The step that names where WININIT.INI's new text was left, if it was.
    std::array<char, MAX_PATH + 96> leftAt = {};
};

void NameWhereWininitWasLeft(Outcome& o, const char* newTextPath);
// Writes the removal's line to the log, then shows its report.
void ReportRemoval(const char* imagePath, const char* quarantinePath, const Outcome& o,
                   const AutostartValue* value);
