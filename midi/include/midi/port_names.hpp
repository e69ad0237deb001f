#pragma once
// The names of every MIDI input and output port, in device-index order, and
// the choice of the unit's port among them.
#include <string>
#include <vector>

namespace ql5::midi {

std::vector<std::string> inputPortNames();
std::vector<std::string> outputPortNames();

// The index of the last name that matchPortName accepts, -1 when none does:
// the port the window selects when it lists the ports.
int lastMatchingPort(const std::vector<std::string>& names);

}  // namespace ql5::midi
