#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/CDxMMidiOut.hpp"
#include "platform/mm/atomic_ref.hpp"
#include "virtual_fixture.hpp"

namespace {

using ql5::midi::CDxMMidiOut;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
namespace mm = ql5::mm;

class MidiOutTest : public ql5::testing::VirtualOnly {
  protected:
    void SetUp() override {
        VirtualOnly::SetUp();
        unit = plugged("Tarvik QL-5 IN", "Tarvik QL-5 OUT");
        unit->setHostMessageHandler([this](const std::uint8_t* bytes, std::size_t count) {
            std::lock_guard<std::mutex> lock(mutex);
            received.emplace_back(bytes, bytes + count);
        });
    }

    mm::MIDIHDR headerFor(Bytes& bytes) {
        mm::MIDIHDR hdr{};
        hdr.lpData = reinterpret_cast<char*>(bytes.data());
        hdr.dwBufferLength = static_cast<mm::DWORD>(bytes.size());
        hdr.dwFlags = 0;
        return hdr;
    }

    std::vector<Bytes> got() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    std::shared_ptr<mm::virt::VirtualDevice> unit;
    std::mutex mutex;
    std::vector<Bytes> received;
    Bytes message{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
};

TEST_F(MidiOutTest, SendLongDeliversTheMessageAndUnpreparesTheHeader) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    EXPECT_TRUE(unit->hostOutputOpen());
    mm::MIDIHDR hdr = headerFor(message);
    EXPECT_EQ(out.SendLong(&hdr), 1);
    EXPECT_NE(hdr.dwFlags & mm::MHDR_DONE, 0u);
    EXPECT_EQ(hdr.dwFlags & (mm::MHDR_PREPARED | mm::MHDR_INQUEUE), 0u);
    EXPECT_EQ(got(), std::vector<Bytes>{message});
}

TEST_F(MidiOutTest, SendLongReturnsAtOnceWhenAlreadyDone) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    // Each wait would sleep at least 1 ms; 200 sends done in well under
    // 200 ms show that none of them slept.
    constexpr int kSends = 200;
    const auto start = Clock::now();
    for (int i = 0; i < kSends; ++i) {
        mm::MIDIHDR hdr = headerFor(message);
        ASSERT_EQ(out.SendLong(&hdr), 1);
    }
    const auto elapsed = Clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(kSends));
    EXPECT_EQ(got().size(), static_cast<std::size_t>(kSends));
}

TEST_F(MidiOutTest, SendLongWaitsUntilTheFlagIsSet) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    unit->neverMarkDone(true);
    mm::MIDIHDR hdr = headerFor(message);
    std::atomic<bool> finished{false};
    // Taken before the platform's 60 ms start, so that they lie inside it.
    const auto start = Clock::now();
    std::thread platform([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_FALSE(finished.load());
        // The platform finishes with the message late.
        ql5::mm::AtomicRef<mm::DWORD>(hdr.dwFlags).fetch_or(mm::MHDR_DONE);
    });
    const int result = out.SendLong(&hdr);
    finished = true;
    const auto elapsed = Clock::now() - start;
    platform.join();
    EXPECT_EQ(result, 1);
    EXPECT_GE(elapsed, std::chrono::milliseconds(60));
}

TEST_F(MidiOutTest, SendLongGivesUpAfterTheBoundAndLeavesTheHeaderAlone) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    unit->neverMarkDone(true);
    out.setDoneBoundMs(50);
    mm::MIDIHDR hdr = headerFor(message);
    const auto start = Clock::now();
    EXPECT_EQ(out.SendLong(&hdr), 0);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(50));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    EXPECT_EQ(hdr.dwFlags & mm::MHDR_DONE, 0u);
    // Nothing writes into the abandoned header later.
    mm::MIDIHDR snapshot;
    std::memcpy(&snapshot, &hdr, sizeof hdr);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(std::memcmp(&snapshot, &hdr, sizeof hdr), 0);
    // The caller may reuse it at once, as the next message.
    unit->neverMarkDone(false);
    hdr = headerFor(message);
    EXPECT_EQ(out.SendLong(&hdr), 1);
}

