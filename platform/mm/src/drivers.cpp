#include <mutex>

#include "device_list.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#if defined(QL5_HAVE_ALSA)
#include "platform/mm/alsa_driver.hpp"
#endif
#if defined(QL5_HAVE_WINMM)
#include "platform/mm/winmm_driver.hpp"
#endif
#if defined(QL5_HAVE_RAW_STREAM)
#include "platform/mm/raw_stream_driver.hpp"
#endif
#if defined(QL5_HAVE_WEB_MIDI)
#include "platform/mm/web_midi_driver.hpp"
#endif

namespace ql5::mm {

namespace {

std::mutex& listMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<std::shared_ptr<Driver>>& driverList() {
    static std::vector<std::shared_ptr<Driver>> list;
    return list;
}

bool& listMade() {
    static bool made = false;
    return made;
}

std::vector<std::shared_ptr<Driver>> defaultDrivers() {
    std::vector<std::shared_ptr<Driver>> list;
#if defined(QL5_HAVE_WINMM)
    list.push_back(winmmDriver());
#endif
#if defined(QL5_HAVE_WEB_MIDI)
    list.push_back(webMidiDriver());
#endif
#if defined(QL5_HAVE_ALSA)
    if (auto alsa = alsaDriver()) {
        list.push_back(std::move(alsa));
    }
#endif
#if defined(QL5_HAVE_RAW_STREAM)
    if (auto raw = rawStreamDriverFromEnvironment()) {
        list.push_back(std::move(raw));
    }
#endif
    // Last, so that the indices of real ports do not move when a test or the
    // virtual unit plugs a device in.
    list.push_back(virt::virtualDriver());
    return list;
}

}  // namespace

std::vector<std::shared_ptr<Driver>> drivers() {
    std::lock_guard<std::mutex> lock(listMutex());
    if (!listMade()) {
        driverList() = defaultDrivers();
        listMade() = true;
    }
    return driverList();
}

void setDrivers(std::vector<std::shared_ptr<Driver>> list) {
    std::lock_guard<std::mutex> lock(listMutex());
    driverList() = std::move(list);
    listMade() = true;
}

std::string inputDeviceAddress(std::uint32_t index) {
    detail::ResolvedDevice device;
    if (!detail::resolveDevice(detail::Direction::Input, index, device)) return {};
    return device.driver->inputAddress(device.local);
}

std::string outputDeviceAddress(std::uint32_t index) {
    detail::ResolvedDevice device;
    if (!detail::resolveDevice(detail::Direction::Output, index, device)) return {};
    return device.driver->outputAddress(device.local);
}

namespace detail {

std::uint32_t countDevices(Direction direction) {
    std::uint64_t total = 0;
    for (const auto& driver : drivers()) {
        if (!driver) {
            continue;
        }
        total += direction == Direction::Input ? driver->inputCount() : driver->outputCount();
    }
    // An index is 32 bits wide, and 0xFFFFFFFF means "no device".
    return total > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<std::uint32_t>(total);
}

bool resolveDevice(Direction direction, std::uint32_t index, ResolvedDevice& out) {
    std::uint64_t remaining = index;
    for (const auto& driver : drivers()) {
        if (!driver) {
            continue;
        }
        const std::uint32_t count =
            direction == Direction::Input ? driver->inputCount() : driver->outputCount();
        if (remaining < count) {
            out.driver = driver;
            out.local = static_cast<std::uint32_t>(remaining);
            return true;
        }
        remaining -= count;
    }
    return false;
}

}  // namespace detail
}  // namespace ql5::mm
