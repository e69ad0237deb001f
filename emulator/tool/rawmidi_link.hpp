#pragma once
// The unit on a rawmidi device node, as on the device side of a USB gadget's
// MIDI function: one node carries both directions. The kernel's buffers are
// set to 64 KiB each way, room for a whole write block and its neighbours,
// so the unit never loses the tail of a block while it answers the one
// before. When the node goes away (the gadget unbound: reads and writes fail
// with ENODEV) the link keeps the unit as it is and opens the node again as
// soon as it is back, which may be under another card number.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/unit_link.hpp"

namespace ql5::emulator::tool {

// "/dev/snd/midiC1D0" stays as it is; a card id ("QL5Gadget") is the first
// rawmidi device of the card with that id, found again on every open
// through /proc/asound/ID. Empty when no such card is there now.
std::string resolveRawMidiNode(const std::string& nodeOrCardId,
                               const std::string& procAsound = "/proc/asound",
                               const std::string& devSnd = "/dev/snd");

class RawMidiLink : public UnitLink {
  public:
    // resolve gives the node's path now (empty while it is away).
    explicit RawMidiLink(std::function<std::string()> resolve);
    ~RawMidiLink() override;

    void setReceiver(Receiver receiver) override;
    void detach() override;
    bool send(const std::uint8_t* bytes, std::size_t count) override;
    void plug() override;
    void unplug() override;
    bool plugged() const override;

    // Node open now (false while it is away or unplugged).
    bool connected() const;
    // How many times the node was opened (1 after the first plug).
    int opens() const;
    // Last error opening the node, empty when fine.
    std::string error() const;
    // The kernel's buffer size on the open node (0 when it is not a rawmidi
    // node, or nothing is open).
    std::size_t kernelBuffer() const;

  private:
    bool openNode();   // with mutex_ held
    void closeNode();  // with mutex_ held
    void loop(int stopFd);

    std::function<std::string()> resolve_;
    mutable std::mutex mutex_;
    std::mutex receiverMutex_;
    std::mutex writeMutex_;
    Receiver receiver_;
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    bool plugged_ = false;
    int opens_ = 0;
    std::size_t kernelBuffer_ = 0;
    std::string error_;
};

}  // namespace ql5::emulator::tool
