#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

#include "unit_harness.hpp"

namespace ql5::emulator::testing {
namespace {

using Unit = UnitHarness;

const Bytes kEraseExample{0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x60, 0x12,
                          0x00, 0x00, 0x00, 0x40, 0x09, 0x00, 0x00, 0xF7};
const Bytes kWriteExample{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0x00, 0x44, 0x00, 0x00,
                          0x01, 0x00, 0x40, 0x00, 0x52, 0x26, 0x16, 0x02, 0x0C, 0xF7};
const Bytes kReadExample{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x60, 0x1F, 0x44,
                         0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7};

TEST_F(Unit, StartsPluggedWithTheConfiguredStamps) {
    EXPECT_TRUE(unit->plugged());
    const Stamps s = unit->stamps();
    EXPECT_EQ(s.system, "1.10");
    EXPECT_EQ(s.preset, "1.00");
    EXPECT_EQ(s.boot, "0.90");
    // Installed firmware, not erased flash, around the stamps.
    EXPECT_NE(unit->readFlash(0x110000, 16), Bytes(16, 0xFF));
}

TEST_F(Unit, AnswersTheIdentityRequestWithItsIdentity) {
    EXPECT_EQ(exchange(kIdentityRequest), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00,
                                                 0x10, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}));
    UnitConfig cfg;
    cfg.identity = {0x6F, 0x01, 0x11, 0x02};
    cfg.revision = {'2', '0', '0', '1'};
    make(cfg);
    EXPECT_EQ(exchange(kIdentityRequest), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6F, 0x01,
                                                 0x11, 0x02, 0x32, 0x30, 0x30, 0x31, 0xF7}));
    // Its own maker messages carry the first identity byte.
    EXPECT_EQ(exchange(kBeginUpdate), (Bytes{0xF0, 0x52, 0x00, 0x6F, 0x00, 0x00, 0xF7}));
}

TEST_F(Unit, BeginUpdateAnswers11OutsideTheFirmwareUpdateMode) {
    UnitConfig cfg;
    cfg.updateMode = false;
    make(cfg);
    EXPECT_EQ(exchange(kBeginUpdate), result(11));
    EXPECT_FALSE(unit->updateSessionOpen());
    unit->setUpdateMode(true);
    EXPECT_EQ(exchange(kBeginUpdate), result(0));
    EXPECT_TRUE(unit->updateSessionOpen());
}

TEST_F(Unit, EraseAndWriteNeedAnUpdateSession) {
    const Bytes before = unit->readFlash(0x4B000, 0x26000);
    EXPECT_EQ(exchange(kEraseExample), result(5));
    EXPECT_EQ(exchange(kWriteExample), result(5));
    EXPECT_EQ(unit->readFlash(0x4B000, 0x26000), before);
    EXPECT_TRUE(unit->flashLog().empty());
}

TEST_F(Unit, EraseExampleErasesExactlyThePresetRegion) {
    begin();
    const Bytes below = unit->readFlash(0x4A000, 0x1000);
    const Bytes above = unit->readFlash(0x71000, 0x1000);
    EXPECT_EQ(exchange(kEraseExample), result(0));
    EXPECT_EQ(unit->readFlash(0x4B000, 0x26000), Bytes(0x26000, 0xFF));
    EXPECT_EQ(unit->readFlash(0x4A000, 0x1000), below);
    EXPECT_EQ(unit->readFlash(0x71000, 0x1000), above);
    const auto log = unit->flashLog();
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0].type, FlashOp::Type::Erase);
    EXPECT_EQ(log[0].address, 0x4B000U);
    EXPECT_EQ(log[0].length, 0x26000U);
    EXPECT_FALSE(unit->touchedOutsideRegions());
    EXPECT_EQ(unit->stamps().preset, "\xFF\xFF\xFF\xFF");
}

TEST_F(Unit, WriteExampleStoresTheByte80AtTheSystemBlock) {
    begin();
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(0));
    EXPECT_EQ(exchange(kWriteExample), result(0));
    EXPECT_EQ(unit->readFlash(0x110000, 2), (Bytes{0x80, 0xFF}));
    EXPECT_TRUE(unit->writesOverUnerased().empty());
}

