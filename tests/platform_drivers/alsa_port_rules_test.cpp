#include "platform/mm/alsa_port_rules.hpp"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

namespace ql5::mm::alsa {
namespace {

constexpr unsigned int kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned int kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr unsigned int kMidi = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE;

TEST(AlsaPortRules, ReadablePortsAreInputsAndWritableOnesOutputs) {
    EXPECT_TRUE(listablePort(kReadable, kMidi, PortDirection::Input));
    EXPECT_FALSE(listablePort(kReadable, kMidi, PortDirection::Output));
    EXPECT_TRUE(listablePort(kWritable, kMidi, PortDirection::Output));
    EXPECT_FALSE(listablePort(kWritable, kMidi, PortDirection::Input));
    EXPECT_TRUE(listablePort(kReadable | kWritable, kMidi, PortDirection::Input));
    EXPECT_TRUE(listablePort(kReadable | kWritable, kMidi, PortDirection::Output));
}

TEST(AlsaPortRules, PortsWithoutSubscriptionMidiTypeOrExportAreNotListed) {
    EXPECT_FALSE(listablePort(SND_SEQ_PORT_CAP_READ, kMidi, PortDirection::Input));
    EXPECT_FALSE(listablePort(SND_SEQ_PORT_CAP_WRITE, kMidi, PortDirection::Output));
    EXPECT_FALSE(listablePort(kReadable, SND_SEQ_PORT_TYPE_APPLICATION, PortDirection::Input));
    EXPECT_FALSE(listablePort(kReadable | SND_SEQ_PORT_CAP_NO_EXPORT, kMidi, PortDirection::Input));
    // A user-space client's port (the virtual unit's) is listed.
    EXPECT_TRUE(listablePort(kWritable,
                             SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION,
                             PortDirection::Output));
}

TEST(AlsaPortRules, NamesCarryTheClientNameOnce) {
    EXPECT_EQ(portDisplayName("Tarvik QL-5", "Tarvik QL-5 MIDI 1"), "Tarvik QL-5 MIDI 1");
    EXPECT_EQ(portDisplayName("Tarvik QL-5 (virtual)", "in"), "Tarvik QL-5 (virtual) in");
    EXPECT_EQ(portDisplayName("Midi Through", "Midi Through Port-0"), "Midi Through Port-0");
    EXPECT_EQ(portDisplayName("", "port"), "port");
    EXPECT_EQ(portDisplayName("client", ""), "client");
}

TEST(AlsaPortRules, OverlongNamesAreCut) {
    const std::string longName(400, 'x');
    EXPECT_EQ(portDisplayName("client", longName).size(), kMaxPortName);
    EXPECT_EQ(portDisplayName(longName, longName).size(), kMaxPortName);
}

TEST(AlsaPortRules, RawMidiSlotFollowsTheBridgeNumbering) {
    EXPECT_EQ(rawMidiSlotFor(0).device, 0);
    EXPECT_EQ(rawMidiSlotFor(0).subdevice, 0);
    EXPECT_EQ(rawMidiSlotFor(1).device, 0);
    EXPECT_EQ(rawMidiSlotFor(1).subdevice, 1);
    EXPECT_EQ(rawMidiSlotFor(32).device, 1);
    EXPECT_EQ(rawMidiSlotFor(32).subdevice, 0);
    EXPECT_EQ(rawMidiSlotFor(255).device, 7);
    EXPECT_EQ(rawMidiSlotFor(255).subdevice, 31);
    EXPECT_EQ(rawMidiSlotFor(256).device, -1);
    EXPECT_EQ(rawMidiSlotFor(-1).device, -1);
}

TEST(AlsaPortRules, RawMidiNamesMustBeThePorts) {
    EXPECT_TRUE(rawMidiNamesMatch("Tarvik QL-5 MIDI 1", "Tarvik QL-5 MIDI 1", "Tarvik QL-5"));
    EXPECT_TRUE(rawMidiNamesMatch("Tarvik QL-5-0", "", "Tarvik QL-5"));
    EXPECT_FALSE(rawMidiNamesMatch("OPL3 FM synth", "Tarvik QL-5 MIDI 1", "Tarvik QL-5"));
    EXPECT_FALSE(rawMidiNamesMatch("", "", ""));
    EXPECT_FALSE(rawMidiNamesMatch("port", "", ""));
}

}  // namespace
}  // namespace ql5::mm::alsa
