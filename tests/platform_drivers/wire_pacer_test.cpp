#include "platform/mm/wire_pacer.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace ql5::mm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(WirePacer, TheBurstGoesAtOnce) {
    WirePacer pacer(3584, 3125.0);
    const auto before = Clock::now();
    for (int i = 0; i < 14; ++i) pacer.take(256);  // 3,584 bytes
    EXPECT_LT(Clock::now() - before, 50ms);
}

TEST(WirePacer, BeyondTheBurstBytesGoAtTheLinkRate) {
    // 10,000 bytes per second: 1,000 bytes past the burst take 100 ms.
    WirePacer pacer(1000, 10000.0);
    const auto before = Clock::now();
    pacer.take(1000);
    for (int i = 0; i < 4; ++i) pacer.take(250);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 95ms);
    EXPECT_LT(took, 400ms);
}

TEST(WirePacer, AWriteBlockBehindTheCardBridgeTakesItsWireTime) {
    // The numbers the ALSA driver uses: 4,700 bytes, 3,584 of them at once,
    // the other 1,116 at 3,125 bytes per second (357 ms).
    WirePacer pacer(3584, 3125.0);
    const auto before = Clock::now();
    for (std::size_t sent = 0; sent < 4700; sent += 256)
        pacer.take(std::min<std::size_t>(256, 4700 - sent));
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 340ms);
    EXPECT_LT(took, 800ms);
}

TEST(WirePacer, ARequestLargerThanTheBurstWaitsForAFullBucketOnly) {
    WirePacer pacer(100, 1000.0);
    pacer.take(100);
    const auto before = Clock::now();
    pacer.take(500);  // no more than 100 ms: a full bucket
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 95ms);
    EXPECT_LT(took, 400ms);
}

}  // namespace
}  // namespace ql5::mm