TEST_F(Unit, ReadExampleGetsTheDocumentedReplyForStamp120) {
    UnitConfig cfg;
    cfg.systemStamp = "1.20";
    make(cfg);
    EXPECT_EQ(exchange(kReadExample),
              (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                     0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7}));
    expectSilence();
}

TEST_F(Unit, ReadsAreSplitIntoRepliesOfAtMost4096Bytes) {
    const Bytes expected = unit->readFlash(0x70000, 10000);
    send(readCmd(0x70000, 10000));
    Bytes got;
    std::vector<std::size_t> sizes;
    for (int i = 0; i < 3; ++i) {
        auto m = next();
        ASSERT_TRUE(m.has_value());
        auto data = readReplyData(*m);
        ASSERT_TRUE(data.has_value()) << "reply " << i << " malformed";
        sizes.push_back(data->size());
        got.insert(got.end(), data->begin(), data->end());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{4096, 4096, 1808}));
    EXPECT_EQ(got, expected);
    expectSilence();
}

TEST_F(Unit, ReadOfNothingGetsOneEmptyReply) {
    const Bytes r = exchange(readCmd(0x110FE0, 0));
    EXPECT_EQ(r, (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x00, 0x00, 0x7F,
                        0x7F, 0x7F, 0x7F, 0x0F, 0xF7}));
    expectSilence();
}

TEST_F(Unit, ReadPastTheFlashAndMalformedRequestsGetAResultCode) {
    EXPECT_EQ(exchange(readCmd(0xFFFFFE, 4)), result(4));
    EXPECT_EQ(exchange(readCmd(0xFFFFFFFF, 4)), result(4));
    Bytes bad = readCmd(0, 4);
    bad[5] = 0x31;
    EXPECT_EQ(exchange(bad), result(3));
    begin();
    EXPECT_EQ(exchange(eraseCmd(0xFFF000, 0x2000)), result(4));
    EXPECT_EQ(exchange(writeCmd(0xFFFFFF, Bytes{1, 2})), result(4));
    Bytes crc = writeCmd(0x110000, Bytes{1, 2, 3});
    crc[crc.size() - 2] ^= 0x01;
    EXPECT_EQ(exchange(crc), result(2));
    EXPECT_EQ(exchange(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0xF7}), result(3));
    EXPECT_EQ(exchange(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x7F, 0xF7}), result(6));
    EXPECT_TRUE(unit->flashLog().empty());
}

TEST_F(Unit, EmptyBlocksAndRegionsAreAcceptedAndChangeNothing) {
    begin();
    const Bytes before = unit->readFlash(0x110000, 16);
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0)), result(0));
    const Bytes empty = writeCmd(0x110000, Bytes{});
    ASSERT_EQ(empty.size(), 18U);  // head, no data, the CRC of nothing, F7
    EXPECT_EQ(exchange(empty), result(0));
    EXPECT_EQ(unit->readFlash(0x110000, 16), before);
    EXPECT_TRUE(unit->writesOverUnerased().empty());
    EXPECT_FALSE(unit->touched(0x110000, 0x1000));
}

TEST_F(Unit, OtherMakerCommandsCountAsTheirOwnKindForFaults) {
    std::string error;
    ASSERT_TRUE(unit->setFaults("other#2:code=42", &error)) << error;
    const Bytes other{0xF0, 0x52, 0x00, 0x6E, 0x33, 0xF7};
    EXPECT_EQ(exchange(other), result(6));
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    EXPECT_EQ(exchange(other), result(42));
    EXPECT_EQ(unit->counters().of(RequestKind::Other), 2U);
}

TEST_F(Unit, AcceptsRequestsWhateverTheirModelByte) {
    EXPECT_EQ(exchange(Bytes{0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7}), result(0));
    EXPECT_EQ(exchange(readCmd(0x4AFFC, 4, 0x00)).size(), 22U);
}

