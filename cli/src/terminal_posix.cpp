#include <sys/ioctl.h>
#include <unistd.h>

#include "cli/terminal.hpp"

namespace ql5::cli {

Terminal openTerminal(std::FILE* stream) {
    Terminal t;
    const int fd = fileno(stream);
    if (fd < 0 || isatty(fd) == 0) return t;
    // Every terminal a Linux user meets understands the few codes used.
    t.mode = TerminalMode::Escapes;
    t.columns = [fd] {
        winsize ws{};
        return ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? static_cast<int>(ws.ws_col) : 80;
    };
    return t;
}

}  // namespace ql5::cli
