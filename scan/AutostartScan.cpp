#include "scan/Scan.h"

void ScanAutostartKey(HKEY, const char*, const ProcessList&)
{
}
