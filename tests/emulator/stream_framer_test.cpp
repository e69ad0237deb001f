#include <gtest/gtest.h>

#include <vector>

#include "emulator/stream_framer.hpp"

namespace ql5::emulator {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Collect {
    std::vector<Bytes> out;
    StreamFramer framer{
        [this](const std::uint8_t* b, std::size_t n) { out.emplace_back(b, b + n); }, 32};
    void feed(const Bytes& b) { framer.feed(b.data(), b.size()); }
};

TEST(StreamFramer, SplitsSysExInAnyPieces) {
    Collect c;
    const Bytes stream{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7, 0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7};
    for (std::uint8_t b : stream) c.feed(Bytes{b});
    ASSERT_EQ(c.out.size(), 2U);
    EXPECT_EQ(c.out[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(c.out[1], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}));
}

TEST(StreamFramer, RealTimeInsideSysExComesOutOnItsOwn) {
    Collect c;
    c.feed(Bytes{0xF0, 0x52, 0xF8, 0x00, 0xFE, 0x6E, 0x04, 0xF7});
    ASSERT_EQ(c.out.size(), 3U);
    EXPECT_EQ(c.out[0], Bytes{0xF8});
    EXPECT_EQ(c.out[1], Bytes{0xFE});
    EXPECT_EQ(c.out[2], (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7}));
}

TEST(StreamFramer, AStatusByteCutsASysExShort) {
    Collect c;
    c.feed(Bytes{0xF0, 0x52, 0x00, 0xF0, 0x7E, 0xF7, 0x90, 0x40, 0x7F, 0x41, 0x00});
    ASSERT_EQ(c.out.size(), 4U);
    EXPECT_EQ(c.out[0], (Bytes{0xF0, 0x52, 0x00}));
    EXPECT_EQ(c.out[1], (Bytes{0xF0, 0x7E, 0xF7}));
    EXPECT_EQ(c.out[2], (Bytes{0x90, 0x40, 0x7F}));
    EXPECT_EQ(c.out[3], (Bytes{0x90, 0x41, 0x00}));  // running status
}

TEST(StreamFramer, OverlongSysExIsDroppedWhole) {
    Collect c;
    Bytes big{0xF0};
    big.insert(big.end(), 40, 0x01);
    big.push_back(0xF7);
    c.feed(big);
    c.feed(Bytes{0xF0, 0x01, 0xF7});
    ASSERT_EQ(c.out.size(), 1U);
    EXPECT_EQ(c.out[0], (Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(c.framer.droppedBytes(), 42U);
}

TEST(StreamFramer, StrayDataBytesAreDropped) {
    Collect c;
    c.feed(Bytes{0x01, 0x02, 0xF7});
    EXPECT_EQ(c.out.size(), 1U);  // the stray F7 alone, as a one-byte message
    EXPECT_EQ(c.framer.droppedBytes(), 2U);
}

}  // namespace
}  // namespace ql5::emulator
