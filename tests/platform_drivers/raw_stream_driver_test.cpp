#include "platform/mm/raw_stream_driver.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "fifo_pair.hpp"

namespace ql5::mm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RawStreamDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        toDevice_ = folder_.file("to-device");
        fromDevice_ = folder_.file("from-device");
        test::makeFifo(toDevice_);
        test::makeFifo(fromDevice_);
    }

    test::TempFolder folder_;
    std::string toDevice_;
    std::string fromDevice_;
};

TEST_F(RawStreamDriverTest, ListsOnePortEachWayUnderTheGivenName) {
    auto driver = rawStreamDriver("Tarvik QL-5 (pipe)", fromDevice_, toDevice_);
    ASSERT_NE(driver, nullptr);
    EXPECT_STREQ(driver->name(), "raw");
    EXPECT_EQ(driver->inputCount(), 1u);
    EXPECT_EQ(driver->outputCount(), 1u);
    EXPECT_EQ(driver->inputName(0), "Tarvik QL-5 (pipe)");
    EXPECT_EQ(driver->outputName(0), "Tarvik QL-5 (pipe)");
    EXPECT_EQ(driver->inputName(1), "");
}

TEST_F(RawStreamDriverTest, PortsVanishWithTheirPaths) {
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    ASSERT_EQ(::unlink(fromDevice_.c_str()), 0);
    EXPECT_EQ(driver->inputCount(), 0u);
    EXPECT_EQ(driver->outputCount(), 1u);
    ASSERT_EQ(::unlink(toDevice_.c_str()), 0);
    EXPECT_EQ(driver->outputCount(), 0u);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    EXPECT_NE(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    EXPECT_EQ(input, nullptr);
}

TEST_F(RawStreamDriverTest, WriteBlockSizedSysExMakesTheRoundTripUnchanged) {
    test::FifoLoop device(toDevice_, fromDevice_);
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);
    ASSERT_EQ(input->start(), MMSYSERR_NOERROR);

    const auto message = test::writeBlockSizedSysEx();
    bool markDone = true;
    ASSERT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_NOERROR);
    ASSERT_TRUE(stream.waitForBytes(message.size(), 5s));
    EXPECT_EQ(stream.bytes(), message);
}

TEST_F(RawStreamDriverTest, MessagesFromTwoSendingThreadsDoNotInterleave) {
    test::FifoLoop device(toDevice_, fromDevice_);
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);

    // Two different messages, each sent 20 times from its own thread.
    auto first = test::writeBlockSizedSysEx(4700);
    auto second = test::writeBlockSizedSysEx(3000);
    for (std::size_t i = 1; i + 1 < second.size(); ++i) second[i] = 0x55;
    constexpr int kRounds = 20;
    std::atomic<int> failures{0};
    auto sender = [&](const std::vector<std::uint8_t>& message) {
        for (int i = 0; i < kRounds; ++i) {
            bool markDone = true;
            if (output->sendLong(message.data(), message.size(), markDone) != MMSYSERR_NOERROR) {
                ++failures;
            }
        }
    };
    std::thread a(sender, std::cref(first));
    std::thread b(sender, std::cref(second));
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);

    const std::size_t total = kRounds * (first.size() + second.size());
    ASSERT_TRUE(stream.waitForBytes(total, 10s));
    const auto received = stream.bytes();
    ASSERT_EQ(received.size(), total);
    // Cut the stream at every F0: each piece must be one of the two messages.
    int firsts = 0;
    int seconds = 0;
    std::size_t at = 0;
    while (at < received.size()) {
        ASSERT_EQ(received[at], 0xF0) << "at byte " << at;
        const auto& expected = received.size() - at >= first.size() &&
                                       std::equal(first.begin(), first.end(), received.begin() + at)
                                   ? first
                                   : second;
        ASSERT_LE(at + expected.size(), received.size());
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), received.begin() + at))
            << "interleaved bytes at " << at;
        (&expected == &first ? firsts : seconds)++;
        at += expected.size();
    }
    EXPECT_EQ(firsts, kRounds);
    EXPECT_EQ(seconds, kRounds);
}

