#include "emulator/transcript.hpp"

#include <cstdio>

namespace ql5::emulator {

Transcript::Transcript(std::size_t maxBytesPerEntry, std::size_t maxEntries)
    : origin_(std::chrono::steady_clock::now()),
      maxBytes_(maxBytesPerEntry),
      maxEntries_(maxEntries) {}

void Transcript::keep(TranscriptEntry e) {
    if (maxEntries_ != 0 && entries_.size() >= maxEntries_) {
        entries_.pop_front();
        ++dropped_;
    }
    entries_.push_back(std::move(e));
}

void Transcript::add(Direction direction, const std::uint8_t* bytes, std::size_t count,
                     std::string note) {
    TranscriptEntry e;
    e.time = std::chrono::steady_clock::now();
    e.direction = direction;
    e.kind = classify({bytes, count});
    e.length = count;
    e.bytes.assign(bytes, bytes + count);
    e.note = std::move(note);
    append(std::move(e));
}

void Transcript::append(TranscriptEntry e) {
    std::shared_ptr<Listener> listener;
    {
        std::lock_guard lock(mutex_);
        if (!enabled_) return;
        listener = listener_;
        if (maxBytes_ != 0 && e.bytes.size() > maxBytes_) {
            // The listener still sees the whole message; only what is kept
            // is cut.
            TranscriptEntry kept = e;
            kept.bytes.resize(maxBytes_);
            kept.bytes.shrink_to_fit();
            keep(std::move(kept));
        } else if (listener && *listener) {
            keep(e);
        } else {
            keep(std::move(e));
            return;
        }
    }
    if (listener && *listener) (*listener)(e);
}

void Transcript::setListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::make_shared<Listener>(std::move(listener));
}

void Transcript::addEvent(std::string note) {
    TranscriptEntry e;
    e.time = std::chrono::steady_clock::now();
    e.direction = Direction::Event;
    e.note = std::move(note);
    append(std::move(e));
}

std::vector<TranscriptEntry> Transcript::entries() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

std::uint64_t Transcript::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::size_t Transcript::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void Transcript::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    dropped_ = 0;
    origin_ = std::chrono::steady_clock::now();
}

void Transcript::setEnabled(bool on) {
    std::lock_guard lock(mutex_);
    enabled_ = on;
}

void Transcript::setMaxBytesPerEntry(std::size_t n) {
    std::lock_guard lock(mutex_);
    maxBytes_ = n;
}

std::chrono::steady_clock::time_point Transcript::origin() const {
    std::lock_guard lock(mutex_);
    return origin_;
}

std::string Transcript::format(const TranscriptEntry& e,
                               std::chrono::steady_clock::time_point origin,
                               std::size_t maxHexBytes) {
    const double ms = std::chrono::duration<double, std::milli>(e.time - origin).count();
    char head[96];
    const char* dir = e.direction == Direction::HostToUnit   ? "host>unit"
                      : e.direction == Direction::UnitToHost ? "unit>host"
                                                             : "event    ";
    std::string line;
    if (e.direction == Direction::Event) {
        std::snprintf(head, sizeof head, "+%10.3f ms  %s  ", ms, dir);
        line = head;
        line += e.note;
        return line;
    }
    const std::string kind(kindName(e.kind));
    std::snprintf(head, sizeof head, "+%10.3f ms  %s  %-16s %6zu B ", ms, dir, kind.c_str(),
                  e.length);
    line = head;
    const std::size_t n = e.bytes.size();
    auto hex = [&line, &e](std::size_t i) {
        char b[4];
        std::snprintf(b, sizeof b, " %02X", e.bytes[i]);
        line += b;
    };
    if (maxHexBytes == 0 || n <= maxHexBytes) {
        for (std::size_t i = 0; i < n; ++i) hex(i);
    } else {
        const std::size_t tail = maxHexBytes / 3;
        for (std::size_t i = 0; i < maxHexBytes - tail; ++i) hex(i);
        line += " ...";
        for (std::size_t i = n - tail; i < n; ++i) hex(i);
    }
    if (n < e.length) line += " (cut)";
    if (!e.note.empty()) {
        line += "  [";
        line += e.note;
        line += ']';
    }
    return line;
}

}  // namespace ql5::emulator
