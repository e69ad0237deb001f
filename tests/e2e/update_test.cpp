// Whole updates against the virtual unit, and every way one can end.
#include <algorithm>
#include <thread>

#include "e2e_fixture.hpp"
#include "write_log.hpp"

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
    // The exact counts below are a clean run's: no time-out of its own.
    st.timing = patientTiming();
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
    // One 4-byte marker read before each erase, after every 64 blocks of an
    // image (two in image 129, 56 in image 136), before the SYSTEM block and
    // before the finish command; a clean run reads nothing back.
    EXPECT_EQ(c.of(RequestKind::Read), 4U + 2U + 56U + 1U + 1U);
    EXPECT_EQ(st.runLog.markers, c.of(RequestKind::Read));
    EXPECT_EQ(st.runLog.bytesReadBack, 0);
    EXPECT_TRUE(window.callsStartingWith("status:Verifying").empty());
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
    EXPECT_TRUE(window.errors().empty()) << window.errors().front();
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

// ---- the unit pulled out ----

// The driver refuses the send of the next block because the device is gone:
// the write ends at once with the message its 32nd failure would bring,
// instead of sending a block 31 more times into nothing.
TEST_F(UpdateTest, AUnitPulledOutMidWriteEndsTheWriteAtOnce) {
    // Pulled out as the fifth block arrives, before it is answered.
    startWith({}, "write#5:vanish=before");
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Time out error(2)"});
    EXPECT_EQ(window.calls().back(), "restore");
    // Every block went out once: the wait of the one in flight ended when
    // the input heard the unit go, and nothing was sent again.
    std::vector<std::string> sends = window.callsStartingWith("status:Data transmit");
    const std::size_t all = sends.size();
    std::sort(sends.begin(), sends.end());
    sends.erase(std::unique(sends.begin(), sends.end()), sends.end());
    EXPECT_EQ(sends.size(), all);
    EXPECT_EQ(all, 5U);
    EXPECT_EQ(unit->counters().of(RequestKind::Write), 5U);
    EXPECT_TRUE(st.linkGone.load());
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
    // Block 6's duplicate ack is taken for block 7 (the unit repeats it only
    // once block 7 has gone out), and block 7's own reply, which hides that
    // it was not stored, lands on block 8: block 7 would be missing from the
    // flash. The run must notice and either repair it or fail, never report
    // success over differing flash. (A duplicate that comes before block 7
    // goes out is seen as a stray at once; block 7's reply is then block 7's,
    // and a unit that lies in it is caught only by --verify.)
    startWith({}, "write#6:twice=20ms; write#7:lie");
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

// ---- replies charged to the wrong request, and the read-back ----

std::int32_t writtenBytes(const engine::UpdateState& st) {
    std::int32_t n = 0;
    for (const auto& w : st.runLog.writes) {
        n += w.length;
    }
    return n;
}

struct DoubtCase {
    const char* name;
    const char* faults;
    bool verifyAll;
    const char* error;  // nullptr: the update completes with the images in flash
    // Bytes read back: -1 at least the first five blocks (the duplicated
    // acknowledgement's and those before it since the marker), at most the
    // first image; -2 every written byte,
    // -3 some but not all of the second image, -4 some, at most one marker
    // interval and its block, otherwise exactly this many.
    std::int64_t readBack;
    bool uncheckable = false;  // the unit answers no marker
    // Faults the unit takes on, in place of the others, when the read-back
    // shows itself: at a step of the run, whatever the count of its reads.
    const char* atReadBack = nullptr;
};

class DoubtfulRun : public UpdateTest, public ::testing::WithParamInterface<DoubtCase> {};

TEST_P(DoubtfulRun, EndsWithTheImagesInFlashOrAnHonestError) {
    const DoubtCase c = GetParam();
    startWith({}, c.faults);
    st.verifyAll = c.verifyAll;
    // Waits long enough that a slow machine (sanitizers) makes no time-out of
    // its own: the doubt here must come from the faults alone.
    st.timing.writeTimeoutMs = 2000;
    st.timing.readTimeoutMs = 2000;
    st.timing.markerTimeoutMs = 1000;
    if (c.atReadBack != nullptr) {
        window.onStatus(
            [this, faults = c.atReadBack, switched = false](const std::string& text) mutable {
                if (!switched && text.rfind("Verifying", 0) == 0) {
                    switched = true;
                    ASSERT_TRUE(unit->setFaults(faults, nullptr));
                }
            });
    }
    engine::updateWorker(st);
    const std::vector<std::string> calls = window.calls();
    const std::uint64_t finishes = unit->counters().of(RequestKind::Finish);
    if (c.error == nullptr) {
        EXPECT_TRUE(window.errors().empty()) << window.errors().front();
        EXPECT_EQ(calls.back(), "enable:0");
        expectFlashHoldsTheImages();
        EXPECT_EQ(finishes, 1U);
    } else {
        EXPECT_EQ(window.errors(), std::vector<std::string>{std::string("error:") + c.error});
        EXPECT_EQ(calls.back(), "restore");
        EXPECT_EQ(finishes, 0U) << "no finish command over flash that cannot be vouched for";
    }
    if (c.readBack == -1) {
        ASSERT_FALSE(st.runLog.writes.empty());
        EXPECT_GE(st.runLog.bytesReadBack, 5 * 4096);
        EXPECT_LE(st.runLog.bytesReadBack, st.runLog.writes.front().length)
            << "only the blocks acknowledged since the last marker";
    } else if (c.readBack == -3) {
        ASSERT_GE(st.runLog.writes.size(), 2U);
        EXPECT_GT(st.runLog.bytesReadBack, 0);
        EXPECT_LT(st.runLog.bytesReadBack, st.runLog.writes[1].length);
    } else if (c.readBack == -4) {
        EXPECT_GT(st.runLog.bytesReadBack, 0);
        EXPECT_LE(st.runLog.bytesReadBack,
                  (engine::detail::kMarkerInterval + 1) * engine::kBlockSize);
    } else if (c.readBack == -2) {
        EXPECT_EQ(st.runLog.bytesReadBack, writtenBytes(st));
    } else {
        EXPECT_EQ(st.runLog.bytesReadBack, c.readBack);
    }
    // The read-back shows itself: a range over the bytes to read and a status
    // line counting them up to the total.
    const std::vector<std::string> verifying = window.callsStartingWith("status:Verifying");
    // A read-back that fails at its first read has still shown itself.
    // It runs before the SYSTEM block is written and again for that block:
    // each pass counts from 0 up to its own total.
    const bool verifies =
        st.runLog.bytesReadBack > 0 || st.runLog.rewrittenUnread > 0 || c.atReadBack != nullptr;
    if (verifies) {
        ASSERT_FALSE(verifying.empty());
        std::int64_t totals = 0;
        int passTotal = 0;
        int passes = 0;
        for (std::size_t i = 0; i < verifying.size(); ++i) {
            int done = -1;
            int total = -1;
            ASSERT_EQ(std::sscanf(verifying[i].c_str(), "status:Verifying written data  %d / %d",
                                  &done, &total),
                      2);
            if (done == 0) {
                ++passes;
                totals += total;
                if (i > 0) {
                    EXPECT_EQ(verifying[i - 1], "status:Verifying written data  " +
                                                    std::to_string(passTotal) + " / " +
                                                    std::to_string(passTotal) + " ")
                        << "a pass ends at its total";
                }
                passTotal = total;
            }
        }
        EXPECT_GE(passes, 1);
        EXPECT_LE(passes, 2);
        if (c.error == nullptr) {
            int done = -1;
            int total = -1;
            ASSERT_EQ(std::sscanf(verifying.back().c_str(),
                                  "status:Verifying written data  %d / %d", &done, &total),
                      2);
            EXPECT_EQ(done, total);
            if (st.runLog.rewrittenUnread == 0) {
                EXPECT_EQ(totals, st.runLog.bytesReadBack);
            }
        }
    } else {
        EXPECT_TRUE(verifying.empty());
    }
    // Only a unit that answers no marker leaves its blocks unchecked, and
    // says so once.
    EXPECT_EQ(window.callsStartingWith("note:uncheckable").size(), c.uncheckable ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(
    AcknowledgementsInDoubt, DoubtfulRun,
    ::testing::Values(
        // The unit acknowledges block 5 a second time after block 6 went out:
        // every later acknowledgement of that image is one block late. The
        // marker before the next erase finds the stray; that image is read back.
        DoubtCase{"AcknowledgesTwiceLate", "write#5:twice=20ms", false, nullptr, -1},
        // ... and block 6 is acknowledged without being stored: found by the
        // read-back and written again.
        DoubtCase{"TwiceLateThenALie", "write#5:twice=20ms; write#6:lie", false, nullptr, -1},
        // The same on a unit that serves only 256-byte reads.
        DoubtCase{"TwiceLateOnShortReads", "write#5:twice=20ms; write#6:lie; read#*:short", false,
                  nullptr, -1},
        // 4,096-byte reads that fail once each are read again, not in pieces
        // (the 64 markers of this run come before the first read-back read;
        // a failed read is followed by a marker).
        DoubtCase{"TwiceLateReadsFailOnce", "write#5:twice=20ms; read#65:badcrc; read#68:drop",
                  false, nullptr, -1},
        // From the read-back on no read can be trusted, markers included: the
        // verification is impossible, and said so.
        DoubtCase{"TwiceLateNothingReadable", "write#5:twice=20ms", false,
                  "Transfer error occurred.", 0, false, "read#*:badcrc"},
        // An acknowledgement that comes after its wait gave up: the blocks of
        // that image up to it are in doubt, the line is brought back at once,
        // and what follows is trusted again.
        DoubtCase{"LateAcknowledgement", "write#41:late=2500ms", false, nullptr, -3},
        // --verify on a clean run reads every written byte back once.
        DoubtCase{"VerifyClean", "", true, nullptr, -2},
        // --verify on a unit that acknowledges a block it did not store.
        DoubtCase{"VerifyFindsALie", "write#3:lie", true, nullptr, -2},
        // ... and one that stores a block with a bit stuck at 0: only an erase
        // of its sector brings the bit back.
        DoubtCase{"VerifyFindsAFlippedBit", "write#50:flip", true, nullptr, -2},
        // The marker itself lost once: tried again, nothing in doubt.
        DoubtCase{"MarkerLostOnce", "read#2:ignore", false, nullptr, 0},
        // No read answered at all, or every read refused: nothing promises
        // that the unit reads in its update state, so the run is the plain
        // sequence, with nothing read back, and completes.
        DoubtCase{"MarkerNeverAnswered", "read#*:ignore", false, nullptr, 0, true},
        DoubtCase{"MarkerRefused", "read#*:code=1", false, nullptr, 0, true},
        DoubtCase{"MarkerNeverAnsweredEvenWithVerify", "read#*:ignore; write#5:twice=20ms", true,
                  nullptr, 0, true},
        // A time-out late in the largest image puts only the blocks since the
        // last marker in doubt, not the image up to it.
        DoubtCase{"DropLateInTheLargestImage", "write#3000:drop", false, nullptr, -4},
        // Two faults whose replies balance (a late duplicate fills the wait
        // of a block the unit never received): only reading back finds it.
        DoubtCase{"BalancedFaultsFoundByVerify", "write#5:twice=50ms; write#6:ignore", true,
                  nullptr, -2},
        // Reads of a block are refused while 4-byte markers are answered:
        // every block in doubt is erased and written again, each confirmed by
        // a marker (see also BlocksNoReadServesAreRewritten).
        DoubtCase{"NoBlockReadable", "write#5:twice=20ms; read#2-:short=4", false, nullptr, 0}),
    [](const ::testing::TestParamInfo<DoubtCase>& i) { return std::string(i.param.name); });

TEST_F(UpdateTest, FlippedBitIsRewrittenAfterAnEraseOfItsSector) {
    startWith({}, "write#50:flip");
    st.verifyAll = true;
    st.timing.writeTimeoutMs = 2000;  // no resend of a slow block: nothing over unerased flash
    st.timing.readTimeoutMs = 2000;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
    // The plan's four erases and one of the 4 KiB sector that holds block 50.
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 5U);
    EXPECT_TRUE(unit->writesOverUnerased().empty());
}

// ---- reads the unit is slow to answer, cannot serve, or answers out of turn ----

// Write requests of the plan before the SYSTEM block.
std::uint64_t blocksBeforeSystem() {
    std::uint64_t n = 0;
    for (const engine::FlashPlanRow& row : engine::FlashPlan) {
        if (row.operation == engine::kOperationWrite && row.resourceId != engine::kImageSystem) {
            n += static_cast<std::uint64_t>(
                (engine::loadImage(row.resourceId).length + engine::kBlockSize - 1) /
                engine::kBlockSize);
        }
    }
    return n;
}

TEST_F(UpdateTest, SlowMarkersAreWaitedForAsLongAsTheUnitTakes) {
    // The first answers take longer than the marker's own wait: learnt from
    // the first, none is sent twice, and nothing is put in doubt.
    startWith({}, "read#1-8:late=300ms");
    st.timing.markerTimeoutMs = 150;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    EXPECT_EQ(window.calls().back(), "enable:0");
    EXPECT_EQ(unit->counters().of(RequestKind::Read), st.runLog.markers);
    EXPECT_EQ(st.runLog.bytesReadBack, 0);
    expectFlashHoldsTheImages();
}

TEST_F(UpdateTest, FailedCheckLeavesTheSystemBlockErased) {
    // Block 50 keeps a bit at 0; its rewrite goes through, and from then on
    // the unit refuses every write: the SYSTEM block, written after the
    // check, is never written, so the unit does not look up to date.
    const std::string faults =
        "write#50:flip; write#" + std::to_string(blocksBeforeSystem() + 2) + "-:code=2";
    startWith({}, faults.c_str());
    st.verifyAll = true;
    st.timing.writeTimeoutMs = 2000;  // no resend of a slow block: the ordinals hold
    engine::updateWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    EXPECT_EQ(unit->counters().of(RequestKind::Finish), 0U);
    const emulator::Bytes stamp = unit->readFlash(engine::kStampSystemAddress, 4);
    EXPECT_EQ(stamp, emulator::Bytes(4, 0xFF));
    // What came before the SYSTEM block was checked and repaired.
    for (const engine::FlashPlanRow& row : engine::FlashPlan) {
        if (row.operation == engine::kOperationWrite && row.resourceId != engine::kImageSystem) {
            EXPECT_TRUE(unit->regionEquals(row.address, image(row.resourceId))) << row.resourceId;
        }
    }
}

TEST_F(UpdateTest, ReadEndedByAStrayAcknowledgementIsNotAnsweredByTheNextRead) {
    // The rewrite of block 6 is acknowledged twice, the second copy while its
    // read-back waits: taken as that read's refusal, the read's own reply
    // must not then answer the read of another block.
    const std::string faults = "write#5:twice=20ms; write#6:lie; write#" +
                               std::to_string(blocksBeforeSystem() + 1) + ":twice=20ms";
    startWith({}, faults.c_str());
    st.timing.writeTimeoutMs = 2000;
    st.timing.readTimeoutMs = 2000;
    st.timing.markerTimeoutMs = 1000;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
    // The plan's four erases: no sector judged from another block's bytes.
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 4U);
}

TEST_F(UpdateTest, LongReadsThatFailForGoodAreNotTriedAgain) {
    startWith({}, "write#5:twice=20ms; read#2-:short");
    st.timing.writeTimeoutMs = 2000;
    st.timing.markerTimeoutMs = 1000;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
    ASSERT_GT(st.runLog.bytesReadBack, 4096);
    // Two refused 4,096-byte reads, each followed by a marker, then 256-byte
    // reads only.
    EXPECT_EQ(unit->counters().of(RequestKind::Read),
              st.runLog.markers + 2 + static_cast<std::uint64_t>(st.runLog.bytesReadBack / 256));
}

TEST_F(UpdateTest, BlocksNoReadServesAreErasedAndWrittenAgain) {
    startWith({}, "write#5:twice=20ms; write#6:lie; read#2-:short=4");
    st.timing.writeTimeoutMs = 2000;
    st.timing.markerTimeoutMs = 1000;
    engine::updateWorker(st);
    EXPECT_TRUE(window.errors().empty());
    expectFlashHoldsTheImages();
    EXPECT_EQ(st.runLog.bytesReadBack, 0);
    EXPECT_GT(st.runLog.rewrittenUnread, 0U);
    EXPECT_EQ(unit->counters().of(RequestKind::Erase), 4U + st.runLog.rewrittenUnread);
    EXPECT_TRUE(unit->writesOverUnerased().empty());
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