TEST_F(RawStreamDriverTest, ClosingTheInputIsPrompt) {
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(50ms);  // the reader is waiting in poll
    const auto before = Clock::now();
    input.reset();
    EXPECT_LT(Clock::now() - before, 200ms);
}

// A late reply from an earlier session, still in the pipe when the port
// opens, must not pass for the answer to the new session's first request.
TEST_F(RawStreamDriverTest, BytesWaitingBeforeTheOpenAreDiscarded) {
    const int writer = ::open(fromDevice_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const std::vector<std::uint8_t> stale = {0xF0, 0x52, 0x00, 0x6E, 0x00, 0x01, 0xF7};
    ASSERT_EQ(::write(writer, stale.data(), stale.size()), static_cast<ssize_t>(stale.size()));
    // More than one read's worth, so the discarding must loop.
    const auto big = test::writeBlockSizedSysEx(4700);
    ASSERT_EQ(::write(writer, big.data(), big.size()), static_cast<ssize_t>(big.size()));

    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(input->start(), MMSYSERR_NOERROR);
    const std::vector<std::uint8_t> fresh = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7};
    ASSERT_EQ(::write(writer, fresh.data(), fresh.size()), static_cast<ssize_t>(fresh.size()));
    ASSERT_TRUE(stream.waitForBytes(fresh.size(), 5s));
    std::this_thread::sleep_for(50ms);  // anything more would have come by now
    EXPECT_EQ(stream.bytes(), fresh);
    input.reset();
    ::close(writer);
}

TEST_F(RawStreamDriverTest, NoPushAfterTheInputIsClosed) {
    test::FifoLoop device(toDevice_, fromDevice_);
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);
    const std::uint8_t note[] = {0x90, 0x40, 0x7F};
    bool markDone = true;
    ASSERT_EQ(output->sendLong(note, sizeof note, markDone), MMSYSERR_NOERROR);
    ASSERT_TRUE(stream.waitForBytes(3, 2s));
    input.reset();
    const auto pushes = stream.pushes();
    ASSERT_EQ(output->sendLong(note, sizeof note, markDone), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(stream.pushes(), pushes);
}

TEST_F(RawStreamDriverTest, EachPortOpensOnceAtATime) {
    test::FifoLoop device(toDevice_, fromDevice_);
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverInput> secondInput;
    std::unique_ptr<DriverOutput> output;
    std::unique_ptr<DriverOutput> secondOutput;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    EXPECT_EQ(driver->openInput(0, stream, secondInput), MMSYSERR_ALLOCATED);
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);
    EXPECT_EQ(driver->openOutput(0, secondOutput), MMSYSERR_ALLOCATED);
    input.reset();
    output.reset();
    EXPECT_EQ(driver->openInput(0, stream, secondInput), MMSYSERR_NOERROR);
    EXPECT_EQ(driver->openOutput(0, secondOutput), MMSYSERR_NOERROR);
}

TEST_F(RawStreamDriverTest, IndexPastTheEndIsABadDevice) {
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    EXPECT_EQ(driver->openInput(1, stream, input), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(driver->openOutput(0xFFFFFFFFu, output), MMSYSERR_BADDEVICEID);
}

TEST_F(RawStreamDriverTest, OutputWithNobodyReadingFailsToOpenInsteadOfHanging) {
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    std::unique_ptr<DriverOutput> output;
    const auto before = Clock::now();
    EXPECT_NE(driver->openOutput(0, output), MMSYSERR_NOERROR);
    EXPECT_EQ(output, nullptr);
    EXPECT_LT(Clock::now() - before, 1s);
}

TEST_F(RawStreamDriverTest, SendToADeviceThatStopsReadingGivesUpWithinItsAllowance) {
    // The reader opens the FIFO and never reads: the pipe fills up.
    const int stalled = ::open(toDevice_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(stalled, 0);
    const int pipeSize = ::fcntl(stalled, F_GETPIPE_SZ);
    ASSERT_GT(pipeSize, 0);
    RawStreamLimits limits;
    limits.baseTimeout = 200ms;
    limits.minBytesPerSecond = 1u << 30;  // the length adds next to nothing
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_, limits);
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);
    std::vector<std::uint8_t> message(static_cast<std::size_t>(pipeSize) * 2, 0x11);
    message.front() = 0xF0;
    message.back() = 0xF7;
    bool markDone = true;
    const auto before = Clock::now();
    EXPECT_EQ(output->sendLong(message.data(), message.size(), markDone), MMSYSERR_ERROR);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 2s);
    ::close(stalled);
}

