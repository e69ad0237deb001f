#pragma once
// Cuts a raw MIDI byte stream (a FIFO, a serial line, ALSA's pieces) into the
// whole messages the unit acts on: SysEx from F0 to F7, single real-time
// bytes, and channel/common messages by their status. Real-time bytes inside
// a SysEx come out on their own and the SysEx goes on; a status byte or a new
// F0 inside a SysEx ends it unterminated (it is passed on as it is, so the
// unit answers it as malformed). A SysEx longer than the limit is dropped
// whole.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace ql5::emulator {

class StreamFramer {
  public:
    using Sink = std::function<void(const std::uint8_t*, std::size_t)>;

    explicit StreamFramer(Sink sink, std::size_t maxSysEx = 1 << 20)
        : sink_(std::move(sink)), maxSysEx_(maxSysEx) {}

    void feed(const std::uint8_t* bytes, std::size_t count);
    void reset();
    std::size_t droppedBytes() const { return dropped_; }

  private:
    void emitShort();
    static std::size_t shortLength(std::uint8_t status);

    Sink sink_;
    std::size_t maxSysEx_;
    std::vector<std::uint8_t> sysex_;
    bool inSysEx_ = false;
    bool overflow_ = false;
    std::vector<std::uint8_t> short_;
    std::size_t dropped_ = 0;
};

}  // namespace ql5::emulator
