#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "platform/mm/mmsystem.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace {

namespace mm = ql5::mm;
using ql5::mm::virt::VirtualDevice;
using Bytes = std::vector<std::uint8_t>;

class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mm::setDrivers({mm::virt::virtualDriver()});
        device->plug();
        device->setHostMessageHandler([this](const std::uint8_t* b, std::size_t n) {
            std::lock_guard<std::mutex> lock(mutex);
            got.emplace_back(b, b + n);
        });
        ASSERT_EQ(mm::midiOutOpen(&handle, 0, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_NOERROR);
        hdr.lpData = reinterpret_cast<char*>(message.data());
        hdr.dwBufferLength = static_cast<mm::DWORD>(message.size());
    }
    void TearDown() override {
        if (handle != nullptr) {
            mm::midiOutClose(handle);
        }
    }

    std::shared_ptr<VirtualDevice> device = VirtualDevice::create("v in", "v out");
    mm::HMIDIOUT handle = nullptr;
    Bytes message{0xF0, 0x01, 0x02, 0xF7};
    mm::MIDIHDR hdr{};
    std::mutex mutex;
    std::vector<Bytes> got;
};

TEST_F(OutputTest, LongMessageNeedsAPreparedHeader) {
    EXPECT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MIDIERR_UNPREPARED);
    ASSERT_EQ(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, mm::MHDR_PREPARED);
    ASSERT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, mm::MHDR_PREPARED | mm::MHDR_DONE);
    EXPECT_EQ(got, std::vector<Bytes>{message});
    EXPECT_EQ(mm::midiOutUnprepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, mm::MHDR_DONE);
}

TEST_F(OutputTest, HeaderNeverDoneStaysQueuedAndCannotBeUnprepared) {
    device->neverMarkDone(true);
    ASSERT_EQ(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    ASSERT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags & mm::MHDR_DONE, 0u);
    EXPECT_EQ(mm::midiOutUnprepareHeader(handle, &hdr, sizeof hdr), mm::MIDIERR_STILLPLAYING);
    EXPECT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MIDIERR_STILLPLAYING);
}

TEST_F(OutputTest, RefusalsAndUnplugFailTheSend) {
    device->refusePrepare(true);
    EXPECT_NE(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    device->refusePrepare(false);
    ASSERT_EQ(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    device->refuseSend(true);
    EXPECT_NE(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags & (mm::MHDR_INQUEUE | mm::MHDR_DONE), 0u);
    device->refuseSend(false);
    device->unplug();
    EXPECT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MMSYSERR_NODRIVER);
    EXPECT_EQ(mm::midiOutShortMsg(handle, 0x7F4090), mm::MMSYSERR_NODRIVER);
    EXPECT_TRUE(got.empty());
}

TEST_F(OutputTest, ShortMessagesReachTheDeviceAsTheirBytes) {
    ASSERT_EQ(mm::midiOutShortMsg(handle, 0x7F4090), mm::MMSYSERR_NOERROR);
    ASSERT_EQ(mm::midiOutShortMsg(handle, 0x05C0), mm::MMSYSERR_NOERROR);
    ASSERT_EQ(mm::midiOutShortMsg(handle, 0xF8), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(got, (std::vector<Bytes>{{0x90, 0x40, 0x7F}, {0xC0, 0x05}, {0xF8}}));
}

TEST_F(OutputTest, LinkRateDelaysTheSend) {
    device->setLinkRate(1000.0);  // 40 bytes = 40 ms
    Bytes big(40, 0x22);
    big.front() = 0xF0;
    big.back() = 0xF7;
    hdr.lpData = reinterpret_cast<char*>(big.data());
    hdr.dwBufferLength = static_cast<mm::DWORD>(big.size());
    ASSERT_EQ(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(35));
}

TEST_F(OutputTest, HandlerMaySendBackFromTheSendingThread) {
    std::atomic<int> echoed{0};
    device->setHostMessageHandler([&](const std::uint8_t* b, std::size_t n) {
        device->send(b, n);
        echoed.fetch_add(1);
    });
    ASSERT_EQ(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    ASSERT_EQ(mm::midiOutLongMsg(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    device->flush();
    EXPECT_EQ(echoed.load(), 1);
}

TEST_F(OutputTest, CloseMakesTheHandleStale) {
    ASSERT_EQ(mm::midiOutClose(handle), mm::MMSYSERR_NOERROR);
    EXPECT_FALSE(device->hostOutputOpen());
    EXPECT_EQ(mm::midiOutPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_INVALHANDLE);
    handle = nullptr;
}

}  // namespace
