#pragma once
// The application object: claims one of the 20 instance slots and runs the
// main dialog modally; the program ends when the dialog closes.
#include <cstdint>
#include <string>

#include "platform/dialog/cwinapp.hpp"
#include "platform/slots/named_marker.hpp"
#include "ui/instance.hpp"

namespace ql5::app {

class CKestUpdatorApp : public dlg::CWinApp, public ui::InstanceSlotOwner {
  public:
    CKestUpdatorApp() = default;
    ~CKestUpdatorApp() override = default;

    // Runs the whole program; always false (no message loop follows).
    bool InitInstance() override;

    // Takes the lowest free slot; false when all are taken.
    bool claimSlot();

    std::int32_t claimedSlot() const override { return instanceSlot; }

    // Held for the life of the process once a slot is claimed.
    instances::NamedMarker instanceMutex;
    std::int32_t instanceSlot = 0;
};

// "It is forbidden to launch more than 20 instance of this application."
std::string instanceLimitMessage();

}  // namespace ql5::app
