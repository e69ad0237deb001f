#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_driver.hpp"
#include "platform/mm/mmsystem.hpp"

namespace {

namespace mm = ql5::mm;
using ql5::testing::FakeDriver;
using Bytes = std::vector<std::uint8_t>;

struct Call {
    mm::UINT message;
    mm::DWORD_PTR param1;
    Bytes data;  // LONGDATA / LONGERROR: the recorded bytes at callback time
    mm::DWORD flags = 0;
};

struct Recorder {
    std::mutex mutex;
    std::vector<Call> calls;
    bool requeue = false;
    bool closeFromCallback = false;
    mm::MMRESULT closeResult = 0;
    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};

    std::vector<Call> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

void recordCallback(mm::HMIDIIN handle, mm::UINT message, mm::DWORD_PTR instance,
                    mm::DWORD_PTR param1, mm::DWORD_PTR) {
    auto* r = reinterpret_cast<Recorder*>(instance);
    if (r->inside.exchange(true)) {
        r->overlapped = true;
    }
    Call call{message, param1, {}, 0};
    if (message == mm::MIM_LONGDATA || message == mm::MIM_LONGERROR) {
        auto* hdr = reinterpret_cast<mm::MIDIHDR*>(param1);
        call.data.assign(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
        call.flags = hdr->dwFlags;
        if (r->requeue && message == mm::MIM_LONGDATA && hdr->dwBytesRecorded > 0) {
            mm::midiInPrepareHeader(handle, hdr, sizeof *hdr);
            mm::midiInAddBuffer(handle, hdr, sizeof *hdr);
        }
    }
    if (r->closeFromCallback && message == mm::MIM_DATA) {
        r->closeResult = mm::midiInClose(handle);
    }
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->calls.push_back(std::move(call));
    }
    r->inside = false;
}

class InputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        mm::setDrivers({driver});
        ASSERT_EQ(mm::midiInOpen(&handle, 0, reinterpret_cast<mm::DWORD_PTR>(&recordCallback),
                                 reinterpret_cast<mm::DWORD_PTR>(&recorder), mm::CALLBACK_FUNCTION),
                  mm::MMSYSERR_NOERROR);
        for (auto& h : headers) {
            h.lpData = reinterpret_cast<char*>(h.storage.data());
            h.hdr.lpData = h.lpData;
            h.hdr.dwBufferLength = static_cast<mm::DWORD>(h.storage.size());
        }
    }
    void TearDown() override {
        if (handle != nullptr) {
            mm::midiInReset(handle);
            for (auto& h : headers) {
                mm::midiInUnprepareHeader(handle, &h.hdr, sizeof h.hdr);
            }
            EXPECT_EQ(mm::midiInClose(handle), mm::MMSYSERR_NOERROR);
        }
        mm::setDrivers({});
    }

    void queue(int i) {
        ASSERT_EQ(mm::midiInPrepareHeader(handle, &headers[i].hdr, sizeof(mm::MIDIHDR)),
                  mm::MMSYSERR_NOERROR);
        ASSERT_EQ(mm::midiInAddBuffer(handle, &headers[i].hdr, sizeof(mm::MIDIHDR)),
                  mm::MMSYSERR_NOERROR);
    }

    std::vector<Call> longData() {
        std::vector<Call> result;
        for (auto& c : recorder.snapshot()) {
            if (c.message == mm::MIM_LONGDATA) {
                result.push_back(c);
            }
        }
        return result;
    }

    struct Header {
        std::vector<std::uint8_t> storage = std::vector<std::uint8_t>(16);
        char* lpData = nullptr;
        mm::MIDIHDR hdr{};
    };

    std::shared_ptr<FakeDriver> driver =
        std::make_shared<FakeDriver>(std::vector<std::string>{"in"}, std::vector<std::string>{});
    Recorder recorder;
    mm::HMIDIIN handle = nullptr;
    Header headers[3];
};

