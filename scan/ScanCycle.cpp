#include "scan/Scan.h"

void RunScanCycle()
{
}
