#pragma once
// A VirtualUnit on a loopback link: the test plays the host byte by byte.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/loopback_link.hpp"
#include "emulator/virtual_unit.hpp"
#include "protocol/codecs.hpp"

namespace ql5::emulator::testing {

using namespace std::chrono_literals;

inline Bytes eraseCmd(std::uint32_t address, std::uint32_t size, std::uint8_t model = 0x6E) {
    Bytes m{0xF0, 0x52, 0x00, model, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7};
    protocol::septetsFromU32(address, m.data() + 5);
    protocol::septetsFromU32(size, m.data() + 10);
    return m;
}

inline Bytes writeCmd(std::uint32_t address, const Bytes& data, std::uint8_t model = 0x6E) {
    const auto n = static_cast<std::uint32_t>(data.size());
    const int packed = protocol::packedLength(static_cast<int>(n));
    Bytes m(static_cast<std::size_t>(packed) + 18);
    m[0] = 0xF0;
    m[1] = 0x52;
    m[2] = 0x00;
    m[3] = model;
    m[4] = 0x02;
    protocol::septetsFromU32(address, m.data() + 5);
    m[10] = static_cast<std::uint8_t>(n & 0x7F);
    m[11] = static_cast<std::uint8_t>((n >> 7) & 0x7F);
    protocol::pack7in8(m.data() + 12, data.data(), static_cast<int>(n));
    protocol::septetsFromU32(protocol::crc32Block(data.data(), n), m.data() + 12 + packed);
    m.back() = 0xF7;
    return m;
}

inline Bytes readCmd(std::uint32_t address, std::uint32_t length, std::uint8_t model = 0x6E) {
    Bytes m{0xF0, 0x52, 0x00, model, 0x60, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF7};
    protocol::septetsFromU32(address, m.data() + 6);
    protocol::septetsFromU32(length, m.data() + 11);
    return m;
}

inline const Bytes kIdentityRequest{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
inline const Bytes kBeginUpdate{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7};
inline const Bytes kFinish{0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7};

inline Bytes result(std::uint8_t code) { return {0xF0, 0x52, 0x00, 0x6E, 0x00, code, 0xF7}; }

// Unpacks the data of one well-formed read reply and checks its CRC.
inline std::optional<Bytes> readReplyData(const Bytes& m) {
    if (m.size() < 17 || m[4] != 0x60 || m[5] != 0x04 || m[6] != 0x30) return std::nullopt;
    const std::uint32_t n = m[9] | (static_cast<std::uint32_t>(m[10]) << 7);
    const auto packed = static_cast<std::size_t>(protocol::packedLength(static_cast<int>(n)));
    if (m.size() != packed + 17) return std::nullopt;
    Bytes data(n + 7);
    protocol::unpack7in8(data.data(), m.data() + 11, static_cast<int>(packed));
    data.resize(n);
    if (protocol::u32FromSeptets(m.data() + 11 + packed) != protocol::crc32Block(data.data(), n))
        return std::nullopt;
    return data;
}

inline Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

class UnitHarness : public ::testing::Test {
  protected:
    void make(UnitConfig cfg = {}) {
        unit.reset();
        link = std::make_shared<LoopbackLink>();
        unit = std::make_unique<VirtualUnit>(std::move(cfg), link);
    }
    void SetUp() override { make(); }
    void TearDown() override { unit.reset(); }

    void send(const Bytes& m) { ASSERT_TRUE(link->hostSend(m)); }
    std::optional<Bytes> next(std::chrono::milliseconds t = 2000ms) { return link->receive(t); }
    // Sends and expects exactly one answer.
    Bytes exchange(const Bytes& m) {
        EXPECT_TRUE(link->hostSend(m));
        auto r = link->receive(2000ms);
        EXPECT_TRUE(r.has_value()) << "no answer";
        return r.value_or(Bytes{});
    }
    void expectSilence(std::chrono::milliseconds t = 100ms) {
        ASSERT_TRUE(unit->waitIdle(2000ms));
        const auto r = link->receive(t);
        EXPECT_FALSE(r.has_value()) << "unexpected message of " << r->size() << " bytes";
    }
    void begin() { ASSERT_EQ(exchange(kBeginUpdate), result(0)); }

    std::shared_ptr<LoopbackLink> link;
    std::unique_ptr<VirtualUnit> unit;
};

}  // namespace ql5::emulator::testing
