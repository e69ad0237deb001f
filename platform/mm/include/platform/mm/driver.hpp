#pragma once
// What a MIDI driver provides to the multimedia core, and how drivers are
// registered. The core does the header bookkeeping (prepare, queue, done
// flags, callbacks); a driver only enumerates its ports, moves bytes, and
// pushes what it receives into the InputStream the core gives it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mm/mmsystem.hpp"

namespace ql5::mm {

// The core's receiving end of one open input device. A driver calls it from
// its own reader thread (the "platform's MIDI input thread"); calls for one
// device must not overlap. Bytes pushed while the device is not started are
// dropped by the core.
class InputStream {
  public:
    virtual ~InputStream() = default;
    // Raw MIDI bytes as they come off the wire, in any split: SysEx pieces,
    // short messages, real-time bytes. The core frames them.
    virtual void pushBytes(const std::uint8_t* bytes, std::size_t count) = 0;
    // The platform found the SysEx in progress malformed: the buffer being
    // filled is handed back with MIM_LONGERROR (and not re-queued by the core).
    virtual void pushLongError() = 0;
    // The device went away while open (unplugged, its card removed, its
    // sequencer client gone): nothing more will come from it. The core tells
    // the port's owner once, with MIM_CLOSE, before the owner closes it.
    virtual void pushGone() {}
};

class DriverInput {
  public:
    virtual ~DriverInput() = default;  // closes the port; no push after it returns
    virtual MMRESULT start() { return MMSYSERR_NOERROR; }
    virtual MMRESULT stop() { return MMSYSERR_NOERROR; }
    // Lets a driver refuse a header (the virtual driver's fault switch).
    virtual MMRESULT prepare() { return MMSYSERR_NOERROR; }
};

class DriverOutput {
  public:
    virtual ~DriverOutput() = default;  // closes the port
    virtual MMRESULT prepare() { return MMSYSERR_NOERROR; }
    // Sends one complete SysEx message (F0 ... F7). Returns when the bytes
    // have left or failed. markDone=false leaves the header without
    // MHDR_DONE (a platform that never finishes), for tests.
    virtual MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) = 0;
    virtual MMRESULT sendShort(std::uint32_t message) {
        (void)message;
        return MMSYSERR_NOERROR;
    }
};

class Driver {
  public:
    virtual ~Driver() = default;
    virtual const char* name() const = 0;
    // Enumeration is asked afresh on every call; a driver may gain or lose
    // ports between calls.
    virtual std::uint32_t inputCount() = 0;
    virtual std::string inputName(std::uint32_t index) = 0;
    virtual std::uint32_t outputCount() = 0;
    virtual std::string outputName(std::uint32_t index) = 0;
    // Where a port is, in a form that tells it from every other port listed
    // now even when the names do not (names are cut to 31 characters):
    // ALSA's "client:port". Empty where the name is enough.
    virtual std::string inputAddress(std::uint32_t index) {
        (void)index;
        return {};
    }
    virtual std::string outputAddress(std::uint32_t index) {
        (void)index;
        return {};
    }
    // The device a port belongs to: an input and an output with the same
    // device belong to one unit (see port_pairing.hpp). Empty when the
    // driver cannot tell.
    virtual std::string inputDevice(std::uint32_t index) {
        (void)index;
        return {};
    }
    virtual std::string outputDevice(std::uint32_t index) {
        (void)index;
        return {};
    }
    virtual MMRESULT openInput(std::uint32_t index, InputStream& stream,
                               std::unique_ptr<DriverInput>& port) = 0;
    virtual MMRESULT openOutput(std::uint32_t index, std::unique_ptr<DriverOutput>& port) = 0;
};

// The drivers in index order. The default set, made on first use, is: WinMM
// on Windows (winmm_driver.hpp), ALSA (when built with it), the raw
// byte-stream driver on Linux (ports named in the environment variable
// QL5_RAW_MIDI, see raw_stream_driver.hpp), then the virtual driver
// (virtual_driver.hpp), which lists only the virtual devices that are
// plugged in.
std::vector<std::shared_ptr<Driver>> drivers();
// Replaces the driver set (tests, the CLI's --virtual). Ports already open
// stay open on their driver.
void setDrivers(std::vector<std::shared_ptr<Driver>> list);

// The address (see Driver::inputAddress) of the port at a device index;
// empty for an index past the end.
std::string inputDeviceAddress(std::uint32_t index);
std::string outputDeviceAddress(std::uint32_t index);

}  // namespace ql5::mm
