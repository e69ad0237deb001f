#pragma once
// An ALSA sequencer client with one port each way, through which a program
// of ours (the virtual unit's standalone program) appears to other MIDI
// programs, this updater included, as a MIDI device. SysEx goes out in
// events of at most 256 bytes; what arrives is turned back into bytes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ql5::mm {

class AlsaSeqClient {
  public:
    // Bytes received on the input port, in order, in pieces as they came
    // (a SysEx piece, or one complete short message); called on the
    // client's own thread, never after destruction has begun returning.
    using ReceiveHandler = std::function<void(const std::uint8_t*, std::size_t)>;

    // The client and its ports: inputPortName takes what others send
    // (writable, subscribable), outputPortName carries what send() sends
    // (readable, subscribable). nullptr when the sequencer cannot be opened
    // or a port cannot be made. The sequencer is tried only when
    // sequencerNode can be opened (empty: always; for tests).
    static std::unique_ptr<AlsaSeqClient> create(const std::string& clientName,
                                                 const std::string& inputPortName,
                                                 const std::string& outputPortName,
                                                 ReceiveHandler onReceived,
                                                 const std::string& sequencerNode = "/dev/snd/seq");
    ~AlsaSeqClient();
    AlsaSeqClient(const AlsaSeqClient&) = delete;
    AlsaSeqClient& operator=(const AlsaSeqClient&) = delete;

    // Sends one message to every subscriber of the output port: a SysEx
    // message (F0 first) in pieces, anything else as short messages. True
    // when every event was accepted; false on a failure or when the
    // subscribers stay too slow for longer than the send allowance.
    bool send(const std::uint8_t* bytes, std::size_t count);

    int clientId() const;
    int inputPort() const;
    int outputPort() const;

    struct Impl;

  private:
    explicit AlsaSeqClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace ql5::mm
