#include "platform/mm/virtual_driver.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/mm/mmsystem.hpp"

namespace {

namespace mm = ql5::mm;
using ql5::mm::virt::VirtualDevice;
using Clock = std::chrono::steady_clock;

struct Arrivals {
    std::mutex mutex;
    std::vector<std::size_t> lengths;
    std::vector<Clock::time_point> times;
};

void requeueCallback(mm::HMIDIIN handle, mm::UINT message, mm::DWORD_PTR instance,
                     mm::DWORD_PTR param1, mm::DWORD_PTR) {
    if (message != mm::MIM_LONGDATA) {
        return;
    }
    auto* arrivals = reinterpret_cast<Arrivals*>(instance);
    auto* hdr = reinterpret_cast<mm::MIDIHDR*>(param1);
    if (hdr->dwBytesRecorded == 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(arrivals->mutex);
        arrivals->lengths.push_back(hdr->dwBytesRecorded);
        arrivals->times.push_back(Clock::now());
    }
    mm::midiInAddBuffer(handle, hdr, sizeof *hdr);
}

class VirtualDriverTest : public ::testing::Test {
  protected:
    void SetUp() override { mm::setDrivers({mm::virt::virtualDriver()}); }

    // Opens input 0 with one 64-byte buffer queued, started.
    void openInput() {
        ASSERT_EQ(mm::midiInOpen(&handle, 0, reinterpret_cast<mm::DWORD_PTR>(&requeueCallback),
                                 reinterpret_cast<mm::DWORD_PTR>(&arrivals), mm::CALLBACK_FUNCTION),
                  mm::MMSYSERR_NOERROR);
        hdr.lpData = buffer;
        hdr.dwBufferLength = sizeof buffer;
        ASSERT_EQ(mm::midiInPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
        ASSERT_EQ(mm::midiInAddBuffer(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
        ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    }
    void closeInput() {
        ASSERT_EQ(mm::midiInReset(handle), mm::MMSYSERR_NOERROR);
        ASSERT_EQ(mm::midiInUnprepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
        ASSERT_EQ(mm::midiInClose(handle), mm::MMSYSERR_NOERROR);
        handle = nullptr;
    }

    Arrivals arrivals;
    mm::HMIDIIN handle = nullptr;
    mm::MIDIHDR hdr{};
    char buffer[64] = {};
};

TEST_F(VirtualDriverTest, ListsOnlyPluggedDevicesInCreationOrder) {
    auto a = VirtualDevice::create("a in", "a out");
    auto b = VirtualDevice::create("b in", "b out");
    auto c = VirtualDevice::create("c in", "c out");
    EXPECT_EQ(mm::midiInGetNumDevs(), 0u);
    c->plug();
    a->plug();
    ASSERT_EQ(mm::midiInGetNumDevs(), 2u);
    mm::MIDIINCAPSA caps{};
    mm::midiInGetDevCapsA(0, &caps, sizeof caps);
    EXPECT_STREQ(caps.szPname, "a in");
    mm::midiInGetDevCapsA(1, &caps, sizeof caps);
    EXPECT_STREQ(caps.szPname, "c in");
    EXPECT_TRUE(a->plugged());
    EXPECT_FALSE(b->plugged());
}

TEST_F(VirtualDriverTest, DeviceToHostBytesArePacedByTheLinkRate) {
    auto unit = VirtualDevice::create("in", "out");
    unit->plug();
    openInput();
    unit->setLinkRate(1000.0);  // 30 bytes: 30 ms each
    const std::vector<std::uint8_t> message = [] {
        std::vector<std::uint8_t> m(30, 0x01);
        m.front() = 0xF0;
        m.back() = 0xF7;
        return m;
    }();
    const auto start = Clock::now();
    unit->send(message.data(), message.size());
    unit->send(message.data(), message.size());
    unit->flush();
    {
        std::lock_guard<std::mutex> lock(arrivals.mutex);
        ASSERT_EQ(arrivals.lengths.size(), 2u);
        EXPECT_GE(arrivals.times[0] - start, std::chrono::milliseconds(28));
        EXPECT_GE(arrivals.times[1] - start, std::chrono::milliseconds(56));
    }
    closeInput();
}

TEST_F(VirtualDriverTest, OneHostInputAtATimeAndRefusedOpen) {
    auto unit = VirtualDevice::create("in", "out");
    unit->plug();
    openInput();
    EXPECT_TRUE(unit->hostInputOpen());
    mm::HMIDIIN second = nullptr;
    EXPECT_EQ(mm::midiInOpen(&second, 0, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_ALLOCATED);
    closeInput();
    EXPECT_FALSE(unit->hostInputOpen());
    unit->refuseInputOpen(true);
    EXPECT_NE(mm::midiInOpen(&second, 0, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_NOERROR);
    unit->refuseOutputOpen(true);
    mm::HMIDIOUT out = nullptr;
    EXPECT_NE(mm::midiOutOpen(&out, 0, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_NOERROR);
}

// Also when the unit is plugged in again at once: the message that was on
// the wire when the cable went (taken for delivery, being paced) must not
// reach the host after the replug, where it would pass for an answer to
// whatever the next session asks first.
TEST_F(VirtualDriverTest, UnplugDropsWhatWasOnItsWayEvenIfPluggedInAgainAtOnce) {
    auto unit = VirtualDevice::create("in", "out");
    unit->plug();
    openInput();
    unit->setLinkRate(500.0);
    const std::uint8_t message[] = {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF7};
    for (int i = 0; i < 10; ++i) {
        unit->send(message, sizeof message);  // 20 ms each
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    unit->unplug();
    std::size_t atUnplug = 0;
    {
        std::lock_guard<std::mutex> lock(arrivals.mutex);
        atUnplug = arrivals.lengths.size();
    }
    EXPECT_EQ(mm::midiInGetNumDevs(), 0u);
    unit->plug();
    unit->flush();
    {
        std::lock_guard<std::mutex> lock(arrivals.mutex);
        EXPECT_LT(atUnplug, 10u);
        EXPECT_EQ(arrivals.lengths.size(), atUnplug) << "arrived after the unplug";
    }
    closeInput();
}

TEST_F(VirtualDriverTest, DeviceDestroyedWhileTheHostHasItOpen) {
    auto unit = VirtualDevice::create("in", "out");
    unit->plug();
    openInput();
    mm::HMIDIOUT out = nullptr;
    ASSERT_EQ(mm::midiOutOpen(&out, 0, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_NOERROR);
    const std::uint8_t message[] = {0xF0, 0x01, 0xF7};
    unit->send(message, sizeof message);
    unit.reset();
    EXPECT_EQ(mm::midiInGetNumDevs(), 0u);
    std::uint8_t bytes[] = {0xF0, 0x02, 0xF7};
    mm::MIDIHDR outHdr{};
    outHdr.lpData = reinterpret_cast<char*>(bytes);
    outHdr.dwBufferLength = sizeof bytes;
    ASSERT_EQ(mm::midiOutPrepareHeader(out, &outHdr, sizeof outHdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(mm::midiOutLongMsg(out, &outHdr, sizeof outHdr), mm::MMSYSERR_NODRIVER);
    EXPECT_EQ(mm::midiOutUnprepareHeader(out, &outHdr, sizeof outHdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(mm::midiOutClose(out), mm::MMSYSERR_NOERROR);
    closeInput();
}

}  // namespace
