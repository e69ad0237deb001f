#include "support/recorder_window.hpp"

#include "midi/port_names.hpp"

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

int lastMatchingInput() { return midi::lastMatchingPort(midi::inputPortNames()); }

int lastMatchingOutput() { return midi::lastMatchingPort(midi::outputPortNames()); }

}  // namespace ql5::testing
