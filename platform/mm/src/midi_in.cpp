// MIDI input devices over the drivers: header bookkeeping, SysEx framing and
// the callbacks.
//
// Locks, outermost first:
//   lifecycle  start/stop/reset/close of one device, one at a time;
//   delivery   held while a callback runs, so callbacks of one device never
//              overlap (pushes from the driver and hand-backs from reset
//              take turns);
//   state      the header queue, the framer and the flags; held only for
//              bookkeeping, never while a callback runs, because the callback
//              itself calls midiInPrepareHeader and midiInAddBuffer.
#include <chrono>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "device_list.hpp"
#include "handle_registry.hpp"
#include "header_flags.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/mmsystem.hpp"
#include "platform/mm/sysex_joiner.hpp"

namespace ql5::mm {

struct MidiInDevice final : InputStream {
    MidiInProc callback = nullptr;
    DWORD_PTR instance = 0;
    std::unique_ptr<DriverInput> port;

    std::mutex lifecycle;
    std::mutex delivery;
    std::atomic<std::thread::id> deliveringThread{};

    std::mutex state;
    std::deque<MIDIHDR*> queue;
    SysExJoiner joiner;
    bool started = false;
    bool closing = false;
    bool goneTold = false;
    std::chrono::steady_clock::time_point startTime = std::chrono::steady_clock::now();

    void pushBytes(const std::uint8_t* bytes, std::size_t count) override;
    void pushLongError() override;
    void pushGone() override;

    bool onDeliveringThread() const {
        return deliveringThread.load(std::memory_order_acquire) == std::this_thread::get_id();
    }

    // Must hold `delivery`.
    void call(UINT message, DWORD_PTR param1) {
        if (callback == nullptr) {
            return;
        }
        const auto elapsed = std::chrono::steady_clock::now() - startTime;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        callback(this, message, instance, param1, static_cast<DWORD_PTR>(ms));
    }
};

namespace {

detail::HandleRegistry<MidiInDevice>& registry() {
    static detail::HandleRegistry<MidiInDevice> instance;
    return instance;
}

class DeliveryLock {
  public:
    explicit DeliveryLock(MidiInDevice& device) : device_(device) {
        device_.delivery.lock();
        device_.deliveringThread.store(std::this_thread::get_id(), std::memory_order_release);
    }
    ~DeliveryLock() {
        device_.deliveringThread.store(std::thread::id{}, std::memory_order_release);
        device_.delivery.unlock();
    }
    DeliveryLock(const DeliveryLock&) = delete;
    DeliveryLock& operator=(const DeliveryLock&) = delete;

