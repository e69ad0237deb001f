// Whole updates against the virtual unit, and every way one can end.
#include <algorithm>
#include <thread>

#include "e2e_fixture.hpp"

namespace ql5::testing {
namespace {

using emulator::RequestKind;

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

std::size_t indexOf(const std::vector<std::string>& v, const std::string& s, std::size_t from = 0) {
    for (std::size_t i = from; i < v.size(); ++i) {
        if (v[i] == s) {
            return i;
        }
    }
    return v.size();
}

class UpdateTest : public EngineOnUnit {};

TEST_F(UpdateTest, WholeUpdateWritesEveryImageAndNothingElse) {
    startWith();
    engine::updateWorker(st);

    expectFlashHoldsTheImages();
    EXPECT_FALSE(unit->touchedOutsideRegions());
    EXPECT_FALSE(unit->touched(engine::kRegionBoot.start, engine::kRegionBoot.size));
    EXPECT_FALSE(unit->touched(0x111000, 0x1CB000 - 0x111000));
    EXPECT_TRUE(unit->writesOverUnerased().empty());
    const emulator::Stamps stamps = unit->stamps();
    EXPECT_EQ(stamps.system, "1.20");
    EXPECT_EQ(stamps.preset, "1.00");
    EXPECT_EQ(stamps.boot, "0.90");  // BOOT is never written

    const std::vector<std::string> calls = window.calls();
    EXPECT_TRUE(window.errors().empty());
    // Identification and the begin-update exchange under 0/8.
    ASSERT_GE(calls.size(), 4U);
    EXPECT_EQ(calls[0], "step:0/8");
    EXPECT_EQ(calls[1], "status:Erasing Flash memory.");
    EXPECT_EQ(calls[2], "status:");
    EXPECT_EQ(calls[3], "step:1/8");
    // The steps in order, each erase with its 0..10 range.
    std::size_t at = 0;
    for (int k = 1; k <= 8; ++k) {
        at = indexOf(calls, "step:" + std::to_string(k) + "/8", at);
        ASSERT_LT(at, calls.size()) << "step " << k;
        const engine::FlashPlanRow& row = engine::FlashPlan[static_cast<std::size_t>(k - 1)];
        if (row.operation == engine::kOperationErase) {
            EXPECT_EQ(calls[at + 1], "range:0..10");
            EXPECT_EQ(calls[at + 2], "status:Erasing Flash memory.");
        } else {
            const std::int32_t len = engine::loadImage(row.resourceId).length;
            EXPECT_EQ(calls[at + 1], "range:0.." + std::to_string(len));
            EXPECT_EQ(calls[at + 2], "status:Data transmit  0 / " + std::to_string(len) + " ");
        }
    }
    EXPECT_TRUE(contains(calls, "status:Data transmit  0 / 562108 "));
    // The last block of image 129 is named by its offset.
    EXPECT_TRUE(contains(calls, "status:Data transmit  561152 / 562108 "));
    const std::size_t unplug =
        indexOf(calls, "status:PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER.");
    ASSERT_LT(unplug, calls.size());
    ASSERT_GE(calls.size(), unplug + 5);
    EXPECT_EQ(calls[unplug + 1], "discover");
    EXPECT_EQ(calls[calls.size() - 3], "status:Version update completed.");
    EXPECT_EQ(calls[calls.size() - 2], "restore");
    EXPECT_EQ(calls[calls.size() - 1], "enable:0");
    EXPECT_EQ(st.busy.load(), 0);
    EXPECT_EQ(window.lastPos(), 4096);  // image 139, the last write

    const emulator::Counters c = unit->counters();
    EXPECT_EQ(c.of(RequestKind::Identity), 1U);
    EXPECT_EQ(c.of(RequestKind::Begin), 1U);
    EXPECT_EQ(c.of(RequestKind::Erase), 4U);
    EXPECT_EQ(c.of(RequestKind::Write), 38U + 138U + 3637U + 1U);
    EXPECT_EQ(c.of(RequestKind::Finish), 1U);
    EXPECT_EQ(c.of(RequestKind::Read), 0U) << "a clean run reads nothing back";
}

TEST_F(UpdateTest, UnitStillPluggedKeepsTheWorkerPolling) {
    emulator::UnitConfig cfg;
    cfg.unplugAfterFinishMs = 300;
    startWith(cfg);
    engine::updateWorker(st);
    EXPECT_GE(window.discoverCalls(), 3) << "polled while the unit stayed connected";
    EXPECT_EQ(window.calls().back(), "enable:0");
}

// ---- identification ----

TEST_F(UpdateTest, NothingAnswersTheIdentityRequest) {
    startWith({}, "identity#*:ignore");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(1)"});
    EXPECT_EQ(window.calls().back(), "restore");
    EXPECT_EQ(unit->counters().of(RequestKind::Any), 1U);
}

TEST_F(UpdateTest, OutputPortRefusingTheSend) {
    startWith();
    unit->device()->refuseSend(true);
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Can't open MIDI Out device."});
    EXPECT_EQ(window.calls().back(), "restore");
}

TEST_F(UpdateTest, WrongModelIsRejectedAndItsIdentityKept) {
    emulator::UnitConfig cfg;
    cfg.identity = {0x6E, 0x00, 0x11, 0x00};
    startWith(cfg);
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Illegal device connected."});
    EXPECT_EQ(engine::deviceIdCopy(st), cfg.identity);
    EXPECT_EQ(unit->counters().of(RequestKind::Any), 1U) << "nothing after the identity request";
}

TEST_F(UpdateTest, ErrorCodeInsteadOfAnIdentityReply) {
    startWith({}, "identity#1:code=3");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Illegal device connected."});
}

// ---- begin update ----

TEST_F(UpdateTest, UnitNotInItsUpdateMode) {
    emulator::UnitConfig cfg;
    cfg.updateMode = false;
    startWith(cfg);
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(),
              std::vector<std::string>{"error:Please use the firmware update mode."});
    const std::vector<std::string> calls = window.calls();
    EXPECT_EQ(calls[calls.size() - 3], "status:") << "the status line is empty behind the box";
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 0U);
}

