// Finds Zorvane's notices on the screen, reads them and answers them, the way
// a user would: by the caption, the text and the buttons of the real box.
#pragma once
#include <windows.h>
#include "Wait.h"
#include <string>

struct Notice {
    bool shown = false;
    HWND box = nullptr;
    std::string text;
    std::string buttons;   // e.g. "Yes No Cancel", in the order of the ids
    HWND owner = nullptr;
    bool topmost = false;
    bool foreground = false;
    HICON icon = nullptr;  // the icon the box shows, if any
};

// True under Wine, where a few platform behaviours differ and are marked so.
bool RunningOnWine();

// Waits for a message box captioned "Quillane Zorvane", reads it, presses
// `button` (IDOK, IDYES, IDNO, IDCANCEL), or closes it with WM_CLOSE when
// `button` is 0, and waits for it to go away.
Notice AnswerNotice(int button, DWORD timeoutMs = Patience);

// Reads the notice on the screen, once one appears within the time given;
// leaves it there. `shown` is false when none appeared.
Notice WaitForNotice(DWORD timeoutMs);

// Tells whether a notice is on the screen within the time given; leaves it there.
bool NoticeAppears(DWORD timeoutMs);

// Answers the next notice from a thread of its own: for code under test that
// blocks in a modal box on the calling thread.
class NoticeAnswerer {
public:
    explicit NoticeAnswerer(int button, DWORD timeoutMs = Patience);
    ~NoticeAnswerer();
    NoticeAnswerer(const NoticeAnswerer&) = delete;
    NoticeAnswerer& operator=(const NoticeAnswerer&) = delete;

    const Notice& Seen(); // waits for the thread

private:
    static DWORD WINAPI Run(void* self);
    int button_;
    DWORD timeoutMs_;
    Notice seen_;
    HANDLE thread_;
};
