// The Windows side of tools/bench. Every measurement prints one JSON object
// per line with its raw samples; bench/report.py turns them into
// medians, spreads and the table.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Each figure timed in-process is the median of this many runs, after
// warm-up runs; they are cheap, and more of them steady the medians.
int const Repetitions = 15;
int const WarmUps = 2;

// ---- Timing and output -------------------------------------------------

double NowMs();
template <typename Fn> double TimeMs(Fn&& fn)
{
    double start = NowMs();
    fn();
    return NowMs() - start;
}

std::string JsonText(const std::string& text);
std::string JsonList(const std::vector<double>& samples);
std::string JsonList(const std::vector<std::string>& texts);
// Prints one line, `{"kind": kind, <fields>}`, and flushes it.
void Emit(const char* kind, const std::string& fields);
void Fail(const std::string& why); // prints the reason and ends the run

// ---- The machine ---------------------------------------------------------

std::string ProgramFolder(); // where ZorvaneBench.exe, Zorvane.exe and fixtures\ lie
std::string FixturePath(const char* fixture);
std::string SleeperPath(); // the ordinary program without padding: a small image
// C:\bench: the programs that run during the bench and the peer's file set.
std::string BenchFolder();
std::string SystemDropperDll();

// Programs started by the bench; all are ended when the object goes.
class Processes {
public:
    Processes() = default;
    ~Processes() { EndAll(); }
    Processes(const Processes&) = delete;
    Processes& operator=(const Processes&) = delete;

    bool Start(const std::string& image);
    size_t Count() const { return handles_.size(); }
    void EndAll();

private:
    std::vector<HANDLE> handles_;
};

// A notice captioned "Quillane Zorvane" must never appear during the bench: a
// watcher closes any that does, and the run then fails.
void WatchForNotices();
int NoticesSeen();

// ---- The measurements ------------------------------------------------------

// The steady-state cycle on a clean machine, next to its floor.
void MeasureCycle(int processes);
// One tick of an idle Zorvane: enhanced scanning off, no dropper DLL.
void MeasureIdleCycle();
// The two passes over the autostart keys with the dropper DLL present.
void MeasureKeyScans(int processes, const std::vector<int>& valueCounts);
// Zorvane's content test over the peer's file set, with its verdicts.
void MeasureContentTest(const std::vector<std::string>& files);
// Zorvane.exe and TrayFloor.exe from outside: size, memory, handles, idle CPU.
void MeasureFootprint();
void MeasureIdle();
// The time from starting Zorvane.exe, and TrayFloor.exe, until its icon is in
// the notification area.
void MeasureStart();
