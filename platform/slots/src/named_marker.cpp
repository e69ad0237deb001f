#include "platform/slots/named_marker.hpp"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <utility>

namespace ql5::instances {

// The marker is a UNIX socket bound to a name in the abstract namespace:
// binding is atomic, a second bind of the name fails with EADDRINUSE, and
// the kernel drops the name when the last descriptor closes, also when the
// process is killed. Nothing is left behind in the file system.

namespace {
std::mutex scopeMutex;
std::string& scopeText() {
    static std::string scope;
    return scope;
}
}  // namespace

void NamedMarker::setScope(const std::string& scope) {
    std::lock_guard<std::mutex> lock(scopeMutex);
    scopeText() = scope;
}

NamedMarker::~NamedMarker() { close(); }

NamedMarker::NamedMarker(NamedMarker&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), outcome_(other.outcome_) {}

NamedMarker& NamedMarker::operator=(NamedMarker&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        outcome_ = other.outcome_;
    }
    return *this;
}

bool NamedMarker::held() const { return fd_ >= 0; }

void NamedMarker::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

NamedMarker NamedMarker::create(const std::string& name) {
    NamedMarker marker;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // Leading zero byte: the abstract namespace. The user id keeps the
    // names of different users apart, as a per-log-on name would.
    std::string full = "ql5-instance/" + std::to_string(::getuid()) + "/";
    {
        std::lock_guard<std::mutex> lock(scopeMutex);
        if (!scopeText().empty()) full += scopeText() + "/";
    }
    full += name;
    if (full.size() + 1 > sizeof addr.sun_path) return marker;  // Failed
    addr.sun_path[0] = '\0';
    std::memcpy(addr.sun_path + 1, full.data(), full.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());

    // Close-on-exec: a program this one starts must not keep the slot taken.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return marker;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        const int err = errno;
        ::close(fd);
        marker.outcome_ = err == EADDRINUSE ? Outcome::Existed : Outcome::Failed;
        return marker;
    }
    marker.fd_ = fd;
    marker.outcome_ = Outcome::Created;
    return marker;
}

}  // namespace ql5::instances
