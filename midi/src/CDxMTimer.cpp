#include "midi/CDxMTimer.hpp"

namespace ql5::midi {

namespace {

constexpr mm::UINT kFallbackPeriodMs = 1;

}  // namespace

CDxMTimer::CDxMTimer() {
    // Without the platform's figures, 1 ms is what the dispatcher is built
    // for; a zero period would make the event refused.
    if (mm::timeGetDevCaps(&caps_, sizeof(caps_)) != mm::TIMERR_NOERROR || caps_.wPeriodMin == 0) {
        caps_.wPeriodMin = kFallbackPeriodMs;
        if (caps_.wPeriodMax < caps_.wPeriodMin) {
            caps_.wPeriodMax = caps_.wPeriodMin;
        }
    }
}

CDxMTimer::~CDxMTimer() { Stop(); }

std::uint32_t CDxMTimer::Start(std::uint32_t delayMs, mm::LPTIMECALLBACK callback,
                               mm::DWORD_PTR user) {
    Stop();
    const bool periodBegun = mm::timeBeginPeriod(caps_.wPeriodMin) == mm::TIMERR_NOERROR;
    if (callback == nullptr) {
        callback = &CDxMTimer::DefaultTimerCallback;
        user = reinterpret_cast<mm::DWORD_PTR>(this);
    }
    std::uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(idMutex_);
        id = mm::timeSetEvent(delayMs, caps_.wPeriodMin, callback, user, mm::TIME_PERIODIC);
        timerId_.store(id);
    }
    if (id == 0 && periodBegun) {
        // No event will run to carry this period, and Stop ends one only
        // with an event: end it here so begins and ends stay paired.
        mm::timeEndPeriod(caps_.wPeriodMin);
    }
    return id;
}

int CDxMTimer::Stop() {
    std::uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(idMutex_);
        id = timerId_.exchange(0);
    }
    if (id != 0) {
        // Waits for a tick that is running (unless this is that tick), so
        // nothing a tick reads is freed under it once Stop has returned.
        mm::timeKillEvent(id);
        mm::timeEndPeriod(caps_.wPeriodMin);
    }
    return 1;
}

void CDxMTimer::DefaultTimerCallback(mm::UINT id, mm::UINT msg, mm::DWORD_PTR user,
                                     mm::DWORD_PTR r1, mm::DWORD_PTR r2) {
    (void)id;
    (void)msg;
    (void)r1;
    (void)r2;
    if (user != 0) {
        reinterpret_cast<CDxMTimer*>(user)->OnTimerTick();
    }
}

}  // namespace ql5::midi
