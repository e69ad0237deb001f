#pragma once
// The platform's periodic multimedia timer at its finest period.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/mm/mmsystem.hpp"

namespace ql5::midi {

class CDxMTimer {
  public:
    CDxMTimer();
    virtual ~CDxMTimer();
    CDxMTimer(const CDxMTimer&) = delete;
    CDxMTimer& operator=(const CDxMTimer&) = delete;

    // Restarts: a running event is stopped first. Without a callback the
    // ticks go to OnTimerTick. Returns the event id, 0 when refused.
    std::uint32_t Start(std::uint32_t delayMs, mm::LPTIMECALLBACK callback = nullptr,
                        mm::DWORD_PTR user = 0);
    // Always 1. When it returns, no tick is running and none will start
    // (unless called from a tick of this timer, which then finishes).
    int Stop();
    // Runs the next tick now rather than at its deadline (see
    // mm::timeWakeEvent); nothing when the timer is not running.
    void Wake() {
        if (const std::uint32_t id = timerId_.load(); id != 0) {
            mm::timeWakeEvent(id);
        }
    }

    // A derived class that overrides this must call Stop() in its own
    // destructor: by the time ~CDxMTimer stops the event, the override is gone.
    virtual void OnTimerTick() {}

    std::uint32_t timerId() const { return timerId_.load(); }
    const mm::TIMECAPS& caps() const { return caps_; }

  private:
    static void DefaultTimerCallback(mm::UINT id, mm::UINT msg, mm::DWORD_PTR user,
                                     mm::DWORD_PTR r1, mm::DWORD_PTR r2);
    // A tick may call Stop() as soon as the event exists, possibly before
    // Start has stored its id: idMutex_ covers "set the event, store the id"
    // and Stop's taking of the id. It is never held while waiting for a tick.
    std::mutex idMutex_;
    std::atomic<std::uint32_t> timerId_{0};
    mm::TIMECAPS caps_{};
};

}  // namespace ql5::midi
