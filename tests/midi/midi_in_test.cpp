#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "midi/CDxMMidiIn.hpp"
#include "virtual_fixture.hpp"

namespace {

using ql5::midi::CDxMMidiIn;
using ql5::testing::sysex;
using ql5::testing::waitFor;
using Bytes = std::vector<std::uint8_t>;

class MidiInTest : public ql5::testing::VirtualOnly {
  protected:
    void send(const Bytes& bytes) { unit->send(bytes.data(), bytes.size()); }

    // Everything queued so far, oldest first, removing it.
    std::vector<Bytes> drain(CDxMMidiIn& in) {
        std::vector<Bytes> out;
        while (auto view = in.FrontSysEx()) {
            out.emplace_back(view.data, view.data + view.length);
            in.RemoveFrontSysEx();
        }
        return out;
    }

    std::shared_ptr<ql5::mm::virt::VirtualDevice> unit =
        plugged("Tarvik QL-5 IN", "Tarvik QL-5 OUT");
};

TEST_F(MidiInTest, NewPortIsClosedWithEmptyQueue) {
    CDxMMidiIn in;
    EXPECT_FALSE(in.started());
    EXPECT_EQ(in.deviceIndex, 0);
    EXPECT_FALSE(in.FrontSysEx());
    in.RemoveFrontSysEx();  // harmless on an empty queue
    EXPECT_FALSE(in.FrontSysEx());
}

TEST_F(MidiInTest, ThreeMessagesComeOutInOrderOnePerRemove) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    EXPECT_TRUE(unit->hostInputOpen());
    send(sysex({0x01}));
    send(sysex({0x02, 0x02}));
    send(sysex({0x03, 0x03, 0x03}));
    unit->flush();

    auto first = in.FrontSysEx();
    ASSERT_TRUE(first);
    EXPECT_EQ(Bytes(first.data, first.data + first.length), sysex({0x01}));
    // Front does not consume.
    EXPECT_EQ(in.FrontSysEx().data, first.data);
    in.RemoveFrontSysEx();
    auto second = in.FrontSysEx();
    ASSERT_TRUE(second);
    EXPECT_EQ(Bytes(second.data, second.data + second.length), sysex({0x02, 0x02}));
    in.RemoveFrontSysEx();
    auto third = in.FrontSysEx();
    ASSERT_TRUE(third);
    EXPECT_EQ(Bytes(third.data, third.data + third.length), sysex({0x03, 0x03, 0x03}));
    in.RemoveFrontSysEx();
    EXPECT_FALSE(in.FrontSysEx());
}

TEST_F(MidiInTest, EntryHoldsExactlyTheRecordedBytes) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    Bytes reply =
        sysex({0x7E, 0x00, 0x06, 0x02, 0x00, 0x20, 0x6E, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    ASSERT_EQ(reply.size(), 15u);
    send(reply);
    unit->flush();
    auto entries = drain(in);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size(), 15u);
    EXPECT_EQ(entries[0], reply);
}

TEST_F(MidiInTest, SysExLongerThanOneBufferArrivesAsTwoEntries) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    Bytes message(9000, 0x55);
    message.front() = 0xF0;
    message.back() = 0xF7;
    send(message);
    unit->flush();
    auto entries = drain(in);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].size(), CDxMMidiIn::kBufferSize);
    EXPECT_EQ(entries[1].size(), 9000u - CDxMMidiIn::kBufferSize);
    Bytes joined = entries[0];
    joined.insert(joined.end(), entries[1].begin(), entries[1].end());
    EXPECT_EQ(joined, message);
}

TEST_F(MidiInTest, ShortMessagesAndRealTimeBytesAreNotQueued) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    send({0x90, 0x40, 0x7F, 0x40, 0x00, 0xF8, 0xB0, 0x07, 0x64});
    send({0xF0, 0x01, 0xF8, 0x02, 0xF7});
    unit->flush();
    auto entries = drain(in);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (Bytes{0xF0, 0x01, 0x02, 0xF7}));
}

TEST_F(MidiInTest, OpenOnStartedPortReturnsOneWithoutReopening) {
    auto other = plugged("Other IN", "Other OUT");
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    in.deviceIndex = 1;
    EXPECT_EQ(in.Open(), 1);
    EXPECT_TRUE(unit->hostInputOpen());
    EXPECT_FALSE(other->hostInputOpen());
    // Still receiving on the first device.
    send(sysex({0x11}));
    unit->flush();
    EXPECT_EQ(drain(in).size(), 1u);
}

TEST_F(MidiInTest, CloseOnClosedPortAndTwiceIsHarmless) {
    CDxMMidiIn in;
    in.Close();
    EXPECT_FALSE(in.started());
    ASSERT_EQ(in.Open(), 1);
    in.Close();
    EXPECT_FALSE(in.started());
    EXPECT_FALSE(unit->hostInputOpen());
    in.Close();
    EXPECT_FALSE(in.started());
    // The device can be opened again: nothing was left behind.
    EXPECT_EQ(in.Open(), 1);
    EXPECT_TRUE(unit->hostInputOpen());
}