TEST_F(MidiOutTest, SendLongOnClosedPortFailsWithoutThePlatform) {
    CDxMMidiOut out;
    mm::MIDIHDR hdr = headerFor(message);
    EXPECT_EQ(out.SendLong(&hdr), 0);
    EXPECT_EQ(hdr.dwFlags, 0u);
    EXPECT_TRUE(got().empty());
}

TEST_F(MidiOutTest, RefusedPrepareFails) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    unit->refusePrepare(true);
    mm::MIDIHDR hdr = headerFor(message);
    EXPECT_EQ(out.SendLong(&hdr), 0);
    EXPECT_TRUE(got().empty());
}

TEST_F(MidiOutTest, RefusedSendFailsAndUnpreparesTheHeader) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    unit->refuseSend(true);
    mm::MIDIHDR hdr = headerFor(message);
    EXPECT_EQ(out.SendLong(&hdr), 0);
    EXPECT_EQ(hdr.dwFlags & mm::MHDR_PREPARED, 0u);
    EXPECT_TRUE(got().empty());
}

TEST_F(MidiOutTest, UnpluggedDeviceFailsTheSend) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    unit->unplug();
    mm::MIDIHDR hdr = headerFor(message);
    EXPECT_EQ(out.SendLong(&hdr), 0);
}

TEST_F(MidiOutTest, RefusedOpenFailsButKeepsTheIndex) {
    unit->refuseOutputOpen(true);
    CDxMMidiOut out;
    EXPECT_EQ(out.Open(0), 0);
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(out.deviceIndex, 0);
    EXPECT_EQ(out.Open(-1), 0);
    EXPECT_EQ(out.deviceIndex, -1);
    EXPECT_EQ(out.Close(), 0);
}

TEST_F(MidiOutTest, OpenSameIndexKeepsTheDeviceOtherIndexSwitches) {
    auto other = plugged("Other IN", "Other OUT");
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    EXPECT_EQ(out.Open(0), 1);
    EXPECT_TRUE(unit->hostOutputOpen());
    EXPECT_EQ(out.Open(1), 1);
    EXPECT_FALSE(unit->hostOutputOpen());
    EXPECT_TRUE(other->hostOutputOpen());
    EXPECT_EQ(out.deviceIndex, 1);
}

TEST_F(MidiOutTest, CloseReportsWhetherADeviceWasOpen) {
    CDxMMidiOut out;
    EXPECT_EQ(out.Close(), 0);
    ASSERT_EQ(out.Open(0), 1);
    EXPECT_EQ(out.Close(), 1);
    EXPECT_FALSE(unit->hostOutputOpen());
    EXPECT_EQ(out.Close(), 0);
}

TEST_F(MidiOutTest, TwoThreadsSendingAtOnceBothGetThrough) {
    CDxMMidiOut out;
    ASSERT_EQ(out.Open(0), 1);
    unit->setLinkRate(200000.0);
    constexpr int kEach = 100;
    auto sender = [&](std::uint8_t tag) {
        for (int i = 0; i < kEach; ++i) {
            Bytes bytes{0xF0, tag, static_cast<std::uint8_t>(i), 0xF7};
            mm::MIDIHDR hdr = headerFor(bytes);
            EXPECT_EQ(out.SendLong(&hdr), 1);
        }
    };
    std::thread a(sender, 0x01);
    std::thread b(sender, 0x02);
    a.join();
    b.join();
    auto all = got();
    ASSERT_EQ(all.size(), 2u * kEach);
    int nextA = 0;
    int nextB = 0;
    for (const auto& m : all) {
        ASSERT_EQ(m.size(), 4u);
        if (m[1] == 0x01) {
            EXPECT_EQ(m[2], nextA++);
        } else {
            EXPECT_EQ(m[2], nextB++);
        }
    }
}

}  // namespace
