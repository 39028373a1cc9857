// The detection and removal engine.
#pragma once
#include <windows.h>

// One complete hunt for the intruder, run on every tick of the scan timer.
void RunScanCycle();
