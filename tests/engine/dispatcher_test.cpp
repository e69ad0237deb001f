// The reply dispatcher's decision table, row by row, and the matching of
// replies to the request that waits for them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"
#include "protocol/codecs.hpp"
#include "support/recorder_window.hpp"
#include "support/virtual_port.hpp"

namespace ql5::engine {
namespace {

using testing::Bytes;

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        st.window = &window;
        window.attach(&st);
        st.timing = testing::shortTiming();
        ASSERT_TRUE(testing::openUnitPorts(st));
    }
    void TearDown() override {
        st.midiOut.Close();
        st.midiIn.Close();
    }

    // Feeds one message with a request awaiting its reply.
    void feedAwaited(const Bytes& m) {
        st.awaiting.store(true);
        dispatchMessage(st, m.data(), m.size());
    }
    void feed(const Bytes& m) { dispatchMessage(st, m.data(), m.size()); }
    bool signalled() { return st.replyEvent.wait(0) == sync::WaitResult::Signalled; }

    testing::CapturingDevice unit;
    testing::RecorderWindow window;
    UpdateState st;
};

const Bytes kExampleReadReply = {0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                                 0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7};

TEST_F(DispatcherTest, ResultMessagesSetTheCodeAndSignal) {
    feedAwaited({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 0);
    EXPECT_TRUE(signalled());
    feedAwaited({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x0B, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 11);
    EXPECT_TRUE(signalled());
    // Any model byte is taken, and the code is the unsigned byte.
    feedAwaited({0xF0, 0x52, 0x7F, 0x01, 0x00, 0xC8, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 200);
    EXPECT_TRUE(signalled());
    EXPECT_TRUE(unit.received().empty());
}

TEST_F(DispatcherTest, UnitCommandsAreAnsweredWithoutSignal) {
    for (std::uint8_t cmd : {0x01, 0x04, 0x05}) {
        feed({0xF0, 0x52, 0x00, 0x6E, cmd, 0xF7});
    }
    feed({0xF0, 0x52, 0x00, 0x6E, 0x03, 0xF7});  // no answer at all
    for (std::uint8_t cmd : {0x0A, 0x7F}) {
        feed({0xF0, 0x52, 0x00, 0x6E, cmd, 0xF7});
    }
    ASSERT_TRUE(unit.waitFor(5));
    const std::vector<Bytes> got = unit.received();
    ASSERT_EQ(got.size(), 5U);
    // Before any identity check modelId is 0.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i], (Bytes{0xF0, 0x52, 0x00, 0x00, 0x00, 0x00, 0xF7}));
    }
    for (int i = 3; i < 5; ++i) {
        EXPECT_EQ(got[i], (Bytes{0xF0, 0x52, 0x00, 0x00, 0x00, 0x01, 0xF7}));
    }
    EXPECT_FALSE(signalled());
}

TEST_F(DispatcherTest, WriteBlockFromTheUnitCountsAsSuccess) {
    st.replyCode.store(7);
    feedAwaited({0xF0, 0x52, 0x00, 0x6E, 0x02, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 0);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, IdentityRequestIsAnsweredWithTheTemplate) {
    feed({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    ASSERT_TRUE(unit.waitFor(1));
    EXPECT_EQ(unit.received()[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00,
                                         0x31, 0x30, 0x30, 0x30, 0xF7}));
    EXPECT_FALSE(signalled());
    // After an update stamped the identity, the answer carries it.
    setDeviceIdCopy(st, {0x6E, 0x00, 0x10, 0x00});
    stampModelId(st);
    unit.clear();
    feed({0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
    ASSERT_TRUE(unit.waitFor(1));
    EXPECT_EQ(unit.received()[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x10, 0x00,
                                         0x31, 0x30, 0x30, 0x30, 0xF7}));
}

TEST_F(DispatcherTest, IdentityReplySetsDeviceIdWhateverBytes2And5Hold) {
    feedAwaited({0xF0, 0x7E, 0x33, 0x06, 0x02, 0x11, 0x6E, 0x00, 0x10, 0x00, 1, 2, 3, 4, 0xF7});
    EXPECT_EQ(st.deviceId, (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x10, 0x00}));
    EXPECT_EQ(st.replyCode.load(), 0);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, OtherUniversalAndForeignMessages) {
    feed({0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7});        // rejected with code 1
    feed({0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7});        // dropped
    feed({0xF0, 0x7F, 0x00, 0x06, 0x01, 0xF7});        // dropped
    feed({0xF0, 0x43, 0x00, 0x06, 0x00, 0x00, 0xF7});  // another maker: dropped
    feed({0x90, 0x40, 0x7F});                          // not SysEx
    ASSERT_TRUE(unit.waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::vector<Bytes> got = unit.received();
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0], (Bytes{0xF0, 0x52, 0x00, 0x00, 0x00, 0x01, 0xF7}));
    EXPECT_FALSE(signalled());
}

TEST_F(DispatcherTest, MessagesTooShortForTheirRowAreDropped) {
    st.replyCode.store(42);
    feedAwaited({0xF0, 0x52, 0x00, 0x6E, 0x00});                          // result without its code
    feedAwaited({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00, 0x10});  // identity cut short
    feedAwaited({0xF0, 0x52, 0x00});
    feedAwaited({0xF0});
    EXPECT_EQ(st.replyCode.load(), 42);
    EXPECT_FALSE(signalled());
}

TEST_F(DispatcherTest, ReadReplyOfTheExampleIsAccepted) {
    readTotal(st) = 0;
    feedAwaited(kExampleReadReply);
    EXPECT_EQ(readTotal(st), 4);
    EXPECT_EQ(Bytes(readArea(st), readArea(st) + 4), (Bytes{0x31, 0x2E, 0x32, 0x30}));
    EXPECT_EQ(st.replyCode.load(), 0);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, ReadReplyWithBadCrcKeepsBytesButDoesNotCountThem) {
    readTotal(st) = 0;
    std::fill(readArea(st), readArea(st) + 4, 0);
    Bytes m = kExampleReadReply;
    m[17] ^= 0x01;
    feedAwaited(m);
    EXPECT_EQ(Bytes(readArea(st), readArea(st) + 4), (Bytes{0x31, 0x2E, 0x32, 0x30}));
    EXPECT_EQ(readTotal(st), 0);
    EXPECT_EQ(st.replyCode.load(), 1);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, ReadReplyKindBytes) {
    st.replyCode.store(5);
    Bytes m = kExampleReadReply;
    m[5] = 0x05;
    feedAwaited(m);
    EXPECT_EQ(st.replyCode.load(), 5) << "byte 5 not 04 leaves the code alone";
    EXPECT_TRUE(signalled());
    m = kExampleReadReply;
    m[6] = 0x31;
    feedAwaited(m);
    EXPECT_EQ(st.replyCode.load(), 1);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, EmptyReadReplyWithTheCrcOfNoBytes) {
    readTotal(st) = 0;
    feedAwaited({0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0, 0, 0x00, 0x00, 0x7F, 0x7F, 0x7F, 0x7F,
                 0x0F, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 0);
    EXPECT_EQ(readTotal(st), 0);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, ReadReplyRunningPastTheMessageIsNotAccepted) {
    readTotal(st) = 0;
    // Claims 4,096 bytes but carries five.
    Bytes m = {0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0,    0,
               0x00, 0x20, 0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0xF7};
    feedAwaited(m);
    EXPECT_EQ(st.replyCode.load(), 1);
    EXPECT_EQ(readTotal(st), 0);
    EXPECT_TRUE(signalled());
    // Largest length two raw bytes can claim, with nothing behind it.
    feedAwaited({0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0, 0, 0xFF, 0xFF});
    EXPECT_EQ(st.replyCode.load(), 1);
    EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, ReadReplyThatWouldOverflowReadAreaIsNotAccepted) {
    readTotal(st) = kReadAreaSize - 2;
    feedAwaited(kExampleReadReply);
    EXPECT_EQ(st.replyCode.load(), 1);
    EXPECT_EQ(readTotal(st), kReadAreaSize - 2);
    EXPECT_TRUE(signalled());
    readTotal(st) = 0;
}

TEST_F(DispatcherTest, ReplyNobodyWaitsForIsDroppedAndCounted) {
    st.replyCode.store(3);
    feed({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7});
    feed({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 3);
    EXPECT_EQ(st.deviceId, (std::array<std::uint8_t, 4>{}));
    EXPECT_FALSE(signalled());
    EXPECT_EQ(st.strayReplies.load(), 2U);
}

TEST_F(DispatcherTest, OneReplyEndsOneWaitOnly) {
    // Two replies in one tick: the first completes the exchange; the second
    // must not be left pending for the next request.
    st.awaiting.store(true);
    feed({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7});
    feed({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x02, 0xF7});
    EXPECT_EQ(st.replyCode.load(), 0);
    EXPECT_TRUE(signalled());
    EXPECT_FALSE(signalled());
    EXPECT_EQ(st.strayReplies.load(), 1U);
}

TEST_F(DispatcherTest, QueuedMessagesAreHandledInOrderInOneTick) {
    unit.device().send(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}.data(), 6);
    unit.device().send(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x0A, 0xF7}.data(), 6);
    unit.device().flush();
    ReplyDispatcher(st);
    ASSERT_TRUE(unit.waitFor(2));
    const std::vector<Bytes> got = unit.received();
    EXPECT_EQ(got[0][5], 0x00);
    EXPECT_EQ(got[1][5], 0x01);
    EXPECT_FALSE(st.midiIn.FrontSysEx());
}

}  // namespace
}  // namespace ql5::engine
