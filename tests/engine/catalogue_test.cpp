// The bytes of every message the program sends, and readMemory's handshake.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "catalogue_internal.hpp"
#include "engine/engine.hpp"
#include "exchange.hpp"
#include "platform/mm/timer_hooks.hpp"
#include "support/recorder_window.hpp"
#include "support/virtual_port.hpp"

namespace ql5::engine {
namespace {

using testing::Bytes;

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        st.window = &window;
        window.attach(&st);
        st.timing = testing::shortTiming();
        ASSERT_TRUE(testing::openUnitPorts(st));
        startDispatcher(st);
    }
    void TearDown() override {
        st.timer.Stop();
        st.midiOut.Close();
        st.midiIn.Close();
    }
    void identifyAs6E() { setDeviceIdCopy(st, {0x6E, 0x00, 0x10, 0x00}); }

    testing::CapturingDevice unit;
    testing::RecorderWindow window;
    UpdateState st;
};

TEST_F(CatalogueTest, WriteBlockOfOneByte) {
    const std::uint8_t data[1] = {0x80};
    ASSERT_EQ(sendWriteBlock(st, 0x6E, data, 0x110000, 1), 0);
    ASSERT_EQ(unit.received().size(), 1U);
    EXPECT_EQ(unit.received()[0],
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0x00, 0x44, 0x00, 0x00,
                     0x01, 0x00, 0x40, 0x00, 0x52, 0x26, 0x16, 0x02, 0x0C, 0xF7}));
}

TEST_F(CatalogueTest, FullWriteBlockIs4700Bytes) {
    std::vector<std::uint8_t> data(4096, 0xA5);
    ASSERT_EQ(sendWriteBlock(st, 0x6E, data.data(), 0x1CB000, 4096), 0);
    const Bytes m = unit.received().at(0);
    ASSERT_EQ(m.size(), 4700U);
    EXPECT_EQ(m[10], 0x00);
    EXPECT_EQ(m[11], 0x20);
    for (std::size_t i = 1; i + 1 < m.size(); ++i) {
        ASSERT_LT(m[i], 0x80) << i;
    }
    EXPECT_EQ(m.back(), 0xF7);
}

TEST_F(CatalogueTest, WriteBlockLongerThanItsLengthFieldIsRefused) {
    std::vector<std::uint8_t> data(16384, 0);
    EXPECT_EQ(sendWriteBlock(st, 0x6E, data.data(), 0, 16384), -1);
    EXPECT_TRUE(unit.received().empty());
}

TEST_F(CatalogueTest, EraseCommand) {
    ASSERT_EQ(sendErase(st, 0x6E, 0x4B000, 0x26000), 0);
    EXPECT_EQ(unit.received().at(0), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x60, 0x12, 0x00,
                                            0x00, 0x00, 0x40, 0x09, 0x00, 0x00, 0xF7}));
}

TEST_F(CatalogueTest, BeginFinishAndResultCarryTheModelId) {
    ASSERT_EQ(sendBeginUpdate(st), 0);
    identifyAs6E();
    ASSERT_EQ(sendBeginUpdate(st), 0);
    ASSERT_EQ(sendFinish(st), 0);
    ASSERT_EQ(sendIdentityRequest(st), 0);
    const std::vector<Bytes> got = unit.received();
    ASSERT_EQ(got.size(), 4U);
    EXPECT_EQ(got[0], (Bytes{0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7}));
    EXPECT_EQ(got[1], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}));
    EXPECT_EQ(got[2], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7}));
    EXPECT_EQ(got[3], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
}

TEST_F(CatalogueTest, EachStateKeepsItsOwnIdentityBuffersAndTemplates) {
    UpdateState other;  // a second unit's engine, ports closed
    setDeviceIdCopy(other, {0x6E, 0x00, 0x10, 0x00});
    stampModelId(other);
    readTotal(other) = 7;
    EXPECT_EQ(modelId(other), 0x6E);
    EXPECT_EQ(modelId(st), 0x00);
    EXPECT_EQ(readTotal(st), 0);
    EXPECT_NE(readArea(st), readArea(other));
    ASSERT_EQ(sendBeginUpdate(st), 0);
    EXPECT_EQ(unit.received().at(0), (Bytes{0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7}));
}

TEST_F(CatalogueTest, SendFailsOnAClosedPort) {
    st.midiOut.Close();
    EXPECT_EQ(sendIdentityRequest(st), -1);
    EXPECT_EQ(sendFinish(st), -1);
}