  private:
    MidiInDevice& device_;
};

void handBack(MIDIHDR* hdr, std::size_t bytes) {
    hdr->dwBytesRecorded = static_cast<DWORD>(bytes);
    detail::changeFlags(hdr, MHDR_DONE, MHDR_INQUEUE);
}

}  // namespace

void MidiInDevice::pushBytes(const std::uint8_t* bytes, std::size_t count) {
    if (bytes == nullptr || count == 0) {
        return;
    }
    DeliveryLock deliveryLock(*this);
    std::size_t done = 0;
    while (done < count) {
        UINT message = 0;
        DWORD_PTR param = 0;
        {
            std::lock_guard<std::mutex> lock(state);
            if (!started || closing) {
                return;  // bytes that arrive while stopped are dropped
            }
            if (!joiner.attached() && !queue.empty()) {
                MIDIHDR* next = queue.front();
                joiner.attach(reinterpret_cast<std::uint8_t*>(next->lpData), next->dwBufferLength);
            }
            SysExJoiner::Event event;
            const std::size_t used = joiner.feed(bytes + done, count - done, event);
            done += used;
            if (event.kind == SysExJoiner::EventKind::BufferDone) {
                // The framer only ever fills the front header.
                MIDIHDR* hdr = queue.front();
                queue.pop_front();
                handBack(hdr, event.bytesRecorded);
                message = MIM_LONGDATA;
                param = reinterpret_cast<DWORD_PTR>(hdr);
            } else if (event.kind == SysExJoiner::EventKind::ShortMessage) {
                message = MIM_DATA;
                param = event.message;
            } else if (used == 0) {
                return;
            }
        }
        if (message != 0) {
            call(message, param);
        }
    }
}

void MidiInDevice::pushGone() {
    DeliveryLock deliveryLock(*this);
    bool wasStarted = false;
    {
        std::lock_guard<std::mutex> lock(state);
        if (closing || goneTold) {
            return;
        }
        goneTold = true;
        wasStarted = started;
    }
    if (wasStarted) {
        call(MIM_CLOSE, 0);
    } else if (callback != nullptr) {
        // Gone before the input was started: there is no start time to count
        // from (midiInStart may be setting it right now).
        callback(this, MIM_CLOSE, instance, 0, 0);
    }
}

void MidiInDevice::pushLongError() {
    DeliveryLock deliveryLock(*this);
    MIDIHDR* hdr = nullptr;
    {
        std::lock_guard<std::mutex> lock(state);
        if (!started || closing) {
            return;
        }
        const std::size_t held = joiner.release();
        if (!queue.empty()) {
            hdr = queue.front();
            queue.pop_front();
            handBack(hdr, held);
        }
    }
    if (hdr != nullptr) {
        call(MIM_LONGERROR, reinterpret_cast<DWORD_PTR>(hdr));
    }
}

UINT midiInGetNumDevs() { return detail::countDevices(detail::Direction::Input); }

MMRESULT midiInGetDevCapsA(UINT_PTR deviceId, MIDIINCAPSA* caps, UINT size) {
    return detail::queryDevCaps(detail::Direction::Input, deviceId, caps, size);
}

MMRESULT midiInOpen(HMIDIIN* handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags) {
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    *handle = nullptr;
    if (flags != CALLBACK_FUNCTION && flags != CALLBACK_NULL) {
        return MMSYSERR_INVALFLAG;
    }
    if (flags == CALLBACK_FUNCTION && callback == 0) {
        return MMSYSERR_INVALPARAM;
    }
    detail::ResolvedDevice resolved;
    if (!detail::resolveDevice(detail::Direction::Input, deviceId, resolved)) {
        return MMSYSERR_BADDEVICEID;
    }
    try {
        auto device = std::make_shared<MidiInDevice>();
        device->callback =
            flags == CALLBACK_FUNCTION ? reinterpret_cast<MidiInProc>(callback) : nullptr;
        device->instance = instance;
        const MMRESULT result = resolved.driver->openInput(resolved.local, *device, device->port);
        if (result != MMSYSERR_NOERROR) {
            device->port.reset();
            return result;
        }
        if (!device->port) {
            return MMSYSERR_ERROR;
        }
        registry().add(device);
        *handle = device.get();
        DeliveryLock deliveryLock(*device);
        device->call(MIM_OPEN, 0);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiInClose(HMIDIIN handle) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    // The driver's port waits for its reader thread when it closes, and that
    // thread is the one running the callback.
    if (device->onDeliveringThread()) {
        return MMSYSERR_ERROR;
    }
    std::lock_guard<std::mutex> lifecycle(device->lifecycle);
    {
        std::lock_guard<std::mutex> lock(device->state);
        if (device->closing) {
            return MMSYSERR_INVALHANDLE;
        }
        if (!device->queue.empty()) {
            return MIDIERR_STILLPLAYING;
        }
        device->closing = true;
        device->started = false;
    }
    registry().remove(handle);
    device->port.reset();  // no push after this
    DeliveryLock deliveryLock(*device);
    device->call(MIM_CLOSE, 0);
    device->callback = nullptr;
    return MMSYSERR_NOERROR;
}

MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* hdr, UINT size) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!detail::validHeader(hdr, size)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(device->state);
    if (device->closing) {
        return MMSYSERR_INVALHANDLE;
    }
    if ((detail::loadFlags(hdr) & MHDR_PREPARED) != 0) {
        return MMSYSERR_NOERROR;
    }
    const MMRESULT result = device->port->prepare();
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    detail::changeFlags(hdr, MHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* hdr, UINT size) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (hdr == nullptr || size < sizeof(MIDIHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(device->state);
    if ((detail::loadFlags(hdr) & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    detail::changeFlags(hdr, 0, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* hdr, UINT size) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!detail::validHeader(hdr, size)) {
        return MMSYSERR_INVALPARAM;
    }
    std::lock_guard<std::mutex> lock(device->state);
    if (device->closing) {
        return MMSYSERR_INVALHANDLE;
    }
    const DWORD flags = detail::loadFlags(hdr);
    if ((flags & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    if ((flags & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    try {
        device->queue.push_back(hdr);
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    hdr->dwBytesRecorded = 0;
    detail::changeFlags(hdr, MHDR_INQUEUE, MHDR_DONE);
    return MMSYSERR_NOERROR;
}

MMRESULT midiInStart(HMIDIIN handle) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (device->onDeliveringThread()) {
        return MMSYSERR_ERROR;
    }
    std::lock_guard<std::mutex> lifecycle(device->lifecycle);
    {
        std::lock_guard<std::mutex> lock(device->state);
        if (device->closing) {
            return MMSYSERR_INVALHANDLE;
        }
        if (device->started) {
            return MMSYSERR_NOERROR;
        }
    }
    const MMRESULT result = device->port->start();
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    std::lock_guard<std::mutex> lock(device->state);
    device->started = true;
    device->startTime = std::chrono::steady_clock::now();
    return MMSYSERR_NOERROR;
}

namespace {

// Stops input and hands buffers back: the one being filled always (with what
// it holds), the empty queued ones too when `all`.
MMRESULT stopInput(HMIDIIN handle, bool all) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (device->onDeliveringThread()) {
        return MMSYSERR_ERROR;
    }
    std::lock_guard<std::mutex> lifecycle(device->lifecycle);
    if (device->closing) {
        return MMSYSERR_INVALHANDLE;
    }
    device->port->stop();
    // Taking the delivery lock waits out a push that is running a callback.
    DeliveryLock deliveryLock(*device);
    std::vector<MIDIHDR*> handedBack;
    {
        std::lock_guard<std::mutex> lock(device->state);
        device->started = false;
        const bool wasFilling = device->joiner.attached();
        const std::size_t held = device->joiner.release();
        device->joiner.reset();
        try {
            handedBack.reserve(device->queue.size());
        } catch (const std::bad_alloc&) {
            return MMSYSERR_NOMEM;
        }
        if (wasFilling && held > 0 && !device->queue.empty()) {
            MIDIHDR* hdr = device->queue.front();
            device->queue.pop_front();
            handBack(hdr, held);
            handedBack.push_back(hdr);
        }
        if (all) {
            for (MIDIHDR* hdr : device->queue) {
                handBack(hdr, 0);
                handedBack.push_back(hdr);
            }
            device->queue.clear();
        }
    }
    for (MIDIHDR* hdr : handedBack) {
        device->call(MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(hdr));
    }
    return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT midiInStop(HMIDIIN handle) { return stopInput(handle, false); }

MMRESULT midiInReset(HMIDIIN handle) { return stopInput(handle, true); }

}  // namespace ql5::mm
