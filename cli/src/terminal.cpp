#include "cli/terminal.hpp"

#include <algorithm>
#include <cstdint>

namespace ql5::cli {

std::string fitToWidth(std::string text, int width) {
    const std::size_t room = static_cast<std::size_t>(std::max(width - 1, 1));
    if (text.size() > room) text.resize(room);
    return text;
}

std::string fitProgressLine(const std::string& lead, int barWidth, std::int32_t pos,
                            std::int32_t high, double bytesPerSecond, int width) {
    const int room = std::max(width - 1, 1);
    const double fraction = high > 0 ? std::clamp(static_cast<double>(pos) / high, 0.0, 1.0) : 0.0;
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, " %d / %d bytes", pos, high);
    char speed[64];
    const double left = bytesPerSecond > 0 ? (high - pos) / bytesPerSecond : 0.0;
    std::snprintf(speed, sizeof speed, "  %.0f KB/s  %.0f s left", bytesPerSecond / 1000.0, left);
    const auto bar = [&](int w) {
        const int filled = static_cast<int>(fraction * w);
        return "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(w - filled), '-') + "]";
    };
    constexpr int kNarrowestBar = 10;
    for (const std::string& tail : {std::string(bytes) + speed, std::string(bytes)}) {
        const int fixed = static_cast<int>(lead.size() + tail.size()) + 2;  // the brackets
        const int w = std::min(barWidth, room - fixed);
        if (w >= kNarrowestBar) return lead + bar(w) + tail;
    }
    return fitToWidth(lead + bar(kNarrowestBar) + bytes, width);
}

}  // namespace ql5::cli
