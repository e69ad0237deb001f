#include "platform/mm/raw_stream_driver.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

#include "short_message.hpp"

#if __has_include(<sound/asound.h>)
#include <sound/asound.h>
#define QL5_KERNEL_RAWMIDI 1
#endif

namespace ql5::mm {
namespace {

using Clock = std::chrono::steady_clock;

// Short enough that closing an input port (which joins the reader) feels
// immediate, long enough that an idle reader costs nothing.
constexpr int kPollMilliseconds = 20;
constexpr std::size_t kReadChunk = 1024;

bool pathExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool isFifo(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

MMRESULT openError(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:  // a FIFO nobody reads, or a device node without its device
            return MMSYSERR_NOTENABLED;
        case EBUSY:
        case EACCES:
        case EPERM:
            return MMSYSERR_ALLOCATED;
        case ENOMEM:
            return MMSYSERR_NOMEM;
        default:
            return MMSYSERR_ERROR;
    }
}

// A serial adapter's line discipline would translate CR/LF and swallow
// control bytes; MIDI bytes must pass unchanged, and without a modem's
// carrier line. The speed is left as set (MIDI's 31,250 baud is no standard
// rate; the adapter's own tools set it). False when the terminal refused.
bool makeRawIfTerminal(int fd) {
    if (!::isatty(fd)) return true;
    termios mode{};
    if (::tcgetattr(fd, &mode) != 0) return false;
    ::cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    return ::tcsetattr(fd, TCSANOW, &mode) == 0;
}

// Bytes already waiting when an input port opens were sent to an earlier
// session (a late reply, say); taken now, they would pass for the answer to
// this session's first request. Reads what is readable at once and drops it,
// bounded so that a device that never stops talking cannot hold the open.
void discardPending(int fd) {
    if (::isatty(fd)) ::tcflush(fd, TCIFLUSH);
    constexpr std::size_t kMostDiscarded = 1 << 20;
    std::uint8_t buffer[kReadChunk];
    std::size_t dropped = 0;
    while (dropped < kMostDiscarded) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            dropped += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // empty (EAGAIN), end of file, or an error the reader will meet
        }
    }
}

