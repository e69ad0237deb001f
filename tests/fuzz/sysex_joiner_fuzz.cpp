// Arbitrary bytes, in arbitrary splits, into the SysEx joiner with small
// buffers. Each buffer is its own heap block of exactly its capacity, so a
// write past it is caught by AddressSanitizer. Checked on every event:
//   - a handed-back buffer holds 1..capacity bytes, and exactly capacity
//     when it ends Full;
//   - no real-time byte (F8-FF) is ever in a buffer;
//   - a buffer starts with F0 unless it continues a message whose previous
//     buffer ended Full; F0 never appears later in a buffer; inside, only
//     data bytes, and an F7 only as the last byte of a Complete buffer;
//   - short messages are 1-3 bytes, a status byte first, then data bytes;
//   - feed() always makes progress.
// When a buffer is always attached, the buffers' bytes joined, the short
// messages and the count of dropped bytes must equal what a plain reading of
// the stream finds (readStream below): no SysEx byte may be lost.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/mm/sysex_joiner.hpp"

namespace {

using ql5::mm::SysExJoiner;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) fail(what);
}

bool isData(std::uint8_t byte) { return byte < 0x80; }

// A plain reading of the stream, one byte at a time, as a receiver with
// buffers to spare frames it. SysEx: F0 starts a message (ending one in
// progress), data bytes and the closing F7 belong to it, real-time bytes are
// not part of it, any other status byte ends it and is then read on its own.
// Short messages: channel status runs on; F1/F3 take one data byte, F2 two;
// F4, F5, F6, F7 and F0 cancel running status; data bytes with no status are
// dropped.
struct Model {
    std::vector<std::uint8_t> sysex;
    std::vector<std::uint32_t> shorts;
    std::uint64_t dropped = 0;
};

Model readStream(const std::vector<std::uint8_t>& stream) {
    Model model;
    bool inside = false;
    std::uint8_t status = 0;
    std::size_t needed = 0;
    std::size_t have = 0;
    bool running = false;
    std::uint32_t data[2] = {};
    for (const std::uint8_t byte : stream) {
        if (byte >= 0xF8) {
            model.shorts.push_back(byte);
            continue;
        }
        if (inside) {
            if (isData(byte) || byte == 0xF7) {
                model.sysex.push_back(byte);
                if (byte == 0xF7) inside = false;
                continue;
            }
            inside = false;  // ended early; the byte is read below
        }
        if (byte == 0xF0) {
            inside = true;
            model.sysex.push_back(byte);
            status = 0;
            needed = 0;
            have = 0;
            running = false;
            continue;
        }
        if (!isData(byte)) {
            have = 0;
            if (byte < 0xF0) {
                status = byte;
                needed = (byte & 0xF0) == 0xC0 || (byte & 0xF0) == 0xD0 ? 1 : 2;
                running = true;
                continue;
            }
            running = false;
            status = 0;
            needed = 0;
            if (byte == 0xF1 || byte == 0xF3) {
                status = byte;
                needed = 1;
            } else if (byte == 0xF2) {
                status = byte;
                needed = 2;
            } else if (byte == 0xF6) {
                model.shorts.push_back(byte);
            }
            continue;
        }
        if (status == 0) {
            ++model.dropped;
            continue;
        }
        data[have++] = byte;
        if (have < needed) continue;
        std::uint32_t message = status | (data[0] << 8);
        if (needed == 2) message |= data[1] << 16;
        model.shorts.push_back(message);
        have = 0;
        if (!running) status = 0;
    }
    return model;
}

std::size_t shortLength(std::uint8_t status) {
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0) || status == 0xF2) return 3;
    if (status < 0xE0 || status == 0xF1 || status == 0xF3) return 2;
    return 1;
}

class Harness {
  public:
    Harness(bool alwaysAttach, std::size_t capacityLimit)
        : alwaysAttach_(alwaysAttach), capacityLimit_(capacityLimit) {}