TEST_F(InputTest, OpenAndCloseAreAnnounced) {
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].message, mm::MIM_OPEN);
    ASSERT_EQ(mm::midiInClose(handle), mm::MMSYSERR_NOERROR);
    calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].message, mm::MIM_CLOSE);
    EXPECT_EQ(driver->stream, nullptr);
    handle = nullptr;
}

TEST_F(InputTest, HeaderFlagsFollowPrepareQueueAndUnprepare) {
    mm::MIDIHDR& hdr = headers[0].hdr;
    EXPECT_EQ(mm::midiInAddBuffer(handle, &hdr, sizeof hdr), mm::MIDIERR_UNPREPARED);
    ASSERT_EQ(mm::midiInPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, mm::MHDR_PREPARED);
    // Preparing again changes nothing.
    EXPECT_EQ(mm::midiInPrepareHeader(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    hdr.dwFlags |= mm::MHDR_DONE;
    ASSERT_EQ(mm::midiInAddBuffer(handle, &hdr, sizeof hdr), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(hdr.dwFlags, mm::MHDR_PREPARED | mm::MHDR_INQUEUE);
    EXPECT_EQ(mm::midiInAddBuffer(handle, &hdr, sizeof hdr), mm::MIDIERR_STILLPLAYING);
    EXPECT_EQ(mm::midiInUnprepareHeader(handle, &hdr, sizeof hdr), mm::MIDIERR_STILLPLAYING);
    EXPECT_EQ(mm::midiInClose(handle), mm::MIDIERR_STILLPLAYING);
    mm::MIDIHDR bad{};
    EXPECT_EQ(mm::midiInPrepareHeader(handle, &bad, sizeof bad), mm::MMSYSERR_INVALPARAM);
    EXPECT_EQ(mm::midiInPrepareHeader(handle, &hdr, 8), mm::MMSYSERR_INVALPARAM);
}

TEST_F(InputTest, ResetHandsBackEveryQueuedBufferBeforeReturning) {
    queue(0);
    queue(1);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    ASSERT_EQ(mm::midiInReset(handle), mm::MMSYSERR_NOERROR);
    auto back = longData();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].param1, reinterpret_cast<mm::DWORD_PTR>(&headers[0].hdr));
    EXPECT_EQ(back[1].param1, reinterpret_cast<mm::DWORD_PTR>(&headers[1].hdr));
    for (const auto& c : back) {
        EXPECT_TRUE(c.data.empty());
        EXPECT_EQ(c.flags & (mm::MHDR_DONE | mm::MHDR_INQUEUE), mm::MHDR_DONE);
    }
    EXPECT_EQ(mm::midiInUnprepareHeader(handle, &headers[0].hdr, sizeof(mm::MIDIHDR)),
              mm::MMSYSERR_NOERROR);
    EXPECT_EQ(headers[0].hdr.dwFlags & mm::MHDR_PREPARED, 0u);
    EXPECT_EQ(mm::midiInClose(handle), mm::MMSYSERR_NOERROR);
    handle = nullptr;
}

TEST_F(InputTest, BytesBeforeStartAreDropped) {
    queue(0);
    driver->push({0xF0, 0x01, 0xF7, 0x90, 0x40, 0x7F});
    EXPECT_TRUE(longData().empty());
    EXPECT_EQ(recorder.snapshot().size(), 1u);  // MIM_OPEN only
}

TEST_F(InputTest, SysExFillsTheOldestBufferAndShortMessagesComeAsData) {
    queue(0);
    queue(1);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0x90, 0x40, 0x7F, 0xF0, 0x01});
    driver->push({0xF8, 0x02, 0xF7, 0x41, 0x00});
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].message, mm::MIM_DATA);
    EXPECT_EQ(calls[1].param1, 0x7F4090u);
    EXPECT_EQ(calls[2].message, mm::MIM_DATA);
    EXPECT_EQ(calls[2].param1, 0xF8u);
    EXPECT_EQ(calls[3].message, mm::MIM_LONGDATA);
    EXPECT_EQ(calls[3].param1, reinterpret_cast<mm::DWORD_PTR>(&headers[0].hdr));
    EXPECT_EQ(calls[3].data, (Bytes{0xF0, 0x01, 0x02, 0xF7}));
    EXPECT_EQ(headers[0].hdr.dwBytesRecorded, 4u);
    EXPECT_EQ(calls[3].flags & (mm::MHDR_DONE | mm::MHDR_INQUEUE), mm::MHDR_DONE);
    // 41 00 came after the SysEx, which cancels running status: dropped.
}

