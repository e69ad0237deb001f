// The multimedia timer: every event runs on a thread of its own, with
// absolute deadlines so that a late wake-up does not push later ticks back.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/mm/mmsystem.hpp"
#include "platform/mm/tick_grid.hpp"
#include "platform/mm/timer_hooks.hpp"

namespace ql5::mm {

namespace {

constexpr UINT kPeriodMin = 1;
constexpr UINT kPeriodMax = 1000000;

using Clock = std::chrono::steady_clock;

struct TimerEvent {
    UINT id = 0;
    LPTIMECALLBACK callback = nullptr;
    DWORD_PTR user = 0;
    bool periodic = false;
    std::chrono::milliseconds delay{0};
    Clock::time_point created{};  // the delay counts from timeSetEvent, not thread start

    std::mutex mutex;
    std::condition_variable changed;
    bool killed = false;
    bool woken = false;   // timeWakeEvent: tick now
    bool parked = false;  // timeParkEvent: no tick until woken
    bool ticking = false;
    bool exited = false;
    std::thread::id thread;
};

struct TimerTable {
    std::mutex mutex;
    std::unordered_map<UINT, std::shared_ptr<TimerEvent>> events;
    UINT nextId = 1;
};

TimerTable& table() {
    static TimerTable instance;
    return instance;
}

std::atomic<std::uint64_t> beginCount{0};
std::atomic<std::uint64_t> endCount{0};
std::atomic<std::uint64_t> setCount{0};
std::atomic<std::uint64_t> killCount{0};
std::atomic<std::uint64_t> tickCount{0};
std::atomic<std::int64_t> balance{0};
std::atomic<bool> refuseEvents{false};

void forget(UINT id) {
    std::shared_ptr<TimerEvent> last;  // released outside the lock
    std::lock_guard<std::mutex> lock(table().mutex);
    const auto it = table().events.find(id);
    if (it != table().events.end()) {
        last = std::move(it->second);
        table().events.erase(it);
    }
}

void runEvent(const std::shared_ptr<TimerEvent>& event) {
    Clock::time_point deadline = event->created + event->delay;
    std::unique_lock<std::mutex> lock(event->mutex);
    for (;;) {
        if (event->parked) {
            // No deadline at all: the thread sleeps until a wake or the kill,
            // and the period starts again from the tick the wake brings.
            event->changed.wait(lock, [&] { return event->killed || event->woken; });
            event->parked = false;
            deadline = Clock::now();
        } else {
            event->changed.wait_until(lock, deadline,
                                      [&] { return event->killed || event->woken; });
        }
        if (event->killed) {
            break;
        }
        const bool early = event->woken && Clock::now() < deadline;
        if (!early && Clock::now() < deadline) {
            continue;  // a spurious wake-up
        }
        event->woken = false;
        event->ticking = true;
        lock.unlock();
        tickCount.fetch_add(1, std::memory_order_relaxed);
        event->callback(event->id, 0, event->user, 0, 0);
        lock.lock();
        event->ticking = false;
        event->changed.notify_all();
        if (early) {
            continue;  // an extra tick: the regular one still comes at its deadline
        }
        if (!event->periodic) {
            break;
        }
        deadline = nextTickDeadline(deadline, Clock::now(), event->delay);
    }
    const bool oneShotDone = !event->killed;
    event->exited = true;
    event->changed.notify_all();
    lock.unlock();
    if (oneShotDone) {
        forget(event->id);  // a one-shot event frees itself
    }
}

}  // namespace

MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size) {
    if (caps == nullptr || size < sizeof(TIMECAPS)) {
        return TIMERR_NOCANDO;
    }
    caps->wPeriodMin = kPeriodMin;
    caps->wPeriodMax = kPeriodMax;
    return TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT period) {
    if (period < kPeriodMin || period > kPeriodMax) {
        return TIMERR_NOCANDO;
    }
    beginCount.fetch_add(1);
    balance.fetch_add(1);
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT period) {
    if (period < kPeriodMin || period > kPeriodMax) {
        return TIMERR_NOCANDO;
    }
    // An end without a begin is refused, as an unbalanced pair would be a
    // bug in the caller that the counters must show.
    std::int64_t current = balance.load();
    do {
        if (current <= 0) {
            return TIMERR_NOCANDO;
        }
    } while (!balance.compare_exchange_weak(current, current - 1));
    endCount.fetch_add(1);
    return TIMERR_NOERROR;
}