    void feed(const std::vector<std::uint8_t>& bytes, std::uint8_t control) {
        stream_.insert(stream_.end(), bytes.begin(), bytes.end());
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (!joiner_.attached() && (alwaysAttach_ || (control & 1) != 0)) attachNew(control);
            SysExJoiner::Event event;
            const std::size_t used = joiner_.feed(bytes.data() + done, bytes.size() - done, event);
            check(used <= bytes.size() - done, "feed consumed more than it was given");
            check(used > 0 || event.kind != SysExJoiner::EventKind::None, "feed made no progress");
            done += used;
            handle(event);
            control = static_cast<std::uint8_t>(control * 33 + 7);
        }
        if (!alwaysAttach_) {
            if (control == 0xFE) release();
            if (control == 0xFF) reset();
        }
    }

    void finish() {
        if (!alwaysAttach_) return;
        if (joiner_.attached()) {
            joined_.insert(joined_.end(), buffer_.get(), buffer_.get() + joiner_.recorded());
        }
        const Model model = readStream(stream_);
        check(joined_ == model.sysex, "joined buffers differ from the stream's SysEx bytes");
        check(shorts_ == model.shorts, "short messages differ from the stream's");
        check(joiner_.droppedBytes() == model.dropped,
              "dropped bytes other than data bytes without a status");
    }

  private:
    void attachNew(std::uint8_t control) {
        capacity_ = 1 + (control + attachCount_++) % capacityLimit_;
        buffer_ = std::make_unique<std::uint8_t[]>(capacity_);
        joiner_.attach(buffer_.get(), capacity_);
        check(joiner_.attached() && joiner_.recorded() == 0, "attach did not take");
    }

    void release() {
        const std::size_t held = joiner_.release();
        check(held <= capacity_, "release reports more than the capacity");
        buffer_.reset();
        continuing_ = false;
    }

    void reset() {
        joiner_.reset();
        check(!joiner_.attached() && !joiner_.inSysEx(), "reset left state behind");
        buffer_.reset();
        continuing_ = false;
    }

    void handle(const SysExJoiner::Event& event) {
        using Kind = SysExJoiner::EventKind;
        using End = SysExJoiner::BufferEnd;
        if (event.kind == Kind::ShortMessage) {
            const auto status = static_cast<std::uint8_t>(event.message & 0xFF);
            check(status >= 0x80 && status != 0xF0 && status != 0xF7, "short message status");
            check(event.length >= 1 && event.length <= 3, "short message length");
            check(event.length == shortLength(status), "short message length for its status");
            for (std::size_t i = 1; i < event.length; ++i) {
                check(isData((event.message >> (8 * i)) & 0xFF), "short message data byte");
            }
            check((event.message >> (8 * event.length)) == 0, "bytes beyond a short message");
            shorts_.push_back(event.message);
            return;
        }
        if (event.kind != Kind::BufferDone) return;
        check(!joiner_.attached(), "buffer handed back but still attached");
        check(buffer_ != nullptr, "a buffer came back that was never attached");
        const std::size_t n = event.bytesRecorded;
        check(n >= 1 && n <= capacity_, "recorded count outside 1..capacity");
        const std::uint8_t* bytes = buffer_.get();
        for (std::size_t i = 0; i < n; ++i) check(bytes[i] < 0xF8, "real-time byte in a buffer");
        check(bytes[0] == 0xF0 || continuing_,
              "a buffer that starts no message and continues none");
        for (std::size_t i = 1; i + 1 < n; ++i)
            check(isData(bytes[i]), "status byte inside a buffer");
        if (n > 1) {
            check(isData(bytes[n - 1]) || (bytes[n - 1] == 0xF7 && event.end == End::Complete),
                  "last byte of a buffer");
        }
        if (bytes[0] != 0xF0) {
            check(isData(bytes[0]) || (bytes[0] == 0xF7 && n == 1 && event.end == End::Complete),
                  "first byte of a continuing buffer");
        }
        switch (event.end) {
            case End::Complete:
                check(bytes[n - 1] == 0xF7, "Complete buffer without its F7");
                break;
            case End::Full:
                check(n == capacity_, "Full buffer that is not full");
                break;
            case End::Interrupted:
                check(bytes[n - 1] != 0xF7, "Interrupted buffer that holds the F7");
                break;
        }
        continuing_ = event.end == End::Full;
        if (alwaysAttach_) joined_.insert(joined_.end(), bytes, bytes + n);
        buffer_.reset();
    }

    const bool alwaysAttach_;
    const std::size_t capacityLimit_;
    SysExJoiner joiner_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t attachCount_ = 0;
    bool continuing_ = false;
    std::vector<std::uint8_t> stream_;
    std::vector<std::uint8_t> joined_;
    std::vector<std::uint32_t> shorts_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool alwaysAttach = input.ConsumeBool();
    const std::size_t capacityLimit = input.ConsumeIntegralInRange<std::size_t>(1, 64);
    Harness harness(alwaysAttach, capacityLimit);
    while (input.remaining_bytes() > 0) {
        const std::size_t chunk = input.ConsumeIntegralInRange<std::size_t>(0, 300);
        const std::uint8_t control = input.ConsumeIntegral<std::uint8_t>();
        const std::vector<std::uint8_t> bytes = input.ConsumeBytes<std::uint8_t>(chunk);
        harness.feed(bytes, control);
    }
    harness.finish();
    return 0;
}
