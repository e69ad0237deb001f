#include "cli/ports.hpp"

#include <algorithm>
#include <cctype>

#include "midi/port_names.hpp"

namespace ql5::cli {

PortChoice choosePort(const std::vector<std::string>& names,
                      const std::vector<std::string>& addresses, const std::string& wanted,
                      const char* kind) {
    PortChoice c;
    if (wanted.empty()) {
        c.index = midi::lastMatchingPort(names);
        if (c.index >= 0) {
            c.name = names[static_cast<std::size_t>(c.index)];
        } else {
            c.error = std::string("no MIDI ") + kind + " port of a Tarvik QL-5 was found";
        }
        return c;
    }
    if (std::all_of(wanted.begin(), wanted.end(),
                    [](unsigned char ch) { return std::isdigit(ch); })) {
        const unsigned long i = wanted.size() > 9 ? names.size() : std::stoul(wanted);
        if (i >= names.size()) {
            c.error = std::string("there is no MIDI ") + kind + " port " + wanted;
            return c;
        }
        c.index = static_cast<int>(i);
        c.name = names[i];
        return c;
    }
    for (std::size_t i = 0; i < names.size() && i < addresses.size(); ++i) {
        if (!addresses[i].empty() && addresses[i] == wanted) {
            c.index = static_cast<int>(i);
            c.name = names[i];
            return c;
        }
    }
    std::vector<std::size_t> hits;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].find(wanted) != std::string::npos) {
            hits.push_back(i);
        }
    }
    if (hits.empty()) {
        c.error = std::string("no MIDI ") + kind + " port matches \"" + wanted + "\"";
    } else if (hits.size() > 1) {
        c.error = std::string("more than one MIDI ") + kind + " port matches \"" + wanted + "\":";
        for (std::size_t i : hits) {
            // Appended piece by piece: GCC 12 misreads `" " + std::to_string(i)`
            // as an overlapping copy (-Wrestrict).
            c.error.append(" ")
                .append(std::to_string(i))
                .append(" \"")
                .append(names[i])
                .append("\"");
            if (i < addresses.size() && !addresses[i].empty()) {
                c.error.append(" (").append(addresses[i]).append(")");
            }
        }
        c.error += "; give its index or address";
    } else {
        c.index = static_cast<int>(hits[0]);
        c.name = names[hits[0]];
    }
    return c;
}

}  // namespace ql5::cli
