// The multimedia timer on Windows. Every event is carried by a periodic
// system event at 1 ms (timeSetEvent on the system's timer thread, with
// timeBeginPeriod asked for by the callers), and the event's own schedule is
// kept on top, as on the other platforms:
//  - absolute deadlines on the steady clock: a tick never comes before its
//    deadline, a late tick does not push the later ones back, and after an
//    overrun the next tick follows at once and the ones after it return to
//    their grid (the system's own periodic events are counted on a
//    millisecond clock and, under some systems, slip by an overrun);
//  - a kill waits for a tick that is running (unless called from that tick),
//    and no tick starts after it returns;
//  - ticks of one event never overlap;
//  - a wake runs the next tick at the next millisecond;
//  - once an event has stayed parked for a while its carrier is stopped,
//    so that an idle program is not woken a thousand times a second (under
//    Wine each of those wakes is a round trip through the wineserver too);
//    a wake starts it again.
// The system calls back with our own event id, never a pointer, so a late
// callback for an event that is gone finds nothing and does nothing.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <unordered_map>

#include "platform/mm/mmsystem.hpp"
#include "platform/mm/tick_grid.hpp"
#include "platform/mm/timer_hooks.hpp"

// After our own declarations: the system headers define the same names as
// macros with the same values.
#include <windows.h>

#include <mmsystem.h>  // after windows.h, which it needs

namespace ql5::mm {

namespace {

constexpr UINT kPeriodMin = 1;
constexpr UINT kPeriodMax = 1000000;
// The period of the system event that carries every event.
constexpr UINT kCarrierMs = 1;
// Carrier calls a parked event lets pass before its carrier stops: parks
// between the exchanges of a busy run are short, and under Wine every
// restart of a carrier starts the system's timer thread anew, which would
// cost more than the calls it saves; an idle owner stays parked for good.
constexpr int kParkedCallsBeforeStop = 100;

using Clock = std::chrono::steady_clock;

struct TimerEvent {
    UINT id = 0;
    LPTIMECALLBACK callback = nullptr;
    DWORD_PTR user = 0;
    bool periodic = false;
    std::chrono::milliseconds delay{0};

