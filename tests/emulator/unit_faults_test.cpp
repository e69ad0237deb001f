#include <gtest/gtest.h>

#include <thread>

#include "unit_harness.hpp"

namespace ql5::emulator::testing {
namespace {

class Faults : public UnitHarness {
  protected:
    void script(std::string_view text) {
        std::string error;
        ASSERT_TRUE(unit->setFaults(text, &error)) << error;
    }
};

const Bytes kForeign{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
const Bytes kRealTime{0xF8, 0xFE};

TEST_F(Faults, DropCarriesOutButLosesTheReplyOfTheChosenOrdinalOnly) {
    begin();
    ASSERT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    script("write#2:drop");
    EXPECT_EQ(exchange(writeCmd(0x71000, Bytes{1})), result(0));
    send(writeCmd(0x71001, Bytes{2}));
    expectSilence();
    EXPECT_EQ(unit->readFlash(0x71001, 1), Bytes{2});  // stored all the same
    EXPECT_EQ(exchange(writeCmd(0x71002, Bytes{3})), result(0));
}

TEST_F(Faults, RangeAndOpenEndedRangesOfOrdinals) {
    begin();
    script("write#2-3:code=2; read#2-:drop");
    ASSERT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    EXPECT_EQ(exchange(writeCmd(0x71000, Bytes{1})), result(0));
    EXPECT_EQ(exchange(writeCmd(0x71001, Bytes{2})), result(2));
    EXPECT_EQ(exchange(writeCmd(0x71001, Bytes{2})), result(2));
    EXPECT_EQ(exchange(writeCmd(0x71001, Bytes{2})), result(0));
    // code=N does not carry the request out: the two failed sends left the
    // byte erased, so the fourth wrote over erased flash.
    EXPECT_TRUE(unit->writesOverUnerased().empty());
    EXPECT_EQ(unit->readFlash(0x71001, 1), Bytes{2});
    EXPECT_EQ(exchange(readCmd(0, 1)).size(), 19U);
    for (int i = 0; i < 3; ++i) {
        send(readCmd(0, 1));
        expectSilence(30ms);
    }
}

TEST_F(Faults, IgnoreNeitherCarriesOutNorAnswers) {
    begin();
    script("erase#1:ignore");
    const Bytes before = unit->readFlash(0x110000, 0x1000);
    send(eraseCmd(0x110000, 0x1000));
    expectSilence();
    EXPECT_EQ(unit->readFlash(0x110000, 0x1000), before);
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(0));
}

TEST_F(Faults, LateAnswersAfterTheDelay) {
    script("identity#1:late=250ms");
    const auto t0 = std::chrono::steady_clock::now();
    send(kIdentityRequest);
    EXPECT_FALSE(next(150ms).has_value());
    ASSERT_TRUE(next(2000ms).has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 245ms);
}

TEST_F(Faults, TwiceSendsTheSameReplyTwoTimes) {
    script("begin#1:twice");
    send(kBeginUpdate);
    EXPECT_EQ(next(), result(0));
    EXPECT_EQ(next(), result(0));
    expectSilence();
}

TEST_F(Faults, TwiceLateRepeatsTheReplyAfterTheNextRequestArrived) {
    begin();
    ASSERT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    script("write#1:twice=150ms");
    send(writeCmd(0x71000, Bytes{1}));
    EXPECT_EQ(next(), result(0));
    send(writeCmd(0x71001, Bytes{2}, 0x6E));
    // The next request waits while the unit repeats itself: the copy comes
    // first, and only then the second write's own answer.
    EXPECT_FALSE(next(80ms).has_value());
    EXPECT_EQ(next(2000ms), result(0));
    EXPECT_EQ(next(2000ms), result(0));
    expectSilence();
    EXPECT_EQ(unit->readFlash(0x71000, 2), (Bytes{1, 2}));
}

TEST_F(Faults, FlipStoresTheBlockWithABitStuckAtZero) {
    begin();
    ASSERT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    script("write#1:flip");
    EXPECT_EQ(exchange(writeCmd(0x71000, Bytes{0x00, 0x16, 0x80})), result(0));
    EXPECT_EQ(unit->readFlash(0x71000, 3), (Bytes{0x00, 0x14, 0x80}));
    // Programming again cannot set the bit; only an erase can.
    EXPECT_EQ(exchange(writeCmd(0x71000, Bytes{0x00, 0x16, 0x80})), result(0));
    EXPECT_EQ(unit->readFlash(0x71001, 1), Bytes{0x14});
}

TEST_F(Faults, ShortServesOnlyReadsUpToItsLength) {
    script("read#*:short=256");
    EXPECT_EQ(exchange(readCmd(0x70000, 257)), result(3));
    const auto served = exchange(readCmd(0x70000, 256));
    ASSERT_TRUE(readReplyData(served).has_value());
    EXPECT_EQ(readReplyData(served)->size(), 256U);
    script("read#*:short");  // 256 unless told
    EXPECT_EQ(exchange(readCmd(0x70000, 4096)), result(3));
}

TEST_F(Faults, CodeAnswersTheGivenCodeWithoutCarryingOut) {
    script("begin#1:code=7; erase#*:code=9");
    EXPECT_EQ(exchange(kBeginUpdate), result(7));
    EXPECT_FALSE(unit->updateSessionOpen());
    begin();
    const Bytes before = unit->readFlash(0x110000, 16);
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(9));
    EXPECT_EQ(unit->readFlash(0x110000, 16), before);
}

TEST_F(Faults, ALyingUnitAnswers0WithoutStoringOrErasing) {
    begin();
    ASSERT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    script("write#2:lie; erase#2:lie");
    EXPECT_EQ(exchange(writeCmd(0x71000, Bytes{0x11})), result(0));
    EXPECT_EQ(exchange(writeCmd(0x71001, Bytes{0x22})), result(0));
    EXPECT_EQ(unit->readFlash(0x71000, 2), (Bytes{0x11, 0xFF}));
    const Bytes preset = unit->readFlash(0x4B000, 64);
    EXPECT_EQ(exchange(eraseCmd(0x4B000, 0x26000)), result(0));
    EXPECT_EQ(unit->readFlash(0x4B000, 64), preset);
    EXPECT_EQ(unit->differingBlocks(0x71000, Bytes{0x11, 0x22}),
              (std::vector<std::uint32_t>{0x71000}));
}

TEST_F(Faults, BadCrcCorruptsEveryReadReplyOfTheRequest) {
    script("read#1:badcrc");
    send(readCmd(0x70000, 5000));
    for (int i = 0; i < 2; ++i) {
        const auto m = next();
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->size(), i == 0 ? 4699U : 1051U);
        EXPECT_FALSE(readReplyData(*m).has_value()) << "reply " << i << " still checks";
    }
    const auto good = exchange(readCmd(0x70000, 4));
    EXPECT_TRUE(readReplyData(good).has_value());
}

