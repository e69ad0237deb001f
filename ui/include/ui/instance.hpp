#pragma once
// Instance names: each running copy's slot shows in its window title and
// names its instance marker.
#include <cstdint>
#include <string>

namespace ql5::ui {

inline constexpr int kInstanceSlots = 20;

// Slot 1: "Tarvik QL-5 System v1.20 Updater"; slot n > 1: the same followed
// by " (n)".
std::string instanceName(int slot);

// The application object, as far as the main dialog needs to know it.
class InstanceSlotOwner {
  public:
    virtual ~InstanceSlotOwner() = default;
    virtual std::int32_t claimedSlot() const = 0;
};

// The slot of the running application object; 1 when there is none.
std::int32_t currentInstanceSlot();

}  // namespace ql5::ui
