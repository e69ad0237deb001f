// The ALSA driver's sequencer side against a stand-in for the kernel's
// sequencer (fake_alsa_seq.cpp), so that listing, subscriptions, the SysEx
// pieces, retries, filtering and overruns are checked on machines without
// /dev/snd/seq. What the stand-in cannot show (the kernel's own behaviour)
// is left to alsa_driver_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

#include "fake_alsa_seq.hpp"
#include "fifo_pair.hpp"
#include "platform/mm/alsa_client.hpp"
#include "platform/mm/alsa_driver.hpp"
#include "platform/mm/port_pairing.hpp"

namespace ql5::mm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fake = test::fakeseq;

constexpr unsigned int kDuplex = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                 SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned int kHardware = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE;

class AlsaDriverFake : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        fake::addClient(14, "Midi Through", -1,
                        {{0, "Midi Through Port-0", kDuplex,
                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SOFTWARE}});
        fake::addClient(20, "Tarvik QL-5", -1, {{0, "Tarvik QL-5 MIDI 1", kDuplex, kHardware}});
        fake::addClient(100, "Synth", -1,
                        {{0, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH}});
        fake::addClient(101, "Not MIDI", -1,
                        {{0, "control", kDuplex, SND_SEQ_PORT_TYPE_APPLICATION}});
        driver_ = alsa::makeDriver({""});
    }

    std::vector<std::string> inputs() {
        std::vector<std::string> names;
        for (std::uint32_t i = 0; i < driver_->inputCount(); ++i)
            names.push_back(driver_->inputName(i));
        return names;
    }
    std::vector<std::string> outputs() {
        std::vector<std::string> names;
        for (std::uint32_t i = 0; i < driver_->outputCount(); ++i) {
            names.push_back(driver_->outputName(i));
        }
        return names;
    }

    // Our client that made the last connection.
    static fake::Connection lastConnection() {
        const auto all = fake::connections();
        return all.empty() ? fake::Connection{} : all.back();
    }

    static std::vector<std::uint8_t> joinedSysEx(const std::vector<fake::SentEvent>& events) {
        std::vector<std::uint8_t> joined;
        for (const auto& e : events) joined.insert(joined.end(), e.data.begin(), e.data.end());
        return joined;
    }

    std::shared_ptr<Driver> driver_;
};

TEST_F(AlsaDriverFake, PairsPortsByClientNotByName) {
    // A second unit of the same name under its own client, and a program
    // with separate input and output ports.
    fake::addClient(24, "Tarvik QL-5", -1, {{0, "Tarvik QL-5 MIDI 1", kDuplex, kHardware}});
    fake::addClient(120, "Tarvik QL-5 bridge", -1,
                    {{0, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kHardware},
                     {1, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kHardware}});
    driver_ = alsa::makeDriver({""});
    std::vector<PortInfo> ins;
    std::vector<PortInfo> outs;
    for (std::uint32_t i = 0; i < driver_->inputCount(); ++i) {
        ins.push_back({i, driver_->inputName(i), "alsa", driver_->inputDevice(i)});
    }
    for (std::uint32_t i = 0; i < driver_->outputCount(); ++i) {
        outs.push_back({i, driver_->outputName(i), "alsa", driver_->outputDevice(i)});
    }
    std::vector<std::string> got;
    for (const PortPair& p : pairPorts(ins, outs).pairs) {
        got.push_back(p.input.device + ": " + p.input.name + " + " + p.output.name);
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "client 14: Midi Through Port-0 + Midi Through Port-0",
                       "client 20: Tarvik QL-5 MIDI 1 + Tarvik QL-5 MIDI 1",
                       "client 24: Tarvik QL-5 MIDI 1 + Tarvik QL-5 MIDI 1",
                       "client 120: Tarvik QL-5 bridge out + Tarvik QL-5 bridge in",
                   }));
}