TEST_F(Faults, TruncatedRepliesAreCutAndClosed) {
    script("identity#1:trunc; identity#2:trunc=3; read#1:trunc=12");
    EXPECT_EQ(exchange(kIdentityRequest), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0xF7}));
    EXPECT_EQ(exchange(kIdentityRequest), (Bytes{0xF0, 0x7E, 0x00, 0xF7}));
    const Bytes r = exchange(readCmd(0x110FE0, 4));
    ASSERT_EQ(r.size(), 13U);
    EXPECT_EQ(r.back(), 0xF7);
}

TEST_F(Faults, MalformedReplies) {
    script("begin#1:malformed; read#1:malformed");
    EXPECT_EQ(exchange(kBeginUpdate), (Bytes{0xF0, 0x52, 0x00, 0xF7}));
    const Bytes r = exchange(readCmd(0x110FE0, 4));
    // The length claims 16,383 bytes; the message holds the packed four.
    ASSERT_EQ(r.size(), 22U);
    EXPECT_EQ(r[9], 0x7F);
    EXPECT_EQ(r[10], 0x7F);
    EXPECT_EQ(r.back(), 0xF7);
}

TEST_F(Faults, NoF7LeavesTheReplyOpen) {
    script("begin#1:nof7");
    EXPECT_EQ(exchange(kBeginUpdate), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00}));
}

