// Ports of a sound card, opened through rawmidi: the bytes go straight to
// the card's driver, with none of the sequencer bridge's buffer limits, and a
// drain tells when they have left.
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "alsa_ports.hpp"
#include "platform/mm/input_loss.hpp"
#include "short_message.hpp"

namespace ql5::mm::alsa {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 1024;
constexpr int kMaxDescriptors = 8;
constexpr std::size_t kBufferSize = 65536;

void deviceName(const RawMidiAddress& address, char (&name)[48]) {
    std::snprintf(name, sizeof name, "hw:%d,%d,%d", address.card, address.device,
                  address.subdevice);
}

// Waits for the rawmidi handle to become ready for `events`. >0 ready, 0
// time-out, <0 a negative errno.
int waitFor(snd_rawmidi_t* handle, short events, int timeoutMs) {
    const int wanted = snd_rawmidi_poll_descriptors_count(handle);
    if (wanted <= 0 || wanted > kMaxDescriptors) return -EINVAL;
    pollfd descriptors[kMaxDescriptors];
    const int filled =
        snd_rawmidi_poll_descriptors(handle, descriptors, static_cast<unsigned int>(wanted));
    if (filled <= 0) return -EINVAL;
    for (int i = 0; i < filled; ++i) descriptors[i].events = events;
    const int ready = ::poll(descriptors, static_cast<nfds_t>(filled), timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -errno;
    if (ready == 0) return 0;
    unsigned short revents = 0;
    const int result = snd_rawmidi_poll_descriptors_revents(
        handle, descriptors, static_cast<unsigned int>(filled), &revents);
    if (result < 0) return result;
    if (revents & (POLLERR | POLLNVAL)) return -ENODEV;  // the card went away
    return (revents & events) ? 1 : 0;
}

// Sets the handle's buffer size; gives the size the kernel granted, or a
// negative errno.
long growBuffer(snd_rawmidi_t* handle) {
    snd_rawmidi_params_t* params = nullptr;
    int result = snd_rawmidi_params_malloc(&params);
    if (result < 0) return result;
    long granted = 0;
    if ((result = snd_rawmidi_params_current(handle, params)) >= 0 &&
        (result = snd_rawmidi_params_set_buffer_size(handle, params, kBufferSize)) >= 0 &&
        (result = snd_rawmidi_params(handle, params)) >= 0 &&
        (result = snd_rawmidi_params_current(handle, params)) >= 0) {
        granted = static_cast<long>(snd_rawmidi_params_get_buffer_size(params));
    }
    snd_rawmidi_params_free(params);
    return result < 0 ? result : granted;
}

// Bytes already in the input buffer when the port opens were sent to an
// earlier session (a late reply, say); taken now, they would pass for the
// answer to this session's first request. Dropped, bounded so that a device
// that never stops talking cannot hold the open.
void discardPending(snd_rawmidi_t* handle) {
    constexpr std::size_t kMostDiscarded = 1 << 20;
    std::uint8_t buffer[kReadChunk];
    std::size_t dropped = 0;
    while (dropped < kMostDiscarded) {
        const ssize_t got = snd_rawmidi_read(handle, buffer, sizeof buffer);
        if (got == -EINTR) continue;
        if (got <= 0) return;  // empty (-EAGAIN), or an error the reader will meet
        dropped += static_cast<std::size_t>(got);
    }
}

class RawMidiInput final : public DriverInput {
  public:
    RawMidiInput(snd_rawmidi_t* handle, std::size_t bufferSize, InputStream& stream)
        : handle_(handle), bufferSize_(bufferSize), stream_(stream) {
        reader_ = std::thread([this] { run(); });
    }

    ~RawMidiInput() override {
        stopping_.store(true);
        reader_.join();
        snd_rawmidi_close(handle_);
    }

  private:
    void run() {
        std::uint8_t buffer[kReadChunk];
        snd_rawmidi_status_t* status = nullptr;
        if (snd_rawmidi_status_malloc(&status) < 0) status = nullptr;
        const auto push = [this](const std::uint8_t* bytes, std::size_t count) {
            stream_.pushBytes(bytes, count);
        };
        const auto report = [this] { stream_.pushLongError(); };
        while (!stopping_.load()) {
            const int ready = waitFor(handle_, POLLIN, kPollMilliseconds);
            if (ready < 0) {
                if (ready == -ENODEV) stream_.pushGone();
                break;
            }
            if (ready == 0) continue;
            const ssize_t got = snd_rawmidi_read(handle_, buffer, sizeof buffer);
            if (got > 0) {
                noteOverrun(status, static_cast<std::size_t>(got));
                loss_.deliver(buffer, static_cast<std::size_t>(got), push, report);
            } else if (got != -EAGAIN && got != -EINTR && got != 0) {
                // -ENODEV when the unit is unplugged: nothing more will come
                if (got == -ENODEV) stream_.pushGone();
                break;
            }
        }
        if (status != nullptr) snd_rawmidi_status_free(status);
    }

    // The kernel counts input that found its buffer full (reading the count
    // clears it). The loss happened since the last look, when the buffer was
    // full: the hole follows the buffer's worth of bytes that started either
    // at this read or just after it.
    void noteOverrun(snd_rawmidi_status_t* status, std::size_t justRead) {
        if (status == nullptr || snd_rawmidi_status(handle_, status) < 0) return;
        if (snd_rawmidi_status_get_xruns(status) == 0) return;
        const std::uint64_t here = loss_.position();
        loss_.lostWithin(here + bufferSize_, here + justRead + bufferSize_);
    }

    snd_rawmidi_t* const handle_;
    const std::size_t bufferSize_;
    InputStream& stream_;
    detail::InputLossReporter loss_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

// A write refused because the card went away is the device gone
// (MMSYSERR_NODRIVER), not a passing failure.
MMRESULT writeResultFor(int alsaError) {
    return alsaError == -ENODEV ? MMSYSERR_NODRIVER : mmResultFor(alsaError);
}

class RawMidiOutput final : public DriverOutput {
  public:
    explicit RawMidiOutput(snd_rawmidi_t* handle) : handle_(handle) {}
    ~RawMidiOutput() override { snd_rawmidi_close(handle_); }

    MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) override {
        (void)markDone;
        if (bytes == nullptr || count == 0) return MMSYSERR_INVALPARAM;
        return writeWhole(bytes, count);
    }

    MMRESULT sendShort(std::uint32_t message) override {
        std::uint8_t bytes[3];
        const std::size_t count = detail::shortMessageBytes(message, bytes);
        if (count == 0) return MMSYSERR_INVALPARAM;
        return writeWhole(bytes, count);
    }

  private:
    // The handle is non-blocking so that the write can be bounded in time:
    // a blocking write to a device that stopped reading would never return.
    // The lock keeps concurrent senders' messages whole on the wire.
    MMRESULT writeWhole(const std::uint8_t* bytes, std::size_t count) {
        std::lock_guard<std::mutex> lock(sending_);
        const auto deadline = Clock::now() + sendAllowance(count);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t wrote = snd_rawmidi_write(handle_, bytes + done, count - done);
            if (wrote > 0) {
                done += static_cast<std::size_t>(wrote);
                continue;
            }
            if (wrote == -EINTR) continue;
            if (wrote < 0 && wrote != -EAGAIN) return writeResultFor(static_cast<int>(wrote));
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return MMSYSERR_ERROR;
            const int ready = waitFor(handle_, POLLOUT, static_cast<int>(left.count()) + 1);
            if (ready < 0) return writeResultFor(ready);
        }
        // The message has left only when the driver's buffer is empty. The
        // kernel bounds this wait itself.
        const int drained = snd_rawmidi_drain(handle_);
        return drained < 0 ? writeResultFor(drained) : MMSYSERR_NOERROR;
    }

    snd_rawmidi_t* const handle_;
    std::mutex sending_;
};

}  // namespace

