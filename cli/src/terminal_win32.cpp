#include <io.h>
#include <windows.h>

#include "cli/terminal.hpp"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace ql5::cli {

namespace {
bool underWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
}  // namespace

Terminal openTerminal(std::FILE* stream) {
    Terminal t;
    const int fd = _fileno(stream);
    if (fd < 0 || _isatty(fd) == 0) return t;
    auto* handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        // A character device that is not a console (NUL, a serial line):
        // nothing there draws a line twice.
        return t;
    }
    // A console shows escape codes as text unless their processing is on;
    // consoles without it (before Windows 10) refuse the flag, and get the
    // line overwritten with spaces. Wine's console (8.0) takes the flag but
    // still prints the codes as text, so under Wine the plain way is used.
    DWORD now = 0;
    const bool escapes = !underWine() &&
                         ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
                          SetConsoleMode(handle, mode | ENABLE_PROCESSED_OUTPUT |
                                                     ENABLE_VIRTUAL_TERMINAL_PROCESSING)) &&
                         GetConsoleMode(handle, &now) &&
                         (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    t.mode = escapes ? TerminalMode::Escapes : TerminalMode::Plain;
    t.columns = [handle] {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        if (!GetConsoleScreenBufferInfo(handle, &info)) return 80;
        const int width = info.srWindow.Right - info.srWindow.Left + 1;
        return width > 0 ? width : 80;
    };
    return t;
}

}  // namespace ql5::cli
