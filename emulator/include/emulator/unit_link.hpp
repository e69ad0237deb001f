#pragma once
// The unit's two ports, whatever carries them: the in-process virtual driver,
// a byte stream over two files, an ALSA sequencer client, or a loopback that
// a test drives directly.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace ql5::emulator {

class UnitLink {
  public:
    // Called with every whole message the host sends (SysEx from F0 to F7,
    // or a short/real-time message), on whatever thread the link delivers
    // from. It must not block.
    using Receiver = std::function<void(const std::uint8_t*, std::size_t)>;

    virtual ~UnitLink() = default;

    // Set before plug(); the link drops its reference on detach().
    virtual void setReceiver(Receiver receiver) = 0;
    // After detach() returns the receiver is not called again.
    virtual void detach() = 0;

    // Unit to host; may queue. Returns false when the bytes could not be
    // handed to the link (for example while unplugged).
    virtual bool send(const std::uint8_t* bytes, std::size_t count) = 0;
    // The platform's "the SysEx in progress is broken" (MIM_LONGERROR).
    virtual void sendLongError() {}
    // Waits until everything sent so far has reached the host's side.
    virtual void flush() {}

    virtual void plug() = 0;
    virtual void unplug() = 0;
    virtual bool plugged() const = 0;

    // Bytes per second on the wire; 0 = instant.
    virtual void setLinkRate(double bytesPerSecond) { (void)bytesPerSecond; }
};

}  // namespace ql5::emulator
