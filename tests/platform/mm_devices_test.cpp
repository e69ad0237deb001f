#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_driver.hpp"
#include "platform/mm/mmsystem.hpp"

namespace {

namespace mm = ql5::mm;
using ql5::testing::FakeDriver;

class DevicesTest : public ::testing::Test {
  protected:
    void SetUp() override { mm::setDrivers({first, second}); }
    void TearDown() override { mm::setDrivers({}); }

    std::shared_ptr<FakeDriver> first = std::make_shared<FakeDriver>(
        std::vector<std::string>{"one in", "two in"}, std::vector<std::string>{"one out"});
    std::shared_ptr<FakeDriver> second = std::make_shared<FakeDriver>(
        std::vector<std::string>{std::string(31, 'a'), std::string(45, 'b')},
        std::vector<std::string>{"x out", "y out", std::string(32, 'c')});
};

TEST_F(DevicesTest, IndicesRunAcrossTheDriversInOrder) {
    EXPECT_EQ(mm::midiInGetNumDevs(), 4u);
    EXPECT_EQ(mm::midiOutGetNumDevs(), 4u);
    mm::MIDIINCAPSA in{};
    ASSERT_EQ(mm::midiInGetDevCapsA(1, &in, sizeof in), mm::MMSYSERR_NOERROR);
    EXPECT_STREQ(in.szPname, "two in");
    ASSERT_EQ(mm::midiInGetDevCapsA(2, &in, sizeof in), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(in.szPname), std::string(31, 'a'));
    mm::MIDIOUTCAPSA out{};
    ASSERT_EQ(mm::midiOutGetDevCapsA(2, &out, sizeof out), mm::MMSYSERR_NOERROR);
    EXPECT_STREQ(out.szPname, "y out");

    mm::HMIDIOUT handle = nullptr;
    ASSERT_EQ(mm::midiOutOpen(&handle, 1, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(second->openedOutput, 0);
    EXPECT_EQ(first->openedOutput, -1);
    EXPECT_EQ(mm::midiOutClose(handle), mm::MMSYSERR_NOERROR);
}

TEST_F(DevicesTest, LongNamesAreCutAt31AndTerminated) {
    mm::MIDIINCAPSA in;
    std::memset(&in, 'Z', sizeof in);
    ASSERT_EQ(mm::midiInGetDevCapsA(3, &in, sizeof in), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(in.szPname), std::string(31, 'b'));
    mm::MIDIOUTCAPSA out;
    std::memset(&out, 'Z', sizeof out);
    ASSERT_EQ(mm::midiOutGetDevCapsA(3, &out, sizeof out), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(std::string(out.szPname), std::string(31, 'c'));
}

TEST_F(DevicesTest, OutOfRangeAndMinusOneAreBadDeviceIds) {
    mm::MIDIINCAPSA in;
    std::memset(&in, 'Z', sizeof in);
    EXPECT_EQ(mm::midiInGetDevCapsA(4, &in, sizeof in), mm::MMSYSERR_BADDEVICEID);
    EXPECT_EQ(in.szPname[0], '\0');
    EXPECT_EQ(mm::midiInGetDevCapsA(0xFFFFFFFFu, &in, sizeof in), mm::MMSYSERR_BADDEVICEID);
    mm::MIDIOUTCAPSA out{};
    EXPECT_EQ(mm::midiOutGetDevCapsA(4, &out, sizeof out), mm::MMSYSERR_BADDEVICEID);
    EXPECT_EQ(mm::midiInGetDevCapsA(0, nullptr, sizeof in), mm::MMSYSERR_INVALPARAM);
    EXPECT_EQ(mm::midiInGetDevCapsA(0, &in, 4), mm::MMSYSERR_INVALPARAM);
    mm::HMIDIIN handle = nullptr;
    EXPECT_EQ(mm::midiInOpen(&handle, 0xFFFFFFFFu, 0, 0, mm::CALLBACK_NULL),
              mm::MMSYSERR_BADDEVICEID);
    EXPECT_EQ(handle, nullptr);
    mm::HMIDIOUT outHandle = nullptr;
    EXPECT_EQ(mm::midiOutOpen(&outHandle, 4, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_BADDEVICEID);
}

TEST_F(DevicesTest, CountsAreAskedAfresh) {
    mm::setDrivers({second});
    EXPECT_EQ(mm::midiInGetNumDevs(), 2u);
    EXPECT_EQ(mm::midiOutGetNumDevs(), 3u);
    mm::setDrivers({});
    EXPECT_EQ(mm::midiInGetNumDevs(), 0u);
    mm::MIDIINCAPSA in{};
    EXPECT_EQ(mm::midiInGetDevCapsA(0, &in, sizeof in), mm::MMSYSERR_BADDEVICEID);
}

TEST_F(DevicesTest, StaleAndNullHandlesAreRefused) {
    mm::HMIDIOUT handle = nullptr;
    ASSERT_EQ(mm::midiOutOpen(&handle, 0, 0, 0, mm::CALLBACK_NULL), mm::MMSYSERR_NOERROR);
    ASSERT_EQ(mm::midiOutClose(handle), mm::MMSYSERR_NOERROR);
    EXPECT_EQ(mm::midiOutClose(handle), mm::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mm::midiOutShortMsg(handle, 0x90), mm::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mm::midiInClose(nullptr), mm::MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mm::midiInStart(nullptr), mm::MMSYSERR_INVALHANDLE);
}

}  // namespace
