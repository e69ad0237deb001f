#pragma once
// Keeps a sender from getting further ahead of a slow link than a buffer in
// between can hold: a token bucket of `burst` bytes that refills at the
// link's rate. Used where the buffer drops what does not fit instead of
// making the sender wait (the kernel's sequencer-to-MIDI bridge).
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>

namespace ql5::mm {

class WirePacer {
  public:
    using Clock = std::chrono::steady_clock;

    WirePacer(std::size_t burst, double bytesPerSecond)
        : burst_(static_cast<double>(burst)),
          rate_(bytesPerSecond),
          tokens_(static_cast<double>(burst)),
          last_(Clock::now()) {}

    // Waits until `count` bytes may go out, then takes them. A count larger
    // than the burst waits for a full bucket and empties it.
    void take(std::size_t count) {
        const double wanted = std::min(static_cast<double>(count), burst_);
        refill();
        if (tokens_ < wanted) {
            const auto wait = std::chrono::duration<double>((wanted - tokens_) / rate_);
            std::this_thread::sleep_for(wait);
            refill();
            tokens_ = std::max(tokens_, wanted);  // rounding of the wait
        }
        tokens_ -= wanted;
    }

    double rate() const { return rate_; }

  private:
    void refill() {
        const auto now = Clock::now();
        tokens_ =
            std::min(burst_, tokens_ + std::chrono::duration<double>(now - last_).count() * rate_);
        last_ = now;
    }

    const double burst_;
    const double rate_;
    double tokens_;
    Clock::time_point last_;
};

}  // namespace ql5::mm
