#pragma once
// What the stream the progress goes to can do: nothing (a file or a pipe:
// one line per message), a plain carriage return (a console without escape
// codes: the line is overwritten with spaces), or escape codes (clear to the
// end of the line, cursor up for the lines of several units).
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace ql5::cli {

enum class TerminalMode { None, Plain, Escapes };

struct Terminal {
    TerminalMode mode = TerminalMode::None;
    // The visible width in characters now (a console may be resized while
    // the bar runs); 80 where it cannot be asked.
    std::function<int()> columns = [] { return 80; };
};

// Looks at the stream and, on a console that needs it switched on, turns on
// its escape-code processing.
Terminal openTerminal(std::FILE* stream);

// The redrawn line of a byte range: bar, bytes, rate and time left, made to
// fit in width - 1 characters (the last column would wrap the line on many
// consoles): the bar narrows first, then the rate and time go.
std::string fitProgressLine(const std::string& lead, int barWidth, std::int32_t pos,
                            std::int32_t high, double bytesPerSecond, int width);

// Cuts text to width - 1 characters.
std::string fitToWidth(std::string text, int width);

}  // namespace ql5::cli
