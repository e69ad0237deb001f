#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "protocol/codecs.hpp"

namespace ql5::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes packed(const Bytes& raw) {
    Bytes out(static_cast<std::size_t>(packedLength(static_cast<int>(raw.size()))));
    const int n = pack7in8(out.data(), raw.data(), static_cast<int>(raw.size()));
    EXPECT_EQ(n, static_cast<int>(out.size()));
    return out;
}

// Unpacks from an exactly sized heap copy, so ASan reports any read at or
// past packedLen.
Bytes unpacked(const Bytes& pk) {
    std::vector<std::uint8_t> src(pk);
    Bytes out(pk.size());  // raw is never longer than packed
    const int n = unpack7in8(out.data(), src.data(), static_cast<int>(src.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes b(n);
    for (auto& x : b) {
        x = static_cast<std::uint8_t>(rng());
    }
    return b;
}

TEST(PackedLength, MatchesGroupArithmetic) {
    EXPECT_EQ(packedLength(0), 0);
    EXPECT_EQ(packedLength(-5), 0);
    EXPECT_EQ(packedLength(1), 2);
    EXPECT_EQ(packedLength(6), 7);
    EXPECT_EQ(packedLength(7), 8);
    EXPECT_EQ(packedLength(8), 10);
    EXPECT_EQ(packedLength(4096), 4682);
    for (int n = 1; n < 200; ++n) {
        EXPECT_EQ(packedLength(n), n + (n + 6) / 7) << n;
    }
}

TEST(Pack7in8, KnownByteExamples) {
    EXPECT_EQ(packed({0x80, 0x01, 0xFF}), (Bytes{0x50, 0x00, 0x01, 0x7F}));
    EXPECT_EQ(packed({0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x08}),
              (Bytes{0x7F, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x00, 0x08}));
    EXPECT_EQ(unpacked({0x50, 0x00, 0x01, 0x7F}), (Bytes{0x80, 0x01, 0xFF}));
}

TEST(Pack7in8, NothingForEmptyOrNegativeInput) {
    std::uint8_t dst[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    const std::uint8_t src[1] = {0x80};
    EXPECT_EQ(pack7in8(dst, src, 0), 0);
    EXPECT_EQ(pack7in8(dst, src, -1), 0);
    EXPECT_EQ(dst[0], 0xAA);
}

TEST(Pack7in8, ShortFinalGroupHasOnlyItsOwnHeaderBits) {
    // 9 bytes all with bit 7: second group holds 2 bytes, header bits 6 and 5.
    const Bytes raw(9, 0xFF);
    const Bytes pk = packed(raw);
    ASSERT_EQ(pk.size(), 11U);
    EXPECT_EQ(pk[0], 0x7F);
    EXPECT_EQ(pk[8], 0x60);
    EXPECT_EQ(unpacked(pk), raw);
}

TEST(Unpack7in8, PartialGroupsYieldExactlyTheirDataBytes) {
    const Bytes seven{0x00, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(unpacked(seven).size(), 6U);
    const Bytes eight{0x00, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(unpacked(eight).size(), 7U);
    // A final group that is a header alone yields nothing.
    const Bytes nine{0x00, 1, 2, 3, 4, 5, 6, 7, 0x7F};
    EXPECT_EQ(unpacked(nine).size(), 7U);
}

TEST(Pack7in8, RoundTripsEveryShortLengthAndNeverSetsBit7) {
    std::mt19937 rng(1234);
    for (int n = 0; n <= 100; ++n) {
        const Bytes raw = randomBytes(rng, static_cast<std::size_t>(n));
        const Bytes pk = packed(raw);
        for (std::uint8_t b : pk) {
            ASSERT_EQ(b & 0x80, 0) << "length " << n;
        }
        ASSERT_EQ(unpacked(pk), raw) << "length " << n;
    }
}

TEST(Pack7in8, RoundTripsRandomLongLengths) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> len(101, 20000);
    for (int round = 0; round < 40; ++round) {
        const Bytes raw = randomBytes(rng, static_cast<std::size_t>(len(rng)));
        const Bytes pk = packed(raw);
        for (std::uint8_t b : pk) {
            ASSERT_EQ(b & 0x80, 0);
        }
        ASSERT_EQ(unpacked(pk), raw) << "length " << raw.size();
    }
}

TEST(Septets, KnownValuesBothWays) {
    std::uint8_t out[5];
    septetsFromU32(0x12345678U, out);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x78, 0x2C, 0x51, 0x11, 0x01}));
    EXPECT_EQ(u32FromSeptets(out), 0x12345678U);
    septetsFromU32(0xFFFFFFFFU, out);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
    EXPECT_EQ(u32FromSeptets(out), 0xFFFFFFFFU);
}

TEST(Septets, StrayHighBitsAreIgnored) {
    const std::uint8_t all[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(u32FromSeptets(all), 0xFFFFFFFFU);
    const std::uint8_t high[5] = {0x80, 0x80, 0x80, 0x80, 0xF0};
    EXPECT_EQ(u32FromSeptets(high), 0U);
}

TEST(Septets, RoundTripRandomValues) {
    std::mt19937 rng(7);
    for (int i = 0; i < 10000; ++i) {
        const std::uint32_t v = rng();
        std::uint8_t s[5];
        septetsFromU32(v, s);
        for (std::uint8_t b : s) {
            ASSERT_LT(b, 0x80);
        }
        ASSERT_EQ(u32FromSeptets(s), v);
    }
}

TEST(Crc32, KnownValues) {
    EXPECT_EQ(crc32Block(nullptr, 0), 0xFFFFFFFFU);
    const char* check = "123456789";
    EXPECT_EQ(crc32Block(reinterpret_cast<const std::uint8_t*>(check), 9), 0x340BC6D9U);
    std::uint32_t reg = 0xFFFFFFFFU;
    for (int i = 0; i < 9; ++i) {
        reg = crc32Step(reg, static_cast<std::uint8_t>(check[i]));
    }
    EXPECT_EQ(reg, 0x340BC6D9U);
}

TEST(Crc32, IsTheComplementOfZlibOnRandomData) {
    std::mt19937 rng(4242);
    std::vector<std::size_t> lengths = {1, 2, 3, 7, 8, 255, 256, 4095, 4096, 4097, 65536};
    for (int i = 0; i < 50; ++i) {
        lengths.push_back(rng() % 20000);
    }
    for (std::size_t n : lengths) {
        const Bytes data = randomBytes(rng, n);
        const auto ref =
            static_cast<std::uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size())));
        ASSERT_EQ(crc32Block(data.data(), static_cast<std::uint32_t>(n)), ~ref) << "length " << n;
    }
}

}  // namespace
}  // namespace ql5::protocol
