#include "win/Win.h"
#include "win/Notice.h"
#include "scan/Removal.h"

namespace {

// Appends to a text buffer, never past its end.
template <size_t N> void Append(std::array<char, N>& text, const char* more)
{
    int used = lstrlenA(text.data());
    lstrcpynA(text.data() + used, more, static_cast<int>(N) - used);
}

// The steps that failed, each in the words that the report and the log
// share, into `steps`; their count.
size_t ListFailedSteps(const Outcome& o, const char** steps)
{
    size_t n = 0;
    if (o.process == ProcessOutcome::StillRunning)
        steps[n++] = "The process could not be ended.";
    if (!o.valueDeleted)
        steps[n++] = o.valueShared ? "The autostart value was left: it may start another file too."
                                   : "The autostart value could not be deleted.";
    if (o.copied && !o.visible)
        steps[n++] = "The copy could not be made visible.";
    if (o.changed) {
        steps[n++] = "The file has changed since it was found and was not removed.";
    } else if (!o.copied) {
        steps[n++] = "The file could not be copied and was left in place.";
    } else if (!o.deleted && o.leftAt[0]) {
        steps[n++] = o.leftAt.data();
    } else if (!o.deleted) {
        steps[n++] = o.deleteScheduled ? "The file could not be deleted; it will be deleted when "
                                         "the computer restarts."
                                       : "The file could not be deleted.";
    }
    if (o.dll != DllDeletion::Deleted)
        steps[n++] = o.dll == DllDeletion::AtRestart
                         ? "The Grimlatch DLL windll.dll could not be deleted; it will be "
                           "deleted when the computer restarts."
                         : "The Grimlatch DLL windll.dll could not be deleted.";
    return n;
}

void ShowReport(const char* imagePath, const char* quarantinePath, const Outcome& o,
                std::span<const char* const> failed)
{
    std::array<char, 2048> text = {};
    if (o.changed) {
        Append(text, "Grimlatch was found running on this computer, but nothing has been "
                     "removed.  The filename is:\n\n");
    } else {
        Append(text, "Grimlatch was found installed and running on this computer.  ");
        if (o.process != ProcessOutcome::StillRunning && o.valueDeleted)
            Append(text, "It has been disabled.  ");
        Append(text, "The original filename was:\n\n");
    }
    Append(text, imagePath);
    if (o.copied) {
        Append(text, o.reused ? "\n\nThe Grimlatch file was made visible by an earlier removal "
                                "and can still be found at:\n\n"
                              : "\n\nThe Grimlatch file has been made visible and can now be "
                                "found at:\n\n");
        Append(text, quarantinePath);
    }
    // Where nothing was done, the reason stands alone.
    if (!failed.empty())
        Append(text, o.changed ? "\n" : "\n\nNot everything could be done:");
    for (const char* step : failed) {
        Append(text, "\n");
        Append(text, step);
    }
    ShowNotice(NoticeOwner, text.data(), NoticeCaption, MB_OK);
}

} // namespace

void NameWhereWininitWasLeft(Outcome& o, const char* newTextPath)
{
    wsprintfA(o.leftAt.data(),
              "The file could not be deleted; WININIT.INI could not be replaced, and its new "
              "text was left in %s.",
              newTextPath);
}

// The line is written before the report is shown: the user may leave it
// open, or the program may be closed under it. Its fields end with the
// failed steps, which the report lists too. A file left alone has no copy
// to name. The autostart value that the removal deleted comes before them, in
// four fields: its key, its name, its whole data and its type, so that it can
// be put back as it was; a reader of the three fields before the type finds
// them where they always were.
void ReportRemoval(const char* imagePath, const char* quarantinePath, const Outcome& o,
                   const AutostartValue* value)
{
    const char* line[3 + 4 + 5] = {o.changed ? "Not removed" : "Removed", imagePath,
                                   o.copied ? quarantinePath : "No copy"};
    const wchar_t* wide[std::size(line)] = {};
    size_t fixed = o.changed ? 2 : 3;
    if (value) {
        line[fixed++] = value->where;
        wide[fixed] = value->wideName;
        line[fixed++] = value->name;
        wide[fixed] = value->wideData;
        line[fixed++] = value->data;
        line[fixed++] = value->type;
    }
    size_t failed = ListFailedSteps(o, line + fixed);
    LogEvent({line, fixed + failed}, value ? value->data : nullptr, value ? value->length : 0,
             wide);
    ShowReport(imagePath, quarantinePath, o, {line + fixed, failed});
}
