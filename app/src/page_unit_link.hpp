#pragma once
// The virtual unit behind the page's MIDI ports, for trying and testing the
// Web MIDI driver without hardware: its two ports are whatever stand-in
// MIDIAccess the page was given (window.ql5StandIn, see tests/web). What the
// unit sends goes to the stand-in's input port; what the page sends on the
// stand-in's output port comes to the unit; plugging and unplugging the
// unit connects and disconnects the stand-in's ports (statechange).
#include <memory>

#include "emulator/unit_link.hpp"

namespace ql5::app {

std::shared_ptr<emulator::UnitLink> pageUnitLink();

}  // namespace ql5::app
