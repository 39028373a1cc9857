// Tests wait for the thing they expect, never for a fixed time: the machines
// that run them are shared and sometimes slow, so a limit says how long to keep
// looking, not how long to wait.
#pragma once
#include <windows.h>
#include <functional>

// Checks `condition` every few milliseconds until it holds or `limitMs` has
// passed, and tells whether it held. It is checked once more at the limit, so
// a limit of 0 asks once.
bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs);

// The limit for what must come: a window, a notice, an icon, an exit. A test
// that passes never reaches it, so it can be generous; on a loaded machine a
// Wine program can take many seconds to start. Waits for something that must
// NOT come cannot end on a condition and use short limits of their own.
constexpr DWORD Patience = 60000;
