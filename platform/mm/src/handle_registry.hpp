#pragma once
// The open devices, keyed by the handle given out for them. A call looks its
// handle up and holds the device for its own duration, so a handle that was
// closed (or never was) is refused with MMSYSERR_INVALHANDLE instead of being
// followed, and a close on one thread cannot free a device that a send on
// another thread is still using.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "device_list.hpp"
#include "platform/mm/mmsystem.hpp"

namespace ql5::mm::detail {

template <typename Device>
class HandleRegistry {
  public:
    void add(const std::shared_ptr<Device>& device) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_[device.get()] = device;
    }

    std::shared_ptr<Device> find(const Device* handle) {
        if (handle == nullptr) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = devices_.find(handle);
        return it == devices_.end() ? nullptr : it->second;
    }

    void remove(const Device* handle) {
        std::shared_ptr<Device> last;  // dropped outside the lock
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = devices_.find(handle);
        if (it != devices_.end()) {
            last = std::move(it->second);
            devices_.erase(it);
        }
    }

  private:
    std::mutex mutex_;
    std::unordered_map<const Device*, std::shared_ptr<Device>> devices_;
};

// Copies a port name into a capability record's 32-byte field, cut at 31
// bytes and always terminated.
template <std::size_t N>
void copyPortName(const std::string& name, char (&field)[N]) {
    static_assert(N > 0);
    const std::size_t length = name.size() < N - 1 ? name.size() : N - 1;
    std::memcpy(field, name.data(), length);
    std::memset(field + length, 0, N - length);
}

// The capability query both directions share: checks the record, finds the
// device and copies its name (cut at 31 bytes, always terminated). The rest
// of the record is left zero for the caller to fill.
template <typename Caps>
MMRESULT queryDevCaps(Direction direction, UINT_PTR deviceId, Caps* caps, UINT size) {
    if (caps == nullptr || size < sizeof(Caps)) {
        return MMSYSERR_INVALPARAM;
    }
    *caps = Caps{};
    ResolvedDevice device;
    if (deviceId > 0xFFFFFFFFu ||
        !resolveDevice(direction, static_cast<std::uint32_t>(deviceId), device)) {
        return MMSYSERR_BADDEVICEID;
    }
    try {
        copyPortName(direction == Direction::Input ? device.driver->inputName(device.local)
                                                   : device.driver->outputName(device.local),
                     caps->szPname);
    } catch (...) {
        caps->szPname[0] = '\0';
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

}  // namespace ql5::mm::detail
