// The ALSA driver against the kernel's sequencer. The unit is played by a
// sequencer-only client that the test makes itself (AlsaSeqClient), so no
// sound card is needed; without /dev/snd/seq these tests skip, except the
// ones that check how the driver behaves without a sequencer.
#include "platform/mm/alsa_driver.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "fifo_pair.hpp"
#include "platform/mm/alsa_client.hpp"

namespace ql5::mm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool haveSequencer() { return ::access("/dev/snd/seq", R_OK | W_OK) == 0; }

#define SKIP_WITHOUT_SEQUENCER()                                                     \
    if (!haveSequencer())                                                            \
    GTEST_SKIP() << "needs the ALSA sequencer (/dev/snd/seq, module snd-seq); this " \
                    "machine has none"

constexpr char kUnitClient[] = "QL5 Test Unit";
constexpr char kUnitIn[] = "QL5 Test Unit MIDI in";
constexpr char kUnitOut[] = "QL5 Test Unit MIDI out";

// What the test's unit receives, with the size of every piece.
class UnitRecorder {
  public:
    void onReceived(const std::uint8_t* bytes, std::size_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.insert(bytes_.end(), bytes, bytes + count);
        pieces_.push_back(count);
        changed_.notify_all();
    }
    bool waitForBytes(std::size_t count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return bytes_.size() >= count; });
    }
    std::vector<std::uint8_t> bytes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    std::vector<std::size_t> pieces() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pieces_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::size_t> pieces_;
};

// Index of the first port whose name is `name`, or -1.
long findInput(Driver& driver, const std::string& name) {
    for (std::uint32_t i = 0; i < driver.inputCount(); ++i) {
        if (driver.inputName(i) == name) return i;
    }
    return -1;
}
long findOutput(Driver& driver, const std::string& name) {
    for (std::uint32_t i = 0; i < driver.outputCount(); ++i) {
        if (driver.outputName(i) == name) return i;
    }
    return -1;
}

TEST(AlsaDriver, IsOneProcessWideInstance) {
    auto first = alsaDriver();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, alsaDriver());
    EXPECT_STREQ(first->name(), "alsa");
}

