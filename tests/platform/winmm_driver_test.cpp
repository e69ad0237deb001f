// The WinMM driver against a stand-in for the system's MIDI calls, through the
// multimedia core as the transport uses it: names and index order, SysEx
// buffers handed back and queued again, MIM_LONGERROR, resets, and a send the
// system never finishes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mm/driver.hpp"
#include "platform/mm/mmsystem.hpp"
#include "platform/mm/port_pairing.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace {
// The core's codes, named before the system headers turn the names into macros.
namespace mm = ql5::mm;
constexpr mm::MMRESULT kOk = mm::MMSYSERR_NOERROR;
constexpr mm::MMRESULT kAllocated = mm::MMSYSERR_ALLOCATED;
constexpr mm::MMRESULT kNotReady = mm::MIDIERR_NOTREADY;
constexpr mm::DWORD kDone = mm::MHDR_DONE;
constexpr mm::DWORD kNoCallback = mm::CALLBACK_NULL;
constexpr mm::DWORD kFunctionCallback = mm::CALLBACK_FUNCTION;
constexpr mm::UINT kLongData = mm::MIM_LONGDATA;
constexpr mm::UINT kLongError = mm::MIM_LONGERROR;
constexpr mm::UINT kData = mm::MIM_DATA;
}  // namespace

// Last: the system headers define some of the core's names as macros.
#include "platform/mm/winmm_api.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

using SystemInputProc = void(CALLBACK*)(::HMIDIIN, ::UINT, ::DWORD_PTR, ::DWORD_PTR, ::DWORD_PTR);

// One stand-in system with input and output ports, reached by the Api's plain
// function pointers through `fake`.
struct FakeSystem {
    std::mutex mutex;
    std::vector<std::string> inNames{"Tarvik QL-5", "2- Tarvik QL-5"};
    std::vector<std::string> outNames{"Tarvik QL-5"};

    // input (one port open at a time)
    ::HMIDIIN inHandle = reinterpret_cast<::HMIDIIN>(0x5150);
    SystemInputProc inCallback = nullptr;
    ::DWORD_PTR inInstance = 0;
    ::UINT inOpenedIndex = 0xFFFF;
    bool inOpen = false;
    bool inStarted = false;
    int inPrepared = 0;
    int inResets = 0;
    std::deque<::MIDIHDR*> inQueue;

    // output
    ::HMIDIOUT outHandle = reinterpret_cast<::HMIDIOUT>(0x5151);
    ::HANDLE outEvent = nullptr;
    bool outOpen = false;
    bool hang = false;  // midiOutLongMsg never finishes
    std::vector<Bytes> sent;
    std::vector<::MIDIHDR*> sentHeaders;
    std::vector<::MIDIHDR*> pending;  // sent, not done
    bool unpreparedWhilePending = false;
    int outResets = 0;
    std::vector<Bytes> bytesAtReset;  // what the pending headers held when reset
    int outPrepared = 0;

    // Fills the oldest queued buffer and hands it back, as the system's
    // thread does.
    bool deliver(const Bytes& bytes, ::UINT message = MIM_LONGDATA) {
        ::MIDIHDR* hdr = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (inQueue.empty() || !inStarted) {
                return false;
            }
            hdr = inQueue.front();
            inQueue.pop_front();
            std::memcpy(hdr->lpData, bytes.data(), bytes.size());
            hdr->dwBytesRecorded = static_cast<::DWORD>(bytes.size());
            hdr->dwFlags = (hdr->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
        }
        inCallback(inHandle, message, inInstance, reinterpret_cast<::DWORD_PTR>(hdr), 0);
        return true;
    }

    void deliverShort(::DWORD message) { inCallback(inHandle, MIM_DATA, inInstance, message, 0); }

    std::size_t queued() {
        std::lock_guard<std::mutex> lock(mutex);
        return inQueue.size();
    }
};

FakeSystem* fake = nullptr;

