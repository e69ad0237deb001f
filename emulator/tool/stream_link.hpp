#pragma once
// The unit's ports over two file paths: the host writes its requests into
// one and reads the unit's answers from the other (FIFOs, or a device node).
// FIFOs that this link made itself are removed while the unit is unplugged,
// so a host that lists a port only while its path exists sees the unit
// vanish and come back.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/stream_framer.hpp"
#include "emulator/unit_link.hpp"

namespace ql5::emulator::tool {

class StreamLink : public UnitLink {
  public:
    // Paths as the unit sees them: it reads fromHost and writes toHost.
    StreamLink(std::string fromHostPath, std::string toHostPath);
    ~StreamLink() override;

    void setReceiver(Receiver receiver) override;
    void detach() override;
    bool send(const std::uint8_t* bytes, std::size_t count) override;
    void plug() override;
    void unplug() override;
    bool plugged() const override;

    // Last error text from plug(), empty when fine.
    std::string error() const;

  private:
    bool openPaths();
    void closePaths();
    void readLoop(int fd, int stopFd);

    std::string fromHostPath_, toHostPath_;
    bool madeFromHost_ = false, madeToHost_ = false;
    mutable std::mutex mutex_;
    std::mutex receiverMutex_;
    std::mutex writeMutex_;
    Receiver receiver_;
    int inFd_ = -1, outFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;
    bool plugged_ = false;
    std::string error_;
};

}  // namespace ql5::emulator::tool
