#pragma once
// Fills the two port lists from the platform's devices and pre-selects the
// unit's ports by name.
#include "platform/dialog/controls.hpp"

namespace ql5::ui {

// Clears both lists (OUT first), lists every output then every input device
// in device order (so a list position is the device index), and selects the
// last entry of each list whose name contains the unit's name. 1 when both
// lists got such an entry, else 0.
int discoverPorts(const dlg::CComboBox& outPortList, const dlg::CComboBox& inPortList);

}  // namespace ql5::ui
