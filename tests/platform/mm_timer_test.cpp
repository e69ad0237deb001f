#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/mm/mmsystem.hpp"
#include "platform/mm/timer_hooks.hpp"

namespace {

namespace mm = ql5::mm;
using Clock = std::chrono::steady_clock;

struct Ticks {
    std::atomic<int> count{0};
    std::atomic<bool> killed{false};
    std::atomic<bool> after{false};
    mm::UINT selfKillAt = 0;
    std::atomic<mm::MMRESULT> selfKillResult{999};
    Clock::time_point first{};
    Clock::time_point last{};
};

void tick(mm::UINT id, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* t = reinterpret_cast<Ticks*>(user);
    if (t->killed.load()) {
        t->after = true;
    }
    const int n = t->count.fetch_add(1) + 1;
    if (n == 1) {
        t->first = Clock::now();
    }
    t->last = Clock::now();
    if (t->selfKillAt != 0 && static_cast<mm::UINT>(n) == t->selfKillAt) {
        t->selfKillResult = mm::timeKillEvent(id);
    }
}

template <typename Pred>
bool waitFor(Pred pred, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(MmTimerTest, CapsAndPeriodPairing) {
    mm::TIMECAPS caps{};
    ASSERT_EQ(mm::timeGetDevCaps(&caps, sizeof caps), mm::TIMERR_NOERROR);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_EQ(caps.wPeriodMax, 1000000u);
    EXPECT_EQ(mm::timeGetDevCaps(nullptr, sizeof caps), mm::TIMERR_NOCANDO);
    const auto balance = mm::timerPeriodBalance();
    EXPECT_EQ(mm::timeBeginPeriod(0), mm::TIMERR_NOCANDO);
    ASSERT_EQ(mm::timeBeginPeriod(1), mm::TIMERR_NOERROR);
    EXPECT_EQ(mm::timerPeriodBalance(), balance + 1);
    ASSERT_EQ(mm::timeEndPeriod(1), mm::TIMERR_NOERROR);
    EXPECT_EQ(mm::timerPeriodBalance(), balance);
}

TEST(MmTimerTest, PeriodicTicksKeepTheirScheduleWithoutDrift) {
    Ticks t;
    const mm::UINT id = mm::timeSetEvent(2, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t),
                                         mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return t.count.load() >= 101; }));
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
    // Ticks 1 to 101 are 100 periods apart: with absolute deadlines the span
    // does not grow by the wake-up latency of every tick.
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(t.last - t.first);
    const int ticks = t.count.load();
    EXPECT_GE(span.count(), 2 * (ticks - 1) - 2);
    EXPECT_LT(span.count(), 2 * (ticks - 1) + 150);
}

TEST(MmTimerTest, OneShotTicksOnceAndFreesItself) {
    Ticks t;
    const mm::UINT id = mm::timeSetEvent(3, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t),
                                         mm::TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return t.count.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.count.load(), 1);
    ASSERT_TRUE(waitFor([&] { return mm::timeKillEvent(id) == mm::MMSYSERR_INVALPARAM; }));
}

TEST(MmTimerTest, NoTickStartsAfterKillReturns) {
    for (int round = 0; round < 30; ++round) {
        Ticks t;
        const mm::UINT id = mm::timeSetEvent(1, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t),
                                             mm::TIME_PERIODIC);
        ASSERT_NE(id, 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
        ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
        t.killed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        EXPECT_FALSE(t.after.load());
        EXPECT_EQ(mm::timeKillEvent(id), mm::MMSYSERR_INVALPARAM);
    }
}

TEST(MmTimerTest, KillFromTheEventsOwnTickReturnsAtOnce) {
    Ticks t;
    t.selfKillAt = 4;
    const mm::UINT id = mm::timeSetEvent(1, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t),
                                         mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return t.selfKillResult.load() == mm::TIMERR_NOERROR; }));
    // The tick that killed its event still returns after that; its last
    // store to `t` is selfKillResult, so nothing touches `t` after this.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.count.load(), 4);
}

TEST(MmTimerTest, RefusedAndInvalidEvents) {
    Ticks t;
    const auto user = reinterpret_cast<mm::DWORD_PTR>(&t);
    EXPECT_EQ(mm::timeSetEvent(1, 1, nullptr, user, mm::TIME_PERIODIC), 0u);
    EXPECT_EQ(mm::timeSetEvent(0, 1, &tick, user, mm::TIME_PERIODIC), 0u);
    EXPECT_EQ(mm::timeSetEvent(1, 1, &tick, user, 0x100), 0u);
    mm::setTimeSetEventRefused(true);
    EXPECT_EQ(mm::timeSetEvent(1, 1, &tick, user, mm::TIME_PERIODIC), 0u);
    mm::setTimeSetEventRefused(false);
    EXPECT_EQ(mm::timeKillEvent(0), mm::MMSYSERR_INVALPARAM);
    EXPECT_EQ(t.count.load(), 0);
}

}  // namespace
