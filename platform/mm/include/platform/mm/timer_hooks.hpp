#pragma once
// What tests need to see of the multimedia timer: the begin/end period
// pairing and the event calls, and a switch that makes timeSetEvent refuse.
// Counters are process-wide; tests compare before and after.
#include <cstdint>

namespace ql5::mm {

struct TimerStats {
    std::uint64_t beginPeriod = 0;  // accepted timeBeginPeriod calls
    std::uint64_t endPeriod = 0;    // accepted timeEndPeriod calls
    std::uint64_t setEvent = 0;     // events started
    std::uint64_t killEvent = 0;    // timeKillEvent calls on a live event
    std::uint64_t liveEvents = 0;   // events started and not yet killed or finished
    std::uint64_t ticks = 0;        // callbacks run, all events together
    // Calls from the system's own timer, all events together: on Windows the
    // 1 ms carriers (ticks or not), elsewhere the ticks themselves.
    std::uint64_t systemCalls = 0;
};

TimerStats timerStats();
// timeBeginPeriod calls not yet ended by timeEndPeriod.
std::int64_t timerPeriodBalance();
// While on, timeSetEvent returns 0 (a platform out of timer events).
void setTimeSetEventRefused(bool refused);

}  // namespace ql5::mm
