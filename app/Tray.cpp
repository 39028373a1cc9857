#include "app/App.h"

void SetTrayIcon(HWND, int)
{
}

void OnTrayCallback(HWND)
{
}
