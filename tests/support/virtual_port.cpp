#include "support/virtual_port.hpp"

#include <chrono>

#include "support/recorder_window.hpp"

namespace ql5::testing {

CapturingDevice::CapturingDevice(const std::string& name)
    : device_(mm::virt::VirtualDevice::create(name, name)) {
    device_->setHostMessageHandler([this](const std::uint8_t* p, std::size_t n) {
        std::function<void(const Bytes&)> responder;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.emplace_back(p, p + n);
            responder = responder_;
        }
        cv_.notify_all();
        if (responder) {
            responder(Bytes(p, p + n));
        }
    });
    device_->plug();
}

CapturingDevice::~CapturingDevice() {
    device_->unplug();
    device_->setHostMessageHandler(nullptr);
}

void CapturingDevice::setResponder(std::function<void(const Bytes&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<Bytes> CapturingDevice::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void CapturingDevice::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

bool CapturingDevice::waitFor(std::size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return received_.size() >= n; });
}

bool openUnitPorts(engine::UpdateState& st) {
    const int in = lastMatchingInput();
    const int out = lastMatchingOutput();
    if (in < 0 || out < 0) {
        return false;
    }
    st.midiOut.Close();
    if (st.midiOut.Open(out) != 1) {
        return false;
    }
    st.midiIn.Close();
    st.midiIn.deviceIndex = in;
    return st.midiIn.Open() == 1;
}

sync::Timing shortTiming() { return sync::Timing::forTests(); }

sync::Timing patientTiming() {
    sync::Timing t = shortTiming();
    t.identityTimeoutMs = 3000;
    t.beginTimeoutMs = 3000;
    t.finishTimeoutMs = 3000;
    t.eraseTimeoutMs = 3000;
    t.writeTimeoutMs = 3000;
    t.readTimeoutMs = 3000;
    t.markerTimeoutMs = 2000;
    return t;
}

}  // namespace ql5::testing
