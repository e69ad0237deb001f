#pragma once
// The Windows MIDI driver: the system's own MIDI ports through WinMM, in the
// system's order and under the names it gives them (szPname). It stands
// where the ALSA driver stands on Linux, first in the default driver set.
//
// The core (midi_in.cpp, midi_out.cpp) keeps the application's headers; the
// driver keeps buffers of its own with the system:
//  - input: a ring of SysEx buffers queued with midiInAddBuffer. Each one
//    that comes back with MIM_LONGDATA gives its bytes to the core and is
//    queued again; one that comes back with MIM_LONGERROR gives its bytes and
//    then the error, and is queued again too, so reception goes on. Short
//    messages (MIM_DATA) go to the core as their wire bytes. Stopping resets
//    the port, which hands every buffer back with 0 bytes.
//  - output: each SysEx message is copied into a header of its own and sent
//    with midiOutLongMsg; the send waits for MHDR_DONE up to a bound that
//    allows for the message's time on a 31250 baud link. A header the system
//    has not finished by then is abandoned: it is neither reused nor freed
//    until the system hands it back (midiOutReset, when the port closes).
#include <cstdint>
#include <memory>

#include "platform/mm/driver.hpp"

namespace ql5::mm {

// The process-wide driver over the system's WinMM.
std::shared_ptr<Driver> winmmDriver();

namespace winmm {

// The system calls the driver makes (winmm_api.hpp); a test may put stand-ins
// behind them.
struct Api;

struct DriverOptions {
    std::uint32_t inputBuffers = 16;
    std::uint32_t inputBufferBytes = 4096;
    // Longest wait for MHDR_DONE on a send: this much, plus twice the
    // message's wire time at 3125 bytes per second.
    std::uint32_t sendSlackMs = 2000;
    // How long a close or a stop waits for the system to hand buffers back.
    std::uint32_t returnWaitMs = 2000;
};

std::shared_ptr<Driver> makeDriver(const Api& api, DriverOptions options = {});

}  // namespace winmm

}  // namespace ql5::mm