TEST_F(CatalogueTest, ReadMemoryRequestAndExampleReply) {
    identifyAs6E();
    unit.setResponder([&](const Bytes& m) {
        if (m.size() == 17 && m[4] == 0x60) {
            unit.reply({0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                        0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7});
        }
    });
    std::uint8_t out[4] = {};
    ASSERT_EQ(readMemory(st, 0x110FE0, 4, out), 0);
    EXPECT_EQ(unit.received().at(0), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x60, 0x1F, 0x44,
                                            0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{'1', '.', '2', '0'}));
}

TEST_F(CatalogueTest, ReadMemoryFailsOnAnErrorCodeWithoutCopying) {
    unit.setResponder([&](const Bytes&) {
        unit.reply({0xF0, 0x52, 0x00, 0x6E, 0x00, 0x05, 0xF7});
    });
    std::uint8_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(readMemory(st, 0x110FE0, 4, out), -1);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{9, 9, 9, 9}));
}

TEST_F(CatalogueTest, ReadMemoryNeverPassesOffOldDataAsNew) {
    // A successful read leaves "1.20" in readArea; a later reply whose kind
    // byte is unexpected sets no code. The stale code 0 must not make the
    // second read succeed with the first read's bytes.
    int n = 0;
    unit.setResponder([&](const Bytes&) {
        if (n++ == 0) {
            unit.reply({0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                        0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7});
        } else {
            unit.reply({0xF0, 0x52, 0x00, 0x6E, 0x60, 0x07, 0x30, 0xF7});
        }
    });
    std::uint8_t out[4] = {};
    ASSERT_EQ(readMemory(st, 0x110FE0, 4, out), 0);
    std::uint8_t again[4] = {7, 7, 7, 7};
    EXPECT_EQ(readMemory(st, 0x70FFC, 4, again), -1);
    EXPECT_EQ(Bytes(again, again + 4), (Bytes{7, 7, 7, 7}));
}

TEST_F(CatalogueTest, ReadMemoryTimesOutWhenNothingAnswers) {
    std::uint8_t out[4] = {};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(readMemory(st, 0x4AFFC, 4, out), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - t0,
              std::chrono::milliseconds(st.timing.readTimeoutMs));
}

TEST_F(CatalogueTest, ReadMemoryReturnsAtOnceWhenTheWindowCloses) {
    std::uint8_t out[4] = {};
    st.timing.readTimeoutMs = 60000;
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        abortForClose(st);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(readMemory(st, 0x4AFFC, 4, out), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    closer.join();
}

TEST_F(CatalogueTest, RequestsAndAnswersNeverShareAnAssemblyBuffer) {
    // The worker sends write blocks while the dispatcher answers the unit's
    // own commands from the timer thread: every message must arrive whole.
    identifyAs6E();
    std::atomic<bool> stop{false};
    std::thread unitSide([&] {
        const Bytes cmd = {0xF0, 0x52, 0x00, 0x6E, 0x05, 0xF7};
        while (!stop.load()) {
            unit.reply(cmd);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<std::uint8_t> data(4096);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(sendWriteBlock(st, 0x6E, data.data(), 0x1CB000 + 4096 * i, 4096), 0);
    }
    stop.store(true);
    unitSide.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int blocks = 0;
    int answers = 0;
    for (const Bytes& m : unit.received()) {
        if (m.size() == 4700) {
            ++blocks;
            EXPECT_EQ(Bytes(m.begin(), m.begin() + 5), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x02}));
        } else {
            ++answers;
            EXPECT_EQ(m, (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7}));
        }
    }
    EXPECT_EQ(blocks, 200);
    EXPECT_GT(answers, 0);
}

// Idle, the dispatcher's timer does not tick at all, yet a request from the
// unit is still answered within a millisecond; while a request awaits its
// reply the dispatcher polls every millisecond again.
TEST_F(CatalogueTest, IdleDispatcherSleepsButAnswersAtOnce) {
    using Clock = std::chrono::steady_clock;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint64_t idleFrom = mm::timerStats().ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(mm::timerStats().ticks - idleFrom, 1U) << "the idle dispatcher kept polling";

    const Bytes identityRequest = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    std::vector<double> latenciesMs;
    for (std::size_t i = 1; i <= 15; ++i) {
        const Clock::time_point sent = Clock::now();
        unit.reply(identityRequest);
        ASSERT_TRUE(unit.waitFor(i, 1000)) << "a request from the unit went unanswered";
        latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // parked again
    }
    std::sort(latenciesMs.begin(), latenciesMs.end());
    EXPECT_LT(latenciesMs[latenciesMs.size() / 2], 1.0);

    detail::beginExchange(st);
    const std::uint64_t awaitFrom = mm::timerStats().ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_GE(mm::timerStats().ticks - awaitFrom, 20U) << "no polling while a reply is awaited";
    st.awaiting.store(false);
}

}  // namespace
}  // namespace ql5::engine
