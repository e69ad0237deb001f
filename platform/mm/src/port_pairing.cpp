#include "platform/mm/port_pairing.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/mm/driver.hpp"

namespace ql5::mm {

std::vector<PortInfo> listPorts(bool inputs) {
    std::vector<PortInfo> list;
    std::uint32_t index = 0;
    for (const std::shared_ptr<Driver>& d : drivers()) {
        const std::uint32_t n = inputs ? d->inputCount() : d->outputCount();
        for (std::uint32_t i = 0; i < n; ++i, ++index) {
            list.push_back({index, inputs ? d->inputName(i) : d->outputName(i), d->name(),
                            inputs ? d->inputDevice(i) : d->outputDevice(i)});
        }
    }
    return list;
}

Pairing pairPorts(const std::vector<PortInfo>& inputs, const std::vector<PortInfo>& outputs) {
    using Key = std::pair<std::string, std::string>;
    std::map<Key, std::pair<std::vector<const PortInfo*>, std::vector<const PortInfo*>>> devices;
    Pairing result;
    for (const PortInfo& p : inputs) {
        if (p.device.empty()) {
            result.unpairedIn.push_back(p);
        } else {
            devices[{p.driver, p.device}].first.push_back(&p);
        }
    }
    for (const PortInfo& p : outputs) {
        if (p.device.empty()) {
            result.unpairedOut.push_back(p);
        } else {
            devices[{p.driver, p.device}].second.push_back(&p);
        }
    }
    auto countName = [](const std::vector<const PortInfo*>& side, const std::string& name) {
        return std::count_if(side.begin(), side.end(),
                             [&](const PortInfo* p) { return p->name == name; });
    };
    for (auto& [key, sides] : devices) {
        auto& [ins, outs] = sides;
        if (ins.size() == 1 && outs.size() == 1) {
            result.pairs.push_back({*ins[0], *outs[0]});
            continue;
        }
        std::vector<bool> outUsed(outs.size(), false);
        for (const PortInfo* in : ins) {
            bool paired = false;
            if (countName(ins, in->name) == 1 && countName(outs, in->name) == 1) {
                for (std::size_t j = 0; j < outs.size(); ++j) {
                    if (outs[j]->name == in->name) {
                        result.pairs.push_back({*in, *outs[j]});
                        outUsed[j] = true;
                        paired = true;
                    }
                }
            }
            if (!paired) {
                result.unpairedIn.push_back(*in);
            }
        }
        for (std::size_t j = 0; j < outs.size(); ++j) {
            if (!outUsed[j]) {
                result.unpairedOut.push_back(*outs[j]);
            }
        }
    }
    auto byIndex = [](const PortInfo& a, const PortInfo& b) { return a.index < b.index; };
    std::sort(result.pairs.begin(), result.pairs.end(),
              [](const PortPair& a, const PortPair& b) { return a.input.index < b.input.index; });
    std::sort(result.unpairedIn.begin(), result.unpairedIn.end(), byIndex);
    std::sort(result.unpairedOut.begin(), result.unpairedOut.end(), byIndex);
    return result;
}

}  // namespace ql5::mm
