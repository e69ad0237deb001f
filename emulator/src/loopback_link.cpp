#include "emulator/loopback_link.hpp"

namespace ql5::emulator {

void LoopbackLink::setReceiver(Receiver receiver) {
    std::lock_guard lock(mutex_);
    receiver_ = std::move(receiver);
}

void LoopbackLink::detach() {
    std::lock_guard call(callMutex_);
    std::lock_guard lock(mutex_);
    receiver_ = nullptr;
}

bool LoopbackLink::send(const std::uint8_t* bytes, std::size_t count) {
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) return false;
        received_.emplace_back(bytes, bytes + count);
    }
    cv_.notify_all();
    return true;
}

void LoopbackLink::sendLongError() {
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) return;
        ++longErrors_;
    }
    cv_.notify_all();
}

void LoopbackLink::plug() {
    std::lock_guard lock(mutex_);
    plugged_ = true;
}

void LoopbackLink::unplug() {
    std::lock_guard lock(mutex_);
    plugged_ = false;
}

bool LoopbackLink::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

bool LoopbackLink::hostSend(std::span<const std::uint8_t> bytes) {
    std::lock_guard call(callMutex_);
    Receiver r;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_ || !receiver_) return false;
        r = receiver_;
    }
    r(bytes.data(), bytes.size());
    return true;
}

std::optional<Bytes> LoopbackLink::receive(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !received_.empty(); })) return std::nullopt;
    Bytes b = std::move(received_.front());
    received_.pop_front();
    return b;
}

std::size_t LoopbackLink::pending() const {
    std::lock_guard lock(mutex_);
    return received_.size();
}

int LoopbackLink::longErrors() const {
    std::lock_guard lock(mutex_);
    return longErrors_;
}

}  // namespace ql5::emulator
