#include "win/Notice.h"

HINSTANCE AppInstance;
HWND NoticeOwner;
int Closing;

// Once the program is closing, the quit message waits in the queue and would
// end any box at once; and the user has asked for no more.
int ShowNotice(HWND owner, const char* text, const char* caption, UINT style)
{
    if (Closing)
        return 0;
    MSGBOXPARAMSA params = {};
    params.cbSize = sizeof params;
    params.hwndOwner = owner;
    params.hInstance = AppInstance;
    params.lpszText = text;
    params.lpszCaption = caption;
    params.dwStyle = style | MB_USERICON | MB_SETFOREGROUND | MB_TOPMOST;
    params.lpszIcon = IconGroupName;
    params.dwLanguageId = 0;
    // The owner may have closed since it was chosen; the user must still be
    // told. Windows refuses such a box at once, Wine would wait on it for
    // ever, so a dead owner goes straight to the plain box.
    if (owner == nullptr || IsWindow(owner)) {
        if (int button = MessageBoxIndirectA(&params))
            return button;
    }
    return MessageBoxA(nullptr, text, caption, style | MB_ICONEXCLAMATION);
}