::UINT WINAPI inGetNumDevs() { return static_cast<::UINT>(fake->inNames.size()); }

::MMRESULT WINAPI inGetDevCaps(::UINT_PTR id, ::LPMIDIINCAPSA caps, ::UINT size) {
    if (id >= fake->inNames.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    std::memset(caps, 0, size);
    std::strncpy(caps->szPname, fake->inNames[id].c_str(), sizeof caps->szPname - 1);
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI inOpen(::LPHMIDIIN handle, ::UINT id, ::DWORD_PTR callback, ::DWORD_PTR instance,
                         ::DWORD flags) {
    if (id >= fake->inNames.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    if (flags != CALLBACK_FUNCTION || fake->inOpen) {
        return MMSYSERR_ALLOCATED;
    }
    fake->inOpen = true;
    fake->inOpenedIndex = id;
    fake->inCallback = reinterpret_cast<SystemInputProc>(callback);
    fake->inInstance = instance;
    *handle = fake->inHandle;
    fake->inCallback(fake->inHandle, MIM_OPEN, instance, 0, 0);
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI inPrepareHeader(::HMIDIIN, ::LPMIDIHDR hdr, ::UINT) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    hdr->dwFlags |= MHDR_PREPARED;
    ++fake->inPrepared;
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI inUnprepareHeader(::HMIDIIN, ::LPMIDIHDR hdr, ::UINT) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    if ((hdr->dwFlags & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    hdr->dwFlags &= ~MHDR_PREPARED;
    --fake->inPrepared;
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI inAddBuffer(::HMIDIIN, ::LPMIDIHDR hdr, ::UINT) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    if ((hdr->dwFlags & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    if ((hdr->dwFlags & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    hdr->dwBytesRecorded = 0;
    fake->inQueue.push_back(hdr);
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI inStart(::HMIDIIN) {
    std::lock_guard<std::mutex> lock(fake->mutex);
    fake->inStarted = true;
    return MMSYSERR_NOERROR;
}

// Every queued buffer comes back, empty, before the call returns.
::MMRESULT WINAPI inReset(::HMIDIIN) {
    std::deque<::MIDIHDR*> back;
    {
        std::lock_guard<std::mutex> lock(fake->mutex);
        fake->inStarted = false;
        ++fake->inResets;
        back.swap(fake->inQueue);
    }
    for (::MIDIHDR* hdr : back) {
        hdr->dwBytesRecorded = 0;
        hdr->dwFlags = (hdr->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
        fake->inCallback(fake->inHandle, MIM_LONGDATA, fake->inInstance,
                         reinterpret_cast<::DWORD_PTR>(hdr), 0);
    }
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI inClose(::HMIDIIN) {
    {
        std::lock_guard<std::mutex> lock(fake->mutex);
        if (!fake->inQueue.empty()) {
            return MIDIERR_STILLPLAYING;
        }
        fake->inOpen = false;
    }
    fake->inCallback(fake->inHandle, MIM_CLOSE, fake->inInstance, 0, 0);
    return MMSYSERR_NOERROR;
}

::UINT WINAPI outGetNumDevs() { return static_cast<::UINT>(fake->outNames.size()); }

::MMRESULT WINAPI outGetDevCaps(::UINT_PTR id, ::LPMIDIOUTCAPSA caps, ::UINT size) {
    if (id >= fake->outNames.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    std::memset(caps, 0, size);
    std::strncpy(caps->szPname, fake->outNames[id].c_str(), sizeof caps->szPname - 1);
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outOpen(::LPHMIDIOUT handle, ::UINT id, ::DWORD_PTR callback, ::DWORD_PTR,
                          ::DWORD flags) {
    if (id >= fake->outNames.size()) {
        return MMSYSERR_BADDEVICEID;
    }
    if (flags != CALLBACK_EVENT || fake->outOpen) {
        return MMSYSERR_ALLOCATED;
    }
    fake->outOpen = true;
    fake->outEvent = reinterpret_cast<::HANDLE>(callback);
    *handle = fake->outHandle;
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outPrepareHeader(::HMIDIOUT, ::LPMIDIHDR hdr, ::UINT) {
    hdr->dwFlags |= MHDR_PREPARED;
    ++fake->outPrepared;
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outUnprepareHeader(::HMIDIOUT, ::LPMIDIHDR hdr, ::UINT) {
    for (::MIDIHDR* p : fake->pending) {
        if (p == hdr) {
            fake->unpreparedWhilePending = true;
            return MIDIERR_STILLPLAYING;
        }
    }
    hdr->dwFlags &= ~MHDR_PREPARED;
    --fake->outPrepared;
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outLongMsg(::HMIDIOUT, ::LPMIDIHDR hdr, ::UINT) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(hdr->lpData);
    fake->sent.emplace_back(bytes, bytes + hdr->dwBufferLength);
    fake->sentHeaders.push_back(hdr);
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    if (fake->hang) {
        fake->pending.push_back(hdr);
        return MMSYSERR_NOERROR;
    }
    hdr->dwFlags = (hdr->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
    ::SetEvent(fake->outEvent);
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outShortMsg(::HMIDIOUT, ::DWORD message) {
    fake->sent.push_back({static_cast<std::uint8_t>(message & 0xFF)});
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outReset(::HMIDIOUT) {
    ++fake->outResets;
    for (::MIDIHDR* hdr : fake->pending) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(hdr->lpData);
        fake->bytesAtReset.emplace_back(bytes, bytes + hdr->dwBufferLength);
        hdr->dwFlags = (hdr->dwFlags | MHDR_DONE) & ~MHDR_INQUEUE;
    }
    fake->pending.clear();
    ::SetEvent(fake->outEvent);
    return MMSYSERR_NOERROR;
}

::MMRESULT WINAPI outClose(::HMIDIOUT) {
    if (!fake->pending.empty()) {
        return MIDIERR_STILLPLAYING;
    }
    fake->outOpen = false;
    return MMSYSERR_NOERROR;
}

const mm::winmm::Api kFakeApi{
    &inGetNumDevs,      &inGetDevCaps,       &inOpen,        &inPrepareHeader,
    &inUnprepareHeader, &inAddBuffer,        &inStart,       &inReset,
    &inClose,           &outGetNumDevs,      &outGetDevCaps, &outOpen,
    &outPrepareHeader,  &outUnprepareHeader, &outLongMsg,    &outShortMsg,
    &outReset,          &outClose,
};

template <typename Pred>
bool waitFor(Pred pred, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What the application's input callback saw, in order.
struct Received {
    std::mutex mutex;
    struct Entry {
        mm::UINT message;
        Bytes bytes;          // for the long messages
        mm::DWORD_PTR param;  // for MIM_DATA
    };
    std::vector<Entry> entries;

    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.size();
    }
    Entry at(std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        return entries.at(i);
    }
};

void onCoreInput(mm::HMIDIIN, mm::UINT message, mm::DWORD_PTR instance, mm::DWORD_PTR p1,
                 mm::DWORD_PTR) {
    auto* r = reinterpret_cast<Received*>(instance);
    Received::Entry e{message, {}, 0};
    if (message == kLongData || message == kLongError) {
        auto* hdr = reinterpret_cast<mm::MIDIHDR*>(p1);
        e.bytes.assign(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
    } else if (message == kData) {
        e.param = p1;
    } else {
        return;
    }
    std::lock_guard<std::mutex> lock(r->mutex);
    r->entries.push_back(std::move(e));
}

// Closes what a failed assertion left open, so that the ports are gone
// before the stand-in system is.
struct OpenPorts {
    mm::HMIDIIN in = nullptr;
    mm::HMIDIOUT out = nullptr;
    ~OpenPorts() {
        if (in != nullptr) {
            mm::midiInReset(in);
            mm::midiInClose(in);
        }
        if (out != nullptr) {
            mm::midiOutClose(out);
        }
    }
};

class WinMmDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = &system_;
        mm::winmm::DriverOptions options;
        options.inputBuffers = 4;
        options.inputBufferBytes = 256;
        options.sendSlackMs = 150;
        driver_ = mm::winmm::makeDriver(kFakeApi, options);
        mm::setDrivers({driver_, mm::virt::virtualDriver()});
    }
    void TearDown() override {
        mm::setDrivers({});
        fake = nullptr;
    }

    FakeSystem system_;
    std::shared_ptr<mm::Driver> driver_;
};

TEST_F(WinMmDriverTest, SystemPortsComeFirstUnderTheirOwnNamesThenTheVirtualOnes) {
    auto device = mm::virt::VirtualDevice::create("Virtual In", "Virtual Out");
    device->plug();
    ASSERT_EQ(mm::midiInGetNumDevs(), 3u);
    ASSERT_EQ(mm::midiOutGetNumDevs(), 2u);
    const char* inputs[] = {"Tarvik QL-5", "2- Tarvik QL-5", "Virtual In"};
    for (mm::UINT i = 0; i < 3; ++i) {
        mm::MIDIINCAPSA caps{};
        ASSERT_EQ(mm::midiInGetDevCapsA(i, &caps, sizeof caps), kOk);
        EXPECT_STREQ(caps.szPname, inputs[i]);
    }
    mm::MIDIOUTCAPSA caps{};
    ASSERT_EQ(mm::midiOutGetDevCapsA(1, &caps, sizeof caps), kOk);
    EXPECT_STREQ(caps.szPname, "Virtual Out");
    // Paired by name: the system's "Tarvik QL-5" input with its output of that
    // name, the second unit's "2- ..." input with nothing, the virtual device
    // with its own output.
    const mm::Pairing pairing = mm::pairPorts(mm::listPorts(true), mm::listPorts(false));
    ASSERT_EQ(pairing.pairs.size(), 2u);
    EXPECT_EQ(pairing.pairs[0].input.index, 0u);
    EXPECT_EQ(pairing.pairs[0].output.index, 0u);
    EXPECT_EQ(pairing.pairs[1].input.name, "Virtual In");
    ASSERT_EQ(pairing.unpairedIn.size(), 1u);
    EXPECT_EQ(pairing.unpairedIn[0].name, "2- Tarvik QL-5");
    // The index past the system's ports opens the virtual device, not the system's.
    mm::HMIDIIN in = nullptr;
    ASSERT_EQ(mm::midiInOpen(&in, 2, 0, 0, kNoCallback), kOk);
    EXPECT_FALSE(system_.inOpen);
    EXPECT_TRUE(device->hostInputOpen());
    EXPECT_EQ(mm::midiInClose(in), kOk);
    device->unplug();
}

TEST_F(WinMmDriverTest, InputBuffersComeBackAndAreQueuedAgainAfterDataErrorsAndResets) {
    Received received;
    OpenPorts open;
    mm::HMIDIIN& in = open.in;
    ASSERT_EQ(mm::midiInOpen(&in, 1, reinterpret_cast<mm::DWORD_PTR>(&onCoreInput),
                             reinterpret_cast<mm::DWORD_PTR>(&received), kFunctionCallback),
              kOk);
    EXPECT_EQ(system_.inOpenedIndex, 1u);
    EXPECT_EQ(system_.queued(), 4u) << "the driver's buffers are queued at open";

    std::vector<char> storage(5 * 64);
    mm::MIDIHDR headers[5] = {};
    for (int i = 0; i < 5; ++i) {
        headers[i].lpData = storage.data() + i * 64;
        headers[i].dwBufferLength = 64;
        ASSERT_EQ(mm::midiInPrepareHeader(in, &headers[i], sizeof(mm::MIDIHDR)), kOk);
        ASSERT_EQ(mm::midiInAddBuffer(in, &headers[i], sizeof(mm::MIDIHDR)), kOk);
    }
    ASSERT_EQ(mm::midiInStart(in), kOk);
    ASSERT_TRUE(system_.inStarted);

    // One message per buffer, then a short message, a malformed SysEx and a
    // message split over two buffers (the first one filled without its F7).
    ASSERT_TRUE(system_.deliver({0xF0, 0x7E, 0x01, 0xF7}));
    ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
    system_.deliverShort(0x7F4090);
    ASSERT_TRUE(waitFor([&] { return received.size() == 2; }));
    ASSERT_TRUE(system_.deliver({0xF0, 0x7E, 0x02}, MIM_LONGERROR));
    ASSERT_TRUE(waitFor([&] { return received.size() == 3; }));
    ASSERT_TRUE(system_.deliver({0xF0, 0x7E, 0x03}));
    ASSERT_TRUE(system_.deliver({0x04, 0xF7}));
    ASSERT_TRUE(waitFor([&] { return received.size() == 4; }));
    // Each buffer went back to the system after its bytes were passed on:
    // more messages than buffers came through.
    ASSERT_TRUE(system_.deliver({0xF0, 0x05, 0xF7}));
    ASSERT_TRUE(waitFor([&] { return received.size() == 5; }));
    EXPECT_TRUE(waitFor([&] { return system_.queued() == 4u; }));

    EXPECT_EQ(received.at(0).message, kLongData);
    EXPECT_EQ(received.at(0).bytes, (Bytes{0xF0, 0x7E, 0x01, 0xF7}));
    EXPECT_EQ(received.at(1).message, kData);
    EXPECT_EQ(received.at(1).param, 0x7F4090u);
    EXPECT_EQ(received.at(2).message, kLongError);
    EXPECT_EQ(received.at(2).bytes, (Bytes{0xF0, 0x7E, 0x02}));
    EXPECT_EQ(received.at(3).message, kLongData);
    EXPECT_EQ(received.at(3).bytes, (Bytes{0xF0, 0x7E, 0x03, 0x04, 0xF7}));
    EXPECT_EQ(received.at(4).bytes, (Bytes{0xF0, 0x05, 0xF7}));

    // Reset: the application's last header comes back empty; the system's
    // reset hands the driver's buffers back empty, and they are queued again
    // (not passed on as data) for the next start.
    ASSERT_EQ(mm::midiInReset(in), kOk);
    EXPECT_EQ(system_.inResets, 1);
    ASSERT_EQ(received.size(), 6u);
    EXPECT_EQ(received.at(5).message, kLongData);
    EXPECT_TRUE(received.at(5).bytes.empty());
    EXPECT_EQ(system_.queued(), 4u);
    EXPECT_FALSE(system_.deliver({0xF0, 0x06, 0xF7})) << "stopped";

    // Started again, input flows again.
    ASSERT_EQ(mm::midiInAddBuffer(in, &headers[0], sizeof(mm::MIDIHDR)), kOk);
    ASSERT_EQ(mm::midiInStart(in), kOk);
    ASSERT_TRUE(system_.deliver({0xF0, 0x07, 0xF7}));
    ASSERT_TRUE(waitFor([&] { return received.size() == 7; }));
    EXPECT_EQ(received.at(6).bytes, (Bytes{0xF0, 0x07, 0xF7}));
    ASSERT_EQ(mm::midiInReset(in), kOk);

    // Closing hands the buffers back, unprepares them and closes the port.
    ASSERT_EQ(mm::midiInClose(in), kOk);
    in = nullptr;
    EXPECT_FALSE(system_.inOpen);
    EXPECT_EQ(system_.inPrepared, 0);
    EXPECT_EQ(system_.queued(), 0u);
}

TEST_F(WinMmDriverTest, AnUnfinishedSendIsAbandonedAndKeptUntilTheResetReturnsIt) {
    OpenPorts open;
    mm::HMIDIOUT& out = open.out;
    ASSERT_EQ(mm::midiOutOpen(&out, 0, 0, 0, kNoCallback), kOk);
    ASSERT_TRUE(system_.outOpen);
    char first[] = {'\xF0', '\x01', '\xF7'};
    char second[] = {'\xF0', '\x02', '\xF7'};
    char third[] = {'\xF0', '\x03', '\xF7'};
    auto send = [&](char* bytes) {
        mm::MIDIHDR hdr{};
        hdr.lpData = bytes;
        hdr.dwBufferLength = 3;
        EXPECT_EQ(mm::midiOutPrepareHeader(out, &hdr, sizeof hdr), kOk);
        const mm::MMRESULT result = mm::midiOutLongMsg(out, &hdr, sizeof hdr);
        if (result == kOk) {
            EXPECT_NE(hdr.dwFlags & kDone, 0u);
        }
        EXPECT_EQ(mm::midiOutUnprepareHeader(out, &hdr, sizeof hdr), kOk);
        return result;
    };

    EXPECT_EQ(send(first), kOk);

    // The system never finishes the second one: the send gives up after its
    // bound (150 ms here, plus the wire time of 3 bytes) and says so.
    system_.hang = true;
    const auto before = Clock::now();
    EXPECT_EQ(send(second), kNotReady);
    const auto waited = Clock::now() - before;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(3));
    // The caller's bytes are free again at once; the system's header is not.
    std::memset(second, 0, sizeof second);

    system_.hang = false;
    EXPECT_EQ(send(third), kOk);
    ASSERT_EQ(system_.sentHeaders.size(), 3u);
    EXPECT_NE(system_.sentHeaders[2], system_.sentHeaders[1]) << "an abandoned header is reused";
    EXPECT_EQ(system_.pending.size(), 1u);
    EXPECT_EQ(system_.outResets, 0);

    // Close: reset first, which hands it back with its bytes intact, then it
    // is unprepared and the port closes.
    ASSERT_EQ(mm::midiOutClose(out), kOk);
    out = nullptr;
    EXPECT_EQ(system_.outResets, 1);
    ASSERT_EQ(system_.bytesAtReset.size(), 1u);
    EXPECT_EQ(system_.bytesAtReset[0], (Bytes{0xF0, 0x02, 0xF7}));
    EXPECT_FALSE(system_.unpreparedWhilePending);
    EXPECT_EQ(system_.outPrepared, 0);
    EXPECT_FALSE(system_.outOpen);
    ASSERT_EQ(system_.sent.size(), 3u);
    EXPECT_EQ(system_.sent[0], (Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(system_.sent[2], (Bytes{0xF0, 0x03, 0xF7}));
}

TEST_F(WinMmDriverTest, OpensTheSystemRefusesLeaveNoPortBehind) {
    // A port the system refuses (here: already open elsewhere) is not listed
    // as open by the core, and the next open of it works.
    system_.inOpen = true;
    mm::HMIDIIN in = nullptr;
    EXPECT_EQ(mm::midiInOpen(&in, 0, 0, 0, kNoCallback), kAllocated);
    EXPECT_EQ(in, nullptr);
    system_.inOpen = false;
    EXPECT_EQ(system_.inPrepared, 0);
    system_.outOpen = true;
    mm::HMIDIOUT out = nullptr;
    EXPECT_EQ(mm::midiOutOpen(&out, 0, 0, 0, kNoCallback), kAllocated);
    EXPECT_EQ(out, nullptr);
    system_.outOpen = false;
    ASSERT_EQ(mm::midiOutOpen(&out, 0, 0, 0, kNoCallback), kOk);
    EXPECT_EQ(mm::midiOutClose(out), kOk);
}

}  // namespace
