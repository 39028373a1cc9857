#include "app/App.h"

void OnCommand(HWND, UINT, WPARAM, LPARAM)
{
}
