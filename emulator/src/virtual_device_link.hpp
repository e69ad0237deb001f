#pragma once
// The unit's ports on the in-process virtual driver.
#include <memory>

#include "emulator/unit_link.hpp"
#include "platform/mm/virtual_driver.hpp"

namespace ql5::emulator {

class VirtualDeviceLink : public UnitLink {
  public:
    explicit VirtualDeviceLink(std::shared_ptr<mm::virt::VirtualDevice> device)
        : device_(std::move(device)) {}

    void setReceiver(Receiver receiver) override {
        device_->setHostMessageHandler(std::move(receiver));
    }
    void detach() override { device_->setHostMessageHandler(nullptr); }
    bool send(const std::uint8_t* bytes, std::size_t count) override {
        if (!device_->plugged()) return false;
        device_->send(bytes, count);
        return true;
    }
    void sendLongError() override { device_->sendLongError(); }
    void flush() override { device_->flush(); }
    void plug() override { device_->plug(); }
    void unplug() override { device_->unplug(); }
    bool plugged() const override { return device_->plugged(); }
    void setLinkRate(double bytesPerSecond) override { device_->setLinkRate(bytesPerSecond); }

  private:
    std::shared_ptr<mm::virt::VirtualDevice> device_;
};

}  // namespace ql5::emulator
