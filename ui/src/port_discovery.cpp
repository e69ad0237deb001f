#include "ui/port_discovery.hpp"

#include "midi/CDxMMidiIn.hpp"
#include "midi/CDxMMidiOut.hpp"

namespace ql5::ui {

namespace {

bool selectLastMatch(const dlg::CComboBox& list) {
    bool found = false;
    const int count = list.GetCount();
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        if (list.GetLBText(i, text, sizeof text) == dlg::CComboBox::CB_ERR) continue;
        if (midi::matchPortName(text)) {
            // No break: a later match wins over an earlier one.
            list.SetCurSel(i);
            found = true;
        }
    }
    return found;
}

}  // namespace

int discoverPorts(const dlg::CComboBox& outPortList, const dlg::CComboBox& inPortList) {
    outPortList.ResetContent();
    inPortList.ResetContent();

    // The count is asked again before every entry: devices may come and go.
    for (std::uint32_t i = 0; i < midi::CDxMMidiOut::GetNumDevs(); ++i) {
        char name[40] = {};
        midi::CDxMMidiOut::GetDevName(i, name);
        name[sizeof name - 1] = '\0';
        outPortList.AddString(name);
    }
    for (std::uint32_t i = 0; i < midi::CDxMMidiIn::GetNumDevs(); ++i) {
        char name[40] = {};
        midi::CDxMMidiIn::GetDevName(i, name);
        name[sizeof name - 1] = '\0';
        inPortList.AddString(name);
    }

    const bool outFound = selectLastMatch(outPortList);
    const bool inFound = selectLastMatch(inPortList);
    return outFound && inFound ? 1 : 0;
}

}  // namespace ql5::ui