TEST_F(AlsaDriverFake, ListsMidiPortsInClientOrderUnderTheirNames) {
    const std::vector<std::string> expectedInputs = {"Midi Through Port-0", "Tarvik QL-5 MIDI 1"};
    const std::vector<std::string> expectedOutputs = {"Midi Through Port-0", "Tarvik QL-5 MIDI 1",
                                                      "Synth in"};
    EXPECT_EQ(inputs(), expectedInputs);
    EXPECT_EQ(outputs(), expectedOutputs);
}

// Two ports of one client whose names differ only after the 31 characters
// that the capability records keep: their addresses still tell them apart.
TEST_F(AlsaDriverFake, EveryPortHasItsSequencerAddress) {
    fake::addClient(28, "Bench Interface", -1,
                    {{0, "Bench Interface Long Port Name A", kDuplex, kHardware},
                     {1, "Bench Interface Long Port Name B", kDuplex, kHardware}});
    const std::vector<std::string> expected = {"14:0", "20:0", "28:0", "28:1"};
    std::vector<std::string> ins;
    std::vector<std::string> outs;
    for (std::uint32_t i = 0; i < driver_->inputCount(); ++i) {
        ins.push_back(driver_->inputAddress(i));
    }
    for (std::uint32_t i = 0; i < driver_->outputCount(); ++i) {
        outs.push_back(driver_->outputAddress(i));
    }
    EXPECT_EQ(ins, expected);
    const std::vector<std::string> expectedOutputs = {"14:0", "20:0", "28:0", "28:1", "100:0"};
    EXPECT_EQ(outs, expectedOutputs);
    EXPECT_EQ(driver_->inputAddress(4), "");

    setDrivers({driver_});
    char names[2][MAXPNAMELEN];
    MIDIINCAPSA caps{};
    for (std::uint32_t i = 0; i < 2; ++i) {
        ASSERT_EQ(midiInGetDevCapsA(2 + i, &caps, sizeof caps), MMSYSERR_NOERROR);
        std::memcpy(names[i], caps.szPname, sizeof names[i]);
    }
    EXPECT_STREQ(names[0], names[1]) << "the names alone are cut alike";
    EXPECT_EQ(inputDeviceAddress(2), "28:0");
    EXPECT_EQ(inputDeviceAddress(3), "28:1");
    EXPECT_EQ(outputDeviceAddress(4), "100:0");
    EXPECT_EQ(inputDeviceAddress(9), "");
    setDrivers({});
}

TEST_F(AlsaDriverFake, OurOwnClientsAreNeverListed) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver_->openInput(1, stream, input), MMSYSERR_NOERROR);
    EXPECT_EQ(inputs().size(), 2u);
    EXPECT_EQ(outputs().size(), 3u);
    for (const int client : fake::ourClients()) {
        for (const auto& port : fake::portsOf(client)) {
            EXPECT_NE(port.capability & SND_SEQ_PORT_CAP_NO_EXPORT, 0u) << port.name;
            EXPECT_EQ(port.type & SND_SEQ_PORT_TYPE_MIDI_GENERIC, 0u) << port.name;
        }
    }
}

TEST_F(AlsaDriverFake, WithoutASequencerThereAreNoPortsUntilItComes) {
    fake::failOpen(-ENOENT);
    auto driver = alsa::makeDriver({""});
    EXPECT_EQ(driver->inputCount(), 0u);
    EXPECT_EQ(driver->outputCount(), 0u);
    std::unique_ptr<DriverOutput> output;
    EXPECT_EQ(driver->openOutput(0, output), MMSYSERR_BADDEVICEID);
    fake::failOpen(0);
    EXPECT_EQ(driver->inputCount(), 2u);
}

TEST_F(AlsaDriverFake, PortsGoAwayWithTheirClient) {
    ASSERT_EQ(inputs().size(), 2u);
    fake::removeClient(20);
    const std::vector<std::string> expected = {"Midi Through Port-0"};
    EXPECT_EQ(inputs(), expected);
    std::unique_ptr<DriverOutput> output;
    EXPECT_EQ(driver_->openOutput(2, output), MMSYSERR_BADDEVICEID);  // was "Synth in"'s index
}