// A write to a pipe or FIFO whose reader has gone raises SIGPIPE, which by
// default ends the process without a word, with the unit left mid-update. For
// the length of one write the signal is held back on the writing thread and a
// SIGPIPE that write raised is taken off again, so the write just fails with
// EPIPE (as send() with MSG_NOSIGNAL would) and a vanished peer looks like an
// unplugged unit. What the rest of the process does with SIGPIPE is left alone.
class QuietPipeWrites {
  public:
    QuietPipeWrites() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        wasPending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &previous_) == 0;
    }
    ~QuietPipeWrites() {
        if (blocked_ && brokenPipe_ && !wasPending_) {
            const timespec none{0, 0};
            while (::sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        if (blocked_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    QuietPipeWrites(const QuietPipeWrites&) = delete;
    QuietPipeWrites& operator=(const QuietPipeWrites&) = delete;

    void noteBrokenPipe() { brokenPipe_ = true; }

  private:
    sigset_t pipe_{};
    sigset_t previous_{};
    bool wasPending_ = false;
    bool blocked_ = false;
    bool brokenPipe_ = false;
};
// A kernel rawmidi node (/dev/snd/midiC*D*) keeps one page, 4 KiB, for each
// direction unless told otherwise. That is less than one 4,699-byte read
// reply: a reader held up for a moment loses input. And the kernel's write
// moves its pointer past the new bytes before it copies them in, with its
// lock dropped (seen on Debian's 6.1 kernels), so a card that is still
// sending while more bytes are written can send bytes not yet copied: a
// message longer than the buffer arrives cut at 4,096 bytes and followed by
// stale ones. Both buffers are therefore made large enough for any message
// of the protocol, and each message is drained before the next is written,
// so a message goes in with one write while the card is idle.
constexpr std::size_t kKernelRawMidiBuffer = 65536;
#ifdef QL5_KERNEL_RAWMIDI
constexpr unsigned int kAlsaCharMajor = 116;

bool isKernelRawMidi(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode) ||
        major(info.st_rdev) != kAlsaCharMajor) {
        return false;
    }
    int version = 0;
    return ::ioctl(fd, SNDRV_RAWMIDI_IOCTL_PVERSION, &version) == 0;
}

bool growKernelRawMidi(int fd, bool input) {
    snd_rawmidi_params params{};
    params.stream = input ? SNDRV_RAWMIDI_STREAM_INPUT : SNDRV_RAWMIDI_STREAM_OUTPUT;
    params.buffer_size = kKernelRawMidiBuffer;
    params.avail_min = 1;
    params.no_active_sensing = 1;  // no 0xFE on closing, as alsa-lib opens it
    return ::ioctl(fd, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) == 0;
}

bool drainKernelRawMidi(int fd) {
    int stream = SNDRV_RAWMIDI_STREAM_OUTPUT;
    while (::ioctl(fd, SNDRV_RAWMIDI_IOCTL_DRAIN, &stream) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}
#else
bool isKernelRawMidi(int) { return false; }
bool growKernelRawMidi(int, bool) { return false; }
bool drainKernelRawMidi(int) { return false; }
#endif

// Which ports of one driver are open; shared with the open ports so that a
// port closed after its driver went away still finds it.
struct OpenFlags {
    std::atomic<bool> input{false};
    std::atomic<bool> output{false};
};

class RawInput final : public DriverInput {
  public:
    RawInput(int fd, InputStream& stream, std::shared_ptr<OpenFlags> flags)
        : fd_(fd), stream_(stream), flags_(std::move(flags)) {
        reader_ = std::thread([this] { run(); });
    }

    ~RawInput() override {
        stopping_.store(true);
        reader_.join();
        ::close(fd_);
        flags_->input.store(false);
    }

  private:
    void run() {
        std::uint8_t buffer[kReadChunk];
        while (!stopping_.load()) {
            pollfd watch{fd_, POLLIN, 0};
            const int ready = ::poll(&watch, 1, kPollMilliseconds);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (ready == 0) continue;
            if (watch.revents & (POLLERR | POLLNVAL)) {  // the device went away
                stream_.pushGone();
                return;
            }
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got > 0) {
                stream_.pushBytes(buffer, static_cast<std::size_t>(got));
            } else if (got == 0) {
                // End of file with POLLHUP would wake poll at once again and
                // spin; wait one poll period for a writer to come back.
                std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
            } else if (errno != EINTR && errno != EAGAIN) {
                // ENODEV and the like: nothing more will come
                if (errno == ENODEV || errno == EIO || errno == ENXIO) stream_.pushGone();
                return;
            }
        }
    }

    const int fd_;
    InputStream& stream_;
    std::shared_ptr<OpenFlags> flags_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

class RawOutput final : public DriverOutput {
  public:
    RawOutput(int fd, bool kernelRawMidi, RawStreamLimits limits, std::shared_ptr<OpenFlags> flags)
        : fd_(fd), kernelRawMidi_(kernelRawMidi), limits_(limits), flags_(std::move(flags)) {}

    ~RawOutput() override {
        ::close(fd_);
        flags_->output.store(false);
    }

    MMRESULT sendLong(const std::uint8_t* bytes, std::size_t count, bool& markDone) override {
        (void)markDone;
        if (bytes == nullptr || count == 0 || count > limits_.maxMessage) {
            return MMSYSERR_INVALPARAM;
        }
        return writeWhole(bytes, count);
    }

    MMRESULT sendShort(std::uint32_t message) override {
        std::uint8_t bytes[3];
        const std::size_t count = detail::shortMessageBytes(message, bytes);
        if (count == 0) return MMSYSERR_INVALPARAM;
        return writeWhole(bytes, count);
    }

  private:
    // The worker and the reply dispatcher may send on one port at the same
    // time; the lock keeps their messages from interleaving on the wire.
    MMRESULT writeWhole(const std::uint8_t* bytes, std::size_t count) {
        std::lock_guard<std::mutex> lock(sending_);
        const auto allowance =
            limits_.baseTimeout +
            std::chrono::milliseconds(count * 1000 /
                                      std::max<std::uint32_t>(limits_.minBytesPerSecond, 1));
        const auto deadline = Clock::now() + allowance;
        std::size_t done = 0;
        QuietPipeWrites quiet;
        while (done < count) {
            const ssize_t wrote = ::write(fd_, bytes + done, count - done);
            if (wrote > 0) {
                done += static_cast<std::size_t>(wrote);
                continue;
            }
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote < 0 && errno == EPIPE) {
                quiet.noteBrokenPipe();
                return MMSYSERR_ERROR;  // nobody reads any more: as if unplugged
            }
            if (wrote < 0 && (errno == ENODEV || errno == EIO || errno == ENXIO)) {
                return MMSYSERR_NODRIVER;  // the device went away
            }
            if (wrote < 0 && errno != EAGAIN) return MMSYSERR_ERROR;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return MMSYSERR_ERROR;
            pollfd watch{fd_, POLLOUT, 0};
            const int ready = ::poll(&watch, 1, static_cast<int>(left.count()) + 1);
            if (ready < 0 && errno != EINTR) return MMSYSERR_ERROR;
            if (ready > 0 && (watch.revents & (POLLERR | POLLNVAL))) return MMSYSERR_ERROR;
        }
        // A serial adapter keeps bytes in its queue after write() took them;
        // the message has left only when the queue is empty.
        if (kernelRawMidi_) return drainKernelRawMidi(fd_) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
        if (::isatty(fd_)) {
            while (::tcdrain(fd_) != 0) {
                if (errno != EINTR) return MMSYSERR_ERROR;
            }
        }
        return MMSYSERR_NOERROR;
    }

    const int fd_;
    const bool kernelRawMidi_;
    const RawStreamLimits limits_;
    std::shared_ptr<OpenFlags> flags_;
    std::mutex sending_;
};

class RawStreamDriver final : public Driver {
  public:
    RawStreamDriver(std::string name, std::string inputPath, std::string outputPath,
                    RawStreamLimits limits)
        : name_(std::move(name)),
          inputPath_(std::move(inputPath)),
          outputPath_(std::move(outputPath)),
          limits_(limits) {}

    const char* name() const override { return "raw"; }

    std::uint32_t inputCount() override { return pathExists(inputPath_) ? 1 : 0; }
    std::string inputName(std::uint32_t index) override {
        return index < inputCount() ? name_ : std::string();
    }
    std::uint32_t outputCount() override { return pathExists(outputPath_) ? 1 : 0; }
    std::string outputName(std::uint32_t index) override {
        return index < outputCount() ? name_ : std::string();
    }
    // The two paths were named as one pair.
    std::string inputDevice(std::uint32_t index) override {
        return index < inputCount() ? name_ : std::string();
    }
    std::string outputDevice(std::uint32_t index) override {
        return index < outputCount() ? name_ : std::string();
    }

    MMRESULT openInput(std::uint32_t index, InputStream& stream,
                       std::unique_ptr<DriverInput>& port) override {
        if (index != 0) return MMSYSERR_BADDEVICEID;
        if (flags_->input.exchange(true)) return MMSYSERR_ALLOCATED;
        // Opened for writing as well, a FIFO never reports end of file when
        // the other side closes and reopens its end between messages.
        const int mode = isFifo(inputPath_) ? O_RDWR : O_RDONLY;
        const int fd = ::open(inputPath_.c_str(), mode | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            const int error = errno;
            flags_->input.store(false);
            return openError(error);
        }
        // A kernel rawmidi node whose buffer cannot be enlarged would lose
        // long replies; the ALSA driver's own port for it is the way then.
        if (!makeRawIfTerminal(fd) || (isKernelRawMidi(fd) && !growKernelRawMidi(fd, true))) {
            ::close(fd);
            flags_->input.store(false);
            return MMSYSERR_ERROR;
        }
        discardPending(fd);
        try {
            port = std::make_unique<RawInput>(fd, stream, flags_);
        } catch (...) {  // no thread or no memory
            ::close(fd);
            flags_->input.store(false);
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT openOutput(std::uint32_t index, std::unique_ptr<DriverOutput>& port) override {
        if (index != 0) return MMSYSERR_BADDEVICEID;
        if (flags_->output.exchange(true)) return MMSYSERR_ALLOCATED;
        // Non-blocking: opening a FIFO nobody reads fails with ENXIO instead
        // of hanging the UI thread, and writes can be bounded in time.
        const int fd = ::open(outputPath_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            const int error = errno;
            flags_->output.store(false);
            return openError(error);
        }
        const bool kernelRawMidi = isKernelRawMidi(fd);
        if (!makeRawIfTerminal(fd) || (kernelRawMidi && !growKernelRawMidi(fd, false))) {
            ::close(fd);
            flags_->output.store(false);
            return MMSYSERR_ERROR;
        }
        try {
            port = std::make_unique<RawOutput>(fd, kernelRawMidi, limits_, flags_);
        } catch (...) {
            ::close(fd);
            flags_->output.store(false);
            return MMSYSERR_NOMEM;
        }
        return MMSYSERR_NOERROR;
    }

  private:
    const std::string name_;
    const std::string inputPath_;
    const std::string outputPath_;
    const RawStreamLimits limits_;
    std::shared_ptr<OpenFlags> flags_ = std::make_shared<OpenFlags>();
};

}  // namespace

std::shared_ptr<Driver> rawStreamDriver(std::string name, std::string inputPath,
                                        std::string outputPath, RawStreamLimits limits) {
    return std::make_shared<RawStreamDriver>(std::move(name), std::move(inputPath),
                                             std::move(outputPath), limits);
}

std::shared_ptr<Driver> rawStreamDriverFromSetting(const std::string& setting) {
    const auto first = setting.find(':');
    if (first == std::string::npos) return nullptr;
    const auto second = setting.find(':', first + 1);
    if (second == std::string::npos || setting.find(':', second + 1) != std::string::npos) {
        return nullptr;
    }
    std::string name = setting.substr(0, first);
    std::string input = setting.substr(first + 1, second - first - 1);
    std::string output = setting.substr(second + 1);
    if (name.empty() || input.empty() || output.empty()) return nullptr;
    return rawStreamDriver(std::move(name), std::move(input), std::move(output));
}

std::string rawStreamSettingProblem(const std::string& setting) {
    if (rawStreamDriverFromSetting(setting) == nullptr) {
        return "QL5_RAW_MIDI=\"" + setting +
               "\" is not NAME:INPUT_PATH:OUTPUT_PATH (three fields, none empty, no other "
               "colon); no raw MIDI port is listed";
    }
    const auto first = setting.find(':');
    const auto second = setting.find(':', first + 1);
    const std::string input = setting.substr(first + 1, second - first - 1);
    const std::string output = setting.substr(second + 1);
    std::vector<std::string> missing;
    for (const std::string* path : {&input, &output}) {
        struct stat st {};
        if (::stat(path->c_str(), &st) != 0 &&
            std::find(missing.begin(), missing.end(), *path) == missing.end()) {
            missing.push_back(*path);
        }
    }
    if (missing.empty()) return {};
    if (missing.size() == 1) {
        return "QL5_RAW_MIDI names " + missing[0] +
               ", which does not exist; no raw MIDI port is listed";
    }
    return "QL5_RAW_MIDI names " + missing[0] + " and " + missing[1] +
           ", which do not exist; no raw MIDI port is listed";
}

std::string rawStreamEnvironmentProblem() {
    // Nothing in the program sets it.
    const char* setting = std::getenv("QL5_RAW_MIDI");  // NOLINT(concurrency-mt-unsafe)
    return setting == nullptr ? std::string() : rawStreamSettingProblem(setting);
}

std::shared_ptr<Driver> rawStreamDriverFromEnvironment() {
    // Read when the driver set is made; nothing in the program sets it.
    const char* setting = std::getenv("QL5_RAW_MIDI");  // NOLINT(concurrency-mt-unsafe)
    if (setting == nullptr) return nullptr;
    // A setting that cannot work is said once, where the user started the
    // program, rather than leaving an empty port list unexplained.
    if (const std::string problem = rawStreamSettingProblem(setting); !problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return nullptr;
    }
    return rawStreamDriverFromSetting(setting);
}

}  // namespace ql5::mm
