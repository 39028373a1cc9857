#include "settings/Settings.h"

void SetAutostart(int)
{
}
