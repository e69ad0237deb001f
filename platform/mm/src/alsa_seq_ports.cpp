// Ports that move their bytes as ALSA sequencer events: user-space clients
// (the virtual unit's standalone program, software synthesisers), and card
// ports whose rawmidi device another program holds.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "alsa_ports.hpp"
#include "platform/mm/sysex_tracker.hpp"
#include "short_message.hpp"

namespace ql5::mm::alsa {

MMRESULT mmResultFor(int alsaError) {
    switch (-alsaError) {
        case 0:
            return MMSYSERR_NOERROR;
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return MMSYSERR_NOTENABLED;
        case EBUSY:
        case EACCES:
        case EPERM:
            return MMSYSERR_ALLOCATED;
        case ENOMEM:
            return MMSYSERR_NOMEM;
        case EINVAL:
            return MMSYSERR_INVALPARAM;
        default:
            return MMSYSERR_ERROR;
    }
}

void growInputPool(snd_seq_t* seq) {
    // Refused (an older or stricter kernel): the default pool stays, see
    // kInputPoolCells.
    if (snd_seq_set_client_pool_input(seq, kInputPoolCells) < 0) return;
}

namespace {

using Clock = std::chrono::steady_clock;

// The pools fill when the receiver is slower than we are: wait a little and
// offer the event again.
bool worthRetrying(int result) { return result == -EAGAIN || result == -ENOMEM; }

int outputEvent(snd_seq_t* seq, int sourcePort, snd_seq_event_t& event, std::size_t length,
                Clock::time_point deadline, WirePacer* pacer) {
    if (pacer != nullptr) pacer->take(length);
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(sourcePort));
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    for (;;) {
        const int result = snd_seq_event_output_direct(seq, &event);
        if (result >= 0) return 0;
        if (result == -EINTR) continue;
        if (!worthRetrying(result) || Clock::now() >= deadline) return result;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

int sendSeqMessage(snd_seq_t* seq, int sourcePort, const std::uint8_t* bytes, std::size_t count,
                   Clock::time_point deadline, WirePacer* pacer) {
    if (seq == nullptr || bytes == nullptr || count == 0) return -EINVAL;
    if (bytes[0] == 0xF0) {
        for (std::size_t offset = 0; offset < count; offset += kSeqSysExChunk) {
            const std::size_t length = std::min(kSeqSysExChunk, count - offset);
            snd_seq_event_t event;
            makeSysExPieceEvent(bytes + offset, length, event);
            if (const int result = outputEvent(seq, sourcePort, event, length, deadline, pacer);
                result < 0) {
                return result;
            }
        }
        return 0;
    }
    // Short messages: the coder turns the bytes into events one message at a
    // time; each is sent before the coder is asked for the next.
    snd_midi_event_t* coder = nullptr;
    if (const int result = snd_midi_event_new(kSeqSysExChunk, &coder); result < 0) return result;
    int status = 0;
    std::size_t offset = 0;
    while (offset < count && status == 0) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        const long used =
            snd_midi_event_encode(coder, bytes + offset, static_cast<long>(count - offset), &event);
        if (used <= 0) {
            status = used < 0 ? static_cast<int>(used) : -EINVAL;
            break;
        }
        offset += static_cast<std::size_t>(used);
        if (event.type != SND_SEQ_EVENT_NONE) {
            status = outputEvent(seq, sourcePort, event, static_cast<std::size_t>(used), deadline,
                                 pacer);
        }
    }
    snd_midi_event_free(coder);
    return status;
}

bool drainSeqInput(snd_seq_t* seq, int timeoutMs,
                   const std::function<void(const snd_seq_event_t&)>& onEvent,
                   const std::function<void()>& onOverrun) {
    const int wanted = snd_seq_poll_descriptors_count(seq, POLLIN);
    if (wanted <= 0 || wanted > 16) return false;
    pollfd descriptors[16];
    const int filled =
        snd_seq_poll_descriptors(seq, descriptors, static_cast<unsigned int>(wanted), POLLIN);
    if (filled <= 0) return false;
    const int ready = ::poll(descriptors, static_cast<nfds_t>(filled), timeoutMs);
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(seq, &event);
        if (result == -EAGAIN) return true;
        if (result == -EINTR) continue;
        // The kernel's queue overflowed: it dropped the events that did not
        // fit, and on telling us it clears what it still held. The hole is
        // therefore right here, after the last event read.
        if (result == -ENOSPC) {
            onOverrun();
            continue;
        }
        if (result < 0) return false;
        if (event != nullptr) onEvent(*event);
        if (snd_seq_event_input_pending(seq, 0) <= 0) return true;
    }
}

namespace {

// A sequencer client of our own with one port, connected to the device's
// port; closing the client removes the port and its connection.
class SeqClient {
  public:
    ~SeqClient() {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }

    int open(int streams, const char* portName, unsigned int capabilities) {
        int result = snd_seq_open(&seq_, "default", streams, SND_SEQ_NONBLOCK);
        if (result < 0) {
            seq_ = nullptr;
            return result;
        }
        if ((result = snd_seq_set_client_name(seq_, kClientName)) < 0) return result;
        // The port is ours alone: others neither list it nor connect to it.
        result =
            snd_seq_create_simple_port(seq_, portName, capabilities | SND_SEQ_PORT_CAP_NO_EXPORT,
                                       SND_SEQ_PORT_TYPE_APPLICATION);
        if (result < 0) return result;
        port_ = result;
        return 0;
    }