TEST_F(Unit, FinishMakesThePortsVanishAndAReplugShowsTheNewFirmware) {
    begin();
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(0));
    Bytes block = pattern(4096, 3);
    block[0xFE0] = '1';
    block[0xFE1] = '.';
    block[0xFE2] = '2';
    block[0xFE3] = '0';
    EXPECT_EQ(exchange(writeCmd(0x110000, block)), result(0));
    EXPECT_EQ(exchange(kFinish), result(0));
    EXPECT_TRUE(unit->waitPlugged(false, 2000ms));
    EXPECT_FALSE(link->hostSend(kIdentityRequest));
    unit->plug();
    EXPECT_TRUE(unit->plugged());
    EXPECT_EQ(unit->stamps().system, "1.20");
    EXPECT_TRUE(unit->regionEquals(0x110000, block));
    // A new power-up has no update session.
    EXPECT_EQ(exchange(eraseCmd(0x110000, 0x1000)), result(5));
}

TEST_F(Unit, FinishOutsideASessionIsAnsweredButUnplugsNothing) {
    EXPECT_EQ(exchange(kFinish), result(0));
    ASSERT_TRUE(unit->waitIdle());
    EXPECT_TRUE(unit->plugged());
}

TEST_F(Unit, UnplugAfterFinishWaitsTheConfiguredDelayAndReplugsByItself) {
    UnitConfig cfg;
    cfg.unplugAfterFinishMs = 300;
    cfg.replugAfterMs = 300;
    make(cfg);
    begin();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(kFinish), result(0));
    EXPECT_TRUE(unit->plugged());
    ASSERT_TRUE(unit->waitPlugged(false, 3000ms));
    const auto gone = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(gone, 290ms);
    ASSERT_TRUE(unit->waitPlugged(true, 3000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 590ms);
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
}

TEST_F(Unit, UnplugEndsTheSessionAndLosesQueuedRequests) {
    UnitConfig cfg;
    cfg.faults = *parseFaultScript("begin#1:late=300ms", nullptr);
    make(cfg);
    send(kBeginUpdate);
    send(kIdentityRequest);  // queued behind the slow answer
    ASSERT_TRUE(unit->waitForRequests(RequestKind::Begin, 1, 2000ms));
    unit->unplug();
    unit->plug();
    expectSilence(400ms);
    EXPECT_FALSE(unit->updateSessionOpen());
    EXPECT_EQ(unit->counters().of(RequestKind::Identity), 0U);
}

TEST_F(Unit, NorWritesOverUnerasedFlashLeaveOldAndNewAndAreRecorded) {
    begin();
    // The PRESET region still holds the installed firmware: no erase first.
    const Bytes old = unit->readFlash(0x4B000, 8);
    const Bytes data{0x0F, 0xF0, 0x55, 0xAA, 0x00, 0xFF, 0x81, 0x7E};
    EXPECT_EQ(exchange(writeCmd(0x4B000, data)), result(0));
    Bytes anded(8);
    for (int i = 0; i < 8; ++i) anded[i] = old[i] & data[i];
    EXPECT_EQ(unit->readFlash(0x4B000, 8), anded);
    const auto over = unit->writesOverUnerased();
    ASSERT_EQ(over.size(), 1U);
    EXPECT_EQ(over[0].address, 0x4B000U);
    EXPECT_EQ(over[0].length, 8U);
    EXPECT_TRUE(over[0].corrupted);
    EXPECT_EQ(unit->differingBlocks(0x4B000, data), (std::vector<std::uint32_t>{0x4B000}));
}