TEST_F(AlsaDriverFake, OutputSubscribesToThePortAndSendsAWriteBlockIn256BytePieces) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    const auto link = lastConnection();
    EXPECT_FALSE(link.from);
    EXPECT_EQ(link.otherClient, 20);
    EXPECT_EQ(link.otherPort, 0);

    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    const auto events = fake::sent();
    ASSERT_EQ(events.size(), 19u);
    for (const auto& e : events) {
        EXPECT_EQ(e.type, SND_SEQ_EVENT_SYSEX);
        EXPECT_TRUE(e.toSubscribers);
        EXPECT_TRUE(e.direct);
        EXPECT_EQ(e.sourceClient, link.ourClient);
        EXPECT_EQ(e.sourcePort, link.ourPort);
        EXPECT_LE(e.data.size(), 256u);
    }
    EXPECT_EQ(joinedSysEx(events), message);
}

TEST_F(AlsaDriverFake, AShortMessageGoesAsOneEvent) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(0, output), MMSYSERR_NOERROR);
    ASSERT_EQ(output->sendShort(0x007F4091u), MMSYSERR_NOERROR);
    EXPECT_EQ(output->sendShort(0x00000040u), MMSYSERR_INVALPARAM);
    const auto events = fake::sent();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, SND_SEQ_EVENT_NOTEON);
    snd_seq_ev_note_t note;
    std::memcpy(&note, events[0].data.data(), sizeof note);
    EXPECT_EQ(note.channel, 1);
    EXPECT_EQ(note.note, 0x40);
    EXPECT_EQ(note.velocity, 0x7F);
}

TEST_F(AlsaDriverFake, FullPoolsAreWaitedOut) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    fake::failSends(5, -EAGAIN);
    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    EXPECT_EQ(joinedSysEx(fake::sent()), message);
}

TEST_F(AlsaDriverFake, OtherSendErrorsFailTheMessage) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    fake::failSends(1, -EPERM);
    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    EXPECT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_ERROR);
    EXPECT_TRUE(fake::sent().empty());  // nothing after the refused piece
}

TEST_F(AlsaDriverFake, PoolsThatStayFullGiveUpWithinTheAllowance) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    fake::failSends(INT_MAX, -EAGAIN);
    const std::uint8_t message[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    bool markDone = true;
    const auto before = Clock::now();
    EXPECT_EQ(output->sendLong(message, sizeof message, markDone), MMSYSERR_ERROR);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 3s);
}

class AlsaDriverFakeInput : public AlsaDriverFake {
  protected:
    void SetUp() override {
        AlsaDriverFake::SetUp();
        ASSERT_EQ(driver_->openInput(1, stream_, input_), MMSYSERR_NOERROR);
        ASSERT_EQ(input_->start(), MMSYSERR_NOERROR);
        link_ = lastConnection();
        ASSERT_TRUE(link_.from);
        ASSERT_EQ(link_.otherClient, 20);
    }

    void fromUnit(const std::vector<std::uint8_t>& piece) {
        fake::deliverSysEx(link_.ourClient, link_.ourPort, 20, 0, piece);
    }

    test::RecordingStream stream_;
    std::unique_ptr<DriverInput> input_;
    fake::Connection link_;
};

TEST_F(AlsaDriverFakeInput, TheInputClientAsksForALargeKernelPool) {
    EXPECT_EQ(fake::inputPool(link_.ourClient), 2000u);
}

