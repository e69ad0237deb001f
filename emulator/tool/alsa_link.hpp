#pragma once
// The unit's ports as an ALSA sequencer client: plugging makes the client and
// its two ports, unplugging removes them, so other programs see the unit
// appear and vanish as a USB device does.
#include <memory>
#include <mutex>
#include <string>

#include "emulator/stream_framer.hpp"
#include "emulator/unit_link.hpp"
#include "platform/mm/alsa_client.hpp"

namespace ql5::emulator::tool {

class AlsaLink : public UnitLink {
  public:
    AlsaLink(std::string clientName, std::string inputPortName, std::string outputPortName);
    ~AlsaLink() override;

    void setReceiver(Receiver receiver) override;
    void detach() override;
    bool send(const std::uint8_t* bytes, std::size_t count) override;
    void plug() override;
    void unplug() override;
    bool plugged() const override;

    // "client:port" addresses of the two ports while plugged, for the user.
    std::string describe() const;
    bool failed() const;

  private:
    std::string clientName_, inputPortName_, outputPortName_;
    mutable std::mutex mutex_;
    std::mutex receiverMutex_;
    Receiver receiver_;
    StreamFramer framer_;  // used only on the client's reader thread
    std::unique_ptr<mm::AlsaSeqClient> client_;
    bool failed_ = false;
};

}  // namespace ql5::emulator::tool
