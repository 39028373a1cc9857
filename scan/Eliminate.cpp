#include "scan/Scan.h"

void EliminateServer(const ProcessEntry&, HKEY, const char*)
{
}

void EliminateServer(const ProcessEntry&)
{
}
