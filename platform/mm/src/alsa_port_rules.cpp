#include "platform/mm/alsa_port_rules.hpp"

#include <alsa/asoundlib.h>

namespace ql5::mm::alsa {

bool listablePort(unsigned int capability, unsigned int type, PortDirection direction) {
    if ((type & SND_SEQ_PORT_TYPE_MIDI_GENERIC) == 0) return false;
    if (capability & SND_SEQ_PORT_CAP_NO_EXPORT) return false;
    const unsigned int needed = direction == PortDirection::Input
                                    ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                    : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    return (capability & needed) == needed;
}

std::string portDisplayName(const std::string& client, const std::string& port) {
    std::string name;
    if (client.empty() || port.compare(0, client.size(), client) == 0) {
        name = port;
    } else if (port.empty()) {
        name = client;
    } else {
        name = client + " " + port;
    }
    if (name.size() > kMaxPortName) name.resize(kMaxPortName);
    return name;
}

RawMidiSlot rawMidiSlotFor(int seqPort) {
    constexpr int kPortsPerDevice = 256 / 8;
    if (seqPort < 0 || seqPort >= 256) return {};
    return RawMidiSlot{seqPort / kPortsPerDevice, seqPort % kPortsPerDevice};
}

bool rawMidiNamesMatch(const std::string& seqPortName, const std::string& subdeviceName,
                       const std::string& deviceName) {
    if (seqPortName.empty()) return false;
    if (!subdeviceName.empty() && seqPortName == subdeviceName) return true;
    return !deviceName.empty() && seqPortName.compare(0, deviceName.size(), deviceName) == 0;
}

}  // namespace ql5::mm::alsa