TEST_F(MidiInTest, EntriesReceivedBeforeCloseAreStillDelivered) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    send(sysex({0x21}));
    send(sysex({0x22}));
    unit->flush();
    in.Close();
    auto entries = drain(in);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], sysex({0x21}));
    EXPECT_EQ(entries[1], sysex({0x22}));
}

TEST_F(MidiInTest, EmptyBufferFromResetAddsNoEntryAndIsNotQueuedAgain) {
    // Close resets the device, which hands the queued buffer back empty. Had
    // the callback queued it again, the device could not be closed.
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    in.Close();
    EXPECT_FALSE(in.FrontSysEx());
    EXPECT_FALSE(unit->hostInputOpen());
}

TEST_F(MidiInTest, PartOfAMessageAtCloseBecomesAnEntryAndTheDeviceCloses) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    send({0xF0, 0x01, 0x02});
    unit->flush();
    in.Close();
    EXPECT_FALSE(unit->hostInputOpen());
    auto entries = drain(in);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], (Bytes{0xF0, 0x01, 0x02}));
    ASSERT_EQ(in.Open(), 1);
    send(sysex({0x03}));
    unit->flush();
    EXPECT_EQ(drain(in), std::vector<Bytes>{sysex({0x03})});
}

TEST_F(MidiInTest, RefusedOpenReturnsZeroAndLeavesNothingBehind) {
    unit->refuseInputOpen(true);
    CDxMMidiIn in;
    EXPECT_EQ(in.Open(), 0);
    EXPECT_FALSE(in.started());
    unit->refuseInputOpen(false);
    EXPECT_EQ(in.Open(), 1);
}

TEST_F(MidiInTest, BadDeviceIndexFails) {
    CDxMMidiIn in;
    in.deviceIndex = -1;
    EXPECT_EQ(in.Open(), 0);
    in.deviceIndex = 7;
    EXPECT_EQ(in.Open(), 0);
    EXPECT_FALSE(in.started());
}

TEST_F(MidiInTest, RefusedPrepareClosesTheDeviceAgain) {
    unit->refusePrepare(true);
    CDxMMidiIn in;
    EXPECT_EQ(in.Open(), 0);
    EXPECT_FALSE(in.started());
    // The step after midiInOpen failed: Open must have closed the device.
    EXPECT_FALSE(unit->hostInputOpen());
    unit->refusePrepare(false);
    EXPECT_EQ(in.Open(), 1);
}

TEST_F(MidiInTest, LongErrorQueuesNothingAndReceptionGoesOn) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    // A broken message, reported twice in a row: the buffer must come back
    // to the platform each time, and nothing of it reach the queue.
    send({0xF0, 0x01, 0x02});
    unit->sendLongError();
    unit->sendLongError();
    send(sysex({0x05}));
    send({0xF0, 0x07});
    unit->sendLongError();
    send(sysex({0x06}));
    unit->flush();
    EXPECT_EQ(drain(in), (std::vector<Bytes>{sysex({0x05}), sysex({0x06})}));
    in.Close();
    EXPECT_FALSE(unit->hostInputOpen());
}

// The window's destruction and the version check's closePorts can close the
// port at the same time: one release of the device, no race (ThreadSanitizer
// watches this under the tsan preset), and the port can be opened again.
TEST_F(MidiInTest, ConcurrentClosesReleaseTheDeviceOnce) {
    CDxMMidiIn in;
    for (int round = 0; round < 200; ++round) {
        ASSERT_EQ(in.Open(), 1);
        send(sysex({0x11}));
        std::atomic<int> ready{0};
        auto closer = [&] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            in.Close();
            EXPECT_FALSE(in.started());
        };
        std::thread a(closer);
        std::thread b(closer);
        a.join();
        b.join();
        ASSERT_FALSE(unit->hostInputOpen()) << "round " << round;
        drain(in);
    }
    ASSERT_EQ(in.Open(), 1);
    send(sysex({0x12}));
    unit->flush();
    EXPECT_EQ(drain(in), std::vector<Bytes>{sysex({0x12})});
}

TEST_F(MidiInTest, UnpluggedDeviceDeliversNothing) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    unit->unplug();
    send(sysex({0x01}));
    unit->flush();
    EXPECT_FALSE(in.FrontSysEx());
    in.Close();
    EXPECT_FALSE(in.started());
    EXPECT_FALSE(unit->hostInputOpen());
}

TEST_F(MidiInTest, FailedAllocationDropsThatMessageOnly) {
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);
    CDxMMidiIn::failAllocationsForTest(1);
    send(sysex({0x31}));
    unit->flush();
    CDxMMidiIn::failAllocationsForTest(0);
    send(sysex({0x32}));
    unit->flush();
    EXPECT_EQ(drain(in), std::vector<Bytes>{sysex({0x32})});
}

TEST_F(MidiInTest, DestructionFreesQueueAndClosesDevice) {
    {
        CDxMMidiIn in;
        ASSERT_EQ(in.Open(), 1);
        send(sysex({0x41}));
        send(sysex({0x42}));
        unit->flush();
    }
    // Leak checking (ASan) covers the entries; the device must be free.
    EXPECT_FALSE(unit->hostInputOpen());
}

}  // namespace
