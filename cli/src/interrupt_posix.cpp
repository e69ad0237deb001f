#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "cli/interrupt.hpp"

namespace ql5::cli {

namespace {
sigset_t interruptSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

// Blocked in this thread, and so in every thread it starts afterwards; only
// sigtimedwait below takes them.
void holdInterrupts() {
    const sigset_t set = interruptSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void releaseInterrupts() {
    const sigset_t set = interruptSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool waitForInterrupt(unsigned ms) {
    const sigset_t set = interruptSet();
    timespec slice{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000L * 1000L};
    return sigtimedwait(&set, nullptr, &slice) > 0;
}

bool isTerminal(const void* stdioFile) {
    return isatty(fileno(static_cast<std::FILE*>(const_cast<void*>(stdioFile)))) != 0;
}

}  // namespace ql5::cli
