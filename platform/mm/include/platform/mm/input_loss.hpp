#pragma once
// Where a kernel rawmidi input buffer overruns, the bytes that did not fit
// are dropped and only counted; the hole sits after everything that was in
// the buffer then, which is still to be read. A driver that sees the count
// grow knows the hole's place only within a span of stream positions. Every
// SysEx message that is open anywhere in that span may have lost bytes and
// is reported malformed while it is still open (before its F7 is passed on),
// so the core drops it instead of handing on a message with a hole in it.
// Messages outside the span are passed on untouched.
#include <cstddef>
#include <cstdint>

#include "platform/mm/sysex_tracker.hpp"

namespace ql5::mm::detail {

class InputLossReporter {
  public:
    // Bytes delivered so far: the stream position of the next byte.
    std::uint64_t position() const { return position_; }

    // The hole lies somewhere in [from, to] (stream positions).
    void lostWithin(std::uint64_t from, std::uint64_t to) {
        if (from > to) return;
        if (!active_) {
            from_ = from;
            to_ = to;
            checkedFrom_ = false;
            active_ = true;
        } else {
            if (from < from_) from_ = from;
            if (to > to_) to_ = to;
        }
        if (from_ < position_) from_ = position_;
        if (to_ < from_) to_ = from_;
    }

    // Passes the bytes on through push(bytes, count), split where a report
    // is due; report() marks the message in progress malformed.
    template <typename Push, typename Report>
    void deliver(const std::uint8_t* bytes, std::size_t count, Push&& push, Report&& report) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t at = position_ + i;
            const bool inSpan = active_ && at >= from_ && at <= to_;
            if (inSpan && !checkedFrom_) {
                checkedFrom_ = true;
                if (tracker_.inSysEx()) {
                    flush(bytes, start, i, push);
                    report();
                }
            }
            tracker_.observe(bytes + i, 1);
            if (inSpan && bytes[i] == 0xF0) {
                flush(bytes, start, i + 1, push);
                report();
            }
            if (active_ && at >= to_) active_ = false;
        }
        flush(bytes, start, count, push);
        position_ += count;
    }

  private:
    template <typename Push>
    static void flush(const std::uint8_t* bytes, std::size_t& start, std::size_t end, Push& push) {
        if (end > start) push(bytes + start, end - start);
        start = end;
    }

    SysExTracker tracker_;
    std::uint64_t position_ = 0;
    std::uint64_t from_ = 0;
    std::uint64_t to_ = 0;
    bool active_ = false;
    bool checkedFrom_ = false;
};

}  // namespace ql5::mm::detail
