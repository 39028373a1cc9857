#include "scan/Scan.h"

void SweepProcesses(const ProcessList&)
{
}
