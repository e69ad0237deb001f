#pragma once
// Checks the embedded images against the SHA-256 digests recorded when they
// were embedded, before anything is sent to a unit: a damaged program must
// not write damaged firmware.
#include <cstddef>
#include <cstdint>
#include <string>

namespace ql5::engine {

// Lower-case hex SHA-256 of count bytes.
std::string sha256Hex(const std::uint8_t* data, std::size_t count);

// 0 when every image the flash plan writes, and the BOOT image, matches its
// recorded digest; otherwise the id of the first image that does not (or is
// missing).
std::uint32_t firstDamagedImage();

}  // namespace ql5::engine
