// The Windows build against the system itself: the WinMM driver lists what
// the system lists and refuses what it refuses without leaving anything
// behind, the virtual devices follow the system's ports, ql5 finds no unit
// where there is none, and the system's multimedia timer ticks every
// millisecond and stops when killed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "cli/options.hpp"
#include "cli/run.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/mmsystem.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "platform/mm/winmm_driver.hpp"

namespace {
namespace mm = ql5::mm;
// The core's codes, named before the system headers turn the names into macros.
constexpr mm::MMRESULT kOk = mm::MMSYSERR_NOERROR;
constexpr mm::MMRESULT kBadDevice = mm::MMSYSERR_BADDEVICEID;
constexpr mm::DWORD kNoCallback = mm::CALLBACK_NULL;
constexpr mm::UINT kPeriodic = mm::TIME_PERIODIC;
}  // namespace

#include <windows.h>

#include <mmsystem.h>  // after windows.h, which it needs

namespace {

using Clock = std::chrono::steady_clock;

class NullStream final : public mm::InputStream {
  public:
    void pushBytes(const std::uint8_t*, std::size_t) override { ++pushes; }
    void pushLongError() override { ++pushes; }
    std::atomic<int> pushes{0};
};

std::string slurp(std::FILE* f) {
    std::rewind(f);
    std::string s;
    char buf[1024];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        s.append(buf, n);
    }
    std::fclose(f);
    return s;
}

TEST(WinMmSystem, TheDefaultSetIsTheSystemsPortsThenTheVirtualOnes) {
    const auto list = mm::drivers();
    ASSERT_GE(list.size(), 2u);
    EXPECT_STREQ(list.front()->name(), "winmm");
    EXPECT_STREQ(list.back()->name(), "virtual");

    const auto winmm = mm::winmmDriver();
    ASSERT_EQ(winmm->inputCount(), ::midiInGetNumDevs());
    ASSERT_EQ(winmm->outputCount(), ::midiOutGetNumDevs());
    for (::UINT i = 0; i < ::midiInGetNumDevs(); ++i) {
        ::MIDIINCAPSA caps{};
        ASSERT_EQ(::midiInGetDevCapsA(i, &caps, sizeof caps), kOk);
        EXPECT_EQ(winmm->inputName(i), caps.szPname);
    }

    // A virtual device's ports come right after the system's.
    const mm::UINT systemInputs = ::midiInGetNumDevs();
    const mm::UINT systemOutputs = ::midiOutGetNumDevs();
    auto device = mm::virt::VirtualDevice::create("After In", "After Out");
    device->plug();
    ASSERT_EQ(mm::midiInGetNumDevs(), systemInputs + 1);
    ASSERT_EQ(mm::midiOutGetNumDevs(), systemOutputs + 1);
    mm::MIDIINCAPSA inCaps{};
    ASSERT_EQ(mm::midiInGetDevCapsA(systemInputs, &inCaps, sizeof inCaps), kOk);
    EXPECT_STREQ(inCaps.szPname, "After In");
    mm::MIDIOUTCAPSA outCaps{};
    ASSERT_EQ(mm::midiOutGetDevCapsA(systemOutputs, &outCaps, sizeof outCaps), kOk);
    EXPECT_STREQ(outCaps.szPname, "After Out");
    mm::HMIDIOUT out = nullptr;
    ASSERT_EQ(mm::midiOutOpen(&out, systemOutputs, 0, 0, kNoCallback), kOk);
    EXPECT_TRUE(device->hostOutputOpen());
    EXPECT_EQ(mm::midiOutClose(out), kOk);
    device->unplug();
}

