#pragma once
// In-process MIDI devices: the virtual unit and the tests plug them in. A
// VirtualDevice is one input port (the host receives what the device sends)
// and one output port (the host sends to the device) under their own names.
// It reproduces what the transport relies on from a platform: buffers handed
// back with MHDR_DONE, an empty buffer on reset, MIM_LONGERROR, output headers
// marked done; and, on request, refused opens, prepares and sends and a
// header never marked done.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/mm/driver.hpp"

namespace ql5::mm::virt {

class VirtualDevice {
  public:
    // Receives every message the host sends to the device (a whole SysEx
    // message as given to midiOutLongMsg, or a short message as its 1-3
    // bytes), on the host's sending thread, before midiOutLongMsg returns.
    // It must not block; it may call send() on the same device.
    using HostMessageHandler = std::function<void(const std::uint8_t*, std::size_t)>;

    static std::shared_ptr<VirtualDevice> create(std::string inputName, std::string outputName);
    ~VirtualDevice();

    void setHostMessageHandler(HostMessageHandler handler);

    // Listed by the virtual driver only while plugged (a new device is
    // unplugged). Unplugging makes open ports of the device fail their sends
    // and stop receiving, as a vanished USB device does.
    void plug();
    void unplug();
    bool plugged() const;

    // Device to host: the bytes are queued and pushed to the host's open input
    // (if any, and started) on the device's own delivery thread, in order.
    void send(const std::uint8_t* bytes, std::size_t count);
    // Device to host: the SysEx in progress is malformed (MIM_LONGERROR).
    void sendLongError();
    // Waits until everything queued by send()/sendLongError() was delivered.
    void flush();

    // Fault switches, all off by default.
    void refuseInputOpen(bool on);
    void refuseOutputOpen(bool on);
    void refusePrepare(bool on);  // midiIn/OutPrepareHeader fail
    void refuseSend(bool on);     // midiOutLongMsg fails
    void neverMarkDone(bool on);  // midiOutLongMsg succeeds, MHDR_DONE never set
    // Models the link: the host's send completes (MHDR_DONE) after
    // count / bytesPerSecond, and device-to-host bytes are paced the same way.
    // 0 = instant (default).
    void setLinkRate(double bytesPerSecond);

    const std::string& inputName() const;
    const std::string& outputName() const;
    bool hostInputOpen() const;   // the host has the input port open
    bool hostOutputOpen() const;  // the host has the output port open

    struct Impl;

  private:
    explicit VirtualDevice(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

// The driver that lists the plugged virtual devices, in the order they were
// created. One process-wide instance, part of the default driver set.
std::shared_ptr<Driver> virtualDriver();

}  // namespace ql5::mm::virt
