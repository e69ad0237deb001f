#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/mm/mmsystem.hpp"
#include "platform/mm/tick_grid.hpp"
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

TEST(MmTimerTest, PeriodicTicksNeverComeBeforeTheirPlaceOnTheGrid) {
    Ticks t;
    const auto start = Clock::now();
    const mm::UINT id =
        mm::timeSetEvent(2, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t), mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return t.count.load() >= 101; }));
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
    // Tick n is due n periods after the event was set, never earlier. How
    // late it comes is the scheduler's (the transport benchmark measures it).
    const int ticks = t.count.load();
    const auto lastAt = std::chrono::duration_cast<std::chrono::milliseconds>(t.last - start);
    EXPECT_GE(lastAt.count(), 2 * ticks);
}

// The grid itself, with no scheduler in the way: a late wake-up does not push
// the later ticks back, and an overrun brings one tick at once, not a burst.
TEST(MmTimerTest, NextDeadlineKeepsTheGrid) {
    using ms = std::chrono::milliseconds;
    struct Case {
        int deadline, now, expected;
    } cases[] = {
        {10, 10, 12},  // on time: one period on
        {10, 11, 12},  // woken 1 ms late: the next tick keeps its place
        {10, 12, 12},  // woken a whole period late: the next is due now
        {10, 21, 20},  // a tick that ran 5.5 periods: one tick at once (20), then 22, ...
        {10, 30, 30},
    };
    for (const Case& c : cases) {
        const Clock::time_point origin{};
        const Clock::time_point next =
            mm::nextTickDeadline(origin + ms(c.deadline), origin + ms(c.now), ms(2));
        EXPECT_EQ(std::chrono::duration_cast<ms>(next - origin).count(), c.expected)
            << "deadline " << c.deadline << ", now " << c.now;
    }
}

TEST(MmTimerTest, OneShotTicksOnceAndFreesItself) {
    Ticks t;
    const mm::UINT id =
        mm::timeSetEvent(3, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t), mm::TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return t.count.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.count.load(), 1);
    ASSERT_TRUE(waitFor([&] { return mm::timeKillEvent(id) == mm::MMSYSERR_INVALPARAM; }));
}

TEST(MmTimerTest, NoTickStartsAfterKillReturns) {
    for (int round = 0; round < 30; ++round) {
        Ticks t;
        const mm::UINT id =
            mm::timeSetEvent(1, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t), mm::TIME_PERIODIC);
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
    const mm::UINT id =
        mm::timeSetEvent(1, 1, &tick, reinterpret_cast<mm::DWORD_PTR>(&t), mm::TIME_PERIODIC);
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

namespace {

struct GridTicks {
    std::mutex mutex;
    std::vector<Clock::time_point> times;
    int overrunAt = 3;
    std::chrono::milliseconds overrun{15};
};

void gridTick(mm::UINT, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* t = reinterpret_cast<GridTicks*>(user);
    std::size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->times.push_back(Clock::now());
        n = t->times.size();
    }
    if (n == static_cast<std::size_t>(t->overrunAt)) {
        std::this_thread::sleep_for(t->overrun);
    }
}

TEST(MmTimerTest, AfterAnOverrunTicksReturnToTheirGrid) {
    GridTicks t;
    const auto start = Clock::now();
    const mm::UINT id =
        mm::timeSetEvent(10, 1, &gridTick, reinterpret_cast<mm::DWORD_PTR>(&t), mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(t.mutex);
        return t.times.size() >= 14;
    }));
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
    // Tick 3 took 15 ms: tick 4 follows at once (at ~45 ms), then the ticks
    // land on multiples of 10 ms again instead of 5 ms off them.
    std::vector<double> residuals;
    for (std::size_t i = 4; i < t.times.size(); ++i) {
        const double ms = std::chrono::duration<double, std::milli>(t.times[i] - start).count();
        residuals.push_back(ms - 10.0 * static_cast<int>(ms / 10.0));
    }
    std::sort(residuals.begin(), residuals.end());
    EXPECT_LT(residuals[residuals.size() / 2], 3.0);
}

void countTick(mm::UINT, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* t = reinterpret_cast<Ticks*>(user);
    if (t->count.load() == 0) {
        t->first = Clock::now();  // published by the count below
    }
    t->count.fetch_add(1);
}

TEST(MmTimerTest, WakeRunsTheNextTickAtOnce) {
    Ticks t;
    const mm::UINT id = mm::timeSetEvent(1000, 1, &countTick, reinterpret_cast<mm::DWORD_PTR>(&t),
                                         mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.count.load(), 0);
    const auto woke = Clock::now();
    ASSERT_EQ(mm::timeWakeEvent(id), mm::TIMERR_NOERROR);
    ASSERT_TRUE(waitFor([&] { return t.count.load() == 1; }, 5000));
    EXPECT_LT(t.first - woke, std::chrono::milliseconds(200));
    // Wakes that come before the tick starts give one tick, not one each.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
    EXPECT_EQ(mm::timeWakeEvent(id), mm::MMSYSERR_INVALPARAM);
    EXPECT_EQ(t.count.load(), 1);
}

