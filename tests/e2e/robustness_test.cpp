// Whole updates against the virtual unit when the line or the user does what
// the happy path does not: a broken message on the input, a reply that is not
// an identity, a window closed during one of the sequence's pauses.
#include <chrono>
#include <functional>
#include <thread>

#include "e2e_fixture.hpp"

namespace ql5::testing {
namespace {

using emulator::RequestKind;
using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class RobustnessTest : public EngineOnUnit {};

// The platform reports a broken message (MIM_LONGERROR, what the ALSA driver
// raises on an input overrun) in place of the reply to block 5: the block is
// sent again after its time-out, and every later reply still gets through.
TEST_F(RobustnessTest, ALongErrorCostsOneBlockResendNotTheUpdate) {
    startWith({}, "write#5:longerror");
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty()) << window.errors().front();
    EXPECT_EQ(window.callsStartingWith("status:Version update completed.").size(), 1U);
    expectFlashHoldsTheImages();
    EXPECT_EQ(unit->counters().of(RequestKind::Write), 3814U + 1U);
}

// A result message with code 0 ends the identity wait as an identity reply
// would. Identification must not then accept the identity an earlier check
// left behind: whatever answered did not say who it is.
TEST_F(RobustnessTest, OnlyAnIdentityReplyToThisRequestIdentifiesTheUnit) {
    startWith({}, "identity#2:code=0");
    engine::versionCheckWorker(st);  // a good check first: deviceId is the unit's
    ASSERT_TRUE(window.errors().empty());
    ASSERT_TRUE(openUnitPorts(st));  // the check closed them
    st.busy.store(1);
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Illegal device connected."});
    EXPECT_EQ(unit->counters().of(RequestKind::Begin), 0U) << "nothing after identification";
    EXPECT_EQ(st.busy.load(), 0);
}

// Closing the window during one of the sequence's pauses ends the pause at
// once, as it ends the reply waits. Each pause is made a minute long; the
// case shows that the worker is inside it before the window closes.
struct PauseCase {
    const char* name;
    const char* faults;
    std::function<void(sync::Timing&)> lengthen;
    // True once the worker is inside the pause.
    std::function<bool(emulator::VirtualUnit&, RecorderWindow&)> inPause;
};

void PrintTo(const PauseCase& c, std::ostream* os) { *os << c.name; }

class CloseDuringPauseTest : public EngineOnUnit,
                             public ::testing::WithParamInterface<PauseCase> {};

TEST_P(CloseDuringPauseTest, EndsThePauseAtOnce) {
    const PauseCase& c = GetParam();
    emulator::UnitConfig cfg;
    cfg.unplugAfterFinishMs = 60000;
    startWith(cfg, c.faults);
    c.lengthen(st.timing);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        engine::updateWorker(st);
        returned.store(true);
    });
    ASSERT_TRUE(waitUntil([&] { return c.inPause(*unit, window); }, std::chrono::seconds(60)));
    // Still inside a moment later: the pause happens.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(c.inPause(*unit, window));
    EXPECT_FALSE(returned.load());

    const auto closed = Clock::now();
    engine::abortForClose(st);
    const bool ended = waitUntil([&] { return returned.load(); }, std::chrono::seconds(5));
    const auto took = Clock::now() - closed;
    worker.join();
    EXPECT_TRUE(ended);
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_TRUE(window.errors().empty());
    EXPECT_TRUE(window.callsStartingWith("status:Version update completed.").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Pauses, CloseDuringPauseTest,
    ::testing::Values(
        PauseCase{"AfterBeginUpdate", "", [](sync::Timing& t) { t.beginPauseMs = 60000; },
                  [](emulator::VirtualUnit& u, RecorderWindow&) {
                      const emulator::Counters n = u.counters();
                      return n.of(RequestKind::Begin) == 1 &&
                             n.of(RequestKind::Any) == n.of(RequestKind::Identity) + 1;
                  }},
        PauseCase{"BetweenUnplugPolls", "", [](sync::Timing& t) { t.unplugPollMs = 60000; },
                  [](emulator::VirtualUnit&, RecorderWindow& w) {
                      return !w.callsStartingWith(
                                   "status:PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER.")
                                  .empty() &&
                             w.discoverCalls() == 0;
                  }},
        PauseCase{"SettlingAfterATimeOut", "write#2:drop",
                  [](sync::Timing& t) { t.resendPauseMs = 60000; },
                  [](emulator::VirtualUnit& u, RecorderWindow&) {
                      // The dropped block went out once; its resend waits.
                      return u.counters().of(RequestKind::Write) == 2;
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ql5::testing
