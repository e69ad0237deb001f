#pragma once
// Follows the bytes a driver has pushed far enough to know whether a SysEx
// message is open. When the platform loses input (a kernel buffer overrun),
// a message that was open has lost bytes and must not be passed on as if
// whole: the driver then reports it malformed. Lost bytes outside a message
// need no report: data bytes without their status are dropped by the core.
#include <cstddef>
#include <cstdint>

namespace ql5::mm::detail {

class SysExTracker {
  public:
    void observe(const std::uint8_t* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t byte = bytes[i];
            if (byte < 0x80 || byte >= 0xF8) continue;  // data and real-time leave it as it is
            open_ = byte == 0xF0;
        }
    }
    bool inSysEx() const { return open_; }
    void reset() { open_ = false; }

  private:
    bool open_ = false;
};

}  // namespace ql5::mm::detail
