#include "platform/mm/sysex_joiner.hpp"

namespace ql5::mm {

namespace {

constexpr std::uint8_t kSysExStart = 0xF0;
constexpr std::uint8_t kSysExEnd = 0xF7;
constexpr std::uint8_t kFirstRealTime = 0xF8;

bool isStatus(std::uint8_t byte) { return byte >= 0x80; }

std::uint8_t channelDataBytes(std::uint8_t status) {
    const std::uint8_t kind = status & 0xF0;
    // Program change and channel pressure carry one data byte; every other
    // channel message two.
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
}

}  // namespace

void SysExJoiner::attach(std::uint8_t* buffer, std::size_t capacity) {
    if (buffer_ != nullptr || buffer == nullptr || capacity == 0) {
        return;
    }
    buffer_ = buffer;
    capacity_ = capacity;
    recorded_ = 0;
}

std::size_t SysExJoiner::release() {
    const std::size_t held = recorded_;
    buffer_ = nullptr;
    capacity_ = 0;
    recorded_ = 0;
    if (sysex_ == SysExState::Filling) {
        // The next buffer would otherwise start in the middle of a message.
        sysex_ = SysExState::Dropping;
    }
    return held;
}

void SysExJoiner::reset() {
    buffer_ = nullptr;
    capacity_ = 0;
    recorded_ = 0;
    sysex_ = SysExState::Idle;
    status_ = 0;
    needed_ = 0;
    have_ = 0;
    running_ = false;
}

bool SysExJoiner::emitBuffer(BufferEnd end, Event& event) {
    event.kind = EventKind::BufferDone;
    event.end = end;
    event.bytesRecorded = recorded_;
    buffer_ = nullptr;
    capacity_ = 0;
    recorded_ = 0;
    return true;
}

// Handles one byte while a SysEx message is in progress. Returns true when
// an event was produced; consumed tells whether the byte was used up.
bool SysExJoiner::sysexByte(std::uint8_t byte, Event& event, bool& consumed) {
    consumed = true;
    if (!isStatus(byte) || byte == kSysExEnd) {
        if (sysex_ == SysExState::Filling && buffer_ == nullptr) {
            // No buffer to continue into: the rest of the message is lost.
            sysex_ = SysExState::Dropping;
        }
        if (sysex_ == SysExState::Dropping) {
            ++dropped_;
            if (byte == kSysExEnd) {
                sysex_ = SysExState::Idle;
            }
            return false;
        }
        buffer_[recorded_++] = byte;
        if (byte == kSysExEnd) {
            sysex_ = SysExState::Idle;
            return emitBuffer(BufferEnd::Complete, event);
        }
        if (recorded_ == capacity_) {
            return emitBuffer(BufferEnd::Full, event);
        }
        return false;
    }
    // A status byte (or F0) ends the message early. Hand back what was
    // gathered; the byte itself is framed afresh by the next call.
    const bool wasFilling = sysex_ == SysExState::Filling;
    sysex_ = SysExState::Idle;
    if (wasFilling && buffer_ != nullptr && recorded_ > 0) {
        consumed = false;
        return emitBuffer(BufferEnd::Interrupted, event);
    }
    consumed = false;
    return false;
}

bool SysExJoiner::shortByte(std::uint8_t byte, Event& event) {
    if (isStatus(byte)) {
        have_ = 0;
        if (byte < 0xF0) {
            status_ = byte;
            needed_ = channelDataBytes(byte);
            running_ = true;
            return false;
        }
        running_ = false;
        status_ = 0;
        needed_ = 0;
        switch (byte) {
            case 0xF1:  // time code quarter frame
            case 0xF3:  // song select
                status_ = byte;
                needed_ = 1;
                return false;
            case 0xF2:  // song position
                status_ = byte;
                needed_ = 2;
                return false;
            case 0xF6:  // tune request
                event.kind = EventKind::ShortMessage;
                event.message = byte;
                event.length = 1;
                return true;
            default:  // F4, F5 (undefined) and a stray F7
                return false;
        }
    }
    if (status_ == 0) {
        ++dropped_;
        return false;
    }
    data_[have_++] = byte;
    if (have_ < needed_) {
        return false;
    }
    event.kind = EventKind::ShortMessage;
    event.message = status_ | (static_cast<std::uint32_t>(data_[0]) << 8);
    if (needed_ == 2) {
        event.message |= static_cast<std::uint32_t>(data_[1]) << 16;
    }
    event.length = static_cast<std::uint8_t>(1 + needed_);
    have_ = 0;
    if (!running_) {
        status_ = 0;
    }
    return true;
}

std::size_t SysExJoiner::feed(const std::uint8_t* bytes, std::size_t count, Event& event) {
    event = Event{};
    if (bytes == nullptr) {
        return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte >= kFirstRealTime) {
            event.kind = EventKind::ShortMessage;
            event.message = byte;
            event.length = 1;
            return i + 1;
        }
        if (sysex_ != SysExState::Idle) {
            bool consumed = true;
            const bool fired = sysexByte(byte, event, consumed);
            if (fired) {
                return consumed ? i + 1 : i;
            }
            if (consumed) {
                continue;
            }
            // Not consumed and no event: the message ended without anything
            // to hand back; frame the byte below as if outside SysEx.
        }
        if (byte == kSysExStart) {
            status_ = 0;
            needed_ = 0;
            have_ = 0;
            running_ = false;
            if (buffer_ == nullptr) {
                sysex_ = SysExState::Dropping;
                ++dropped_;
                continue;
            }
            sysex_ = SysExState::Filling;
            buffer_[recorded_++] = byte;
            if (recorded_ == capacity_) {
                emitBuffer(BufferEnd::Full, event);
                return i + 1;
            }
            continue;
        }
        if (shortByte(byte, event)) {
            return i + 1;
        }
    }
    return count;
}

}  // namespace ql5::mm