TEST_F(Faults, ForeignSysExAndRealTimeBytesAroundTheReply) {
    script("identity#1:foreign; identity#2:foreign=after,realtime=after; identity#3:realtime");
    const Bytes id = exchange(kIdentityRequest);  // the foreign message comes first
    EXPECT_EQ(id, kForeign);
    EXPECT_EQ(next()->size(), 15U);
    send(kIdentityRequest);
    EXPECT_EQ(next()->size(), 15U);
    EXPECT_EQ(next(), kForeign);
    EXPECT_EQ(next(), kRealTime);
    send(kIdentityRequest);
    EXPECT_EQ(next(), kRealTime);
    EXPECT_EQ(next()->size(), 15U);
    expectSilence();
}

TEST_F(Faults, RealTimeBytesInsideTheReply) {
    script("begin#1:realtime=inside");
    EXPECT_EQ(exchange(kBeginUpdate),
              (Bytes{0xF0, 0x52, 0x00, 0xF8, 0xFE, 0x6E, 0x00, 0x00, 0xF7}));
}

TEST_F(Faults, MuteStopsAnsweringUntilReplugged) {
    script("any#2:mute");
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    send(kBeginUpdate);
    send(kIdentityRequest);
    send(readCmd(0, 4));
    expectSilence();
    EXPECT_FALSE(unit->updateSessionOpen());
    unit->unplug();
    unit->plug();
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
}

TEST_F(Faults, VanishBeforeAnsweringLosesTheRequest) {
    script("erase#1:vanish=before");
    begin();
    const Bytes before = unit->readFlash(0x110000, 16);
    send(eraseCmd(0x110000, 0x1000));
    ASSERT_TRUE(unit->waitPlugged(false, 2000ms));
    EXPECT_FALSE(next(100ms).has_value());
    EXPECT_EQ(unit->readFlash(0x110000, 16), before);
    EXPECT_FALSE(link->hostSend(kIdentityRequest));
    unit->plug();
    EXPECT_FALSE(unit->updateSessionOpen());
}

TEST_F(Faults, VanishAfterAnsweringUnplugsOnceTheReplyIsOut) {
    script("begin#1:vanish");
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    ASSERT_TRUE(unit->waitPlugged(false, 2000ms));
    EXPECT_FALSE(unit->updateSessionOpen());
}

TEST_F(Faults, VanishReplugsByItselfWhenConfigured) {
    UnitConfig cfg;
    cfg.replugAfterMs = 100;
    cfg.faults = *parseFaultScript("identity#1:vanish", nullptr);
    make(cfg);
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    ASSERT_TRUE(unit->waitPlugged(false, 2000ms));
    ASSERT_TRUE(unit->waitPlugged(true, 2000ms));
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
}

TEST_F(Faults, LongErrorReplacesTheReply) {
    script("write#1:longerror");
    begin();
    send(writeCmd(0x110000, Bytes{1}));
    expectSilence();
    EXPECT_EQ(link->longErrors(), 1);
}

TEST_F(Faults, AnyCountsEveryRequestKindTogether) {
    script("any#3:drop");
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    send(readCmd(0, 4));
    expectSilence();
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    EXPECT_EQ(unit->counters().faultsApplied, 1U);
}

TEST_F(Faults, RulesCombine) {
    script("identity#1:twice; identity#1:foreign=after");
    send(kIdentityRequest);
    EXPECT_EQ(next()->size(), 15U);
    EXPECT_EQ(next()->size(), 15U);
    EXPECT_EQ(next(), kForeign);
    expectSilence();
}

TEST_F(Faults, TranscriptNotesTheFaults) {
    script("begin#1:drop");
    send(kBeginUpdate);
    ASSERT_TRUE(unit->waitIdle());
    bool noted = false;
    bool listed = false;
    for (const auto& e : unit->transcript().entries()) {
        if (e.direction != Direction::Event) continue;
        if (e.note == "fault: reply to begin dropped") noted = true;
        if (e.note == "faults for begin#1:drop") listed = true;
    }
    EXPECT_TRUE(noted);
    EXPECT_TRUE(listed);
}

}  // namespace
}  // namespace ql5::emulator::testing