TEST_F(AlsaDriverFakeInput, PiecesAndShortMessagesArriveAsBytesInOrder) {
    const auto message = test::writeBlockSizedSysEx(4700);
    for (std::size_t at = 0; at < message.size(); at += 256) {
        const auto end = std::min(at + 256, message.size());
        fromUnit(std::vector<std::uint8_t>(message.begin() + at, message.begin() + end));
    }
    snd_seq_event_t note;
    snd_seq_ev_clear(&note);
    snd_seq_ev_set_noteon(&note, 2, 0x3C, 0x64);
    note.source.client = 20;
    note.source.port = 0;
    note.dest.client = static_cast<unsigned char>(link_.ourClient);
    note.dest.port = static_cast<unsigned char>(link_.ourPort);
    fake::deliverEvent(link_.ourClient, note);

    ASSERT_TRUE(stream_.waitForBytes(message.size() + 3, 2s));
    auto expected = message;
    expected.insert(expected.end(), {0x92, 0x3C, 0x64});
    EXPECT_EQ(stream_.bytes(), expected);
}

TEST_F(AlsaDriverFakeInput, EventsFromOtherSendersAreIgnored) {
    fake::deliverSysEx(link_.ourClient, link_.ourPort, 14, 0, {0xF0, 0x01, 0xF7});
    fromUnit({0xF0, 0x02, 0xF7});
    ASSERT_TRUE(stream_.waitForBytes(3, 2s));
    std::this_thread::sleep_for(50ms);
    const std::vector<std::uint8_t> expected = {0xF0, 0x02, 0xF7};
    EXPECT_EQ(stream_.bytes(), expected);
}

TEST_F(AlsaDriverFakeInput, LostEventsInsideASysExAreReportedAsMalformed) {
    fromUnit({0xF0, 0x01, 0x02});
    fake::deliverOverrun(link_.ourClient);
    fromUnit({0x03, 0xF7});
    ASSERT_TRUE(stream_.waitForBytes(5, 2s));
    EXPECT_EQ(stream_.longErrors(), 1);
    // Outside a message a loss needs no report.
    fake::deliverOverrun(link_.ourClient);
    fromUnit({0xF0, 0x04, 0xF7});
    ASSERT_TRUE(stream_.waitForBytes(8, 2s));
    EXPECT_EQ(stream_.longErrors(), 1);
}

// The input reads the system's announcements too: the unit's client leaving
// (a USB card removed) is told once; another client leaving, or a port of
// another client going, is not the unit.
TEST_F(AlsaDriverFakeInput, TheUnitsClientLeavingIsToldOnceOtherClientsAreNot) {
    const auto reads = fake::connections();
    EXPECT_TRUE(std::any_of(reads.begin(), reads.end(), [&](const fake::Connection& c) {
        return c.from && c.ourClient == link_.ourClient && c.otherClient == SND_SEQ_CLIENT_SYSTEM &&
               c.otherPort == SND_SEQ_PORT_SYSTEM_ANNOUNCE;
    }));
    fake::removeClient(100);
    snd_seq_event_t portExit;
    snd_seq_ev_clear(&portExit);
    portExit.type = SND_SEQ_EVENT_PORT_EXIT;
    portExit.source.client = SND_SEQ_CLIENT_SYSTEM;
    portExit.source.port = SND_SEQ_PORT_SYSTEM_ANNOUNCE;
    portExit.data.addr.client = 20;
    portExit.data.addr.port = 1;  // not the unit's port
    fake::deliverEvent(link_.ourClient, portExit);
    fromUnit({0xF0, 0x02, 0xF7});
    ASSERT_TRUE(stream_.waitForBytes(3, 2s));
    EXPECT_EQ(stream_.waitForGone(50ms), 0);

    fake::removeClient(20);
    EXPECT_EQ(stream_.waitForGone(2s), 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stream_.waitForGone(0ms), 1);
}

TEST_F(AlsaDriverFakeInput, TheUnitsPortLeavingIsTold) {
    snd_seq_event_t portExit;
    snd_seq_ev_clear(&portExit);
    portExit.type = SND_SEQ_EVENT_PORT_EXIT;
    portExit.source.client = SND_SEQ_CLIENT_SYSTEM;
    portExit.source.port = SND_SEQ_PORT_SYSTEM_ANNOUNCE;
    portExit.data.addr.client = 20;
    portExit.data.addr.port = 0;
    fake::deliverEvent(link_.ourClient, portExit);
    EXPECT_EQ(stream_.waitForGone(2s), 1);
}

