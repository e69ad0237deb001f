// The unit on the in-process virtual driver, seen through the multimedia
// API exactly as the updater sees it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "emulator/virtual_unit.hpp"
#include "mm_host.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "protocol/codecs.hpp"
#include "unit_harness.hpp"

namespace ql5::emulator::testing {
namespace {

const std::string kName = "Tarvik QL-5 MIDI 1";

class OnDevice : public ::testing::Test {
  protected:
    void SetUp() override { mm::setDrivers({mm::virt::virtualDriver()}); }
    void TearDown() override {
        host.reset();
        unit.reset();
    }

    void make(UnitConfig cfg = {}) {
        host.reset();
        unit.reset();
        unit = std::make_unique<VirtualUnit>(std::move(cfg));
        host = std::make_unique<MmHost>();
        ASSERT_TRUE(host->open(unit->config().inputName));
    }
    void script(std::string_view text) {
        std::string error;
        ASSERT_TRUE(unit->setFaults(text, &error)) << error;
    }
    Bytes exchange(const Bytes& m) {
        EXPECT_TRUE(host->send(m));
        auto r = host->nextSysEx(2000ms);
        EXPECT_TRUE(r.has_value()) << "no answer";
        return r.value_or(Bytes{});
    }
    void expectNothing(std::chrono::milliseconds t = 150ms) {
        ASSERT_TRUE(unit->waitIdle());
        auto e = host->next(t);
        EXPECT_FALSE(e.has_value()) << "unexpected event of " << e->bytes.size() << " bytes";
    }

    std::unique_ptr<VirtualUnit> unit;
    std::unique_ptr<MmHost> host;
};

const Bytes kEraseExample{0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x60, 0x12,
                          0x00, 0x00, 0x00, 0x40, 0x09, 0x00, 0x00, 0xF7};
const Bytes kWriteExample{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0x00, 0x44, 0x00, 0x00,
                          0x01, 0x00, 0x40, 0x00, 0x52, 0x26, 0x16, 0x02, 0x0C, 0xF7};
const Bytes kReadExample{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x60, 0x1F, 0x44,
                         0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7};

TEST_F(OnDevice, PortsAreListedWhilePluggedUnderTheConfiguredNames) {
    {
        VirtualUnit u;
        EXPECT_TRUE(MmHost::listed(kName));
        u.unplug();
        EXPECT_FALSE(MmHost::listed(kName));
        u.plug();
        EXPECT_TRUE(MmHost::listed(kName));
    }
    EXPECT_FALSE(MmHost::listed(kName));  // gone with the unit
    UnitConfig cfg;
    cfg.inputName = "Tarvik QL-5 MIDI In";
    cfg.outputName = "Tarvik QL-5 MIDI Out";
    cfg.plugOnStart = false;
    VirtualUnit u(cfg);
    EXPECT_EQ(MmHost::findInput("Tarvik QL-5 MIDI In"), -1);
    u.plug();
    EXPECT_GE(MmHost::findInput("Tarvik QL-5 MIDI In"), 0);
    EXPECT_GE(MmHost::findOutput("Tarvik QL-5 MIDI Out"), 0);
    EXPECT_EQ(MmHost::findInput("Tarvik QL-5 MIDI Out"), -1);
    ASSERT_NE(u.device(), nullptr);
    EXPECT_EQ(u.device()->inputName(), "Tarvik QL-5 MIDI In");
}

TEST_F(OnDevice, DocumentedExamplesByteForByte) {
    UnitConfig cfg;
    cfg.systemStamp = "1.20";
    make(cfg);
    EXPECT_EQ(exchange(kIdentityRequest), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00,
                                                 0x10, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}));
    EXPECT_EQ(exchange(kReadExample),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                     0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7}));
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_EQ(exchange(kEraseExample), result(0));
    EXPECT_EQ(unit->readFlash(0x4B000, 0x26000), Bytes(0x26000, 0xFF));
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(0));
    EXPECT_EQ(exchange(kWriteExample), result(0));
    EXPECT_EQ(unit->readFlash(0x110000, 1), Bytes{0x80});
    EXPECT_EQ(exchange(kFinish), result(0));
    expectNothing();
}

TEST_F(OnDevice, AFullBlockRoundTripsThroughTheDriver) {
    make();
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    const Bytes block = pattern(4096, 77);
    EXPECT_EQ(exchange(writeCmd(0x71000, block)), result(0));
    const Bytes reply = exchange(readCmd(0x71000, 4096));
    ASSERT_EQ(reply.size(), 4699U);
    EXPECT_EQ(readReplyData(reply), block);
}

