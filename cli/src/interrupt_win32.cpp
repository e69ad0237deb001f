#include <io.h>
#include <windows.h>

#include <cstdio>

#include "cli/interrupt.hpp"

namespace ql5::cli {

// The console runs its control handler on a thread of its own; the handler
// only signals an event that the waiting thread takes, so the interrupt is
// handled where a closed window would be.

namespace {
HANDLE interruptEvent() {
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

BOOL WINAPI onConsoleControl(DWORD kind) {
    switch (kind) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            SetEvent(interruptEvent());
            return TRUE;
        default:
            return FALSE;
    }
}
}  // namespace

void holdInterrupts() {
    ResetEvent(interruptEvent());
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void releaseInterrupts() { SetConsoleCtrlHandler(onConsoleControl, FALSE); }

bool waitForInterrupt(unsigned ms) {
    return WaitForSingleObject(interruptEvent(), ms) == WAIT_OBJECT_0;
}

bool isTerminal(const void* stdioFile) {
    return _isatty(_fileno(static_cast<std::FILE*>(const_cast<void*>(stdioFile)))) != 0;
}

}  // namespace ql5::cli
