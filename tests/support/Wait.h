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
