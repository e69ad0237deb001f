#pragma once
// Maps a device index onto a driver and the driver's own index. The list of
// drivers and their device counts are asked afresh on every call, so a port
// plugged in or pulled out shifts the indices from the next call on.
#include <cstdint>
#include <memory>

#include "platform/mm/driver.hpp"

namespace ql5::mm::detail {

enum class Direction { Input, Output };

struct ResolvedDevice {
    std::shared_ptr<Driver> driver;
    std::uint32_t local = 0;
};

std::uint32_t countDevices(Direction direction);
// False for an index past the end (0xFFFFFFFF included).
bool resolveDevice(Direction direction, std::uint32_t index, ResolvedDevice& out);

}  // namespace ql5::mm::detail
