// Zorvane's side of the peer comparison: its content test, the server's code
// bytes and zero run, over the same files that ClamAV scans natively.
#include <array>
#include "Bench.h"
#include "scan/Scan.h"

void MeasureContentTest(const std::vector<std::string>& files)
{
    std::vector<std::string> matches;
    for (const std::string& file : files) {
        if (MatchesServerSignature(file.c_str()))
            matches.push_back(file);
    }
    auto testAll = [&] {
        for (const std::string& file : files)
            MatchesServerSignature(file.c_str());
    };
    // The least that reading the code bytes of any file takes: open, seek,
    // read 27 bytes, close. Under Wine that is three calls to the Wine
    // server (the open, the first use of the file, the close).
    auto readAll = [&] {
        for (const std::string& file : files) {
            HFILE handle = _lopen(file.c_str(), OF_READ);
            std::array<char, 27> code;
            _llseek(handle, 1536, FILE_BEGIN);
            _lread(handle, code.data(), code.size());
            _lclose(handle);
        }
    };
    for (int i = 0; i < WarmUps; ++i) {
        testAll();
        readAll();
    }
    double count = static_cast<double>(files.size());
    std::vector<double> perFile, floorPerFile;
    for (int i = 0; i < Repetitions; ++i) {
        perFile.push_back(TimeMs(testAll) / count);
        floorPerFile.push_back(TimeMs(readAll) / count);
    }
    Emit("content", "\"files\": " + JsonList(files) + ", \"matches\": " + JsonList(matches) +
                        ", \"ms_per_file\": " + JsonList(perFile) +
                        ", \"read_floor_ms_per_file\": " + JsonList(floorPerFile));
}