UINT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                  UINT flags) {
    (void)resolution;  // every event runs at the finest period anyway
    if (callback == nullptr || delay < kPeriodMin || delay > kPeriodMax ||
        (flags & ~TIME_PERIODIC) != 0 || refuseEvents.load()) {
        return 0;
    }
    try {
        auto event = std::make_shared<TimerEvent>();
        event->callback = callback;
        event->user = user;
        event->periodic = (flags & TIME_PERIODIC) != 0;
        event->delay = std::chrono::milliseconds(delay);
        event->created = Clock::now();
        {
            std::lock_guard<std::mutex> lock(table().mutex);
            do {
                event->id = table().nextId++;
            } while (event->id == 0 || table().events.count(event->id) != 0);
            table().events.emplace(event->id, event);
        }
        // The thread is detached: timeKillEvent waits for it through the
        // event's own flags, which also works when a one-shot event has
        // already freed itself.
        std::unique_lock<std::mutex> lock(event->mutex);
        std::thread thread([event] { runEvent(event); });
        event->thread = thread.get_id();
        thread.detach();
        lock.unlock();
        setCount.fetch_add(1);
        return event->id;
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

MMRESULT timeKillEvent(UINT id) {
    std::shared_ptr<TimerEvent> event;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        const auto it = table().events.find(id);
        if (it == table().events.end()) {
            return MMSYSERR_INVALPARAM;
        }
        event = std::move(it->second);
        table().events.erase(it);
    }
    killCount.fetch_add(1);
    std::unique_lock<std::mutex> lock(event->mutex);
    event->killed = true;
    event->changed.notify_all();
    if (event->thread == std::this_thread::get_id()) {
        // Called from the event's own tick: waiting would never end. The
        // thread sees `killed` once the tick returns and starts no other.
        return TIMERR_NOERROR;
    }
    event->changed.wait(lock, [&] { return event->exited; });
    return TIMERR_NOERROR;
}

MMRESULT timeWakeEvent(UINT id) {
    std::shared_ptr<TimerEvent> event;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        const auto it = table().events.find(id);
        if (it == table().events.end()) {
            return MMSYSERR_INVALPARAM;
        }
        event = it->second;
    }
    std::lock_guard<std::mutex> lock(event->mutex);
    if (!event->periodic || event->killed) {
        return MMSYSERR_INVALPARAM;
    }
    event->woken = true;
    event->changed.notify_all();
    return TIMERR_NOERROR;
}

MMRESULT timeParkEvent(UINT id) {
    std::shared_ptr<TimerEvent> event;
    {
        std::lock_guard<std::mutex> lock(table().mutex);
        const auto it = table().events.find(id);
        if (it == table().events.end()) {
            return MMSYSERR_INVALPARAM;
        }
        event = it->second;
    }
    std::lock_guard<std::mutex> lock(event->mutex);
    if (!event->periodic || event->killed) {
        return MMSYSERR_INVALPARAM;
    }
    event->parked = true;
    event->changed.notify_all();
    return TIMERR_NOERROR;
}

TimerStats timerStats() {
    TimerStats stats;
    stats.beginPeriod = beginCount.load();
    stats.endPeriod = endCount.load();
    stats.setEvent = setCount.load();
    stats.killEvent = killCount.load();
    stats.ticks = tickCount.load();
    stats.systemCalls = stats.ticks;
    std::lock_guard<std::mutex> lock(table().mutex);
    stats.liveEvents = table().events.size();
    return stats;
}

std::int64_t timerPeriodBalance() { return balance.load(); }

void setTimeSetEventRefused(bool refused) { refuseEvents.store(refused); }

}  // namespace ql5::mm
