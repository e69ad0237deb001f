#pragma once
// Which input and which output belong to the same device. Each driver says
// which device a port belongs to (Driver::inputDevice / outputDevice); the
// pairing works on that, never on how names look across devices.
#include <cstdint>
#include <string>
#include <vector>

namespace ql5::mm {

struct PortInfo {
    std::uint32_t index = 0;  // device index (position over all drivers)
    std::string name;
    std::string driver;
    std::string device;  // empty: the driver cannot tell
};

struct PortPair {
    PortInfo input;
    PortInfo output;
};

struct Pairing {
    std::vector<PortPair> pairs;       // in input-index order
    std::vector<PortInfo> unpairedIn;  // no single partner on its device
    std::vector<PortInfo> unpairedOut;
};

// Every input and output port in device-index order, with its device.
std::vector<PortInfo> listPorts(bool inputs);

// Ports of one driver and one device pair up: the only input with the only
// output of that device; where a device has several of each, the input and
// the output of the same name (an ALSA client's duplex port), when that name
// is unique on both sides of the device. Everything else is left unpaired:
// a port of unknown device, a device with only one side, or one whose ports
// cannot be told apart.
Pairing pairPorts(const std::vector<PortInfo>& inputs, const std::vector<PortInfo>& outputs);

}  // namespace ql5::mm
