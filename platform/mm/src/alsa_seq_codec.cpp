#include "platform/mm/alsa_seq_codec.hpp"

#include <cstring>

namespace ql5::mm::alsa {
namespace {

// Longest wire form of a non-SysEx event (a short message is 3 bytes; some
// controller events decode to several messages).
constexpr std::size_t kDecodeRoom = 32;

// The coder needs room only for encoding one short message.
constexpr std::size_t kEncodeRoom = 16;

constexpr std::size_t kMaxPiece = 1 << 20;

}  // namespace

SeqEventDecoder::SeqEventDecoder() {
    if (snd_midi_event_new(kEncodeRoom, &coder_) < 0) {
        coder_ = nullptr;
        return;
    }
    // Every message decoded with its status byte: the receiving side frames
    // each piece on its own and must not depend on what came before.
    snd_midi_event_no_status(coder_, 1);
}

SeqEventDecoder::~SeqEventDecoder() {
    if (coder_ != nullptr) snd_midi_event_free(coder_);
}

std::size_t SeqEventDecoder::append(const snd_seq_event_t& event, std::vector<std::uint8_t>& out) {
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        if ((event.flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_VARIABLE) return 0;
        const auto* piece = static_cast<const std::uint8_t*>(event.data.ext.ptr);
        const std::size_t length = event.data.ext.len;
        // alsa-lib points into its own input buffer; anything larger than
        // that buffer can be no real piece.
        if (piece == nullptr || length == 0 || length > kMaxPiece) return 0;
        out.insert(out.end(), piece, piece + length);
        return length;
    }
    if (coder_ == nullptr) return 0;
    unsigned char bytes[kDecodeRoom];
    // The coder takes a non-const event but does not change it.
    snd_seq_event_t copy = event;
    const long got = snd_midi_event_decode(coder_, bytes, sizeof bytes, &copy);
    if (got <= 0) return 0;  // -ENOENT: not a MIDI event
    const auto length =
        static_cast<std::size_t>(got) > sizeof bytes ? sizeof bytes : static_cast<std::size_t>(got);
    out.insert(out.end(), bytes, bytes + length);
    return length;
}

SeqEventEncoder::SeqEventEncoder() {
    if (snd_midi_event_new(kEncodeRoom, &coder_) < 0) coder_ = nullptr;
}

SeqEventEncoder::~SeqEventEncoder() {
    if (coder_ != nullptr) snd_midi_event_free(coder_);
}

bool SeqEventEncoder::encodeShort(const std::uint8_t* bytes, std::size_t count,
                                  snd_seq_event_t& event) {
    if (coder_ == nullptr || bytes == nullptr || count == 0 || count > 3) return false;
    if (bytes[0] < 0x80 || bytes[0] == 0xF0 || bytes[0] == 0xF7) return false;
    snd_midi_event_reset_encode(coder_);
    snd_seq_ev_clear(&event);
    const long used = snd_midi_event_encode(coder_, bytes, static_cast<long>(count), &event);
    // Complete only when the coder produced an event from all the bytes.
    return used == static_cast<long>(count) && event.type != SND_SEQ_EVENT_NONE;
}

void makeSysExPieceEvent(const std::uint8_t* piece, std::size_t length, snd_seq_event_t& event) {
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_sysex(&event, static_cast<unsigned int>(length),
                         const_cast<std::uint8_t*>(piece));
    snd_seq_ev_set_direct(&event);
}

}  // namespace ql5::mm::alsa
