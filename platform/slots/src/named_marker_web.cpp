#include "platform/slots/named_marker.hpp"

#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace ql5::instances {

// In a web page the program is one page's process with no names shared
// with other pages: markers are names held within it. Two tabs are kept
// from driving one unit by the page itself (a Web Lock, see ui/web), not
// here.

namespace {
struct Names {
    std::mutex mutex;
    std::string scope;
    std::set<std::string> held;
    std::map<int, std::string> byMarker;
    int next = 0;
};
Names& names() {
    static Names n;
    return n;
}
}  // namespace

void NamedMarker::setScope(const std::string& scope) {
    std::lock_guard<std::mutex> lock(names().mutex);
    names().scope = scope;
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
    if (fd_ < 0) return;
    std::lock_guard<std::mutex> lock(names().mutex);
    auto it = names().byMarker.find(fd_);
    if (it != names().byMarker.end()) {
        names().held.erase(it->second);
        names().byMarker.erase(it);
    }
    fd_ = -1;
}

NamedMarker NamedMarker::create(const std::string& name) {
    NamedMarker marker;
    std::lock_guard<std::mutex> lock(names().mutex);
    const std::string full = names().scope.empty() ? name : names().scope + "/" + name;
    if (!names().held.insert(full).second) {
        marker.outcome_ = Outcome::Existed;
        return marker;
    }
    marker.fd_ = ++names().next;
    names().byMarker[marker.fd_] = full;
    marker.outcome_ = Outcome::Created;
    return marker;
}

}  // namespace ql5::instances
