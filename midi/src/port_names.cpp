#include "midi/port_names.hpp"

#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMMidiOut.hpp"

namespace ql5::midi {

std::vector<std::string> inputPortNames() {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < CDxMMidiIn::GetNumDevs(); ++i) {
        char name[40];
        CDxMMidiIn::GetDevName(i, name);
        names.emplace_back(name);
    }
    return names;
}

std::vector<std::string> outputPortNames() {
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < CDxMMidiOut::GetNumDevs(); ++i) {
        char name[40];
        CDxMMidiOut::GetDevName(i, name);
        names.emplace_back(name);
    }
    return names;
}

int lastMatchingPort(const std::vector<std::string>& names) {
    int found = -1;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (matchPortName(names[i].c_str())) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

}  // namespace ql5::midi
