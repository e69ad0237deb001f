#include "platform/mm/alsa_client.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "alsa_ports.hpp"

namespace ql5::mm {

struct AlsaSeqClient::Impl {
    ~Impl() {
        stopping.store(true);
        if (reader.joinable()) reader.join();
        if (seq != nullptr) snd_seq_close(seq);
    }

    void run() {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(alsa::kSeqSysExChunk);
        const auto onEvent = [&](const snd_seq_event_t& event) {
            if (event.dest.port != inputPort) return;
            bytes.clear();
            if (decoder.append(event, bytes) > 0 && onReceived) {
                onReceived(bytes.data(), bytes.size());
            }
        };
        // Lost events cannot be told apart from a device that sent less; the
        // protocol's own checks and time-outs deal with what is missing.
        const auto onOverrun = [] {};
        while (!stopping.load()) {
            if (!alsa::drainSeqInput(seq, alsa::kPollMilliseconds, onEvent, onOverrun)) return;
        }
    }

    snd_seq_t* seq = nullptr;
    int clientId = -1;
    int inputPort = -1;
    int outputPort = -1;
    ReceiveHandler onReceived;
    alsa::SeqEventDecoder decoder;
    std::mutex sending;
    std::atomic<bool> stopping{false};
    std::thread reader;
};

AlsaSeqClient::AlsaSeqClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AlsaSeqClient::~AlsaSeqClient() = default;

std::unique_ptr<AlsaSeqClient> AlsaSeqClient::create(const std::string& clientName,
                                                     const std::string& inputPortName,
                                                     const std::string& outputPortName,
                                                     ReceiveHandler onReceived,
                                                     const std::string& sequencerNode) {
    auto impl = std::make_unique<Impl>();
    impl->onReceived = std::move(onReceived);
    if (!impl->decoder.valid()) return nullptr;
    // Without the device node alsa-lib would only add its own complaint on
    // stderr to the caller's.
    if (!sequencerNode.empty() && ::access(sequencerNode.c_str(), R_OK | W_OK) != 0) {
        return nullptr;
    }
    if (snd_seq_open(&impl->seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
        impl->seq = nullptr;
        return nullptr;
    }
    if (snd_seq_set_client_name(impl->seq, clientName.c_str()) < 0) return nullptr;
    if (snd_seq_set_input_buffer_size(impl->seq, 65536) < 0) return nullptr;
    alsa::growInputPool(impl->seq);
    impl->clientId = snd_seq_client_id(impl->seq);
    if (impl->clientId < 0) return nullptr;
    constexpr unsigned int kType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
    impl->inputPort =
        snd_seq_create_simple_port(impl->seq, inputPortName.c_str(),
                                   SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kType);
    if (impl->inputPort < 0) return nullptr;
    impl->outputPort =
        snd_seq_create_simple_port(impl->seq, outputPortName.c_str(),
                                   SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kType);
    if (impl->outputPort < 0) return nullptr;
    try {
        Impl* raw = impl.get();
        impl->reader = std::thread([raw] { raw->run(); });
    } catch (...) {
        return nullptr;
    }
    return std::unique_ptr<AlsaSeqClient>(new AlsaSeqClient(std::move(impl)));
}

bool AlsaSeqClient::send(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard<std::mutex> lock(impl_->sending);
    const auto deadline = std::chrono::steady_clock::now() + alsa::sendAllowance(count);
    return alsa::sendSeqMessage(impl_->seq, impl_->outputPort, bytes, count, deadline) == 0;
}

int AlsaSeqClient::clientId() const { return impl_->clientId; }
int AlsaSeqClient::inputPort() const { return impl_->inputPort; }
int AlsaSeqClient::outputPort() const { return impl_->outputPort; }

}  // namespace ql5::mm