TEST_F(InputTest, LongMessageSpillsIntoTheNextBuffer) {
    queue(0);
    queue(1);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    Bytes message(20, 0x11);
    message.front() = 0xF0;
    message.back() = 0xF7;
    driver->push(message);
    auto back = longData();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].data.size(), 16u);
    EXPECT_EQ(back[1].data.size(), 4u);
    EXPECT_EQ(back[1].data.back(), 0xF7);
}

TEST_F(InputTest, WithoutAQueuedBufferSysExIsLost) {
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0xF0, 0x01, 0xF7});
    queue(0);
    driver->push({0xF0, 0x02, 0xF7});
    auto back = longData();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].data, (Bytes{0xF0, 0x02, 0xF7}));
}

TEST_F(InputTest, CallbackMayQueueTheBufferAgain) {
    recorder.requeue = true;
    queue(0);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0xF0, 0x01, 0xF7, 0xF0, 0x02, 0xF7, 0xF0, 0x03, 0xF7});
    auto back = longData();
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[2].data, (Bytes{0xF0, 0x03, 0xF7}));
    EXPECT_NE(headers[0].hdr.dwFlags & mm::MHDR_INQUEUE, 0u);
}

TEST_F(InputTest, StopHandsBackAPartlyFilledBufferOnly) {
    queue(0);
    queue(1);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0xF0, 0x01, 0x02});
    ASSERT_EQ(mm::midiInStop(handle), mm::MMSYSERR_NOERROR);
    auto back = longData();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].data, (Bytes{0xF0, 0x01, 0x02}));
    EXPECT_NE(headers[1].hdr.dwFlags & mm::MHDR_INQUEUE, 0u);
    // Started again, the rest of the cut message does not land in a buffer.
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0x03, 0xF7, 0xF0, 0x04, 0xF7});
    back = longData();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].data, (Bytes{0xF0, 0x04, 0xF7}));
}

TEST_F(InputTest, LongErrorHandsTheBufferBackWithLongError) {
    queue(0);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0xF0, 0x01});
    driver->pushLongError();
    auto calls = recorder.snapshot();
    ASSERT_EQ(calls.back().message, mm::MIM_LONGERROR);
    EXPECT_EQ(calls.back().data, (Bytes{0xF0, 0x01}));
    EXPECT_EQ(headers[0].hdr.dwFlags & mm::MHDR_INQUEUE, 0u);
    // Not queued again: the next message finds no buffer.
    driver->push({0xF0, 0x02, 0xF7});
    EXPECT_TRUE(longData().empty());
}

TEST_F(InputTest, CloseFromTheCallbackIsRefusedNotDeadlocked) {
    recorder.closeFromCallback = true;
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    driver->push({0x90, 0x40, 0x7F});
    EXPECT_NE(recorder.closeResult, mm::MMSYSERR_NOERROR);
}

TEST_F(InputTest, CallbacksNeverOverlap) {
    recorder.requeue = true;
    queue(0);
    ASSERT_EQ(mm::midiInStart(handle), mm::MMSYSERR_NOERROR);
    auto pusher = [&] {
        for (int i = 0; i < 2000; ++i) {
            driver->push({0x90, 0x40, 0x7F});
        }
    };
    std::thread a(pusher);
    std::thread b(pusher);
    for (int i = 0; i < 50; ++i) {
        mm::midiInStop(handle);
        mm::midiInStart(handle);
    }
    a.join();
    b.join();
    EXPECT_FALSE(recorder.overlapped.load());
}

}  // namespace
