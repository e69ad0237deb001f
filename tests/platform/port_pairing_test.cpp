// Which input goes with which output: the pairing rules over the drivers'
// device keys, and the keys the virtual and raw byte-stream drivers give.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/mm/driver.hpp"
#include "platform/mm/port_pairing.hpp"
#include "platform/mm/virtual_driver.hpp"
#if defined(QL5_HAVE_RAW_STREAM)
#include "platform/mm/raw_stream_driver.hpp"
#endif

namespace ql5::mm {
namespace {

std::string describe(const Pairing& p) {
    std::string s;
    for (const PortPair& pair : p.pairs) {
        s += std::to_string(pair.input.index) + "+" + std::to_string(pair.output.index) + " ";
    }
    s += "| in";
    for (const PortInfo& i : p.unpairedIn) {
        s += " " + std::to_string(i.index);
    }
    s += " | out";
    for (const PortInfo& o : p.unpairedOut) {
        s += " " + std::to_string(o.index);
    }
    return s;
}

TEST(PortPairing, Rules) {
    struct Case {
        const char* what;
        std::vector<PortInfo> ins, outs;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"one input and one output of a device",
         {{0, "Tarvik QL-5 MIDI 1", "alsa", "client 20"}},
         {{0, "Tarvik QL-5 MIDI 1", "alsa", "client 20"}},
         "0+0 | in | out"},
        {"identical names on two devices: paired by device, not by name",
         {{0, "Tarvik QL-5 MIDI 1", "alsa", "client 20"},
          {1, "Tarvik QL-5 MIDI 1", "alsa", "client 24"}},
         {{0, "Tarvik QL-5 MIDI 1", "alsa", "client 24"},
          {1, "Tarvik QL-5 MIDI 1", "alsa", "client 20"}},
         "0+1 1+0 | in | out"},
        {"the same device key under two drivers is two devices",
         {{0, "A", "alsa", "x"}},
         {{0, "A", "raw", "x"}},
         "| in 0 | out 0"},
        {"a port of unknown device is never paired",
         {{0, "Tarvik QL-5 MIDI 1", "winmm", ""}},
         {{0, "Tarvik QL-5 MIDI 1", "winmm", ""}},
         "| in 0 | out 0"},
        {"a device with only an input",
         {{0, "Tarvik QL-5 MIDI 1", "alsa", "client 20"}},
         {{0, "Synth", "alsa", "client 21"}},
         "| in 0 | out 0"},
        {"several duplex ports of one client pair by port name",
         {{0, "Q MIDI 1", "alsa", "client 20"}, {1, "Q MIDI 2", "alsa", "client 20"}},
         {{0, "Q MIDI 2", "alsa", "client 20"}, {1, "Q MIDI 1", "alsa", "client 20"}},
         "0+1 1+0 | in | out"},
        {"ports of one device that cannot be told apart stay unpaired",
         {{0, "Q", "alsa", "client 20"}, {1, "Q", "alsa", "client 20"}},
         {{0, "Q", "alsa", "client 20"}, {1, "Q", "alsa", "client 20"}},
         "| in 0 1 | out 0 1"},
        {"two inputs, one output: the output's namesake pairs, the other is left",
         {{0, "Q MIDI 1", "alsa", "client 20"}, {1, "Q MIDI 2", "alsa", "client 20"}},
         {{3, "Q MIDI 2", "alsa", "client 20"}},
         "1+3 | in 0 | out"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(describe(pairPorts(c.ins, c.outs)), c.expected) << c.what;
    }
}

TEST(PortPairing, VirtualDevicesPairByDeviceWhateverTheirNames) {
    setDrivers({virt::virtualDriver()});
    auto a = virt::VirtualDevice::create("Tarvik QL-5 MIDI 1", "Tarvik QL-5 MIDI 1");
    auto b = virt::VirtualDevice::create("Tarvik QL-5 MIDI 1", "Tarvik QL-5 MIDI 1");
    auto odd = virt::VirtualDevice::create("In of X", "Out of X");
    a->plug();
    b->plug();
    odd->plug();
    const Pairing p = pairPorts(listPorts(true), listPorts(false));
    EXPECT_EQ(describe(p), "0+0 1+1 2+2 | in | out");
    ASSERT_EQ(p.pairs.size(), 3U);
    EXPECT_NE(p.pairs[0].input.device, p.pairs[1].input.device);
    EXPECT_EQ(p.pairs[2].output.name, "Out of X");
    a->unplug();
    EXPECT_EQ(describe(pairPorts(listPorts(true), listPorts(false))), "0+0 1+1 | in | out");
    EXPECT_EQ(listPorts(true)[0].device, p.pairs[1].input.device) << "a device keeps its key";
}

#if defined(QL5_HAVE_RAW_STREAM)
TEST(PortPairing, RawStreamPortsAreThePairTheyWereNamedWith) {
    const std::string dir = ::testing::TempDir();
    const std::string in = dir + "/pairing_in", out = dir + "/pairing_out";
    for (const std::string& path : {in, out}) {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    setDrivers({rawStreamDriver("Tarvik QL-5 bench A", in, out),
                rawStreamDriver("Tarvik QL-5 bench B", in, out)});
    const Pairing p = pairPorts(listPorts(true), listPorts(false));
    EXPECT_EQ(describe(p), "0+0 1+1 | in | out");
    std::remove(out.c_str());  // the output gone: its input cannot be paired
    EXPECT_EQ(describe(pairPorts(listPorts(true), listPorts(false))), "| in 0 1 | out");
    std::remove(in.c_str());
}
#endif

}  // namespace
}  // namespace ql5::mm
