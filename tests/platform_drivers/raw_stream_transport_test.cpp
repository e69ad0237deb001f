// The raw byte-stream driver under the whole MIDI transport: the ports the
// updater uses (CDxMMidiOut sending, CDxMMidiIn queueing SysEx) over two
// FIFOs and a loop that echoes everything back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "fifo_pair.hpp"
#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMMidiOut.hpp"
#include "platform/mm/raw_stream_driver.hpp"

namespace ql5::midi {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class RawStreamTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        toDevice_ = folder_.file("to-device");
        fromDevice_ = folder_.file("from-device");
        test::makeFifo(toDevice_);
        test::makeFifo(fromDevice_);
        saved_ = mm::drivers();
        mm::setDrivers({mm::rawStreamDriver("Tarvik QL-5 (pipe)", fromDevice_, toDevice_)});
    }
    void TearDown() override { mm::setDrivers(saved_); }

    // Collects the queue's entries until `total` bytes have come or the time
    // is up.
    static std::vector<std::vector<std::uint8_t>> collect(CDxMMidiIn& in, std::size_t total,
                                                          std::chrono::milliseconds limit) {
        std::vector<std::vector<std::uint8_t>> entries;
        std::size_t got = 0;
        const auto deadline = Clock::now() + limit;
        while (got < total && Clock::now() < deadline) {
            if (const SysExView view = in.FrontSysEx()) {
                entries.emplace_back(view.data, view.data + view.length);
                got += view.length;
                in.RemoveFrontSysEx();
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
        return entries;
    }

    test::TempFolder folder_;
    std::string toDevice_;
    std::string fromDevice_;
    std::vector<std::shared_ptr<mm::Driver>> saved_;
};

TEST_F(RawStreamTransportTest, PortsAreListedAndPreselectedByName) {
    ASSERT_EQ(CDxMMidiIn::GetNumDevs(), 1u);
    ASSERT_EQ(CDxMMidiOut::GetNumDevs(), 1u);
    char name[40];
    EXPECT_EQ(CDxMMidiIn::GetDevName(0, name), 0);
    EXPECT_STREQ(name, "Tarvik QL-5 (pipe)");
    EXPECT_TRUE(matchPortName(name));
    EXPECT_EQ(CDxMMidiOut::GetDevName(0, name), 0);
    EXPECT_STREQ(name, "Tarvik QL-5 (pipe)");
}

TEST_F(RawStreamTransportTest, WriteBlockSizedSysExComesBackAsOneEntry) {
    test::FifoLoop device(toDevice_, fromDevice_);
    CDxMMidiIn in;
    in.deviceIndex = 0;
    ASSERT_EQ(in.Open(), 1);
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);

    auto message = test::writeBlockSizedSysEx(4700);
    mm::MIDIHDR header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<mm::DWORD>(message.size());
    header.dwFlags = 0;
    ASSERT_EQ(out.SendLong(&header), 1);

    const auto entries = collect(in, message.size(), 5s);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], message);
    in.Close();
    out.Close();
}

TEST_F(RawStreamTransportTest, SysExLongerThanTheReceiveBufferArrivesInPieces) {
    test::FifoLoop device(toDevice_, fromDevice_);
    CDxMMidiIn in;
    in.deviceIndex = 0;
    ASSERT_EQ(in.Open(), 1);
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);

    auto message = test::writeBlockSizedSysEx(10000);
    mm::MIDIHDR header{};
    header.lpData = reinterpret_cast<char*>(message.data());
    header.dwBufferLength = static_cast<mm::DWORD>(message.size());
    ASSERT_EQ(out.SendLong(&header), 1);

    const auto entries = collect(in, message.size(), 5s);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].size(), CDxMMidiIn::kBufferSize);
    std::vector<std::uint8_t> joined = entries[0];
    joined.insert(joined.end(), entries[1].begin(), entries[1].end());
    EXPECT_EQ(joined, message);
}

TEST_F(RawStreamTransportTest, ClosingTheInputPortIsPrompt) {
    CDxMMidiIn in;
    in.deviceIndex = 0;
    ASSERT_EQ(in.Open(), 1);
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    in.Close();
    EXPECT_LT(Clock::now() - before, 200ms);
    EXPECT_FALSE(in.started());
    // The device can be opened again at once.
    EXPECT_EQ(in.Open(), 1);
}

TEST_F(RawStreamTransportTest, OpeningFailsWhenThePathsAreGone) {
    ASSERT_EQ(::unlink(fromDevice_.c_str()), 0);
    ASSERT_EQ(::unlink(toDevice_.c_str()), 0);
    EXPECT_EQ(CDxMMidiIn::GetNumDevs(), 0u);
    CDxMMidiIn in;
    in.deviceIndex = 0;
    EXPECT_EQ(in.Open(), 0);
    CDxMMidiOut out;
    EXPECT_EQ(out.Open(0), 0);
}

}  // namespace
}  // namespace ql5::midi