    std::mutex mutex;
    std::condition_variable changed;
    Clock::time_point deadline{};  // of the next regular tick
    UINT systemId = 0;             // the carrier
    // Read by timeWakeEvent without the lock, which a caller waking in a
    // tight loop would otherwise keep from the system's timer thread.
    std::atomic<bool> killed{false};
    std::atomic<bool> woken{false};   // timeWakeEvent: a tick is wanted now
    std::atomic<bool> parked{false};  // timeParkEvent: no regular tick until woken
    // The carrier was stopped while parked; a wake starts it again. Set by
    // the carrier's tick before it looks at `woken` for the last time, and
    // read by a wake after it has set `woken`, so that one of them always
    // sees the other.
    std::atomic<bool> carrierStopped{false};
    bool ticking = false;
    std::thread::id tickThread{};
    int parkedCalls = 0;  // carrier calls since the last tick while parked
};

// The system's slim reader/writer lock. (The MinGW runtime's rwlock behind
// std::shared_mutex can deadlock when readers and writers contend.)
class SlimSharedMutex {
  public:
    void lock() { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() { ::ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() { ::AcquireSRWLockShared(&lock_); }
    void unlock_shared() { ::ReleaseSRWLockShared(&lock_); }

  private:
    ::SRWLOCK lock_ = SRWLOCK_INIT;
};

struct TimerTable {
    SlimSharedMutex mutex;  // shared by lookups (ticks, wakes)
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
std::atomic<std::uint64_t> carrierCalls{0};
std::atomic<std::int64_t> balance{0};
std::atomic<bool> refuseEvents{false};

std::shared_ptr<TimerEvent> find(UINT id) {
    std::shared_lock<SlimSharedMutex> lock(table().mutex);
    const auto it = table().events.find(id);
    return it == table().events.end() ? nullptr : it->second;
}

std::shared_ptr<TimerEvent> take(UINT id) {
    std::lock_guard<SlimSharedMutex> lock(table().mutex);
    const auto it = table().events.find(id);
    if (it == table().events.end()) {
        return nullptr;
    }
    std::shared_ptr<TimerEvent> event = std::move(it->second);
    table().events.erase(it);
    return event;
}

// Every millisecond, on the system's timer thread.
void CALLBACK carrierTick(::UINT, ::UINT, ::DWORD_PTR user, ::DWORD_PTR, ::DWORD_PTR) {
    carrierCalls.fetch_add(1, std::memory_order_relaxed);
    const auto id = static_cast<UINT>(user);
    const std::shared_ptr<TimerEvent> event = find(id);
    if (!event) {
        return;  // killed, or a one-shot that has run
    }
    std::unique_lock<std::mutex> lock(event->mutex);
    if (event->killed || event->ticking) {
        return;
    }
    const bool parked = event->parked.load();
    const bool early = parked || Clock::now() < event->deadline;
    if (early && !event->woken.load()) {
        if (parked && event->systemId != 0 && ++event->parkedCalls >= kParkedCallsBeforeStop) {
            event->carrierStopped.store(true);
            if (!event->woken.load()) {
                // Allowed from the event's own callback; it does not wait.
                ::timeKillEvent(event->systemId);
                event->systemId = 0;
                return;
            }
            event->carrierStopped.store(false);  // a wake came in between: tick
        } else {
            return;
        }
    }
    if (parked) {
        // The wake's tick restarts the period: the next regular one is a
        // whole period after it.
        event->parked.store(false);
        event->deadline = Clock::now() + event->delay;
    }
    event->woken.store(false);
    event->parkedCalls = 0;
    event->ticking = true;
    event->tickThread = std::this_thread::get_id();
    lock.unlock();
    tickCount.fetch_add(1, std::memory_order_relaxed);
    event->callback(id, 0, event->user, 0, 0);
    lock.lock();
    event->ticking = false;
    event->tickThread = std::thread::id{};
    bool oneShotDone = false;
    if (!event->killed && !early) {  // an early (woken) tick leaves the schedule as it is
        if (!event->periodic) {
            oneShotDone = true;
        } else {
            event->deadline = nextTickDeadline(event->deadline, Clock::now(), event->delay);
        }
    }
    const UINT systemId = event->systemId;
    event->changed.notify_all();
    lock.unlock();
    if (oneShotDone && take(id)) {
        ::timeKillEvent(systemId);  // a one-shot event frees itself
    }
}

}  // namespace

MMRESULT timeGetDevCaps(TIMECAPS* caps, UINT size) {
    if (caps == nullptr || size < sizeof(TIMECAPS)) {
        return TIMERR_NOCANDO;
    }
    // What this layer accepts; the system's own limits are checked by the
    // system when an event is set.
    caps->wPeriodMin = kPeriodMin;
    caps->wPeriodMax = kPeriodMax;
    return TIMERR_NOERROR;
}

MMRESULT timeBeginPeriod(UINT period) {
    if (period < kPeriodMin || period > kPeriodMax) {
        return TIMERR_NOCANDO;
    }
    const MMRESULT result = ::timeBeginPeriod(period);
    if (result != TIMERR_NOERROR) {
        return result;
    }
    beginCount.fetch_add(1);
    balance.fetch_add(1);
    return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT period) {
    if (period < kPeriodMin || period > kPeriodMax) {
        return TIMERR_NOCANDO;
    }
    // An end without a begin is refused: the system would take it from some
    // other begin of this process.
    std::int64_t current = balance.load();
    do {
        if (current <= 0) {
            return TIMERR_NOCANDO;
        }
    } while (!balance.compare_exchange_weak(current, current - 1));
    const MMRESULT result = ::timeEndPeriod(period);
    if (result != TIMERR_NOERROR) {
        balance.fetch_add(1);
        return result;
    }
    endCount.fetch_add(1);
    return TIMERR_NOERROR;
}

UINT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                  UINT flags) {
    (void)resolution;  // every event is carried at the finest period anyway
    if (callback == nullptr || delay < kPeriodMin || delay > kPeriodMax ||
        (flags & ~TIME_PERIODIC) != 0 || refuseEvents.load()) {
        return 0;
    }
    std::shared_ptr<TimerEvent> event;
    try {
        event = std::make_shared<TimerEvent>();
        event->callback = callback;
        event->user = user;
        event->periodic = (flags & TIME_PERIODIC) != 0;
        event->delay = std::chrono::milliseconds(delay);
        // The delay counts from here.
        event->deadline = Clock::now() + event->delay;
        std::lock_guard<SlimSharedMutex> lock(table().mutex);
        do {
            event->id = table().nextId++;
        } while (event->id == 0 || table().events.count(event->id) != 0);
        table().events.emplace(event->id, event);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    {
        // Held until the system's id is stored, so that a kill from the
        // first tick finds it.
        std::lock_guard<std::mutex> lock(event->mutex);
        event->systemId = ::timeSetEvent(kCarrierMs, kCarrierMs, &carrierTick,
                                         static_cast<::DWORD_PTR>(event->id),
                                         TIME_CALLBACK_FUNCTION | TIME_PERIODIC);
    }
    if (event->systemId == 0) {
        take(event->id);
        return 0;
    }
    setCount.fetch_add(1);
    return event->id;
}

MMRESULT timeKillEvent(UINT id) {
    const std::shared_ptr<TimerEvent> event = take(id);
    if (!event) {
        return MMSYSERR_INVALPARAM;
    }
    killCount.fetch_add(1);
    UINT systemId = 0;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->killed = true;
        systemId = event->systemId;
    }
    // Not under the event's lock: the system's timer thread may be waiting
    // for it in carrierTick.
    ::timeKillEvent(systemId);
    std::unique_lock<std::mutex> lock(event->mutex);
    if (event->ticking && event->tickThread == std::this_thread::get_id()) {
        // Called from the event's own tick: waiting would never end. The
        // tick sees `killed` when it returns and runs no other.
        return TIMERR_NOERROR;
    }
    event->changed.wait(lock, [&] { return !event->ticking; });
    return TIMERR_NOERROR;
}

MMRESULT timeWakeEvent(UINT id) {
    const std::shared_ptr<TimerEvent> event = find(id);
    if (!event) {
        return MMSYSERR_INVALPARAM;
    }
    if (!event->periodic || event->killed.load()) {
        return MMSYSERR_INVALPARAM;
    }
    // Taken by the next millisecond's carrier tick, or by the one after the
    // tick that is running; many wakes before then give one tick.
    event->woken.store(true);
    if (event->carrierStopped.load()) {
        // Parked with the carrier stopped: start it again (rarely: once per
        // message or request after an idle spell, so the lock costs nothing).
        std::lock_guard<std::mutex> lock(event->mutex);
        if (event->carrierStopped.load() && !event->killed.load() && event->systemId == 0) {
            event->systemId = ::timeSetEvent(kCarrierMs, kCarrierMs, &carrierTick,
                                             static_cast<::DWORD_PTR>(event->id),
                                             TIME_CALLBACK_FUNCTION | TIME_PERIODIC);
            if (event->systemId == 0) return MMSYSERR_NOMEM;
            event->carrierStopped.store(false);
        }
    }
    return TIMERR_NOERROR;
}

MMRESULT timeParkEvent(UINT id) {
    const std::shared_ptr<TimerEvent> event = find(id);
    if (!event) {
        return MMSYSERR_INVALPARAM;
    }
    if (!event->periodic || event->killed.load()) {
        return MMSYSERR_INVALPARAM;
    }
    // The carrier goes on at 1 ms but its ticks return at once until a wake:
    // no callback runs, so an idle owner does no work.
    event->parked.store(true);
    return TIMERR_NOERROR;
}

TimerStats timerStats() {
    TimerStats stats;
    stats.beginPeriod = beginCount.load();
    stats.endPeriod = endCount.load();
    stats.setEvent = setCount.load();
    stats.killEvent = killCount.load();
    stats.ticks = tickCount.load();
    stats.systemCalls = carrierCalls.load();
    std::shared_lock<SlimSharedMutex> lock(table().mutex);
    stats.liveEvents = table().events.size();
    return stats;
}

std::int64_t timerPeriodBalance() { return balance.load(); }

void setTimeSetEventRefused(bool refused) { refuseEvents.store(refused); }

}  // namespace ql5::mm
