#pragma once
// A link without any MIDI layer: the test plays the host directly. What the
// unit sends is kept in a queue the test waits on.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <span>

#include "emulator/messages.hpp"
#include "emulator/unit_link.hpp"

namespace ql5::emulator {

class LoopbackLink : public UnitLink {
  public:
    void setReceiver(Receiver receiver) override;
    void detach() override;
    bool send(const std::uint8_t* bytes, std::size_t count) override;
    void sendLongError() override;
    void plug() override;
    void unplug() override;
    bool plugged() const override;

    // Host side. Returns false (and delivers nothing) while unplugged, as a
    // send to a vanished port fails.
    bool hostSend(std::span<const std::uint8_t> bytes);
    // The next thing the unit sent, waiting up to timeout for it.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout);
    std::size_t pending() const;
    int longErrors() const;

  private:
    mutable std::mutex mutex_;
    std::mutex callMutex_;  // held while the receiver runs, so detach() can wait it out
    std::condition_variable cv_;
    Receiver receiver_;
    std::deque<Bytes> received_;
    bool plugged_ = false;
    int longErrors_ = 0;
};

}  // namespace ql5::emulator
