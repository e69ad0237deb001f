#pragma once
// Listing the MIDI ports and choosing the unit's.
#include <string>
#include <vector>

namespace ql5::cli {

struct PortChoice {
    int index = -1;  // -1: none
    std::string name;
    std::string error;  // why there is none
};

// wanted empty: the last port whose name matches the unit's, as the window
// chooses; all digits: that index; the port whose address (one per name,
// empty where the platform has none) is wanted; otherwise the one port whose
// name contains wanted (an error when none or several do). kind is "input"
// or "output", for the messages.
PortChoice choosePort(const std::vector<std::string>& names,
                      const std::vector<std::string>& addresses, const std::string& wanted,
                      const char* kind);

}  // namespace ql5::cli