TEST_F(RawStreamDriverTest, RefusesEmptyAndOversizedMessages) {
    test::FifoLoop device(toDevice_, fromDevice_);
    RawStreamLimits limits;
    limits.maxMessage = 100;
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_, limits);
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);
    std::vector<std::uint8_t> message(101, 0x01);
    bool markDone = true;
    EXPECT_EQ(output->sendLong(message.data(), 0, markDone), MMSYSERR_INVALPARAM);
    EXPECT_EQ(output->sendLong(nullptr, 5, markDone), MMSYSERR_INVALPARAM);
    EXPECT_EQ(output->sendLong(message.data(), 101, markDone), MMSYSERR_INVALPARAM);
    EXPECT_EQ(output->sendLong(message.data(), 100, markDone), MMSYSERR_NOERROR);
}

TEST_F(RawStreamDriverTest, ShortMessagesGoOutWithTheirLength) {
    test::FifoLoop device(toDevice_, fromDevice_);
    auto driver = rawStreamDriver("unit", fromDevice_, toDevice_);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);
    EXPECT_EQ(output->sendShort(0x007F4090u), MMSYSERR_NOERROR);     // note on: 3 bytes
    EXPECT_EQ(output->sendShort(0x000005C1u), MMSYSERR_NOERROR);     // program change: 2
    EXPECT_EQ(output->sendShort(0x000000F8u), MMSYSERR_NOERROR);     // clock: 1
    EXPECT_EQ(output->sendShort(0x00000040u), MMSYSERR_INVALPARAM);  // no status
    EXPECT_EQ(output->sendShort(0x000000F0u), MMSYSERR_INVALPARAM);  // SysEx is no short one
    ASSERT_TRUE(stream.waitForBytes(6, 2s));
    const std::vector<std::uint8_t> expected = {0x90, 0x40, 0x7F, 0xC1, 0x05, 0xF8};
    EXPECT_EQ(stream.bytes(), expected);
}

// A pseudo-terminal stands in for a serial MIDI adapter: its line
// discipline would turn CR into LF, LF into CR LF, and eat ^C, ^D, ^S, ^Q and
// DEL, unless the driver puts the terminal into raw mode.
TEST(RawStreamDriverTerminal, BytesPassASerialLineUnchangedBothWays) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string line = ::ptsname(master);
    auto driver = rawStreamDriver("serial", line, line);
    test::RecordingStream stream;
    std::unique_ptr<DriverInput> input;
    std::unique_ptr<DriverOutput> output;
    ASSERT_EQ(driver->openInput(0, stream, input), MMSYSERR_NOERROR);
    ASSERT_EQ(driver->openOutput(0, output), MMSYSERR_NOERROR);

    const std::vector<std::uint8_t> awkward = {0xF0, 0x0D, 0x0A, 0x03, 0x04, 0x11, 0x13,
                                               0x1A, 0x1C, 0x7F, 0x15, 0x17, 0x12, 0xF7};
    // Adapter to host.
    ASSERT_EQ(::write(master, awkward.data(), awkward.size()),
              static_cast<ssize_t>(awkward.size()));
    ASSERT_TRUE(stream.waitForBytes(awkward.size(), 2s));
    EXPECT_EQ(stream.bytes(), awkward);

    // Host to adapter.
    bool markDone = true;
    ASSERT_EQ(output->sendLong(awkward.data(), awkward.size(), markDone), MMSYSERR_NOERROR);
    std::vector<std::uint8_t> sent;
    const auto deadline = Clock::now() + 2s;
    while (sent.size() < awkward.size() && Clock::now() < deadline) {
        pollfd watch{master, POLLIN, 0};
        if (::poll(&watch, 1, 20) <= 0) continue;
        std::uint8_t buffer[64];
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0) sent.insert(sent.end(), buffer, buffer + got);
    }
    EXPECT_EQ(sent, awkward);
    input.reset();
    output.reset();
    ::close(master);
}