MMRESULT openRawMidiInput(const RawMidiAddress& address, InputStream& stream,
                          std::unique_ptr<DriverInput>& port) {
    char name[48];
    deviceName(address, name);
    snd_rawmidi_t* handle = nullptr;
    // Non-blocking: a busy device fails the open at once instead of waiting.
    int result = snd_rawmidi_open(&handle, nullptr, name, SND_RAWMIDI_NONBLOCK);
    if (result < 0) return mmResultFor(result);
    // The kernel's default 4 KiB would overflow if the reader were held up
    // for a moment during a 4,700-byte reply; lost input is still detected.
    const long granted = growBuffer(handle);
    if (granted <= 0) {
        snd_rawmidi_close(handle);
        return granted < 0 ? mmResultFor(static_cast<int>(granted)) : MMSYSERR_ERROR;
    }
    discardPending(handle);
    try {
        port = std::make_unique<RawMidiInput>(handle, static_cast<std::size_t>(granted), stream);
    } catch (...) {
        snd_rawmidi_close(handle);
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT openRawMidiOutput(const RawMidiAddress& address, std::unique_ptr<DriverOutput>& port) {
    char name[48];
    deviceName(address, name);
    snd_rawmidi_t* handle = nullptr;
    const int result = snd_rawmidi_open(nullptr, &handle, name, SND_RAWMIDI_NONBLOCK);
    if (result < 0) return mmResultFor(result);
    // The kernel's write moves its pointer past the new bytes before it
    // copies them in, with its lock dropped (seen on Debian's 6.1 kernels): a
    // card still sending while more is written can send bytes not yet
    // copied. With room for a whole message, and the previous one drained,
    // each message goes in with one write while the card is idle.
    const long granted = growBuffer(handle);
    if (granted < 0) {
        snd_rawmidi_close(handle);
        return mmResultFor(static_cast<int>(granted));
    }
    try {
        port = std::make_unique<RawMidiOutput>(handle);
    } catch (...) {
        snd_rawmidi_close(handle);
        return MMSYSERR_NOMEM;
    }
    return MMSYSERR_NOERROR;
}

}  // namespace ql5::mm::alsa
