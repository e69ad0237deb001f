#pragma once
// The built-in virtual unit: with QL5_VIRTUAL_UNIT=1 in the environment a
// simulated unit is plugged in, so that the program can be tried without
// hardware. Without it nothing virtual is listed.
#include <memory>

namespace ql5::app {

class VirtualUnitHandle {
  public:
    virtual ~VirtualUnitHandle() = default;
};

// The unit, plugged in, when the environment asks for it; else null. The
// unit unplugs itself 1.5 s after an update finished and comes back 3 s
// later with what was written.
std::unique_ptr<VirtualUnitHandle> startVirtualUnitFromEnvironment();

}  // namespace ql5::app
