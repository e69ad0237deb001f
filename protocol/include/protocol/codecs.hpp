#pragma once
// Byte codecs of the maker's SysEx protocol. Every data byte between F0 and
// F7 must have bit 7 clear, so numbers travel as septet integers and firmware
// data as 7-in-8 packed groups, with a CRC-32 over the raw bytes of a block.
// All functions are stateless and safe to call from any thread.
#include <cstdint>

namespace ql5::protocol {

// CRC-32/JAMCRC: reflected polynomial 0xEDB88320, register starts at
// 0xFFFFFFFF, no final complement (the bitwise complement of zlib's crc32).
std::uint32_t crc32Step(std::uint32_t crc, std::uint8_t byte);
std::uint32_t crc32Block(const std::uint8_t* data, std::uint32_t count);

// Packed size of n raw bytes: n + ceil(n / 7); 0 for n <= 0.
int packedLength(int n);

// Packs n raw bytes into packedLength(n) bytes at dst and returns that count.
// Writes nothing and returns 0 for n <= 0.
int pack7in8(std::uint8_t* dst, const std::uint8_t* src, int n);

// Unpacks packedLen bytes of packed input; returns the raw bytes written.
// Never reads at or past src[packedLen]; a final group that is a header
// alone yields nothing.
int unpack7in8(std::uint8_t* dst, const std::uint8_t* src, int packedLen);

// Five septets, least significant first; the fifth holds bits 28-31.
void septetsFromU32(std::uint32_t value, std::uint8_t* out);
// Stray high bits are ignored: only the low 7 bits of the first four bytes
// and the low 4 bits of the fifth count.
std::uint32_t u32FromSeptets(const std::uint8_t* in);

}  // namespace ql5::protocol
