#include <regex>

#include "midi/CDxMMidiIn.hpp"

namespace ql5::midi {

bool matchPortName(const char* name) {
    if (name == nullptr) {
        return false;
    }
    try {
        // Compiled on every call: port scans are rare and the pattern tiny.
        const std::regex portPattern("Tarvik QL-5", std::regex::ECMAScript);
        return std::regex_search(name, portPattern);
    } catch (const std::exception&) {
        return false;  // out of memory inside the regex engine: no match
    }
}

}  // namespace ql5::midi
