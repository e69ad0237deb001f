#pragma once
// The user's interrupt (Ctrl-C, or SIGTERM / a console close), taken by the
// thread that waits for a worker rather than by whichever thread the system
// picks.

namespace ql5::cli {

// From here on the interrupt is held for waitForInterrupt; call it before any
// worker, timer or driver thread starts.
void holdInterrupts();
// The default handling again.
void releaseInterrupts();
// Waits up to ms for an interrupt; true when one came.
bool waitForInterrupt(unsigned ms);
// Whether the stream is a terminal (for the redrawn progress bar).
bool isTerminal(const void* stdioFile);

}  // namespace ql5::cli
