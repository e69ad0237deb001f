#pragma once
// Test fixtures for the byte-stream drivers: a temporary folder with two
// FIFOs, a loop that copies everything from one FIFO into the other (the
// "device" that echoes what the host sends), and an InputStream that records
// what a driver pushes.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/mm/driver.hpp"

namespace ql5::test {

class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ql5-fifo-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline void makeFifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed: " + path);
}

// Copies every byte readable from `from` into `to` until destroyed. Opens its
// read end at once, so the host can open `from` for writing right after.
class FifoLoop {
  public:
    FifoLoop(const std::string& from, const std::string& to) {
        in_ = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // Read-write, so the open neither blocks nor fails before the host
        // has opened its reading end.
        out_ = ::open(to.c_str(), O_RDWR | O_CLOEXEC);
        if (in_ < 0 || out_ < 0) throw std::runtime_error("FifoLoop: open failed");
        copier_ = std::thread([this] { run(); });
    }
    ~FifoLoop() {
        stop_.store(true);
        copier_.join();
        ::close(in_);
        ::close(out_);
    }
    std::size_t copied() const { return copied_.load(); }

  private:
    void run() {
        std::uint8_t buffer[512];
        while (!stop_.load()) {
            pollfd watch{in_, POLLIN, 0};
            if (::poll(&watch, 1, 10) <= 0) continue;
            const ssize_t got = ::read(in_, buffer, sizeof buffer);
            if (got <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            ssize_t done = 0;
            while (done < got) {
                const ssize_t wrote = ::write(out_, buffer + done, got - done);
                if (wrote < 0) {
                    if (errno == EINTR) continue;
                    return;
                }
                done += wrote;
            }
            copied_ += static_cast<std::size_t>(got);
        }
    }

    int in_ = -1;
    int out_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> copied_{0};
    std::thread copier_;
};

// Records every byte a driver pushes, and how the bytes were split.
class RecordingStream final : public mm::InputStream {
  public:
    void pushBytes(const std::uint8_t* bytes, std::size_t count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.insert(bytes_.end(), bytes, bytes + count);
        ++pushes_;
        changed_.notify_all();
    }
    void pushLongError() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++longErrors_;
        changed_.notify_all();
    }
    void pushGone() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++gone_;
        changed_.notify_all();
    }
    // Waits until the driver said the device went away; how often it said so.
    int waitForGone(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return gone_ > 0; });
        return gone_;
    }

    // Waits until at least `count` bytes have arrived or the time is up.
    bool waitForBytes(std::size_t count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return bytes_.size() >= count; });
    }
    std::vector<std::uint8_t> bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    std::size_t pushes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pushes_;
    }
    int longErrors() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return longErrors_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> bytes_;
    std::size_t pushes_ = 0;
    int longErrors_ = 0;
    int gone_ = 0;
};

// A write-block-sized SysEx message: F0, 4,698 data bytes (all below 0x80),
// F7.
inline std::vector<std::uint8_t> writeBlockSizedSysEx(std::size_t total = 4700) {
    std::vector<std::uint8_t> message(total);
    message.front() = 0xF0;
    for (std::size_t i = 1; i + 1 < total; ++i)
        message[i] = static_cast<std::uint8_t>((i * 37) & 0x7F);
    message.back() = 0xF7;
    return message;
}

}  // namespace ql5::test
