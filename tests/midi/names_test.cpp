#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMMidiOut.hpp"
#include "virtual_fixture.hpp"

namespace {

using ql5::midi::CDxMMidiIn;
using ql5::midi::CDxMMidiOut;
using ql5::midi::matchPortName;

class NamesTest : public ql5::testing::VirtualOnly {};

TEST_F(NamesTest, CountsAndNamesFollowPluggedDevices) {
    EXPECT_EQ(CDxMMidiIn::GetNumDevs(), 0u);
    EXPECT_EQ(CDxMMidiOut::GetNumDevs(), 0u);
    auto a = plugged("A in", "A out");
    auto b = plugged("Tarvik QL-5 MIDI 1", "Tarvik QL-5 MIDI 2");
    EXPECT_EQ(CDxMMidiIn::GetNumDevs(), 2u);
    EXPECT_EQ(CDxMMidiOut::GetNumDevs(), 2u);
    char name[40];
    EXPECT_EQ(CDxMMidiIn::GetDevName(1, name), 0);
    EXPECT_STREQ(name, "Tarvik QL-5 MIDI 1");
    EXPECT_EQ(CDxMMidiOut::GetDevName(0, name), 0);
    EXPECT_STREQ(name, "A out");
    a->unplug();
    EXPECT_EQ(CDxMMidiIn::GetNumDevs(), 1u);
    EXPECT_EQ(CDxMMidiIn::GetDevName(0, name), 0);
    EXPECT_STREQ(name, "Tarvik QL-5 MIDI 1");
}

TEST_F(NamesTest, NameOf31CharactersIsListedWholeLongerIsCut) {
    const std::string exact(31, 'x');
    const std::string longer = "Tarvik QL-5 with a very long port name indeed";
    auto a = plugged(exact.c_str(), exact.c_str());
    auto b = plugged(longer.c_str(), longer.c_str());
    char name[40];
    std::memset(name, 'Z', sizeof name);
    CDxMMidiIn::GetDevName(0, name);
    EXPECT_EQ(std::string(name), exact);
    std::memset(name, 'Z', sizeof name);
    CDxMMidiOut::GetDevName(1, name);
    EXPECT_EQ(std::string(name), longer.substr(0, 31));
}

TEST_F(NamesTest, FailedQueryGivesEmptyName) {
    char name[40];
    std::memset(name, 'Z', sizeof name);
    EXPECT_NE(CDxMMidiIn::GetDevName(5, name), 0);
    EXPECT_STREQ(name, "");
    std::memset(name, 'Z', sizeof name);
    EXPECT_NE(CDxMMidiOut::GetDevName(0xFFFFFFFFu, name), 0);
    EXPECT_STREQ(name, "");
}

TEST(MatchPortNameTest, FindsThePatternAnywhereCaseSensitive) {
    EXPECT_TRUE(matchPortName("Tarvik QL-5"));
    EXPECT_TRUE(matchPortName("2- Tarvik QL-5"));
    EXPECT_TRUE(matchPortName("Tarvik QL-5 MIDI 1"));
    EXPECT_TRUE(matchPortName("USB Tarvik QL-5 Port"));
    EXPECT_FALSE(matchPortName("tarvik ql-5"));
    EXPECT_FALSE(matchPortName("TARVIK QL-5"));
    EXPECT_FALSE(matchPortName("Tarvik QL-4"));
    EXPECT_FALSE(matchPortName("Tarvik  QL-5"));
    EXPECT_FALSE(matchPortName(""));
    EXPECT_FALSE(matchPortName(nullptr));
}

}  // namespace
