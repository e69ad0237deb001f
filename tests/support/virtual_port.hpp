#pragma once
// A plugged virtual device that records what the host sends it, and the
// helpers to open an UpdateState's ports on it.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace ql5::testing {

using Bytes = std::vector<std::uint8_t>;

class CapturingDevice {
  public:
    explicit CapturingDevice(const std::string& name = "Tarvik QL-5 Test Port");
    ~CapturingDevice();

    mm::virt::VirtualDevice& device() { return *device_; }
    // Called for every message the host sends (on the host's thread, after
    // it was recorded); may answer with device().send().
    void setResponder(std::function<void(const Bytes&)> responder);
    void reply(const Bytes& m) { device_->send(m.data(), m.size()); }
    std::vector<Bytes> received() const;
    void clear();
    // Waits until at least n messages were received (false after timeoutMs).
    bool waitFor(std::size_t n, int timeoutMs = 2000) const;

  private:
    std::shared_ptr<mm::virt::VirtualDevice> device_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Bytes> received_;
    std::function<void(const Bytes&)> responder_;
};

// Opens st.midiOut and st.midiIn on the last ports whose names match the
// unit's name, as the dialog's automatic selection does. False if either
// cannot be found or opened.
bool openUnitPorts(engine::UpdateState& st);

// Timings short enough for tests, long enough for a loaded machine.
sync::Timing shortTiming();
// The short pauses, and waits that no loaded machine runs out: for runs
// whose assertions hold only if no time-out comes from slowness.
sync::Timing patientTiming();

}  // namespace ql5::testing
