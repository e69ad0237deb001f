#include "platform/sync/sync.hpp"

#include <atomic>
#include <system_error>
#include <thread>

namespace ql5::sync {

void AutoResetEvent::set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_one();
}

void AutoResetEvent::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

WaitResult AutoResetEvent::wait(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
        return WaitResult::TimedOut;
    }
    signalled_ = false;
    return WaitResult::Signalled;
}

bool AutoResetEvent::isSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

void sleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

std::atomic<int> threadStartsToFail{0};

bool threadStartRefused() {
    int left = threadStartsToFail.load();
    while (left > 0) {
        if (threadStartsToFail.compare_exchange_weak(left, left - 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void failThreadStartsForTest(int count) { threadStartsToFail.store(count); }

bool startThread(std::function<void()> fn) {
    if (threadStartRefused()) {
        return false;
    }
    try {
        std::thread(std::move(fn)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace ql5::sync
