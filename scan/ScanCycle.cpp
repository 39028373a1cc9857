#include "scan/Scan.h"

int ScanPass;

void RunScanCycle()
{
}