    snd_seq_t* handle() const { return seq_; }
    int port() const { return port_; }

  private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
};

class SeqInput final : public DriverInput {
  public:
    SeqInput(std::unique_ptr<SeqClient> client, SeqAddress source, InputStream& stream)
        : client_(std::move(client)), source_(source), stream_(stream) {
        reader_ = std::thread([this] { run(); });
    }

    ~SeqInput() override {
        stopping_.store(true);
        reader_.join();
    }

  private:
    void run() {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(kSeqSysExChunk);
        bool gone = false;
        const auto onEvent = [&](const snd_seq_event_t& event) {
            // The system's announcements: the device's client or port leaving
            // is the unit unplugged (a USB card removed).
            if (event.source.client == SND_SEQ_CLIENT_SYSTEM &&
                event.source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE) {
                gone = gone || deviceLeft(event);
                return;
            }
            // Only what the device sends: anyone may write to a port directly.
            if (event.source.client != source_.client || event.source.port != source_.port) {
                return;
            }
            bytes.clear();
            if (decoder_.append(event, bytes) > 0) {
                tracker_.observe(bytes.data(), bytes.size());
                stream_.pushBytes(bytes.data(), bytes.size());
            }
        };
        const auto onOverrun = [&] {
            if (!tracker_.inSysEx()) return;
            tracker_.reset();
            stream_.pushLongError();
        };
        while (!stopping_.load()) {
            if (!drainSeqInput(client_->handle(), kPollMilliseconds, onEvent, onOverrun)) return;
            if (gone) {
                stream_.pushGone();
                return;
            }
        }
    }

    bool deviceLeft(const snd_seq_event_t& event) const {
        const snd_seq_addr_t& who = event.data.addr;
        if (event.type == SND_SEQ_EVENT_CLIENT_EXIT) return who.client == source_.client;
        if (event.type == SND_SEQ_EVENT_PORT_EXIT) {
            return who.client == source_.client && who.port == source_.port;
        }
        return false;
    }

    std::unique_ptr<SeqClient> client_;
    const SeqAddress source_;
    InputStream& stream_;
    SeqEventDecoder decoder_;
    detail::SysExTracker tracker_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

class SeqOutput final : public DriverOutput {
  public:
    SeqOutput(std::unique_ptr<SeqClient> client, bool paced) : client_(std::move(client)) {
        if (paced) pacer_ = std::make_unique<WirePacer>(cardBridgePacer());
    }

    MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) override {
        (void)markDone;
        if (bytes == nullptr || count == 0) return MMSYSERR_INVALPARAM;
        return send(bytes, count);
    }

    MMRESULT sendShort(std::uint32_t message) override {
        std::uint8_t bytes[3];
        const std::size_t count = detail::shortMessageBytes(message, bytes);
        if (count == 0) return MMSYSERR_INVALPARAM;
        return send(bytes, count);
    }

  private:
    // The worker and the reply dispatcher may send at once; one message's
    // pieces must not interleave with another's.
    MMRESULT send(const std::uint8_t* bytes, std::size_t count) {
        std::lock_guard<std::mutex> lock(sending_);
        const int result = sendSeqMessage(client_->handle(), client_->port(), bytes, count,
                                          Clock::now() + sendAllowance(count), pacer_.get());
        return result < 0 ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
    }

    std::unique_ptr<SeqClient> client_;
    std::unique_ptr<WirePacer> pacer_;  // guarded by sending_
    std::mutex sending_;
};

}  // namespace

MMRESULT openSeqInput(const SeqAddress& source, InputStream& stream,
                      std::unique_ptr<DriverInput>& port) {
    auto client = std::make_unique<SeqClient>();
    int result = client->open(SND_SEQ_OPEN_DUPLEX, "ql5-updater in",
                              SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    if (result < 0) return mmResultFor(result);
    // Room for a sender's SysEx that comes as one large event.
    if ((result = snd_seq_set_input_buffer_size(client->handle(), 65536)) < 0) {
        return mmResultFor(result);
    }
    growInputPool(client->handle());
    // The system's announcements tell when the device's client leaves. A
    // sequencer that refuses them only costs the early notice.
    (void)snd_seq_connect_from(client->handle(), client->port(), SND_SEQ_CLIENT_SYSTEM,
                               SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    result = snd_seq_connect_from(client->handle(), client->port(), source.client, source.port);
    if (result < 0) return mmResultFor(result);
    try {
        port = std::make_unique<SeqInput>(std::move(client), source, stream);
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT openSeqOutput(const SeqAddress& destination, bool paced,
                       std::unique_ptr<DriverOutput>& port) {
    auto client = std::make_unique<SeqClient>();
    int result = client->open(SND_SEQ_OPEN_DUPLEX, "ql5-updater out",
                              SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    if (result < 0) return mmResultFor(result);
    // A card port's bridge opens its rawmidi device only for a subscriber,
    // so the events go to our subscribers rather than to the port directly.
    result =
        snd_seq_connect_to(client->handle(), client->port(), destination.client, destination.port);
    if (result < 0) return mmResultFor(result);
    try {
        port = std::make_unique<SeqOutput>(std::move(client), paced);
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

}  // namespace ql5::mm::alsa
