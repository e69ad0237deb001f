#include "rawmidi_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "emulator/stream_framer.hpp"

#if __has_include(<sound/asound.h>)
#include <sound/asound.h>
#define QL5_TOOL_KERNEL_RAWMIDI 1
#endif

namespace ql5::emulator::tool {

namespace {

constexpr std::size_t kKernelBuffer = 65536;
// How often a node that went away is looked for again.
constexpr int kReopenPollMs = 100;

// Sets the kernel's buffers of a rawmidi node; 0 when fd is something else.
std::size_t setKernelBuffers(int fd) {
#if QL5_TOOL_KERNEL_RAWMIDI
    int version = 0;
    if (::ioctl(fd, SNDRV_RAWMIDI_IOCTL_PVERSION, &version) != 0) return 0;
    for (int stream : {SNDRV_RAWMIDI_STREAM_OUTPUT, SNDRV_RAWMIDI_STREAM_INPUT}) {
        snd_rawmidi_params params{};
        params.stream = stream;
        params.buffer_size = kKernelBuffer;
        params.avail_min = 1;
        if (::ioctl(fd, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) != 0) return 1;
    }
    return kKernelBuffer;
#else
    (void)fd;
    return 0;
#endif
}

}  // namespace

std::string resolveRawMidiNode(const std::string& nodeOrCardId, const std::string& procAsound,
                               const std::string& devSnd) {
    if (nodeOrCardId.empty() || nodeOrCardId.front() == '/') return nodeOrCardId;
    // /proc/asound/ID is a link to "cardN".
    std::vector<char> target(64);
    const std::string link = procAsound + "/" + nodeOrCardId;
    const ssize_t n = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (n <= 4) return {};
    const std::string card(target.data(), static_cast<std::size_t>(n));
    if (card.compare(0, 4, "card") != 0 ||
        card.find_first_not_of("0123456789", 4) != std::string::npos) {
        return {};
    }
    return devSnd + "/midiC" + card.substr(4) + "D0";
}

RawMidiLink::RawMidiLink(std::function<std::string()> resolve) : resolve_(std::move(resolve)) {}

RawMidiLink::~RawMidiLink() {
    detach();
    unplug();
}

void RawMidiLink::setReceiver(Receiver receiver) {
    std::lock_guard lock(receiverMutex_);
    receiver_ = std::move(receiver);
}

void RawMidiLink::detach() {
    std::lock_guard lock(receiverMutex_);
    receiver_ = nullptr;
}

std::string RawMidiLink::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

bool RawMidiLink::connected() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

int RawMidiLink::opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

std::size_t RawMidiLink::kernelBuffer() const {
    std::lock_guard lock(mutex_);
    return kernelBuffer_;
}

bool RawMidiLink::openNode() {
    const std::string path = resolve_();
    if (path.empty()) {
        error_ = "the node is not there";
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::size_t buffer = setKernelBuffers(fd);
    if (buffer == 1) {
        error_ = "cannot set 64 KiB buffers on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    kernelBuffer_ = buffer;
    ++opens_;
    error_.clear();
    return true;
}

void RawMidiLink::closeNode() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    kernelBuffer_ = 0;
}

void RawMidiLink::plug() {
    std::lock_guard lock(mutex_);
    if (plugged_) return;
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    // A node that is not there yet is waited for, as one that goes away is.
    openNode();
    plugged_ = true;
    thread_ = std::thread([this, stop = stopPipe_[0]] { loop(stop); });
}

void RawMidiLink::unplug() {
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) return;
        plugged_ = false;
        const char c = 'x';
        (void)!::write(stopPipe_[1], &c, 1);
        thread = std::move(thread_);
    }
    if (thread.joinable()) thread.join();
    std::lock_guard write(writeMutex_);
    std::lock_guard lock(mutex_);
    closeNode();
    for (int* fd : {&stopPipe_[0], &stopPipe_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool RawMidiLink::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

bool RawMidiLink::send(const std::uint8_t* bytes, std::size_t count) {
    std::lock_guard write(writeMutex_);
    int fd = -1;
    int stop = -1;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_ || fd_ < 0) return false;
        fd = fd_;
        stop = stopPipe_[0];
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fds[2] = {{fd, POLLOUT, 0}, {stop, POLLIN, 0}};
            if (::poll(fds, 2, 5000) <= 0 || (fds[1].revents & POLLIN) != 0 ||
                (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return false;
            }
            continue;
        }
        return false;  // ENODEV: the node went away; the reader reopens it
    }
    return true;
}

void RawMidiLink::loop(int stopFd) {
    StreamFramer framer([this](const std::uint8_t* m, std::size_t n) {
        std::lock_guard lock(receiverMutex_);
        if (receiver_) receiver_(m, n);
    });
    std::uint8_t buf[4096];
    for (;;) {
        int fd;
        {
            std::lock_guard lock(mutex_);
            fd = fd_;
        }
        if (fd < 0) {
            pollfd stop{stopFd, POLLIN, 0};
            if (::poll(&stop, 1, kReopenPollMs) != 0 && (stop.revents & POLLIN) != 0) return;
            std::lock_guard write(writeMutex_);
            std::lock_guard lock(mutex_);
            if (openNode()) framer.reset();  // what came before the loss is gone
            continue;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            framer.feed(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // End of file, ENODEV, EIO: the node went away. Close it and look
        // for it again.
        std::lock_guard write(writeMutex_);
        std::lock_guard lock(mutex_);
        closeNode();
    }
}

}  // namespace ql5::emulator::tool
