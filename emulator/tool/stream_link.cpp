#include "stream_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ql5::emulator::tool {

namespace {

// Makes a FIFO where nothing exists yet; true when it made one.
bool makeFifoIfMissing(const std::string& path, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return false;
    if (::mkfifo(path.c_str(), 0600) != 0) {
        error = "cannot make FIFO " + path + ": " + std::strerror(errno);
    }
    return error.empty();
}

// A FIFO opened for both directions never blocks the open and never reads
// end-of-file when the other side closes, which is what a long-lived port
// wants; other files open the plain way.
int openPath(const std::string& path, bool forReading) {
    struct stat st {};
    const bool fifo = ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
    const int mode = fifo ? O_RDWR : (forReading ? O_RDONLY : O_WRONLY);
    return ::open(path.c_str(), mode | O_CLOEXEC | O_NOCTTY);
}

}  // namespace

StreamLink::StreamLink(std::string fromHostPath, std::string toHostPath)
    : fromHostPath_(std::move(fromHostPath)), toHostPath_(std::move(toHostPath)) {}

StreamLink::~StreamLink() {
    detach();
    unplug();
}

void StreamLink::setReceiver(Receiver receiver) {
    std::lock_guard lock(receiverMutex_);
    receiver_ = std::move(receiver);
}

void StreamLink::detach() {
    std::lock_guard lock(receiverMutex_);
    receiver_ = nullptr;
}

std::string StreamLink::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

bool StreamLink::openPaths() {
    std::string err;
    if (makeFifoIfMissing(fromHostPath_, err)) madeFromHost_ = true;
    if (err.empty() && makeFifoIfMissing(toHostPath_, err)) madeToHost_ = true;
    if (!err.empty()) {
        error_ = err;
        return false;
    }
    inFd_ = openPath(fromHostPath_, true);
    outFd_ = openPath(toHostPath_, false);
    if (inFd_ < 0 || outFd_ < 0) {
        error_ = "cannot open " + (inFd_ < 0 ? fromHostPath_ : toHostPath_) + ": " +
                 std::strerror(errno);
        closePaths();
        return false;
    }
    ::fcntl(outFd_, F_SETFL, ::fcntl(outFd_, F_GETFL) | O_NONBLOCK);
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        closePaths();
        return false;
    }
    error_.clear();
    return true;
}

void StreamLink::closePaths() {
    for (int* fd : {&inFd_, &outFd_, &stopPipe_[0], &stopPipe_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (madeFromHost_) ::unlink(fromHostPath_.c_str());
    if (madeToHost_) ::unlink(toHostPath_.c_str());
    madeFromHost_ = madeToHost_ = false;
}

void StreamLink::plug() {
    std::lock_guard lock(mutex_);
    if (plugged_) return;
    if (!openPaths()) return;
    plugged_ = true;
    reader_ = std::thread([this, in = inFd_, stop = stopPipe_[0]] { readLoop(in, stop); });
}

void StreamLink::unplug() {
    std::thread reader;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_) return;
        plugged_ = false;
        const char c = 'x';
        (void)!::write(stopPipe_[1], &c, 1);
        reader = std::move(reader_);
    }
    if (reader.joinable()) reader.join();
    std::lock_guard write(writeMutex_);
    std::lock_guard lock(mutex_);
    closePaths();
}

bool StreamLink::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

bool StreamLink::send(const std::uint8_t* bytes, std::size_t count) {
    // The write lock, not the state lock, is held while bytes go out, so an
    // unplug can always signal the stop pipe and end a write that waits for
    // a host that stopped reading.
    std::lock_guard write(writeMutex_);
    int out = -1;
    int stop = -1;
    {
        std::lock_guard lock(mutex_);
        if (!plugged_ || outFd_ < 0) return false;
        out = outFd_;
        stop = stopPipe_[0];
    }
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(out, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fds[2] = {{out, POLLOUT, 0}, {stop, POLLIN, 0}};
            if (::poll(fds, 2, 5000) <= 0 || (fds[1].revents & POLLIN) != 0) return false;
            continue;
        }
        return false;
    }
    return true;
}

void StreamLink::readLoop(int fd, int stopFd) {
    StreamFramer framer([this](const std::uint8_t* m, std::size_t n) {
        std::lock_guard lock(receiverMutex_);
        if (receiver_) receiver_(m, n);
    });
    std::uint8_t buf[4096];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a device node went away
        framer.feed(buf, static_cast<std::size_t>(n));
    }
}

}  // namespace ql5::emulator::tool