TEST_F(UpdateTest, BeginUpdateTimesOut) {
    startWith({}, "begin#1:drop");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(1)"});
    const std::vector<std::string> status = window.callsStartingWith("status:");
    EXPECT_EQ(status.back(), "status:Erasing Flash memory.");
}

TEST_F(UpdateTest, BeginUpdateFailureCode) {
    startWith({}, "begin#1:code=9");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 0U);
}

// ---- erase ----

TEST_F(UpdateTest, EraseSucceedsAfterSixErrorReplies) {
    // Only the first row matters here; stop after it by losing the second.
    startWith({}, "erase#1-6:code=2; erase#8:ignore");
    engine::updateWorker(st);
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 8U);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(3)"})
        << "row 1 succeeded on its seventh command; row 2 then timed out";
}

TEST_F(UpdateTest, SeventhEraseErrorEndsTheUpdate) {
    startWith({}, "erase#1-7:code=2");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 7U);
    EXPECT_EQ(unit->counters().of(RequestKind::Finish), 0U);
    EXPECT_EQ(window.calls().back(), "restore");
}

TEST_F(UpdateTest, EraseTimeOutIsNeverRetried) {
    startWith({}, "erase#1:drop");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(3)"});
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 1U);
    EXPECT_EQ(unit->counters().of(RequestKind::Finish), 0U);
}

// ---- write ----

TEST_F(UpdateTest, ThirtyTwoLostRepliesEndTheWrite) {
    startWith({}, "write#1-32:drop");
    st.timing.writeTimeoutMs = 60;
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(2)"});
    EXPECT_EQ(unit->counters().of(RequestKind::Write), 32U);
    EXPECT_EQ(unit->counters().of(RequestKind::Finish), 0U);
    EXPECT_EQ(window.calls().back(), "restore");
}

TEST_F(UpdateTest, TwentyTimeOutsThenTwelveErrorsEndWithTransferError) {
    startWith({}, "write#1-20:drop; write#21-32:code=2");
    st.timing.writeTimeoutMs = 60;
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    EXPECT_EQ(unit->counters().of(RequestKind::Write), 32U);
}

TEST_F(UpdateTest, ThirtyOneLostRepliesThenAcceptedGoesThrough) {
    startWith({}, "write#1-31:drop");
    st.timing.writeTimeoutMs = 60;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    EXPECT_EQ(window.calls().back(), "enable:0");
    expectFlashHoldsTheImages();
    EXPECT_GT(unit->counters().of(RequestKind::Read), 0U) << "time-outs make the run verify";
}

TEST_F(UpdateTest, CountResetsAfterAnAcceptedBlock) {
    // 31 failures on block 1, accepted, then 31 more on block 2: both pass.
    startWith({}, "write#1-31:code=2; write#33-63:code=2");
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
}

// ---- finish ----