TEST(WinMmSystem, OpensOfAMissingPortAreRefusedAndLeaveNothingBehind) {
    const auto winmm = mm::winmmDriver();
    const std::uint32_t pastInputs = ::midiInGetNumDevs();
    const std::uint32_t pastOutputs = ::midiOutGetNumDevs();
    ::DWORD handlesBefore = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &handlesBefore));
    for (int round = 0; round < 20; ++round) {
        NullStream stream;
        std::unique_ptr<mm::DriverInput> in;
        EXPECT_EQ(winmm->openInput(pastInputs, stream, in), kBadDevice);
        EXPECT_EQ(in, nullptr);
        std::unique_ptr<mm::DriverOutput> out;
        EXPECT_EQ(winmm->openOutput(pastOutputs, out), kBadDevice);
        EXPECT_EQ(out, nullptr);
    }
    ::DWORD handlesAfter = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &handlesAfter));
    EXPECT_EQ(handlesAfter, handlesBefore) << "an event or a thread of a refused open was kept";

    // Through the core, as the transport opens them: "no selection" too.
    mm::HMIDIIN in = reinterpret_cast<mm::HMIDIIN>(1);
    EXPECT_EQ(mm::midiInOpen(&in, mm::midiInGetNumDevs(), 0, 0, kNoCallback), kBadDevice);
    EXPECT_EQ(in, nullptr);
    mm::HMIDIOUT out = reinterpret_cast<mm::HMIDIOUT>(1);
    EXPECT_EQ(mm::midiOutOpen(&out, 0xFFFFFFFFu, 0, 0, kNoCallback), kBadDevice);
    EXPECT_EQ(out, nullptr);
}

TEST(WinMmSystem, WithoutPortsQl5FindsNoUnit) {
    if (::midiInGetNumDevs() + ::midiOutGetNumDevs() != 0) {
        GTEST_SKIP() << "this system has MIDI ports";
    }
    _putenv_s("QL5_TIMING", "test");
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ASSERT_EQ(ql5::cli::run({"ports"}, out, err), ql5::cli::kExitOk);
    // Nothing listed, and the reason said on standard error.
    EXPECT_EQ(slurp(out), "");
    EXPECT_NE(slurp(err).find("no MIDI device was found"), std::string::npos);
    for (const char* command : {"version", "update"}) {
        out = std::tmpfile();
        err = std::tmpfile();
        EXPECT_EQ(ql5::cli::run({command}, out, err), ql5::cli::kExitNoUnit) << command;
        EXPECT_EQ(slurp(out), "") << command;
        EXPECT_EQ(slurp(err), "ql5: no MIDI output port of a Tarvik QL-5 was found\n") << command;
    }
}

struct TickCount {
    std::atomic<int> ticks{0};
    std::atomic<bool> started{false};
    std::atomic<bool> inside{false};
    int sleepMs = 0;
};

void countTick(mm::UINT, mm::UINT, mm::DWORD_PTR user, mm::DWORD_PTR, mm::DWORD_PTR) {
    auto* t = reinterpret_cast<TickCount*>(user);
    t->started = true;
    t->inside = true;
    if (t->sleepMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(t->sleepMs));
    }
    t->ticks.fetch_add(1);
    t->inside = false;
}

TEST(WinMmTimer, OneMillisecondEventTicksAndStopsWhenKilled) {
    ASSERT_EQ(mm::timeBeginPeriod(1), kOk);
    TickCount t;
    const auto start = Clock::now();
    const mm::UINT id =
        mm::timeSetEvent(1, 1, &countTick, reinterpret_cast<mm::DWORD_PTR>(&t), kPeriodic);
    ASSERT_NE(id, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(mm::timeKillEvent(id), kOk);
    const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const int ticks = t.ticks.load();
    // About one tick a millisecond: a generous lower bound on a busy machine,
    // and never more ticks than milliseconds (no bursts).
    EXPECT_GE(ticks, ran.count() / 3) << "in " << ran.count() << " ms";
    EXPECT_LE(ticks, ran.count() + 2) << "in " << ran.count() << " ms";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(t.ticks.load(), ticks) << "ticks after the kill returned";
    EXPECT_EQ(mm::timeEndPeriod(1), kOk);
}

TEST(WinMmTimer, KillWaitsForTheRunningTick) {
    TickCount t;
    t.sleepMs = 100;
    const mm::UINT id =
        mm::timeSetEvent(1, 1, &countTick, reinterpret_cast<mm::DWORD_PTR>(&t), kPeriodic);
    ASSERT_NE(id, 0u);
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (!t.started.load() && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(t.started.load());
    // Ticks of 100 ms on a 1 ms period run back to back: one is running now.
    ASSERT_EQ(mm::timeKillEvent(id), kOk);
    EXPECT_FALSE(t.inside.load()) << "the kill returned while a tick was running";
    const int ticks = t.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(t.ticks.load(), ticks);
}

}  // namespace
