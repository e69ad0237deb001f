#include "alsa_link.hpp"

namespace ql5::emulator::tool {

AlsaLink::AlsaLink(std::string clientName, std::string inputPortName, std::string outputPortName)
    : clientName_(std::move(clientName)),
      inputPortName_(std::move(inputPortName)),
      outputPortName_(std::move(outputPortName)),
      framer_([this](const std::uint8_t* m, std::size_t n) {
          std::lock_guard lock(receiverMutex_);
          if (receiver_) receiver_(m, n);
      }) {}

AlsaLink::~AlsaLink() {
    detach();
    unplug();
}

void AlsaLink::setReceiver(Receiver receiver) {
    std::lock_guard lock(receiverMutex_);
    receiver_ = std::move(receiver);
}

void AlsaLink::detach() {
    std::lock_guard lock(receiverMutex_);
    receiver_ = nullptr;
}

void AlsaLink::plug() {
    std::lock_guard lock(mutex_);
    if (client_) return;
    framer_.reset();
    client_ = mm::AlsaSeqClient::create(
        clientName_, inputPortName_, outputPortName_,
        [this](const std::uint8_t* bytes, std::size_t count) { framer_.feed(bytes, count); });
    failed_ = client_ == nullptr;
}

void AlsaLink::unplug() {
    std::unique_ptr<mm::AlsaSeqClient> gone;
    {
        std::lock_guard lock(mutex_);
        gone = std::move(client_);
    }
    // Destroyed outside the lock: it waits for its reader thread, which may
    // be handing bytes to the unit right now.
    gone.reset();
}

bool AlsaLink::plugged() const {
    std::lock_guard lock(mutex_);
    return client_ != nullptr;
}

bool AlsaLink::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

bool AlsaLink::send(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard lock(mutex_);
    return client_ && client_->send(bytes, count);
}

std::string AlsaLink::describe() const {
    std::lock_guard lock(mutex_);
    if (!client_) return "(not plugged)";
    const std::string id = std::to_string(client_->clientId());
    return "in " + id + ":" + std::to_string(client_->inputPort()) + ", out " + id + ":" +
           std::to_string(client_->outputPort());
}

}  // namespace ql5::emulator::tool