TEST_F(UpdateTest, FinishTimeOutIsATransferError) {
    startWith({}, "finish#1:drop");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    EXPECT_EQ(window.callsStartingWith("status:PLEASE").size(), 0U);
}

TEST_F(UpdateTest, FinishWithAFailureCodeIsStillAcknowledged) {
    // The unit refuses to finish and so stays connected: the worker keeps
    // asking to unplug it until the user does.
    startWith({}, "finish#1:code=9");
    std::thread worker([&] { engine::updateWorker(st); });
    for (int i = 0; i < 2000 && window.callsStartingWith("status:PLEASE").empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(window.calls().back(), "status:Version update completed.");
    unit->unplug();
    worker.join();
    EXPECT_TRUE(window.errors().empty());
    EXPECT_EQ(window.callsStartingWith("status:PLEASE").size(), 1U);
    EXPECT_EQ(window.calls().back(), "enable:0");
}

// ---- late, duplicate and foreign replies ----

TEST_F(UpdateTest, LateReplyIsNotTakenForTheNextBlock) {
    // The first send of block 3 is answered after its wait gave up; the
    // resend is answered at once. Neither answer may acknowledge block 4.
    startWith({}, "write#3:late=150ms");
    st.timing.writeTimeoutMs = 100;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
    EXPECT_EQ(window.calls().back(), "enable:0");
}

TEST_F(UpdateTest, DuplicateRepliesNeverAcknowledgeAnUnsentBlock) {
    startWith({}, "write#5:twice; write#40:twice; erase#3:twice");
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
    EXPECT_GT(st.strayReplies.load(), 0U);
}

TEST_F(UpdateTest, DuplicateFollowedByAFailedBlockIsCaughtBeforeCompletion) {
    // Block 6's duplicate ack may be taken for block 7, whose own error reply
    // then lands on block 8: block 7 would be missing from the flash. The
    // run must notice and either repair it or fail, never report success
    // over differing flash.
    startWith({}, "write#6:twice,late=5ms; write#7:lie");
    engine::updateWorker(st);
    const bool completed = window.calls().back() == "enable:0";
    if (completed) {
        expectFlashHoldsTheImages();
    } else {
        EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    }
}

TEST_F(UpdateTest, ForeignSysExAndRealTimeBytesBetweenReplies) {
    startWith({}, "any#*:foreign=before; write#*:realtime=inside; erase#*:realtime=after");
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
}

TEST_F(UpdateTest, TruncatedAndMalformedRepliesAreResent) {
    startWith({}, "write#2:trunc; write#9:malformed; write#12:nof7");
    st.timing.writeTimeoutMs = 100;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
}

TEST_F(UpdateTest, UnitUnpluggedMidWrite) {
    startWith({}, "write#10:vanish=before");
    st.timing.writeTimeoutMs = 40;
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(2)"});
    EXPECT_EQ(window.calls().back(), "restore");
}

// ---- the window closing during each kind of wait ----

struct CloseCase {
    const char* faults;
    RequestKind kind;
    std::uint64_t ordinal;
};

class CloseDuringWait : public UpdateTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringWait, EndsQuietly) {
    const CloseCase c = GetParam();
    startWith({}, c.faults);
    st.timing = sync::Timing{};  // production time-outs: the abort must not wait them out
    std::thread worker([&] { engine::updateWorker(st); });
    ASSERT_TRUE(unit->waitForRequests(c.kind, c.ordinal, std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::size_t before = window.calls().size();
    const auto t0 = std::chrono::steady_clock::now();
    engine::abortForClose(st);
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    const std::vector<std::string> calls = window.calls();
    EXPECT_TRUE(window.errors().empty());
    for (std::size_t i = before; i < calls.size(); ++i) {
        EXPECT_NE(calls[i], "restore");
        EXPECT_NE(calls[i].rfind("enable", 0), 0U);
    }
    EXPECT_EQ(st.busy.load(), 1) << "controls untouched";
}

INSTANTIATE_TEST_SUITE_P(EveryWait, CloseDuringWait,
                         ::testing::Values(CloseCase{"identity#1:ignore", RequestKind::Identity, 1},
                                           CloseCase{"begin#1:ignore", RequestKind::Begin, 1},
                                           CloseCase{"erase#2:ignore", RequestKind::Erase, 2},
                                           CloseCase{"write#7:ignore", RequestKind::Write, 7},
                                           CloseCase{"finish#1:ignore", RequestKind::Finish, 1}));

}  // namespace
}  // namespace ql5::testing
