#include "support/recorder_window.hpp"

#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMMidiOut.hpp"

namespace ql5::testing {

std::vector<std::string> RecorderWindow::callsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& c : calls()) {
        if (c.rfind(prefix, 0) == 0) {
            out.push_back(c);
        }
    }
    return out;
}

int RecorderWindow::discoverPorts() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++discoverCalls_;
        calls_.push_back("discover");
    }
    return lastMatchingInput() >= 0 && lastMatchingOutput() >= 0 ? 1 : 0;
}

int lastMatchingInput() {
    int found = -1;
    for (std::uint32_t i = 0; i < midi::CDxMMidiIn::GetNumDevs(); ++i) {
        char name[40];
        midi::CDxMMidiIn::GetDevName(i, name);
        if (midi::matchPortName(name)) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

int lastMatchingOutput() {
    int found = -1;
    for (std::uint32_t i = 0; i < midi::CDxMMidiOut::GetNumDevs(); ++i) {
        char name[40];
        midi::CDxMMidiOut::GetDevName(i, name);
        if (midi::matchPortName(name)) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

}  // namespace ql5::testing