TEST(RawStreamDriverSetting, TakesExactlyThreeNonEmptyFields) {
    EXPECT_NE(rawStreamDriverFromSetting("Tarvik QL-5:/tmp/in:/tmp/out"), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting(""), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting("name"), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting("name:/tmp/in"), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting(":/tmp/in:/tmp/out"), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting("name::/tmp/out"), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting("name:/tmp/in:"), nullptr);
    EXPECT_EQ(rawStreamDriverFromSetting("name:/tmp/in:/tmp/out:extra"), nullptr);
}

TEST(RawStreamDriverSetting, NamesThePortsAfterTheFirstField) {
    auto driver = rawStreamDriverFromSetting("Tarvik QL-5 bench:/dev/null:/dev/null");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->inputName(0), "Tarvik QL-5 bench");
    EXPECT_EQ(driver->outputName(0), "Tarvik QL-5 bench");
}

TEST(RawStreamDriverSetting, ReadsTheEnvironment) {
    ASSERT_EQ(::unsetenv("QL5_RAW_MIDI"), 0);
    EXPECT_EQ(rawStreamDriverFromEnvironment(), nullptr);
    ASSERT_EQ(::setenv("QL5_RAW_MIDI", "bench:/dev/null:/dev/null", 1), 0);
    auto driver = rawStreamDriverFromEnvironment();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->inputName(0), "bench");
    ASSERT_EQ(::setenv("QL5_RAW_MIDI", "bench:/dev/null", 1), 0);
    EXPECT_EQ(rawStreamDriverFromEnvironment(), nullptr);
    ASSERT_EQ(::unsetenv("QL5_RAW_MIDI"), 0);
}

// A setting that cannot give a port is said in words (and, from the
// environment, on standard error, listing nothing), never silently dropped.
TEST(RawStreamDriverSetting, SaysWhatIsWrongWithASetting) {
    const std::string missing = ::testing::TempDir() + "/no-such-midi-node";
    struct Case {
        std::string setting;
        const char* expect;  // nullptr: no problem
    };
    const Case cases[] = {
        {"bench:/dev/null:/dev/null", nullptr},
        {"bench:/dev/null", "is not NAME:INPUT_PATH:OUTPUT_PATH"},
        {"bench::/dev/null", "is not NAME:INPUT_PATH:OUTPUT_PATH"},
        {"a:b:c:d", "is not NAME:INPUT_PATH:OUTPUT_PATH"},
        {"bench:" + missing + ":/dev/null", "names " /* path */},
        {"bench:/dev/null:" + missing, "which does not exist"},
        {"bench:" + missing + ":" + missing, "which does not exist"},
        {"bench:" + missing + ":" + missing + "2", "which do not exist"},
    };
    for (const Case& c : cases) {
        const std::string problem = rawStreamSettingProblem(c.setting);
        if (c.expect == nullptr) {
            EXPECT_EQ(problem, "") << c.setting;
            continue;
        }
        EXPECT_NE(problem.find(c.expect), std::string::npos) << c.setting << ": " << problem;
        EXPECT_EQ(problem.rfind("QL5_RAW_MIDI", 0), 0U) << problem;
    }
    EXPECT_NE(rawStreamSettingProblem("bench:" + missing + ":/dev/null").find(missing),
              std::string::npos);

    ASSERT_EQ(::setenv("QL5_RAW_MIDI", ("bench:" + missing + ":/dev/null").c_str(), 1), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(rawStreamDriverFromEnvironment(), nullptr);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(missing), std::string::npos) << said;
    EXPECT_EQ(rawStreamEnvironmentProblem(),
              rawStreamSettingProblem("bench:" + missing + ":/dev/null"));
    ASSERT_EQ(::unsetenv("QL5_RAW_MIDI"), 0);
    EXPECT_EQ(rawStreamEnvironmentProblem(), "");
}

}  // namespace
}  // namespace ql5::mm