TEST_F(Unit, RecordsWritesAndErasesOutsideTheKnownRegions) {
    begin();
    EXPECT_EQ(exchange(eraseCmd(0x150000, 0x1000)), result(0));
    EXPECT_EQ(exchange(writeCmd(0x150010, Bytes{1, 2, 3})), result(0));
    EXPECT_EQ(unit->erasedOutsideRegions(), (std::vector<ByteRange>{{0x150000, 0x1000}}));
    EXPECT_EQ(unit->writtenOutsideRegions(), (std::vector<ByteRange>{{0x150010, 3}}));
    EXPECT_TRUE(unit->touchedOutsideRegions());
    EXPECT_TRUE(unit->touched(0x150000, 0x10));
    EXPECT_FALSE(unit->touched(0x0, 0x4B000));  // BOOT untouched
    unit->clearFlashLog();
    EXPECT_FALSE(unit->touchedOutsideRegions());
}

TEST_F(Unit, ChecksCompareRegionsBlockByBlock) {
    begin();
    EXPECT_EQ(exchange(eraseCmd(0x71000, 0x9F000)), result(0));
    const Bytes image = pattern(3 * 4096 + 100, 9);
    for (std::size_t off = 0; off < image.size(); off += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, image.size() - off);
        if (off == 4096) continue;  // the second block never arrives
        EXPECT_EQ(exchange(writeCmd(0x71000 + static_cast<std::uint32_t>(off),
                                    Bytes(image.begin() + off, image.begin() + off + n))),
                  result(0));
    }
    EXPECT_FALSE(unit->regionEquals(0x71000, image));
    EXPECT_EQ(unit->differingBlocks(0x71000, image), (std::vector<std::uint32_t>{0x72000}));
    EXPECT_TRUE(unit->regionEquals(0x71000, std::span(image).first(4096)));
    EXPECT_FALSE(unit->regionEquals(0xFFFFFF, image));
    EXPECT_EQ(unit->differingBlocks(0xFFF000, Bytes(0x2000, 0xFF)),
              (std::vector<std::uint32_t>{0xFFF000, 0x1000000}));
}

TEST_F(Unit, HostAnswersToTheUnitsRequestsAreRecordedNotAnswered) {
    send(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7});
    send(Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0, 0, 0, 0, 0x31, 0x30, 0x30, 0x30, 0xF7});
    send(Bytes{0xF0, 0x43, 0x10, 0x4C, 0xF7});
    send(Bytes{0xF8});
    expectSilence();
    const Counters c = unit->counters();
    EXPECT_EQ(c.hostResults, 1U);
    EXPECT_EQ(c.hostIdentityReplies, 1U);
    EXPECT_EQ(c.ignoredMessages, 2U);
    EXPECT_EQ(c.of(RequestKind::Any), 0U);
    const auto entries = unit->transcript().entries();
    ASSERT_EQ(entries.size(), 5U);  // "plugged" + four host messages
    EXPECT_EQ(entries[1].kind, MessageKind::Result);
    EXPECT_EQ(entries[2].kind, MessageKind::IdentityReply);
    EXPECT_EQ(entries[3].kind, MessageKind::Foreign);
    EXPECT_EQ(entries[4].kind, MessageKind::RealTime);
}

TEST_F(Unit, SendsWhatAUnitMaySendOnItsOwn) {
    unit->sendIdentityRequest();
    for (std::uint8_t cmd : {0x01, 0x03, 0x04, 0x05, 0x02, 0x33}) unit->sendMakerCommand(cmd);
    unit->sendRaw(Bytes{0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7});
    unit->sendLongError();
    EXPECT_EQ(next(), kIdentityRequest);
    for (std::uint8_t cmd : {0x01, 0x03, 0x04, 0x05, 0x02, 0x33}) {
        EXPECT_EQ(next(), (Bytes{0xF0, 0x52, 0x00, 0x6E, cmd, 0xF7}));
    }
    EXPECT_EQ(next(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}));
    ASSERT_TRUE(unit->waitIdle());
    EXPECT_EQ(link->longErrors(), 1);
    EXPECT_EQ(unit->counters().repliesSent, 8U);
}

