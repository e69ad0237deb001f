// A sound card's port through the ALSA driver, with stand-ins for both the
// sequencer (which lists the port) and the card's rawmidi device (which the
// driver then opens): the choice between rawmidi and the sequencer, whole
// writes with a drain, input, overruns, a stalled or unplugged device.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fake_alsa_rawmidi.hpp"
#include "fake_alsa_seq.hpp"
#include "fifo_pair.hpp"
#include "platform/mm/alsa_driver.hpp"

namespace ql5::mm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace seq = test::fakeseq;
namespace raw = test::fakeraw;

constexpr unsigned int kDuplex = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                 SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned int kHardware = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE;
constexpr raw::Address kUnit{1, 0, 0};

class AlsaRawMidiFake : public ::testing::Test {
  protected:
    void SetUp() override {
        seq::reset();
        raw::reset();
        // snd-seq-midi's client for card 1, its port 0 = device 0, subdevice 0.
        seq::addClient(24, "Tarvik QL-5", 1, {{0, "Tarvik QL-5 MIDI 1", kDuplex, kHardware}});
        raw::addDevice(1, 0, "Tarvik QL-5", {{"Tarvik QL-5 MIDI 1", true, true}});
        driver_ = alsa::makeDriver({""});
        ASSERT_EQ(driver_->outputCount(), 1u);
        ASSERT_EQ(driver_->outputName(0), "Tarvik QL-5 MIDI 1");
    }

    std::shared_ptr<Driver> driver_;
};

TEST_F(AlsaRawMidiFake, OutputGoesThroughRawMidiWholeAndIsDrained) {
    raw::setWriteChunk(100);  // the kernel takes part of a write at a time
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(0, output), MMSYSERR_NOERROR);
    EXPECT_TRUE(raw::isOpen(kUnit, true));
    EXPECT_TRUE(seq::connections().empty());

    const auto block = test::writeBlockSizedSysEx(4700);
    const std::vector<std::uint8_t> identity = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    bool markDone = true;
    ASSERT_EQ(output->sendLong(block.data(), block.size(), markDone), MMSYSERR_NOERROR);
    ASSERT_EQ(output->sendLong(identity.data(), identity.size(), markDone), MMSYSERR_NOERROR);
    auto expected = block;
    expected.insert(expected.end(), identity.begin(), identity.end());
    EXPECT_EQ(raw::wire(kUnit), expected);
    // Each send returns only after a drain that followed its last byte.
    const std::vector<std::size_t> drains = {4700, 4706};
    EXPECT_EQ(raw::drains(kUnit), drains);
    EXPECT_TRUE(seq::sent().empty());
    output.reset();
    EXPECT_FALSE(raw::isOpen(kUnit, true));
}

// The kernel's write may send bytes it has not yet copied in when the card is
// still sending: a message must go in with one write, after the previous one
// was drained, so the buffer must hold a whole write block.
TEST_F(AlsaRawMidiFake, AWriteBlockGoesInWithOneWrite) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(0, output), MMSYSERR_NOERROR);
    EXPECT_EQ(raw::outputBufferSize(kUnit), 65536u);
    const auto block = test::writeBlockSizedSysEx(4699);
    bool markDone = true;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(output->sendLong(block.data(), block.size(), markDone), MMSYSERR_NOERROR);
    }
    const std::vector<std::size_t> writes = {4699, 4699};
    EXPECT_EQ(raw::writes(kUnit), writes);
    const std::vector<std::size_t> drains = {4699, 9398};
    EXPECT_EQ(raw::drains(kUnit), drains);
}

TEST_F(AlsaRawMidiFake, InputGoesThroughRawMidiWithALargeBuffer) {
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver_->openInput(0, stream, input), MMSYSERR_NOERROR);
    EXPECT_TRUE(raw::isOpen(kUnit, false));
    EXPECT_EQ(raw::inputBufferSize(kUnit), 65536u);
    EXPECT_TRUE(seq::connections().empty());
    const auto block = test::writeBlockSizedSysEx(4700);
    raw::send(kUnit, block);
    ASSERT_TRUE(stream.waitForBytes(block.size(), 2s));
    EXPECT_EQ(stream.bytes(), block);
    EXPECT_EQ(stream.longErrors(), 0);

    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    input.reset();
    EXPECT_LT(Clock::now() - before, 200ms);
    EXPECT_FALSE(raw::isOpen(kUnit, false));
}

