// The smallest resident tray program: a hidden window, one notification-area
// icon and a message loop. The benchmark holds Zorvane's footprint against it.
#include <windows.h>
#include <shellapi.h>

namespace {

UINT const FloorIconId = 1;
UINT const FloorCallbackMessage = WM_APP + 1;

LRESULT CALLBACK FloorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = FloorWndProc;
    wc.hInstance = instance;
    wc.lpszClassName = "ZorvaneTrayFloor";
    RegisterClassA(&wc);
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, wc.lpszClassName, "Tray floor", WS_POPUP, 0,
                                  0, 0, 0, nullptr, nullptr, instance, nullptr);

    NOTIFYICONDATAA icon = {};
    icon.cbSize = NOTIFYICONDATAA_V1_SIZE; // the record that Windows 95 knows
    icon.hWnd = window;
    icon.uID = FloorIconId;
    icon.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    icon.uCallbackMessage = FloorCallbackMessage;
    icon.hIcon = static_cast<HICON>(LoadImageA(instance, "ZORVANE_ICON", IMAGE_ICON, 16, 16, 0));
    lstrcpyA(icon.szTip, "Tray floor");
    Shell_NotifyIconA(NIM_ADD, &icon);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    Shell_NotifyIconA(NIM_DELETE, &icon);
    return static_cast<int>(msg.wParam);
}
