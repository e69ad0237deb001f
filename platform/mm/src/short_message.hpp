#pragma once
// Unpacking of a packed short message (status in the low byte, then the data
// bytes) into the bytes that go on the wire, shared by the drivers in this
// folder.
#include <cstddef>
#include <cstdint>

namespace ql5::mm::detail {

// Number of bytes the message occupies on the wire and the bytes in `out`;
// 0 when the low byte is no status byte that can start a short message
// (running status, F0, F7 and the undefined F4/F5/F9/FD carry nothing we send).
inline std::size_t shortMessageBytes(std::uint32_t message, std::uint8_t (&out)[3]) {
    const std::uint8_t status = message & 0xFF;
    out[0] = status;
    out[1] = (message >> 8) & 0x7F;
    out[2] = (message >> 16) & 0x7F;
    if (status < 0x80) return 0;
    if (status < 0xC0) return 3;  // note off/on, poly pressure, control change
    if (status < 0xE0) return 2;  // program change, channel pressure
    if (status < 0xF0) return 3;  // pitch bend
    switch (status) {
        case 0xF1:
        case 0xF3:
            return 2;
        case 0xF2:
            return 3;
        case 0xF6:
        case 0xF8:
        case 0xFA:
        case 0xFB:
        case 0xFC:
        case 0xFE:
        case 0xFF:
            return 1;
        default:
            return 0;
    }
}

}  // namespace ql5::mm::detail
