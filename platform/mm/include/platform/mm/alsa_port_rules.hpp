#pragma once
// The ALSA driver's rules for which sequencer ports it lists, how it names
// them, and which rawmidi substream stands behind a card's port. Pure
// functions, so they can be checked without a sequencer.
#include <string>

namespace ql5::mm::alsa {

enum class PortDirection { Input, Output };

// A port is listed when it speaks MIDI (MIDI_GENERIC type), lets others
// connect to it (not NO_EXPORT), and can be read from (an input of ours) or
// written to (an output of ours) through a subscription.
bool listablePort(unsigned int capability, unsigned int type, PortDirection direction);

// USB cards name their ports after the product ("Tarvik QL-5 MIDI 1") under a
// client of the product's name; user-space clients often call their ports
// just "in" and "out". The port name alone where it already starts with the
// client's name, otherwise both, so every name carries the product name.
// Names longer than kMaxPortName are cut (the multimedia core cuts to 31).
inline constexpr std::size_t kMaxPortName = 255;
std::string portDisplayName(const std::string& client, const std::string& port);

// snd-seq-midi numbers a card's sequencer ports device * 32 + subdevice
// (256 ports over the 8 rawmidi devices a card may have).
struct RawMidiSlot {
    int device = -1;
    int subdevice = -1;
};
RawMidiSlot rawMidiSlotFor(int seqPort);

// Whether a rawmidi substream is the one behind a sequencer port of that
// name: snd-seq-midi names the port after the substream, or after the device
// (with a suffix) when the substream has no name of its own.
bool rawMidiNamesMatch(const std::string& seqPortName, const std::string& subdeviceName,
                       const std::string& deviceName);

}  // namespace ql5::mm::alsa
