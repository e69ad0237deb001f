// Open's clean-up when the last of its steps fails, on a driver whose start
// can be refused.
#include <gtest/gtest.h>

#include "../platform/fake_driver.hpp"
#include "midi/CDxMMidiIn.hpp"

namespace {

using ql5::midi::CDxMMidiIn;
using ql5::testing::FakeDriver;

TEST(MidiInReleaseTest, RefusedStartClosesTheDeviceAndFreesTheBuffer) {
    auto driver = std::make_shared<FakeDriver>(std::vector<std::string>{"Tarvik QL-5"},
                                               std::vector<std::string>{});
    ql5::mm::setDrivers({driver});
    driver->refuseStart = true;
    {
        CDxMMidiIn in;
        EXPECT_EQ(in.Open(), 0);
        EXPECT_FALSE(in.started());
        // The device was opened, then closed again by Open itself.
        EXPECT_EQ(driver->openedInput, 0);
        EXPECT_EQ(driver->stream, nullptr);
        driver->refuseStart = false;
        ASSERT_EQ(in.Open(), 1);
        driver->push({0xF0, 0x01, 0xF7});
        auto entry = in.FrontSysEx();
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry.length, 3u);
    }
    EXPECT_EQ(driver->stream, nullptr);
    ql5::mm::setDrivers({});
}

}  // namespace
