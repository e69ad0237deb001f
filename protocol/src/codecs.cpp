#include "protocol/codecs.hpp"

#include <array>

namespace ql5::protocol {

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int round = 0; round < 8; ++round) {
            c = (c & 1U) != 0 ? (c >> 1) ^ 0xEDB88320U : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();
static_assert(kCrcTable[1] == 0x77073096U);
static_assert(kCrcTable[255] == 0x2D02EF8DU);

}  // namespace

std::uint32_t crc32Step(std::uint32_t crc, std::uint8_t byte) {
    return (crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFFU];
}

std::uint32_t crc32Block(const std::uint8_t* data, std::uint32_t count) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (std::uint32_t i = 0; i < count; ++i) {
        crc = crc32Step(crc, data[i]);
    }
    return crc;
}

int packedLength(int n) {
    if (n <= 0) {
        return 0;
    }
    const int rest = n % 7;
    return 8 * (n / 7) + (rest == 0 ? 0 : rest + 1);
}

int pack7in8(std::uint8_t* dst, const std::uint8_t* src, int n) {
    int written = 0;
    for (int g = 0; 7 * g < n; ++g) {
        const int k = n - 7 * g < 7 ? n - 7 * g : 7;
        std::uint8_t header = 0;
        const std::uint8_t* in = src + 7 * static_cast<std::ptrdiff_t>(g);
        std::uint8_t* out = dst + 8 * static_cast<std::ptrdiff_t>(g);
        for (int j = 0; j < k; ++j) {
            if ((in[j] & 0x80U) != 0) {
                header = static_cast<std::uint8_t>(header | (0x40U >> j));
            }
            out[1 + j] = static_cast<std::uint8_t>(in[j] & 0x7FU);
        }
        out[0] = header;
        written += k + 1;
    }
    return written;
}

int unpack7in8(std::uint8_t* dst, const std::uint8_t* src, int packedLen) {
    int produced = 0;
    for (int g = 0; 8 * g < packedLen; ++g) {
        const std::uint8_t* in = src + 8 * static_cast<std::ptrdiff_t>(g);
        const std::uint8_t header = in[0];
        const int avail = packedLen - 8 * g - 1;
        const int k = avail < 7 ? avail : 7;
        for (int j = 0; j < k; ++j) {
            std::uint8_t b = in[1 + j];
            if ((header & (0x40U >> j)) != 0) {
                b = static_cast<std::uint8_t>(b | 0x80U);
            }
            dst[7 * g + j] = b;
        }
        produced += k;
    }
    return produced;
}

void septetsFromU32(std::uint32_t value, std::uint8_t* out) {
    out[0] = static_cast<std::uint8_t>(value & 0x7FU);
    out[1] = static_cast<std::uint8_t>((value >> 7) & 0x7FU);
    out[2] = static_cast<std::uint8_t>((value >> 14) & 0x7FU);
    out[3] = static_cast<std::uint8_t>((value >> 21) & 0x7FU);
    out[4] = static_cast<std::uint8_t>((value >> 28) & 0x0FU);
}

std::uint32_t u32FromSeptets(const std::uint8_t* in) {
    return (static_cast<std::uint32_t>(in[0]) & 0x7FU) |
           (static_cast<std::uint32_t>(in[1]) & 0x7FU) << 7 |
           (static_cast<std::uint32_t>(in[2]) & 0x7FU) << 14 |
           (static_cast<std::uint32_t>(in[3]) & 0x7FU) << 21 |
           (static_cast<std::uint32_t>(in[4]) & 0x0FU) << 28;
}

}  // namespace ql5::protocol
