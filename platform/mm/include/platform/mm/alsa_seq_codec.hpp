#pragma once
// Turning MIDI bytes into ALSA sequencer events and back, without a
// sequencer: what the ALSA driver and the sequencer client helper share.
//
// SysEx goes out in events of at most kSeqSysExChunk bytes. The kernel's
// sequencer-to-MIDI bridge copies an event into the rawmidi buffer (4 KiB) in
// one go and drops what does not fit, telling the sender nothing; a 4,700-byte
// write block sent as one event would arrive cut. Small events fit whole.
#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ql5::mm::alsa {

inline constexpr std::size_t kSeqSysExChunk = 256;

// Bytes of one received event appended to `out`: a SYSEX event's piece as it
// is, any other MIDI event as its complete wire form (status byte always
// written). Non-MIDI events (port announcements, echoes, queue control) add
// nothing. Returns the number of bytes appended.
class SeqEventDecoder {
  public:
    SeqEventDecoder();
    ~SeqEventDecoder();
    SeqEventDecoder(const SeqEventDecoder&) = delete;
    SeqEventDecoder& operator=(const SeqEventDecoder&) = delete;

    bool valid() const { return coder_ != nullptr; }
    std::size_t append(const snd_seq_event_t& event, std::vector<std::uint8_t>& out);

  private:
    snd_midi_event_t* coder_ = nullptr;
};

// Encodes a complete short message (1-3 bytes with its status byte) as one
// event. False when the bytes are no complete short message.
class SeqEventEncoder {
  public:
    SeqEventEncoder();
    ~SeqEventEncoder();
    SeqEventEncoder(const SeqEventEncoder&) = delete;
    SeqEventEncoder& operator=(const SeqEventEncoder&) = delete;

    bool valid() const { return coder_ != nullptr; }
    bool encodeShort(const std::uint8_t* bytes, std::size_t count, snd_seq_event_t& event);

  private:
    snd_midi_event_t* coder_ = nullptr;
};

// The n-th SysEx piece of a message of `count` bytes: its offset and length.
// Pieces cover the message in order, each at most kSeqSysExChunk bytes.
inline std::size_t sysExPieceCount(std::size_t count) {
    return (count + kSeqSysExChunk - 1) / kSeqSysExChunk;
}

// A SYSEX event for one piece, sent directly (no queue), its bytes pointing
// into the caller's message (they must stay valid until the event is sent).
void makeSysExPieceEvent(const std::uint8_t* piece, std::size_t length, snd_seq_event_t& event);

}  // namespace ql5::mm::alsa
