#pragma once
// Frames a raw MIDI byte stream the way a MIDI input driver hands it to an
// application: System Exclusive messages go into caller-supplied buffers,
// everything else comes out as short messages.
//
// The class is pure: no threads, no locks, no allocation, no platform types.
// It keeps only a little state between calls, so bytes may arrive in any
// split (one at a time, a message per call, several messages per call).
//
// SysEx framing
//   - A message runs from F0 to F7. Its bytes are written into the attached
//     buffer, F0 and F7 included.
//   - When the F7 is written the buffer is handed back (BufferEnd::Complete).
//   - When the buffer becomes full before the F7, it is handed back at once
//     (BufferEnd::Full); the rest of the message continues into the next
//     buffer the caller attaches.
//   - Real-time bytes (F8-FF) inside a message are not part of it: they come
//     out as one-byte short messages and the message goes on.
//   - A new F0 before the F7, or a status byte (80-EF, F1-F6), ends the
//     message in progress: its buffer is handed back as it is
//     (BufferEnd::Interrupted) and the byte is then handled on its own (an F0
//     starts the next message in the next buffer).
//   - Bytes of a message that find no buffer attached are lost, and so is the
//     rest of that message (a piece with a hole in it would be corrupt data).
//     They are counted in droppedBytes().
//
// Short messages (outside SysEx)
//   - Channel messages (80-EF) with running status: data bytes after a
//     complete message reuse the last channel status.
//   - System common (F1, F2, F3, F6) cancels running status; F4, F5 and a
//     stray F7 are ignored and cancel it too.
//   - Data bytes with no status to belong to are dropped.
//   - Packed as status | data1 << 8 | data2 << 16, the form MIM_DATA uses.
//
// feed() stops at the first event, so the caller can hand a buffer back and
// attach the next one before any further byte is framed:
//
//     std::size_t done = 0;
//     while (done < count) {
//         if (!joiner.attached() && haveFreeBuffer()) joiner.attach(buf, cap);
//         SysExJoiner::Event ev;
//         done += joiner.feed(bytes + done, count - done, ev);
//         handle(ev);  // BufferDone: buffer holds ev.bytesRecorded bytes
//     }
#include <cstddef>
#include <cstdint>

namespace ql5::mm {

class SysExJoiner {
  public:
    enum class EventKind {
        None,          // every byte given was consumed without an event
        BufferDone,    // the attached buffer is handed back (and detached)
        ShortMessage,  // a complete short message or a real-time byte
    };

    enum class BufferEnd {
        Complete,     // the message's F7 is the buffer's last byte
        Full,         // the buffer is full; the message goes on
        Interrupted,  // an F0 or a status byte ended the message early
    };

    struct Event {
        EventKind kind = EventKind::None;
        BufferEnd end = BufferEnd::Complete;  // BufferDone only
        std::size_t bytesRecorded = 0;        // BufferDone only, never 0
        std::uint32_t message = 0;            // ShortMessage only
        std::uint8_t length = 0;              // ShortMessage only: 1 to 3
    };

    // Attaches the buffer that the next SysEx bytes go into. Ignored while a
    // buffer is attached or when capacity is 0. The buffer must stay valid
    // until it is handed back, released or reset().
    void attach(std::uint8_t* buffer, std::size_t capacity);
    bool attached() const { return buffer_ != nullptr; }
    // Bytes written into the attached buffer so far (0 when none attached).
    std::size_t recorded() const { return recorded_; }

    // Detaches the buffer (as a driver does when input stops) and returns how
    // many bytes it holds. A message in progress is abandoned: its remaining
    // bytes are discarded up to its end.
    std::size_t release();

    // Forgets everything: buffer (not handed back), SysEx in progress and
    // running status. The dropped-byte count is kept.
    void reset();

    // Consumes bytes up to and including the first one that completes an
    // event, which it stores in event (kind None when all were consumed
    // without one). Returns the number of bytes consumed; when a status byte
    // or an F0 interrupts a message, that byte is not consumed (it is handled
    // by the next call), so the result may be 0 only when count is 0.
    std::size_t feed(const std::uint8_t* bytes, std::size_t count, Event& event);

    bool inSysEx() const { return sysex_ != SysExState::Idle; }
    std::uint64_t droppedBytes() const { return dropped_; }

  private:
    enum class SysExState { Idle, Filling, Dropping };

    bool sysexByte(std::uint8_t byte, Event& event, bool& consumed);
    bool shortByte(std::uint8_t byte, Event& event);
    bool emitBuffer(BufferEnd end, Event& event);

    std::uint8_t* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t recorded_ = 0;
    SysExState sysex_ = SysExState::Idle;

    std::uint8_t status_ = 0;    // running status (channel) or pending system common
    std::uint8_t needed_ = 0;    // data bytes that status_ takes
    std::uint8_t have_ = 0;      // data bytes collected so far
    std::uint8_t data_[2] = {};  // the collected data bytes
    bool running_ = false;       // status_ may be reused (channel messages only)
    std::uint64_t dropped_ = 0;
};

}  // namespace ql5::mm
