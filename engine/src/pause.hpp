#pragma once
// The sequence's fixed pauses (after the begin-update command, between unplug
// polls, while a late reply settles). Internal to the engine.
#include <chrono>
#include <cstdint>

#include "engine/engine.hpp"

namespace ql5::engine::detail {

// Waits ms milliseconds, or less when the window closes: the close signals
// replyEvent (abortForClose), which ends a pause at once as it ends a reply
// wait. No request awaits a reply during a pause, so nothing else signals
// the event; a signal that came anyway only ends one slice of the wait, and
// the pause goes on for the time left.
inline void pause(UpdateState& st, std::uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!st.closing.load()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        (void)st.replyEvent.wait(static_cast<std::uint32_t>(left.count()));
    }
}

}  // namespace ql5::engine::detail