TEST(AlsaDriver, WithoutASequencerListsNoPortsAndOpensNothing) {
    if (haveSequencer()) GTEST_SKIP() << "this machine has a sequencer";
    auto driver = alsaDriver();
    EXPECT_EQ(driver->inputCount(), 0u);
    EXPECT_EQ(driver->outputCount(), 0u);
    EXPECT_EQ(driver->inputName(0), "");
    EXPECT_EQ(driver->outputName(0), "");
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    EXPECT_EQ(driver->openInput(0, stream, input), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(driver->openOutput(0, output), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
}

TEST(AlsaDriver, IndexPastTheEndIsABadDevice) {
    auto driver = alsaDriver();
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    EXPECT_EQ(driver->openInput(driver->inputCount() + 1000, stream, input), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(driver->openOutput(0xFFFFFFFFu, output), MMSYSERR_BADDEVICEID);
}

TEST(AlsaSeqClient, CannotBeMadeWithoutASequencer) {
    if (haveSequencer()) GTEST_SKIP() << "this machine has a sequencer";
    EXPECT_EQ(AlsaSeqClient::create(kUnitClient, kUnitIn, kUnitOut, nullptr), nullptr);
}

class AlsaWithSequencer : public ::testing::Test {
  protected:
    void SetUp() override {
        SKIP_WITHOUT_SEQUENCER();
        unit_ = AlsaSeqClient::create(kUnitClient, kUnitIn, kUnitOut,
                                      [this](const std::uint8_t* bytes, std::size_t count) {
                                          received_.onReceived(bytes, count);
                                      });
        ASSERT_NE(unit_, nullptr);
    }

    UnitRecorder received_;
    std::unique_ptr<AlsaSeqClient> unit_;
};

TEST_F(AlsaWithSequencer, ListsTheClientsPortsWithTheClientName) {
    auto driver = alsaDriver();
    // The unit's output is the host's input and the other way round.
    EXPECT_GE(findInput(*driver, kUnitOut), 0);
    EXPECT_GE(findOutput(*driver, kUnitIn), 0);
    EXPECT_EQ(findInput(*driver, kUnitIn), -1);
    EXPECT_EQ(findOutput(*driver, kUnitOut), -1);
    // Our own clients' ports are not listed.
    for (std::uint32_t i = 0; i < driver->inputCount(); ++i) {
        EXPECT_EQ(driver->inputName(i).find("ql5-updater"), std::string::npos);
    }
}

TEST_F(AlsaWithSequencer, PortsGoWithTheirClient) {
    auto driver = alsaDriver();
    const auto inputs = driver->inputCount();
    ASSERT_GE(findInput(*driver, kUnitOut), 0);
    unit_.reset();
    EXPECT_EQ(findInput(*driver, kUnitOut), -1);
    EXPECT_EQ(driver->inputCount(), inputs - 1);
}

TEST_F(AlsaWithSequencer, WriteBlockSizedSysExReachesTheUnitIn256BytePieces) {
    auto driver = alsaDriver();
    const long out = findOutput(*driver, kUnitIn);
    ASSERT_GE(out, 0);
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openOutput(static_cast<std::uint32_t>(out), output), MMSYSERR_NOERROR);
    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    ASSERT_TRUE(received_.waitForBytes(message.size(), 5s));
    EXPECT_EQ(received_.bytes(), message);
    const auto pieces = received_.pieces();
    EXPECT_EQ(pieces.size(), 19u);
    for (const auto size : pieces) EXPECT_LE(size, 256u);
}

TEST_F(AlsaWithSequencer, WriteBlockSizedSysExFromTheUnitArrivesWhole) {
    auto driver = alsaDriver();
    const long in = findInput(*driver, kUnitOut);
    ASSERT_GE(in, 0);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver->openInput(static_cast<std::uint32_t>(in), stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(input->start(), MMSYSERR_NOERROR);
    const auto message = test::writeBlockSizedSysEx(4700);
    ASSERT_TRUE(unit_->send(message.data(), message.size()));
    const std::uint8_t note[] = {0x90, 0x3C, 0x64};
    ASSERT_TRUE(unit_->send(note, sizeof note));
    ASSERT_TRUE(stream.waitForBytes(message.size() + 3, 5s));
    auto expected = message;
    expected.insert(expected.end(), note, note + 3);
    EXPECT_EQ(stream.bytes(), expected);
}

TEST_F(AlsaWithSequencer, EchoThroughTheUnitComesBackUnchanged) {
    auto driver = alsaDriver();
    const long in = findInput(*driver, kUnitOut);
    const long out = findOutput(*driver, kUnitIn);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openInput(static_cast<std::uint32_t>(in), stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver->openOutput(static_cast<std::uint32_t>(out), output), MMSYSERR_NOERROR);
    const auto message = test::writeBlockSizedSysEx(4700);
    bool markDone = true;
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(received_.waitForBytes(5 * message.size(), 10s));
    const auto got = received_.bytes();
    ASSERT_TRUE(unit_->send(got.data(), got.size()));
    ASSERT_TRUE(stream.waitForBytes(got.size(), 10s));
    EXPECT_EQ(stream.bytes(), got);
}

TEST_F(AlsaWithSequencer, ClosingTheInputIsPrompt) {
    auto driver = alsaDriver();
    const long in = findInput(*driver, kUnitOut);
    ASSERT_GE(in, 0);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver->openInput(static_cast<std::uint32_t>(in), stream, input), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    input.reset();
    EXPECT_LT(Clock::now() - before, 200ms);
    // Nothing arrives after the close.
    const std::uint8_t note[] = {0x90, 0x3C, 0x64};
    unit_->send(note, sizeof note);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(stream.pushes(), 0u);
}

}  // namespace
}  // namespace ql5::mm
