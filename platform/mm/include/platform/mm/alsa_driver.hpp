#pragma once
// The Linux MIDI driver. Ports are found through the ALSA sequencer, so their
// names carry the USB product name; bytes move through rawmidi where the port
// belongs to a sound card, and as sequencer events otherwise.
#include <memory>
#include <string>

#include "platform/mm/driver.hpp"

namespace ql5::mm {

// The process-wide ALSA driver. Without a sequencer (no /dev/snd/seq, no
// permission) it lists no ports; it tries again on each enumeration, so a
// sequencer that appears later is picked up.
std::shared_ptr<Driver> alsaDriver();

namespace alsa {

struct DriverOptions {
    // Tried only when this node can be opened (alsa-lib would print each
    // failed attempt); empty = always try.
    std::string sequencerNode = "/dev/snd/seq";
};

// A driver of its own, for tests that put a stand-in behind alsa-lib's
// sequencer calls. The process uses alsaDriver().
std::shared_ptr<Driver> makeDriver(DriverOptions options);

}  // namespace alsa

}  // namespace ql5::mm