TEST_F(AlsaRawMidiFake, AnOverrunMarksTheMessagesAroundTheHoleMalformed) {
    raw::setInputBufferCap(16);  // the kernel grants only 16 bytes
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver_->openInput(0, stream, input), MMSYSERR_NOERROR);

    // 40 bytes at once: the buffer keeps 16, the hole follows them.
    std::vector<std::uint8_t> burst(40, 0x11);
    burst.front() = 0xF0;
    burst.back() = 0xF7;
    raw::send(kUnit, burst);
    ASSERT_TRUE(stream.waitForBytes(16, 2s));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(stream.longErrors(), 0);  // the hole is not reached yet

    // The hole lies at stream position 16 (or, as far as the driver can tell,
    // up to 32): the cut message is reported, and so is the one that starts
    // there.
    raw::send(kUnit, {0xF0, 0x01, 0x02, 0xF7});  // 16-19
    ASSERT_TRUE(stream.waitForBytes(20, 2s));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(stream.longErrors(), 2);

    raw::send(kUnit, {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                      0xF7});  // 20-32: starts inside the span
    ASSERT_TRUE(stream.waitForBytes(33, 2s));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(stream.longErrors(), 3);

    raw::send(kUnit, {0xF0, 0x05, 0xF7});  // 33-35: after it, whole
    ASSERT_TRUE(stream.waitForBytes(36, 2s));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(stream.longErrors(), 3);
    EXPECT_EQ(stream.bytes().size(), 36u);
}

// The user is told once why it is slow and what frees the device.
TEST_F(AlsaRawMidiFake, ABusySubstreamIsReachedThroughTheSequencer) {
    raw::setBusy(kUnit, true, true);
    std::unique_ptr<DriverOutput> output;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(driver_->openOutput(0, output), MMSYSERR_NOERROR);
    std::unique_ptr<DriverOutput> again;
    ASSERT_EQ(driver_->openOutput(0, again), MMSYSERR_NOERROR);
    again.reset();
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(told,
              "Tarvik QL-5 MIDI 1: the card's MIDI device hw:1,0,0 is held by another program, so "
              "the bytes go through the ALSA sequencer, paced to a MIDI cable's 3125 bytes/s (a "
              "whole update takes about 95 minutes instead of a few). Close the program that "
              "holds it (fuser -v /dev/snd/midiC1D0 names it) and start again.\n");
    const auto links = seq::connections();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].otherClient, 24);
    const std::vector<std::uint8_t> identity = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    bool markDone = true;
    ASSERT_EQ(output->sendLong(identity.data(), identity.size(), markDone), MMSYSERR_NOERROR);
    EXPECT_TRUE(raw::wire(kUnit).empty());
    ASSERT_EQ(seq::sent().size(), 1u);
    EXPECT_EQ(seq::sent()[0].data, identity);
}

TEST_F(AlsaRawMidiFake, APortThatIsNotTheSubstreamsGoesThroughTheSequencer) {
    // A card's synthesiser port numbered like a rawmidi port, but named
    // otherwise.
    seq::addClient(28, "Card Two", 2,
                   {{0, "FM Synth", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                     SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH}});
    raw::addDevice(2, 0, "MIDI UART", {{"MIDI UART MIDI 1", true, true}});
    ASSERT_EQ(driver_->outputName(1), "Card Two FM Synth");
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(1, output), MMSYSERR_NOERROR);
    EXPECT_FALSE(raw::isOpen({2, 0, 0}, true));
    ASSERT_EQ(seq::connections().size(), 1u);
    EXPECT_EQ(seq::connections()[0].otherClient, 28);
}

TEST_F(AlsaRawMidiFake, ADeviceThatStopsTakingBytesFailsTheSendWithinItsAllowance) {
    raw::setStalled(true);
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(0, output), MMSYSERR_NOERROR);
    const std::vector<std::uint8_t> identity = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    bool markDone = true;
    const auto before = Clock::now();
    EXPECT_EQ(output->sendLong(identity.data(), identity.size(), markDone), MMSYSERR_ERROR);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(raw::drains(kUnit).empty());
}

// A write the card refuses with ENODEV is the device gone (NODRIVER), which
// ends the updater's wait for a reply at once.
TEST_F(AlsaRawMidiFake, AnUnpluggedCardFailsTheSendAsADriverGone) {
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver_->openOutput(0, output), MMSYSERR_NOERROR);
    raw::setGone(true);
    const std::vector<std::uint8_t> identity = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    bool markDone = true;
    EXPECT_EQ(output->sendLong(identity.data(), identity.size(), markDone), MMSYSERR_NODRIVER);
}

TEST_F(AlsaRawMidiFake, AnUnpluggedCardEndsReading) {
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver_->openInput(0, stream, input), MMSYSERR_NOERROR);
    raw::setGone(true);
    raw::send(kUnit, {0xF0, 0x01, 0xF7});  // wakes the reader, which then finds the card gone
    EXPECT_EQ(stream.waitForGone(2s), 1);  // told once
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stream.pushes(), 0u);
    EXPECT_EQ(stream.waitForGone(0ms), 1);
    input.reset();  // closing after the reader ended is fine
}

}  // namespace
}  // namespace ql5::mm
