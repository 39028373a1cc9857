#include "Wait.h"

bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= limitMs)
            return condition();
        Sleep(10);
    }
}
