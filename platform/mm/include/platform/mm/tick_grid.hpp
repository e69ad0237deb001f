#pragma once
// Where a periodic timer event's next regular tick is due. Ticks sit on a grid
// that starts when the event was set: a late wake-up does not push the later
// ticks back (no drift), and a tick that outlasted its period is followed at
// once by one tick, not by a burst of the missed ones.
#include <chrono>

namespace ql5::mm {

template <typename TimePoint, typename Period>
TimePoint nextTickDeadline(TimePoint deadline, TimePoint now, Period period) {
    deadline += period;
    if (deadline < now) {
        deadline += ((now - deadline) / period) * period;
    }
    return deadline;
}

}  // namespace ql5::mm
