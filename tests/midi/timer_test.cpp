#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "midi/CDxMTimer.hpp"
#include "platform/mm/timer_hooks.hpp"

namespace {

using ql5::midi::CDxMTimer;
namespace mm = ql5::mm;

class CountingTimer : public CDxMTimer {
  public:
    ~CountingTimer() override { Stop(); }  // before this part is gone
    void OnTimerTick() override { ticks.fetch_add(1); }
    std::atomic<int> ticks{0};
};

template <typename Pred>
bool waitFor(Pred pred, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(TimerTest, CapsFilledAtConstruction) {
    CDxMTimer timer;
    EXPECT_EQ(timer.caps().wPeriodMin, 1u);
    EXPECT_EQ(timer.caps().wPeriodMax, 1000000u);
    EXPECT_EQ(timer.timerId(), 0u);
}

TEST(TimerTest, NeverStartedTimerCallsNothing) {
    const mm::TimerStats before = mm::timerStats();
    { CDxMTimer timer; }
    const mm::TimerStats after = mm::timerStats();
    EXPECT_EQ(after.killEvent, before.killEvent);
    EXPECT_EQ(after.endPeriod, before.endPeriod);
    EXPECT_EQ(after.beginPeriod, before.beginPeriod);
}

TEST(TimerTest, StopOnIdleReturnsOneAndTwiceIsHarmless) {
    const mm::TimerStats before = mm::timerStats();
    CDxMTimer timer;
    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_EQ(mm::timerStats().endPeriod, before.endPeriod);
}

TEST(TimerTest, BeginAndEndPeriodStayPairedAcrossSequences) {
    const std::int64_t balance = mm::timerPeriodBalance();
    const mm::TimerStats before = mm::timerStats();
    {
        CountingTimer timer;
        EXPECT_NE(timer.Start(1), 0u);
        EXPECT_EQ(mm::timerPeriodBalance(), balance + 1);
        EXPECT_NE(timer.Start(1), 0u);  // restart: old event and period ended first
        EXPECT_EQ(mm::timerPeriodBalance(), balance + 1);
        EXPECT_EQ(timer.Stop(), 1);
        EXPECT_EQ(timer.Stop(), 1);
        EXPECT_EQ(mm::timerPeriodBalance(), balance);
        EXPECT_NE(timer.Start(2), 0u);
    }  // destruction stops the last one
    const mm::TimerStats after = mm::timerStats();
    EXPECT_EQ(mm::timerPeriodBalance(), balance);
    EXPECT_EQ(after.beginPeriod - before.beginPeriod, 3u);
    EXPECT_EQ(after.endPeriod - before.endPeriod, 3u);
    EXPECT_EQ(after.killEvent - before.killEvent, 3u);
}

TEST(TimerTest, RefusedEventEndsItsPeriodAgain) {
    const std::int64_t balance = mm::timerPeriodBalance();
    CDxMTimer timer;
    mm::setTimeSetEventRefused(true);
    EXPECT_EQ(timer.Start(1), 0u);
    mm::setTimeSetEventRefused(false);
    EXPECT_EQ(timer.timerId(), 0u);
    EXPECT_EQ(mm::timerPeriodBalance(), balance);
    EXPECT_EQ(timer.Stop(), 1);
    EXPECT_EQ(mm::timerPeriodBalance(), balance);
}

TEST(TimerTest, WithoutCallbackTicksGoToOnTimerTick) {
    CountingTimer timer;
    ASSERT_NE(timer.Start(1), 0u);
    EXPECT_TRUE(waitFor([&] { return timer.ticks.load() >= 10; }));
    timer.Stop();
}

TEST(TimerTest, BaseTimerTicksHaveNoEffect) {
    CDxMTimer timer;
    ASSERT_NE(timer.Start(1), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(timer.Stop(), 1);
}

struct TickProbe {
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> tickAfterStop{false};
    CDxMTimer* timer = nullptr;
    int stopAt = -1;
    std::atomic<int> stopReturned{0};
};

void probeTick(mm::UINT, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* probe = reinterpret_cast<TickProbe*>(user);
    if (probe->stopped.load()) {
        probe->tickAfterStop = true;
    }
    if (probe->inTick.exchange(true)) {
        probe->overlapped = true;
    }
    const int n = probe->ticks.fetch_add(1) + 1;
    if (n == probe->stopAt) {
        probe->stopReturned = probe->timer->Stop();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    probe->inTick = false;
}

TEST(TimerTest, CallbackGetsUserValueAndTicksNeverOverlap) {
    TickProbe probe;
    CDxMTimer timer;
    ASSERT_NE(timer.Start(1, &probeTick, reinterpret_cast<mm::DWORD_PTR>(&probe)), 0u);
    EXPECT_TRUE(waitFor([&] { return probe.ticks.load() >= 20; }));
    timer.Stop();
    EXPECT_FALSE(probe.overlapped.load());
}

TEST(TimerTest, NoTickRunsOrStartsAfterStopReturns) {
    for (int round = 0; round < 20; ++round) {
        TickProbe probe;
        CDxMTimer timer;
        ASSERT_NE(timer.Start(1, &probeTick, reinterpret_cast<mm::DWORD_PTR>(&probe)), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + round % 4));
        timer.Stop();
        EXPECT_FALSE(probe.inTick.load());
        probe.stopped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(probe.tickAfterStop.load()) << "round " << round;
    }
}

TEST(TimerTest, StopFromInsideATickReturnsAndEndsTheTimer) {
    const std::int64_t balance = mm::timerPeriodBalance();
    TickProbe probe;
    CDxMTimer timer;
    probe.timer = &timer;
    probe.stopAt = 3;
    ASSERT_NE(timer.Start(1, &probeTick, reinterpret_cast<mm::DWORD_PTR>(&probe)), 0u);
    ASSERT_TRUE(waitFor([&] { return probe.stopReturned.load() == 1; }));
    // The stopping tick still finishes after Stop returned inside it.
    ASSERT_TRUE(waitFor([&] { return !probe.inTick.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(probe.ticks.load(), 3);
    EXPECT_EQ(timer.timerId(), 0u);
    EXPECT_EQ(mm::timerPeriodBalance(), balance);
    EXPECT_TRUE(waitFor([&] { return mm::timerStats().liveEvents == 0; }));
}

}  // namespace
