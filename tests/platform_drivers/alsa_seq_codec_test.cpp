// The sequencer event coding runs without a kernel sequencer: these tests run
// everywhere alsa-lib is installed.
#include "platform/mm/alsa_seq_codec.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "fifo_pair.hpp"

namespace ql5::mm::alsa {
namespace {

std::vector<std::uint8_t> roundTrip(const std::vector<std::uint8_t>& message) {
    SeqEventEncoder encoder;
    SeqEventDecoder decoder;
    EXPECT_TRUE(encoder.valid());
    EXPECT_TRUE(decoder.valid());
    snd_seq_event_t event;
    EXPECT_TRUE(encoder.encodeShort(message.data(), message.size(), event));
    std::vector<std::uint8_t> out;
    const std::size_t appended = decoder.append(event, out);
    EXPECT_EQ(appended, out.size());
    return out;
}

TEST(AlsaSeqCodec, ShortMessagesComeBackAsTheyWent) {
    const std::vector<std::vector<std::uint8_t>> messages = {
        {0x90, 0x3C, 0x64},  // note on
        {0x80, 0x3C, 0x40},  // note off
        {0xA2, 0x10, 0x20},  // poly pressure
        {0xB0, 0x07, 0x7F},  // control change
        {0xC5, 0x12},        // program change
        {0xD1, 0x33},        // channel pressure
        {0xE0, 0x00, 0x40},  // pitch bend, centre
        {0xE3, 0x7F, 0x7F},  // pitch bend, top
        {0xF1, 0x25},        // time code quarter frame
        {0xF2, 0x10, 0x02},  // song position
        {0xF3, 0x05},        // song select
        {0xF6},              // tune request
        {0xF8},              // clock
        {0xFA},              // start
        {0xFB},              // continue
        {0xFC},              // stop
        {0xFE},              // active sensing
        {0xFF},              // reset
    };
    for (const auto& message : messages) {
        EXPECT_EQ(roundTrip(message), message) << "status " << int(message[0]);
    }
}

TEST(AlsaSeqCodec, EveryDecodedMessageCarriesItsStatusByte) {
    SeqEventEncoder encoder;
    SeqEventDecoder decoder;
    const std::uint8_t note[] = {0x91, 0x40, 0x50};
    snd_seq_event_t event;
    ASSERT_TRUE(encoder.encodeShort(note, sizeof note, event));
    std::vector<std::uint8_t> out;
    decoder.append(event, out);
    decoder.append(event, out);  // the same status again: no running status
    const std::vector<std::uint8_t> expected = {0x91, 0x40, 0x50, 0x91, 0x40, 0x50};
    EXPECT_EQ(out, expected);
}

TEST(AlsaSeqCodec, IncompleteOrNonShortBytesAreNoEvent) {
    SeqEventEncoder encoder;
    snd_seq_event_t event;
    const std::uint8_t halfNote[] = {0x90, 0x40};
    const std::uint8_t sysex[] = {0xF0, 0x7E, 0xF7};
    const std::uint8_t data[] = {0x40, 0x40};
    EXPECT_FALSE(encoder.encodeShort(halfNote, sizeof halfNote, event));
    EXPECT_FALSE(encoder.encodeShort(sysex, sizeof sysex, event));
    EXPECT_FALSE(encoder.encodeShort(data, sizeof data, event));
    EXPECT_FALSE(encoder.encodeShort(nullptr, 3, event));
}

TEST(AlsaSeqCodec, WriteBlockSizedSysExGoesInPiecesOfAtMost256Bytes) {
    const auto message = test::writeBlockSizedSysEx(4700);
    const std::size_t pieces = sysExPieceCount(message.size());
    EXPECT_EQ(pieces, 19u);  // 18 * 256 + 92
    SeqEventDecoder decoder;
    std::vector<std::uint8_t> joined;
    for (std::size_t n = 0; n < pieces; ++n) {
        const std::size_t offset = n * kSeqSysExChunk;
        const std::size_t length = std::min(kSeqSysExChunk, message.size() - offset);
        snd_seq_event_t event;
        makeSysExPieceEvent(message.data() + offset, length, event);
        EXPECT_EQ(event.type, SND_SEQ_EVENT_SYSEX);
        EXPECT_EQ(event.flags & SND_SEQ_EVENT_LENGTH_MASK, SND_SEQ_EVENT_LENGTH_VARIABLE);
        EXPECT_EQ(event.queue, SND_SEQ_QUEUE_DIRECT);
        EXPECT_LE(event.data.ext.len, kSeqSysExChunk);
        EXPECT_EQ(decoder.append(event, joined), length);
    }
    EXPECT_EQ(joined, message);
}

TEST(AlsaSeqCodec, PieceCountCoversEveryLength) {
    EXPECT_EQ(sysExPieceCount(0), 0u);
    EXPECT_EQ(sysExPieceCount(1), 1u);
    EXPECT_EQ(sysExPieceCount(256), 1u);
    EXPECT_EQ(sysExPieceCount(257), 2u);
    EXPECT_EQ(sysExPieceCount(512), 2u);
}

TEST(AlsaSeqCodec, NonMidiAndEmptyEventsAddNothing) {
    SeqEventDecoder decoder;
    std::vector<std::uint8_t> out;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = SND_SEQ_EVENT_PORT_START;
    EXPECT_EQ(decoder.append(event, out), 0u);
    makeSysExPieceEvent(nullptr, 0, event);
    EXPECT_EQ(decoder.append(event, out), 0u);
    // A SYSEX event whose length is not marked variable carries no pointer.
    std::uint8_t piece[] = {0xF0, 0x01};
    makeSysExPieceEvent(piece, sizeof piece, event);
    event.flags &= ~SND_SEQ_EVENT_LENGTH_MASK;
    EXPECT_EQ(decoder.append(event, out), 0u);
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace ql5::mm::alsa
