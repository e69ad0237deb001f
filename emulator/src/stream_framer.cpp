#include "emulator/stream_framer.hpp"

namespace ql5::emulator {

std::size_t StreamFramer::shortLength(std::uint8_t status) {
    if (status == 0xF6 || status >= 0xF8) return 1;
    if (status == 0xF1 || status == 0xF3) return 2;
    if ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) return 2;
    if (status == 0xF2 || status < 0xF0) return 3;
    return 1;  // F4, F5, stray F7
}

void StreamFramer::reset() {
    sysex_.clear();
    short_.clear();
    inSysEx_ = false;
    overflow_ = false;
}

void StreamFramer::emitShort() {
    sink_(short_.data(), short_.size());
    short_.clear();
}

void StreamFramer::feed(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        if (b >= 0xF8) {  // real-time: anywhere, on its own
            sink_(&b, 1);
            continue;
        }
        if (inSysEx_) {
            if (b < 0x80 || b == 0xF7) {
                if (!overflow_) {
                    if (sysex_.size() < maxSysEx_) {
                        sysex_.push_back(b);
                    } else {
                        overflow_ = true;
                        dropped_ += sysex_.size();
                        sysex_.clear();
                    }
                }
                if (overflow_) ++dropped_;
                if (b == 0xF7) {
                    if (!overflow_) sink_(sysex_.data(), sysex_.size());
                    sysex_.clear();
                    inSysEx_ = false;
                    overflow_ = false;
                }
                continue;
            }
            // Another status byte cuts the message short.
            if (!overflow_) sink_(sysex_.data(), sysex_.size());
            sysex_.clear();
            inSysEx_ = false;
            overflow_ = false;
        }
        if (b == 0xF0) {
            short_.clear();
            inSysEx_ = true;
            sysex_.push_back(b);
            continue;
        }
        if (b >= 0x80) {
            short_.assign(1, b);
            if (shortLength(b) == 1) emitShort();
            continue;
        }
        if (short_.empty()) {
            ++dropped_;  // data byte with no status
            continue;
        }
        short_.push_back(b);
        if (short_.size() == shortLength(short_[0])) {
            const std::uint8_t status = short_[0];
            emitShort();
            if (status < 0xF0) short_.assign(1, status);  // running status
        }
    }
}

}  // namespace ql5::emulator