TEST_F(OnDevice, FinishUnplugsAfterTheReplyWasDeliveredAndReplugShowsTheNewFirmware) {
    make();
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(0));
    Bytes block(4096, 0x00);
    std::memcpy(block.data() + 0xFE0, "1.20", 4);
    EXPECT_EQ(exchange(writeCmd(0x110000, block)), result(0));
    EXPECT_EQ(exchange(kFinish), result(0));  // the reply arrives before the ports go
    ASSERT_TRUE(unit->waitPlugged(false, 2000ms));
    EXPECT_FALSE(MmHost::listed(kName));
    EXPECT_FALSE(host->send(kIdentityRequest));  // the open port is dead now
    host.reset();
    unit->plug();
    host = std::make_unique<MmHost>();
    ASSERT_TRUE(host->open(kName));
    const Bytes stamp = exchange(readCmd(0x110FE0, 4));
    EXPECT_EQ(readReplyData(stamp), (Bytes{'1', '.', '2', '0'}));
}

TEST_F(OnDevice, UnplugAfterFinishHonoursTheConfiguredDelay) {
    UnitConfig cfg;
    cfg.unplugAfterFinishMs = 400;
    make(cfg);
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_EQ(exchange(kFinish), result(0));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(MmHost::listed(kName));
    ASSERT_TRUE(unit->waitPlugged(false, 2000ms));
    EXPECT_FALSE(MmHost::listed(kName));
}

TEST_F(OnDevice, DropLateAndTwiceAsTheHostSeesThem) {
    make();
    script("identity#1:drop; identity#2:late=300ms; identity#3:twice");
    ASSERT_TRUE(host->send(kIdentityRequest));
    EXPECT_FALSE(host->next(200ms).has_value());
    ASSERT_TRUE(host->send(kIdentityRequest));
    EXPECT_FALSE(host->next(200ms).has_value());
    EXPECT_TRUE(host->nextSysEx(1000ms).has_value());
    ASSERT_TRUE(host->send(kIdentityRequest));
    EXPECT_EQ(host->nextSysEx(1000ms)->size(), 15U);
    EXPECT_EQ(host->nextSysEx(1000ms)->size(), 15U);
    expectNothing();
}

TEST_F(OnDevice, CodesBadCrcTruncatedAndMalformedRepliesAsTheHostSeesThem) {
    make();
    script("begin#1:code=11; read#1:badcrc; read#2:trunc=9; read#3:malformed; read#4:nof7");
    EXPECT_EQ(exchange(kBeginUpdate), result(11));
    const Bytes bad = exchange(readCmd(0x110FE0, 4));
    EXPECT_EQ(bad.size(), 22U);
    EXPECT_FALSE(readReplyData(bad).has_value());
    EXPECT_EQ(exchange(readCmd(0x110FE0, 4)),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0xF7}));
    const Bytes over = exchange(readCmd(0x110FE0, 4));
    ASSERT_EQ(over.size(), 22U);
    EXPECT_EQ(over[9], 0x7F);
    EXPECT_EQ(over[10], 0x7F);
    // Without its F7 the reply stays open in the platform's buffer until the
    // next message's F0 ends it: the host then gets the 21 bytes as they
    // are, followed by the next reply intact.
    ASSERT_TRUE(host->send(readCmd(0x110FE0, 4)));
    ASSERT_TRUE(unit->waitIdle());
    EXPECT_FALSE(host->next(150ms).has_value());
    ASSERT_TRUE(host->send(kIdentityRequest));
    const auto cut = host->nextSysEx(1000ms);
    ASSERT_TRUE(cut.has_value());
    Bytes full = buildReadReply(0x6E, Bytes{'1', '.', '1', '0'});
    full.pop_back();
    EXPECT_EQ(*cut, full);
    EXPECT_EQ(host->nextSysEx(1000ms)->size(), 15U);
}

TEST_F(OnDevice, ForeignSysExAndRealTimeBytesReachTheHostAroundTheReply) {
    make();
    script("identity#1:foreign,realtime=after; begin#1:realtime=inside");
    ASSERT_TRUE(host->send(kIdentityRequest));
    auto e = host->next(1000ms);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->type, HostEvent::Type::LongData);
    EXPECT_EQ(e->bytes[1], 0x43);  // another manufacturer first
    e = host->next(1000ms);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->bytes.size(), 15U);
    e = host->next(1000ms);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->type, HostEvent::Type::Data);
    EXPECT_EQ(e->bytes[0], 0xF8);
    e = host->next(1000ms);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->type, HostEvent::Type::Data);
    EXPECT_EQ(e->bytes[0], 0xFE);
    // Real-time bytes inside a SysEx are not part of it.
    ASSERT_TRUE(host->send(kBeginUpdate));
    Bytes sysex;
    int realTime = 0;
    for (int i = 0; i < 3; ++i) {
        e = host->next(1000ms);
        ASSERT_TRUE(e.has_value());
        if (e->type == HostEvent::Type::Data) ++realTime;
        if (e->type == HostEvent::Type::LongData) sysex = e->bytes;
    }
    EXPECT_EQ(realTime, 2);
    EXPECT_EQ(sysex, result(0));
}

