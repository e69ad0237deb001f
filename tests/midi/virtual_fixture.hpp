#pragma once
// Puts the virtual driver alone in the driver set, so the tests see only
// the devices they plug in, whatever the machine has.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace ql5::testing {

class VirtualOnly : public ::testing::Test {
  protected:
    void SetUp() override { mm::setDrivers({mm::virt::virtualDriver()}); }

    std::shared_ptr<mm::virt::VirtualDevice> plugged(const char* in, const char* out) {
        auto device = mm::virt::VirtualDevice::create(in, out);
        device->plug();
        return device;
    }
};

template <typename Pred>
bool waitFor(Pred pred, int ms = 2000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::vector<std::uint8_t> sysex(std::initializer_list<std::uint8_t> body) {
    std::vector<std::uint8_t> bytes{0xF0};
    bytes.insert(bytes.end(), body);
    bytes.push_back(0xF7);
    return bytes;
}

}  // namespace ql5::testing