TEST_F(Unit, CountsRequestsPerKind) {
    exchange(kIdentityRequest);
    exchange(kIdentityRequest);
    begin();
    exchange(eraseCmd(0x110000, 0x1000));
    exchange(writeCmd(0x110000, Bytes{1}));
    exchange(readCmd(0x110000, 1));
    exchange(kFinish);
    const Counters c = unit->counters();
    EXPECT_EQ(c.of(RequestKind::Identity), 2U);
    EXPECT_EQ(c.of(RequestKind::Begin), 1U);
    EXPECT_EQ(c.of(RequestKind::Erase), 1U);
    EXPECT_EQ(c.of(RequestKind::Write), 1U);
    EXPECT_EQ(c.of(RequestKind::Read), 1U);
    EXPECT_EQ(c.of(RequestKind::Finish), 1U);
    EXPECT_EQ(c.of(RequestKind::Any), 7U);
    EXPECT_EQ(c.repliesSent, 7U);
}

TEST_F(Unit, TheHostsSendingThreadNeverWaitsForTheUnit) {
    UnitConfig cfg;
    cfg.timing.eraseMsPer64KiB = 50;  // 227 blocks: over 11 s of modeled erase
    make(cfg);
    begin();
    const auto t0 = std::chrono::steady_clock::now();
    send(eraseCmd(0x1CB000, 0xE35000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
    // Tear down mid-erase: the destructor must not sit out the erase.
    const auto t1 = std::chrono::steady_clock::now();
    unit.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 1000ms);
}

TEST_F(Unit, TimingModelSleepsAndAccountsTheModeledTime) {
    UnitConfig cfg;
    cfg.timing.eraseMsPer64KiB = 20;
    cfg.timing.programMsPerPage = 1;
    cfg.timing.replyLatencyMs = 5;
    cfg.timing.linkBytesPerSecond = 1000000;
    make(cfg);
    begin();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(eraseCmd(0x4B000, 0x26000)), result(0));  // 3 blocks of 64 KiB
    const auto erase = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(erase, 65ms);
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(writeCmd(0x4B080, pattern(4096, 1))), result(0));  // 17 pages
    EXPECT_GE(std::chrono::steady_clock::now() - t1, 22ms);
    // begin (5) + erase (60 + 5) + write (17 + 5) ms of device time, plus
    // the bytes both ways at 1 MB/s.
    const std::int64_t deviceNs = (5 + 65 + 22) * 1000000LL;
    const std::int64_t linkBytes = 6 + 7 + 16 + 7 + 4700 + 7;
    const std::int64_t expected = deviceNs + linkBytes * 1000;
    EXPECT_NEAR(static_cast<double>(unit->modeledTime().count()), static_cast<double>(expected),
                1000.0);
}

TEST(TimingProfile, RealisticFigures) {
    const TimingProfile t = TimingProfile::realistic();
    EXPECT_EQ(t.linkBytesPerSecond, 912000.0);
    EXPECT_GT(t.eraseMsPer64KiB, 0.0);
    EXPECT_GT(t.programMsPerPage, 0.0);
    EXPECT_GT(t.replyLatencyMs, 0.0);
}

TEST_F(Unit, TranscriptFormatsOneLinePerMessage) {
    UnitConfig cfg;
    cfg.systemStamp = "1.20";
    make(cfg);
    exchange(kReadExample);
    ASSERT_TRUE(unit->waitIdle());
    const auto entries = unit->transcript().entries();
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].direction, Direction::Event);
    EXPECT_EQ(entries[1].direction, Direction::HostToUnit);
    EXPECT_EQ(entries[1].kind, MessageKind::ReadMemory);
    EXPECT_EQ(entries[2].direction, Direction::UnitToHost);
    EXPECT_EQ(entries[2].kind, MessageKind::ReadReply);
    EXPECT_LE(entries[1].time, entries[2].time);
    const auto origin = unit->transcript().origin();
    const std::string line = Transcript::format(entries[1], origin, 0);
    EXPECT_NE(line.find("host>unit"), std::string::npos) << line;
    EXPECT_NE(line.find("read-memory"), std::string::npos) << line;
    EXPECT_NE(line.find("F0 52 00 6E 60 30 60 1F 44 00 00 04 00 00 00 00 F7"), std::string::npos)
        << line;
    const std::string reply = Transcript::format(entries[2], origin, 8);
    EXPECT_NE(reply.find("unit>host"), std::string::npos) << reply;
    EXPECT_NE(reply.find(" F0 52 00 6E 60 04 ... 06 F7"), std::string::npos) << reply;
    EXPECT_EQ(Transcript::format(entries[0], origin).find("plugged"), 27U);
}

