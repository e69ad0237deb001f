// MIDI output devices over the drivers. Sends are synchronous in the driver;
// the core keeps the header flags the way the transport expects them.
#include <mutex>
#include <new>

#include "device_list.hpp"
#include "handle_registry.hpp"
#include "header_flags.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/mmsystem.hpp"

namespace ql5::mm {

struct MidiOutDevice {
    // Two threads may send on one port at once (the worker's requests and the
    // dispatcher's answers); a message must reach the wire whole, so the
    // driver gets one message at a time.
    std::mutex sendMutex;
    bool closed = false;  // guarded by sendMutex
    // Destroyed with the device, when the last call that holds it returns.
    std::unique_ptr<DriverOutput> port;
};

namespace {

detail::HandleRegistry<MidiOutDevice>& registry() {
    static detail::HandleRegistry<MidiOutDevice> instance;
    return instance;
}

}  // namespace

UINT midiOutGetNumDevs() { return detail::countDevices(detail::Direction::Output); }

MMRESULT midiOutGetDevCapsA(UINT_PTR deviceId, MIDIOUTCAPSA* caps, UINT size) {
    const MMRESULT result = detail::queryDevCaps(detail::Direction::Output, deviceId, caps, size);
    if (result == MMSYSERR_NOERROR) {
        caps->wTechnology = 1;  // MOD_MIDIPORT
        caps->wChannelMask = 0xFFFF;
    }
    return result;
}

MMRESULT midiOutOpen(HMIDIOUT* handle, UINT deviceId, DWORD_PTR callback, DWORD_PTR instance,
                     DWORD flags) {
    (void)callback;
    (void)instance;
    if (handle == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    *handle = nullptr;
    // Completion is seen only in the header's flags; no output callbacks.
    if (flags != CALLBACK_NULL) {
        return MMSYSERR_INVALFLAG;
    }
    detail::ResolvedDevice resolved;
    if (!detail::resolveDevice(detail::Direction::Output, deviceId, resolved)) {
        return MMSYSERR_BADDEVICEID;
    }
    try {
        auto device = std::make_shared<MidiOutDevice>();
        const MMRESULT result = resolved.driver->openOutput(resolved.local, device->port);
        if (result != MMSYSERR_NOERROR) {
            device->port.reset();
            return result;
        }
        if (!device->port) {
            return MMSYSERR_ERROR;
        }
        registry().add(device);
        *handle = device.get();
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT handle) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    {
        std::lock_guard<std::mutex> lock(device->sendMutex);
        device->closed = true;
    }
    registry().remove(handle);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* hdr, UINT size) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!detail::validHeader(hdr, size)) {
        return MMSYSERR_INVALPARAM;
    }
    if ((detail::loadFlags(hdr) & MHDR_PREPARED) != 0) {
        return MMSYSERR_NOERROR;
    }
    std::lock_guard<std::mutex> lock(device->sendMutex);
    if (device->closed) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT result = device->port->prepare();
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    detail::changeFlags(hdr, MHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* hdr, UINT size) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (hdr == nullptr || size < sizeof(MIDIHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    // A header sent but never finished still belongs to the platform.
    if ((detail::loadFlags(hdr) & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    detail::changeFlags(hdr, 0, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* hdr, UINT size) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    if (!detail::validHeader(hdr, size)) {
        return MMSYSERR_INVALPARAM;
    }
    const DWORD flags = detail::loadFlags(hdr);
    if ((flags & MHDR_PREPARED) == 0) {
        return MIDIERR_UNPREPARED;
    }
    if ((flags & MHDR_INQUEUE) != 0) {
        return MIDIERR_STILLPLAYING;
    }
    detail::changeFlags(hdr, MHDR_INQUEUE, MHDR_DONE);
    MMRESULT result = MMSYSERR_NOERROR;
    bool markDone = true;
    {
        std::lock_guard<std::mutex> lock(device->sendMutex);
        if (device->closed) {
            result = MMSYSERR_INVALHANDLE;
        } else {
            try {
                result = device->port->sendLong(reinterpret_cast<const std::uint8_t*>(hdr->lpData),
                                                hdr->dwBufferLength, markDone);
            } catch (...) {
                result = MMSYSERR_ERROR;
            }
        }
    }
    if (result != MMSYSERR_NOERROR) {
        detail::changeFlags(hdr, 0, MHDR_INQUEUE);
        return result;
    }
    if (markDone) {
        detail::changeFlags(hdr, MHDR_DONE, MHDR_INQUEUE);
    }
    // Otherwise the header stays queued for good: nothing in the core keeps
    // a pointer to it, so its owner may give up on it and reuse the memory.
    return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT handle, DWORD message) {
    auto device = registry().find(handle);
    if (!device) {
        return MMSYSERR_INVALHANDLE;
    }
    std::lock_guard<std::mutex> lock(device->sendMutex);
    if (device->closed) {
        return MMSYSERR_INVALHANDLE;
    }
    try {
        return device->port->sendShort(message);
    } catch (...) {
        return MMSYSERR_ERROR;
    }
}

}  // namespace ql5::mm
