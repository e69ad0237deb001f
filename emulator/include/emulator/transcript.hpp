#pragma once
// Every message that crossed the unit's ports, both ways, and the events
// around them (plugged, unplugged, a reply lost to a fault). Appended by the
// unit's threads and by the host's sending thread; read by tests and by the
// standalone program's trace at any time.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/messages.hpp"

namespace ql5::emulator {

enum class Direction {
    HostToUnit,
    UnitToHost,
    Event,  // no bytes on the wire; note says what happened
};

struct TranscriptEntry {
    std::chrono::steady_clock::time_point time;
    Direction direction = Direction::Event;
    MessageKind kind = MessageKind::Malformed;
    Bytes bytes;             // possibly cut to the transcript's byte limit
    std::size_t length = 0;  // the message's real length
    std::string note;        // fault applied, event name, ...
};

class Transcript {
  public:
    // The entries kept by default: the tail of a session, enough to see how
    // an update ended. A unit left plugged in for many updates must not
    // grow without bound (a whole update is about 7,700 entries, 18 MB with
    // whole blocks).
    static constexpr std::size_t kDefaultMaxEntries = 1024;

    // maxBytesPerEntry = 0 keeps every byte; otherwise longer messages keep
    // only their first bytes (length still tells the real size). Only the
    // last maxEntries entries are kept (0 keeps them all: for a caller that
    // bounds the session itself); the listener still sees every one.
    explicit Transcript(std::size_t maxBytesPerEntry = 0,
                        std::size_t maxEntries = kDefaultMaxEntries);

    void add(Direction direction, const std::uint8_t* bytes, std::size_t count,
             std::string note = {});
    void addEvent(std::string note);

    // Called with every new entry, after it was added, on the thread that
    // added it (the standalone program prints from here). Must not call
    // back into the transcript.
    using Listener = std::function<void(const TranscriptEntry&)>;
    void setListener(Listener listener);

    // The kept entries, oldest first.
    std::vector<TranscriptEntry> entries() const;
    std::size_t size() const;
    // Entries dropped from the front to keep the bound, since the start or
    // the last clear().
    std::uint64_t dropped() const;
    void clear();
    void setEnabled(bool on);
    void setMaxBytesPerEntry(std::size_t n);

    // The moment the transcript started (or was cleared): the zero of the
    // times that format() prints.
    std::chrono::steady_clock::time_point origin() const;

    // One line: "+   12.345 ms  host>unit  write-block    4700 B  F0 52 00 ... F7  [note]".
    // Hex is limited to maxHexBytes (the first half and the last bytes, with
    // "..." between) so a 4,700-byte block stays readable.
    static std::string format(const TranscriptEntry& e,
                              std::chrono::steady_clock::time_point origin,
                              std::size_t maxHexBytes = 24);

  private:
    mutable std::mutex mutex_;
    std::deque<TranscriptEntry> entries_;
    std::chrono::steady_clock::time_point origin_;
    std::size_t maxBytes_;
    std::size_t maxEntries_;
    std::uint64_t dropped_ = 0;
    bool enabled_ = true;
    std::shared_ptr<Listener> listener_;

    void append(TranscriptEntry e);
    void keep(TranscriptEntry e);  // with mutex_ held
};

}  // namespace ql5::emulator
