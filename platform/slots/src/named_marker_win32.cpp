#include <windows.h>

#include <mutex>
#include <string>
#include <utility>

#include "platform/slots/named_marker.hpp"

namespace ql5::instances {

// The marker is a named mutex, owned by the thread that made it. The name has
// no namespace prefix, so it lives in the session's own namespace: copies
// under different log-ons never see each other's. Creation is atomic and
// reports ERROR_ALREADY_EXISTS when the name was there; the system drops the
// name when the last handle closes, also when the process is killed.

namespace {
std::mutex scopeMutex;
std::string& scopeText() {
    static std::string scope;
    return scope;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    }
    return wide;
}
}  // namespace

void NamedMarker::setScope(const std::string& scope) {
    std::lock_guard<std::mutex> lock(scopeMutex);
    scopeText() = scope;
}

NamedMarker::~NamedMarker() { close(); }

NamedMarker::NamedMarker(NamedMarker&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), outcome_(other.outcome_) {}

NamedMarker& NamedMarker::operator=(NamedMarker&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, nullptr);
        outcome_ = other.outcome_;
    }
    return *this;
}

bool NamedMarker::held() const { return handle_ != nullptr; }

void NamedMarker::close() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
}

NamedMarker NamedMarker::create(const std::string& name) {
    NamedMarker marker;
    std::string full;
    {
        std::lock_guard<std::mutex> lock(scopeMutex);
        // Backslashes are the only character a mutex name may not hold
        // (they separate namespaces): tests' scopes use '/'.
        if (!scopeText().empty()) full = scopeText() + "/";
    }
    full += name;
    const HANDLE h = CreateMutexW(nullptr, TRUE, widen(full).c_str());
    const DWORD err = GetLastError();
    if (h == nullptr) return marker;  // Failed: counts as taken
    if (err == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        marker.outcome_ = Outcome::Existed;
        return marker;
    }
    marker.handle_ = h;
    marker.outcome_ = Outcome::Created;
    return marker;
}

}  // namespace ql5::instances
