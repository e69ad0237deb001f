// Bringing a tick forward: the dispatcher's poll runs at once when input
// arrives, without ever running twice at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "midi/CDxMTimer.hpp"
#include "platform/mm/mmsystem.hpp"

namespace {

namespace mm = ql5::mm;
using Clock = std::chrono::steady_clock;

struct Probe {
    std::atomic<int> ticks{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<long long> lastTickNs{0};
    int sleepMs = 0;
};

void probeTick(mm::UINT, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* p = reinterpret_cast<Probe*>(user);
    if (p->inside.fetch_add(1) != 0) {
        p->overlaps.fetch_add(1);
    }
    p->lastTickNs.store(Clock::now().time_since_epoch().count());
    if (p->sleepMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(p->sleepMs));
    }
    p->ticks.fetch_add(1);
    p->inside.fetch_sub(1);
}

TEST(TimerWake, WakeRunsATickLongBeforeItsDeadline) {
    Probe p;
    // A 500 ms period: without the wake the next tick is far away.
    const mm::UINT id =
        mm::timeSetEvent(500, 1, probeTick, reinterpret_cast<mm::DWORD_PTR>(&p), mm::TIME_PERIODIC);
    ASSERT_NE(id, 0U);
    const auto t0 = Clock::now();
    ASSERT_EQ(mm::timeWakeEvent(id), mm::TIMERR_NOERROR);
    while (p.ticks.load() == 0 && Clock::now() - t0 < std::chrono::seconds(2)) {
        std::this_thread::yield();
    }
    EXPECT_EQ(p.ticks.load(), 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(250));
    mm::timeKillEvent(id);
    EXPECT_EQ(mm::timeWakeEvent(id), mm::MMSYSERR_INVALPARAM) << "the event is gone";
}

TEST(TimerWake, WakesDuringATickNeverOverlapIt) {
    Probe p;
    p.sleepMs = 5;
    ql5::midi::CDxMTimer timer;
    ASSERT_NE(timer.Start(1, probeTick, reinterpret_cast<mm::DWORD_PTR>(&p)), 0U);
    std::atomic<bool> stop{false};
    std::thread waker([&] {
        while (!stop.load()) {
            timer.Wake();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop.store(true);
    waker.join();
    timer.Stop();
    const int ticks = p.ticks.load();
    EXPECT_EQ(p.overlaps.load(), 0);
    EXPECT_GT(ticks, 5);
    // No tick after Stop, woken or not.
    timer.Wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(p.ticks.load(), ticks);
}

TEST(TimerWake, RegularTicksGoOnAfterAWake) {
    Probe p;
    ql5::midi::CDxMTimer timer;
    ASSERT_NE(timer.Start(20, probeTick, reinterpret_cast<mm::DWORD_PTR>(&p)), 0U);
    timer.Wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(210));
    timer.Stop();
    // About ten regular ticks plus the woken one.
    EXPECT_GE(p.ticks.load(), 6);
    EXPECT_LE(p.ticks.load(), 13);
}

TEST(TimerWake, OneShotEventsAndUnknownIdsAreRefused) {
    Probe p;
    const mm::UINT id =
        mm::timeSetEvent(200, 1, probeTick, reinterpret_cast<mm::DWORD_PTR>(&p), mm::TIME_ONESHOT);
    ASSERT_NE(id, 0U);
    EXPECT_EQ(mm::timeWakeEvent(id), mm::MMSYSERR_INVALPARAM);
    mm::timeKillEvent(id);
    EXPECT_EQ(mm::timeWakeEvent(0xFFFFFFF0U), mm::MMSYSERR_INVALPARAM);
    ql5::midi::CDxMTimer idle;
    idle.Wake();  // nothing running: nothing happens
    EXPECT_EQ(p.ticks.load(), 0);
}

}  // namespace
