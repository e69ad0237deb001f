#include "app/virtual_unit_option.hpp"

#include <cstdlib>
#include <cstring>

#include "emulator/virtual_unit.hpp"

namespace ql5::app {

namespace {

class Holder : public VirtualUnitHandle {
  public:
    explicit Holder(emulator::UnitConfig cfg) : unit(std::move(cfg)) {}
    emulator::VirtualUnit unit;
};

}  // namespace

std::unique_ptr<VirtualUnitHandle> startVirtualUnitFromEnvironment() {
    const char* value = std::getenv("QL5_VIRTUAL_UNIT");
    if (value == nullptr || std::strcmp(value, "1") != 0) return nullptr;
    emulator::UnitConfig cfg;
    cfg.unplugAfterFinishMs = 1500;
    cfg.replugAfterMs = 3000;
    cfg.plugOnStart = true;
    return std::make_unique<Holder>(std::move(cfg));
}

}  // namespace ql5::app
