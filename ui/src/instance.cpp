#include "ui/instance.hpp"

#include <cstdio>

#include "platform/dialog/cwinapp.hpp"

namespace ql5::ui {

std::string instanceName(int slot) {
    if (slot == 1) return "Tarvik QL-5 System v1.20 Updater";
    char text[64];
    std::snprintf(text, sizeof text, "Tarvik QL-5 System v1.20 Updater (%d)", slot);
    return text;
}

std::int32_t currentInstanceSlot() {
    auto* owner = dynamic_cast<const InstanceSlotOwner*>(dlg::AfxGetApp());
    return owner != nullptr ? owner->claimedSlot() : 1;
}

}  // namespace ql5::ui