TEST_F(AlsaDriverFakeInput, ClosingIsPromptAndLeavesTheSequencer) {
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    input_.reset();
    EXPECT_LT(Clock::now() - before, 200ms);
    for (const auto& c : fake::connections()) EXPECT_NE(c.ourClient, link_.ourClient);
    EXPECT_TRUE(fake::portsOf(link_.ourClient).empty());
}

// A card's port whose rawmidi device cannot be confirmed goes through the
// sequencer, paced so that the kernel's bridge never has to drop a piece.
TEST_F(AlsaDriverFake, ACardsPortThroughTheSequencerIsPacedToTheWire) {
    fake::addClient(24, "Tarvik QL-5 Card", 7,
                    {{0, "Tarvik QL-5 Card MIDI 1", kDuplex, kHardware}});
    const auto names = outputs();
    const auto at = std::find(names.begin(), names.end(), "Tarvik QL-5 Card MIDI 1");
    ASSERT_NE(at, names.end());
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(static_cast<std::uint32_t>(at - names.begin()), output),
              MMSYSERR_NOERROR);
    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    const auto before = Clock::now();
    ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 340ms);  // 1,116 bytes past the 3,584-byte burst at 3,125 bytes/s
    EXPECT_LT(took, 1500ms);
    EXPECT_EQ(joinedSysEx(fake::sent()), message);
}

TEST_F(AlsaDriverFake, AUserSpaceClientsPortIsNotPaced) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    const auto before = Clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    }
    EXPECT_LT(Clock::now() - before, 200ms);
}

// The virtual unit's program appears as a client of its own; the updater's
// driver lists it, and bytes make the whole trip both ways.
TEST_F(AlsaDriverFake, SeqClientHelperAndDriverTalkBothWays) {
    std::mutex mutex;
    std::vector<std::uint8_t> atUnit;
    std::vector<std::size_t> pieces;
    auto unit = AlsaSeqClient::create(
        "QL5 Fake Unit", "Fake in", "Fake out",
        [&](const std::uint8_t* bytes, std::size_t count) {
            std::lock_guard<std::mutex> lock(mutex);
            atUnit.insert(atUnit.end(), bytes, bytes + count);
            pieces.push_back(count);
        },
        "");
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(fake::inputPool(unit->clientId()), 2000u);
    for (const auto& port : fake::portsOf(unit->clientId())) {
        EXPECT_NE(port.type & SND_SEQ_PORT_TYPE_MIDI_GENERIC, 0u);
        EXPECT_EQ(port.capability & SND_SEQ_PORT_CAP_NO_EXPORT, 0u);
    }
    const auto ins = inputs();
    const auto outs = outputs();
    ASSERT_EQ(ins.back(), "QL5 Fake Unit Fake out");
    ASSERT_EQ(outs.back(), "QL5 Fake Unit Fake in");

    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openInput(static_cast<std::uint32_t>(ins.size() - 1), stream, input),
              MMSYSERR_NOERROR);
    ASSERT_EQ(driver_->openOutput(static_cast<std::uint32_t>(outs.size() - 1), output),
              MMSYSERR_NOERROR);

    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    const auto deadline = Clock::now() + 2s;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (atUnit.size() >= message.size() || Clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(1ms);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(atUnit, message);
        EXPECT_EQ(pieces.size(), 19u);
        for (const auto size : pieces) EXPECT_LE(size, 256u);
    }

    ASSERT_TRUE(unit->send(message.data(), message.size()));
    ASSERT_TRUE(stream.waitForBytes(message.size(), 2s));
    EXPECT_EQ(stream.bytes(), message);
}

}  // namespace
}  // namespace ql5::mm
