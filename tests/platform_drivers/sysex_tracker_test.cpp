#include "platform/mm/sysex_tracker.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace ql5::mm::detail {
namespace {

bool openAfter(std::vector<std::uint8_t> bytes, SysExTracker tracker = {}) {
    tracker.observe(bytes.data(), bytes.size());
    return tracker.inSysEx();
}

TEST(SysExTracker, OpenFromF0UntilF7) {
    EXPECT_FALSE(openAfter({}));
    EXPECT_TRUE(openAfter({0xF0}));
    EXPECT_TRUE(openAfter({0xF0, 0x7E, 0x00, 0x06}));
    EXPECT_FALSE(openAfter({0xF0, 0x7E, 0xF7}));
    EXPECT_TRUE(openAfter({0xF0, 0x01, 0xF7, 0xF0, 0x02}));
}

TEST(SysExTracker, RealTimeBytesDoNotCloseAMessage) {
    EXPECT_TRUE(openAfter({0xF0, 0x01, 0xF8, 0xFE, 0x02}));
}

TEST(SysExTracker, AnyOtherStatusByteClosesIt) {
    EXPECT_FALSE(openAfter({0xF0, 0x01, 0x90, 0x40, 0x7F}));
    EXPECT_FALSE(openAfter({0xF0, 0x01, 0xF6}));
}

TEST(SysExTracker, FollowsMessagesSplitAcrossCalls) {
    SysExTracker tracker;
    const std::uint8_t first[] = {0xF0, 0x01};
    const std::uint8_t second[] = {0x02, 0x03};
    const std::uint8_t third[] = {0x04, 0xF7};
    tracker.observe(first, sizeof first);
    EXPECT_TRUE(tracker.inSysEx());
    tracker.observe(second, sizeof second);
    EXPECT_TRUE(tracker.inSysEx());
    tracker.observe(third, sizeof third);
    EXPECT_FALSE(tracker.inSysEx());
    tracker.observe(first, sizeof first);
    tracker.reset();
    EXPECT_FALSE(tracker.inSysEx());
}

}  // namespace
}  // namespace ql5::mm::detail
