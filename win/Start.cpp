// The start of the programs that ship. The first Windows 95 releases have no
// C run-time DLL, so these programs link none, and nothing but this calls
// WinMain. It runs no constructors of global objects: the program has none,
// and the build's check refuses an executable whose list of them is not empty.
#include <windows.h>

namespace {

// What WinMain is given as its command line: the text after the program's
// own name, which is quoted when it holds blanks, and after the blanks that
// follow it.
char* ArgumentsOf(char* commandLine)
{
    char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (static_cast<unsigned char>(*p) > ' ')
            ++p;
    }
    while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ')
        ++p;
    return p;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

// The loader calls this with no arguments, on a stack that a 32-bit Windows
// aligns to four bytes only.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void ProgramStart()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow
                                                               : SW_SHOWDEFAULT;
    int result = WinMain(GetModuleHandleA(nullptr), nullptr, ArgumentsOf(GetCommandLineA()),
                         showCommand);
    ExitProcess(static_cast<UINT>(result));
}
