#pragma once
// One request, one reply: how a worker opens an exchange, waits for its
// reply, and recovers the line after a time-out. Internal to the engine.
#include <cstdint>
#include <string>

#include "engine/engine.hpp"

namespace ql5::engine::detail {

inline constexpr std::int32_t kReplyAbort = 255;

// Called right before a request is sent: drops a signal left pending by a
// reply nobody waited for, and lets the dispatcher take the next reply of
// the kind expected (kExpect*; for reads, of length bytes). A window that is
// closing keeps its abort signal.
void beginExchange(UpdateState& st, int expect = kExpectAny, std::int32_t length = 0);

struct Reply {
    bool timedOut = false;
    bool linkGone = false;  // timed out at once: the unit's device went away
    std::int32_t code = 0;  // replyCode, or 255 while the window is closing
};

// Waits for the reply to the request just sent. A closing window ends the
// wait with code 255 even when the wait ran out. After a time-out no later
// reply is taken; one the dispatcher took as the wait ran out counts as come.
// A device gone ends the wait at once as a time-out with linkGone set.
Reply awaitReply(UpdateState& st, std::uint32_t timeoutMs);

// After a time-out: stop taking replies, let a late reply to the request that
// timed out arrive and be dropped for quietMs, then clear what it left, so it
// cannot be taken as the answer to the request sent next.
void settleLine(UpdateState& st, std::uint32_t quietMs);

// The end of a failed operation: the error box with the string's text, then
// the controls back.
void failWith(UpdateState& st, int stringId);

// Fills a "%d/%d" or "Data transmit  %d / %d " text.
std::string formatCounts(const char* format, int a, int b);

}  // namespace ql5::engine::detail