TEST(MmTimerTest, WakeIsRefusedForOneShotAndUnknownEvents) {
    Ticks t;
    EXPECT_EQ(mm::timeWakeEvent(0), mm::MMSYSERR_INVALPARAM);
    const mm::UINT id =
        mm::timeSetEvent(500, 1, &countTick, reinterpret_cast<mm::DWORD_PTR>(&t), mm::TIME_ONESHOT);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(mm::timeWakeEvent(id), mm::MMSYSERR_INVALPARAM);
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
    EXPECT_EQ(t.count.load(), 0);
}

struct ParkingTicks {
    std::atomic<int> count{0};
    std::atomic<bool> parkSelf{true};  // changed by the test while ticks run
    std::atomic<bool> wakeThenPark{false};
};

void parkingTick(mm::UINT id, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* t = reinterpret_cast<ParkingTicks*>(user);
    t->count.fetch_add(1);
    if (t->wakeThenPark.exchange(false)) {
        // Within a tick nothing can take the wake before the park comes.
        mm::timeWakeEvent(id);
        mm::timeParkEvent(id);
        return;
    }
    if (t->parkSelf.load()) {
        mm::timeParkEvent(id);
    }
}

// A parked event runs no tick until it is woken; each wake gives one tick
// (the tick parks again), a wake that comes before the park is not lost, and
// a parked event can still be killed. Unparked, the period resumes.
TEST(MmTimerTest, ParkedEventTicksOnlyWhenWoken) {
    ParkingTicks t;
    const mm::UINT id = mm::timeSetEvent(1, 1, &parkingTick, reinterpret_cast<mm::DWORD_PTR>(&t),
                                         mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(waitFor([&] { return t.count.load() == 1; }, 5000));
    // Parked, nothing calls at all: on Windows the system's 1 ms carrier
    // stops (a hundred calls after the park) rather than calling a
    // thousand times a second for nothing. A running carrier never keeps
    // still for 20 ms, however late a loaded machine runs it.
    std::uint64_t calls = mm::timerStats().systemCalls;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::uint64_t now = mm::timerStats().systemCalls;
        if (now == calls) break;
        calls = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(t.count.load(), 1) << "a parked 1 ms event ticked without a wake";
    EXPECT_EQ(mm::timerStats().systemCalls, calls) << "the system's timer still runs while parked";
    for (int wakes = 2; wakes <= 4; ++wakes) {
        ASSERT_EQ(mm::timeWakeEvent(id), mm::TIMERR_NOERROR);
        ASSERT_TRUE(waitFor([&] { return t.count.load() == wakes; }, 5000));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.count.load(), 4);
    // A wake pending when the park comes: the next tick follows at once
    // (tick 5 wakes and parks, tick 6 comes by itself and parks again).
    t.wakeThenPark.store(true);
    ASSERT_EQ(mm::timeWakeEvent(id), mm::TIMERR_NOERROR);
    ASSERT_TRUE(waitFor([&] { return t.count.load() == 6; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(t.count.load(), 6);
    // No longer parking itself: one wake, then a tick every millisecond.
    t.parkSelf.store(false);
    ASSERT_EQ(mm::timeWakeEvent(id), mm::TIMERR_NOERROR);
    ASSERT_TRUE(waitFor([&] { return t.count.load() >= 26; }, 2000));
    ASSERT_EQ(mm::timeParkEvent(id), mm::TIMERR_NOERROR);
    // A tick already under way when the park came may still end; none starts
    // after it, however late a loaded machine runs the timer thread.
    const int atPark = t.count.load();
    int parkedAt = atPark;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (t.count.load() == parkedAt) break;
        parkedAt = t.count.load();
    }
    EXPECT_LE(parkedAt, atPark + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(t.count.load(), parkedAt);
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);  // returns although parked
    EXPECT_EQ(mm::timeParkEvent(id), mm::MMSYSERR_INVALPARAM);
    Ticks onceTicks;
    const mm::UINT once = mm::timeSetEvent(
        500, 1, &countTick, reinterpret_cast<mm::DWORD_PTR>(&onceTicks), mm::TIME_ONESHOT);
    ASSERT_NE(once, 0u);
    EXPECT_EQ(mm::timeParkEvent(once), mm::MMSYSERR_INVALPARAM);
    ASSERT_EQ(mm::timeKillEvent(once), mm::TIMERR_NOERROR);
}

struct OverlapProbe {
    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};
    std::atomic<int> count{0};
};

void slowTick(mm::UINT, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* p = reinterpret_cast<OverlapProbe*>(user);
    if (p->inside.exchange(true)) {
        p->overlapped = true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    p->count.fetch_add(1);
    p->inside = false;
}

TEST(MmTimerTest, WakesFromOtherThreadsNeverMakeTicksOverlap) {
    OverlapProbe p;
    const mm::UINT id =
        mm::timeSetEvent(1, 1, &slowTick, reinterpret_cast<mm::DWORD_PTR>(&p), mm::TIME_PERIODIC);
    ASSERT_NE(id, 0u);
    auto waker = [&] {
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (p.count.load() < 100 && Clock::now() < end) {
            mm::timeWakeEvent(id);
        }
    };
    std::thread a(waker);
    std::thread b(waker);
    a.join();
    b.join();
    ASSERT_EQ(mm::timeKillEvent(id), mm::TIMERR_NOERROR);
    EXPECT_FALSE(p.overlapped.load());
    EXPECT_GE(p.count.load(), 100);
}

}  // namespace
