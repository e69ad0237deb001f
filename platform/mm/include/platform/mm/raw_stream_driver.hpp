#pragma once
// A MIDI port pair over two file paths: the host reads raw MIDI bytes from one
// and writes raw MIDI bytes to the other. Works with FIFOs (the virtual unit's
// standalone program, tests), character devices such as /dev/midi1, and
// serial MIDI adapters.
//
// Each of the two ports is listed only while its path exists, so a device
// node that goes away with its USB device also leaves the port lists, as the
// unplug wait after an update expects.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/mm/driver.hpp"

namespace ql5::mm {

// How long a send may take before it is given up: a device that stops taking
// bytes must not hold the sending thread for ever. The allowance is
// baseTimeout plus the message's length at minBytesPerSecond; the defaults
// leave a 4,700-byte write block about three times what it takes at MIDI's
// 3,125 bytes per second. Messages longer than maxMessage are refused.
struct RawStreamLimits {
    std::chrono::milliseconds baseTimeout{1000};
    std::uint32_t minBytesPerSecond = 1000;
    std::size_t maxMessage = 1 << 20;
};

// One input port and one output port, both named `name`. Reading happens on
// the driver's own thread; a send writes the whole message before it returns.
// Each port can be open once at a time (a second open gets MMSYSERR_ALLOCATED).
std::shared_ptr<Driver> rawStreamDriver(std::string name, std::string inputPath,
                                        std::string outputPath, RawStreamLimits limits = {});

// The port pair named by QL5_RAW_MIDI=NAME:INPUT_PATH:OUTPUT_PATH; nullptr when
// the variable is unset or malformed (not exactly three non-empty fields, so
// neither the name nor a path can hold a colon), or when a path names
// nothing: such a setting is reported on standard error, once per call, and
// lists no port. The output is opened without waiting: a FIFO must already
// have its reader (the device's side), else the open fails.
std::shared_ptr<Driver> rawStreamDriverFromEnvironment();

// What is wrong with a QL5_RAW_MIDI setting, in words for the user; empty
// when it is well formed and both paths exist.
std::string rawStreamSettingProblem(const std::string& setting);
// The same for the environment; empty when the variable is unset.
std::string rawStreamEnvironmentProblem();

// The parsing of rawStreamDriverFromEnvironment(), on a given text.
std::shared_ptr<Driver> rawStreamDriverFromSetting(const std::string& setting);

}  // namespace ql5::mm