TEST_F(Unit, TranscriptListenerSeesEveryEntryWhole) {
    UnitConfig cfg;
    cfg.transcriptBytesPerEntry = 8;
    make(cfg);
    std::mutex m;
    std::vector<TranscriptEntry> seen;
    unit->transcript().setListener([&](const TranscriptEntry& e) {
        std::lock_guard lock(m);
        seen.push_back(e);
    });
    exchange(kIdentityRequest);
    ASSERT_TRUE(unit->waitIdle());
    std::lock_guard lock(m);
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[0].bytes, kIdentityRequest);
    EXPECT_EQ(seen[1].bytes.size(), 15U);  // whole, though only 8 bytes are kept
    EXPECT_EQ(unit->transcript().entries().back().bytes.size(), 8U);
}

TEST_F(Unit, ClearingTheCountersRestartsTheFaultOrdinals) {
    std::string error;
    ASSERT_TRUE(unit->setFaults("identity#1:drop", &error)) << error;
    send(kIdentityRequest);
    expectSilence();
    EXPECT_EQ(exchange(kIdentityRequest).size(), 15U);
    unit->clearCounters();
    EXPECT_EQ(unit->counters().of(RequestKind::Any), 0U);
    send(kIdentityRequest);
    expectSilence();
}

TEST_F(Unit, TranscriptCanKeepOnlyTheHeadOfLongMessages) {
    UnitConfig cfg;
    cfg.transcriptBytesPerEntry = 16;
    make(cfg);
    begin();
    exchange(writeCmd(0x110000, pattern(4096, 2)));
    const auto entries = unit->transcript().entries();
    ASSERT_GE(entries.size(), 4U);
    EXPECT_EQ(entries[3].length, 4700U);
    EXPECT_EQ(entries[3].bytes.size(), 16U);
}

// A unit left plugged in for many updates keeps only the tail of its
// session: the bound holds however many entries come, the newest are kept
// in order, the dropped ones are counted, and the listener still sees all.
TEST(TranscriptBound, KeepsTheTailAndCountsTheRest) {
    struct Case {
        std::size_t maxEntries;
        std::size_t added;
        std::size_t kept;
    };
    for (const Case c :
         {Case{4, 3, 3}, Case{4, 4, 4}, Case{4, 11, 4}, Case{0, 50, 50},
          Case{Transcript::kDefaultMaxEntries, 3000, Transcript::kDefaultMaxEntries}}) {
        Transcript t(0, c.maxEntries);
        std::size_t heard = 0;
        t.setListener([&](const TranscriptEntry&) { ++heard; });
        const Bytes block(4700, 0x11);
        for (std::size_t i = 0; i < c.added; ++i) {
            t.add(Direction::HostToUnit, block.data(), block.size(), std::to_string(i));
        }
        SCOPED_TRACE(::testing::Message() << "max " << c.maxEntries << ", added " << c.added);
        EXPECT_EQ(heard, c.added);
        ASSERT_EQ(t.size(), c.kept);
        EXPECT_EQ(t.dropped(), c.added - c.kept);
        const auto entries = t.entries();
        ASSERT_EQ(entries.size(), c.kept);
        for (std::size_t i = 0; i < c.kept; ++i) {
            EXPECT_EQ(entries[i].note, std::to_string(c.added - c.kept + i));
        }
        t.clear();
        EXPECT_EQ(t.size(), 0U);
        EXPECT_EQ(t.dropped(), 0U);
    }
    EXPECT_EQ(UnitConfig{}.transcriptMaxEntries, Transcript::kDefaultMaxEntries);
}

}  // namespace
}  // namespace ql5::emulator::testing