TEST_F(OnDevice, LongErrorReachesTheHostAsMimLongError) {
    make();
    script("begin#1:longerror");
    ASSERT_TRUE(host->send(kBeginUpdate));
    const auto e = host->next(1000ms);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->type, HostEvent::Type::LongError);
    unit->sendLongError();  // on command too
    ASSERT_TRUE(unit->waitIdle());
    // The first long error kept its buffer: a second one needs another
    // queued buffer, which this host still has.
    const auto e2 = host->next(1000ms);
    ASSERT_TRUE(e2.has_value());
    EXPECT_EQ(e2->type, HostEvent::Type::LongError);
}

TEST_F(OnDevice, VanishAndMuteAsTheHostSeesThem) {
    make();
    script("identity#2:mute");
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    ASSERT_TRUE(host->send(kIdentityRequest));
    ASSERT_TRUE(host->send(kBeginUpdate));
    expectNothing();
    script("begin#2:vanish=before");
    unit->unplug();
    unit->plug();
    host = std::make_unique<MmHost>();
    ASSERT_TRUE(host->open(kName));
    ASSERT_TRUE(host->send(kBeginUpdate));
    ASSERT_TRUE(unit->waitPlugged(false, 2000ms));
    EXPECT_FALSE(MmHost::listed(kName));
    EXPECT_FALSE(host->next(100ms).has_value());
}

TEST_F(OnDevice, ALyingUnitIsCaughtOnlyByReadingBack) {
    make();
    script("write#*:lie");
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(0));
    const Bytes block = pattern(4096, 5);
    EXPECT_EQ(exchange(writeCmd(0x110000, block)), result(0));
    EXPECT_EQ(readReplyData(exchange(readCmd(0x110000, 4096))), Bytes(4096, 0xFF));
    EXPECT_EQ(unit->differingBlocks(0x110000, block), (std::vector<std::uint32_t>{0x110000}));
}

TEST_F(OnDevice, UnsolicitedMessagesReachTheHostAndItsAnswersAreRecorded) {
    make();
    unit->sendIdentityRequest();
    unit->sendMakerCommand(0x03);
    EXPECT_EQ(host->nextSysEx(1000ms), kIdentityRequest);
    EXPECT_EQ(host->nextSysEx(1000ms), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x03, 0xF7}));
    ASSERT_TRUE(host->send(
        Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0, 0, 0, 0, 0x31, 0x30, 0x30, 0x30, 0xF7}));
    ASSERT_TRUE(host->send(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, 0x01, 0xF7}));
    expectNothing();
    EXPECT_EQ(unit->counters().hostIdentityReplies, 1U);
    EXPECT_EQ(unit->counters().hostResults, 1U);
}

TEST_F(OnDevice, LinkRateOfTheRealisticProfilePacesTheBytes) {
    UnitConfig cfg;
    cfg.timing = TimingProfile::realistic();
    make(cfg);
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_EQ(exchange(eraseCmd(0x71000, 0x10000)), result(0));
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(exchange(writeCmd(0x71000 + 4096 * i, pattern(4096, 1))), result(0));
    }
    const auto wall = std::chrono::steady_clock::now() - t0;
    // 8 x (4,700 + 7 bytes at 912,000 B/s + 16 pages x 0.5 ms + 0.2 ms) = ~107 ms.
    EXPECT_GE(wall, 100ms);
    const auto modeled = unit->modeledTime();
    EXPECT_GT(modeled, 130ms);  // begin + a 25 ms erase + the writes
    EXPECT_LT(modeled, 150ms);
}

TEST_F(OnDevice, DestroyingTheUnitWithTheHostStillOpenIsSafe) {
    make();
    script("identity#*:late=5s");
    ASSERT_TRUE(host->send(kIdentityRequest));
    ASSERT_TRUE(unit->waitForRequests(RequestKind::Identity, 1, 1000ms));
    const auto t0 = std::chrono::steady_clock::now();
    unit.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1000ms);
    EXPECT_FALSE(host->send(kIdentityRequest));
}

}  // namespace
}  // namespace ql5::emulator::testing
