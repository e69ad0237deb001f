#include "platform/mm/sysex_joiner.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using ql5::mm::SysExJoiner;
using Bytes = std::vector<std::uint8_t>;

// Plays a driver with a pool of buffers of one capacity: feeds the pieces in
// order, attaching a fresh buffer whenever none is attached, and records
// what comes out.
struct Harness {
    explicit Harness(std::size_t capacity, std::size_t bufferCount = 1000)
        : capacity(capacity), buffersLeft(bufferCount) {}

    struct Out {
        std::vector<Bytes> buffers;
        std::vector<SysExJoiner::BufferEnd> ends;
        std::vector<std::uint32_t> shorts;
        std::vector<std::uint8_t> shortLengths;
    };

    void feed(const Bytes& piece) {
        std::size_t done = 0;
        while (done < piece.size()) {
            if (!joiner.attached() && buffersLeft > 0) {
                --buffersLeft;
                current.assign(capacity, 0xEE);
                joiner.attach(current.data(), current.size());
            }
            SysExJoiner::Event event;
            const std::size_t used = joiner.feed(piece.data() + done, piece.size() - done, event);
            done += used;
            if (event.kind == SysExJoiner::EventKind::BufferDone) {
                ASSERT_GT(event.bytesRecorded, 0u);
                ASSERT_LE(event.bytesRecorded, capacity);
                out.buffers.emplace_back(current.begin(), current.begin() + event.bytesRecorded);
                out.ends.push_back(event.end);
            } else if (event.kind == SysExJoiner::EventKind::ShortMessage) {
                out.shorts.push_back(event.message);
                out.shortLengths.push_back(event.length);
            } else {
                ASSERT_GT(used, 0u) << "no progress without an event";
            }
        }
    }

    std::size_t capacity;
    std::size_t buffersLeft;
    SysExJoiner joiner;
    Bytes current;
    Out out;
};

TEST(SysExJoinerTest, WholeMessageInOnePiece) {
    Harness h(64);
    h.feed({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    ASSERT_EQ(h.out.buffers.size(), 1u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
    EXPECT_EQ(h.out.ends[0], SysExJoiner::BufferEnd::Complete);
    EXPECT_FALSE(h.joiner.inSysEx());
    EXPECT_FALSE(h.joiner.attached());
}

TEST(SysExJoinerTest, EverySplitPointGivesTheSameResult) {
    // Running status goes on until the SysEx, which cancels it.
    const Bytes stream{0x90, 0x40, 0x7F, 0x41, 0x00, 0xF0, 0x01, 0x02, 0x03,
                       0xF7, 0xF0, 0x10, 0x11, 0xF7, 0xC0, 0x05, 0x06};
    Harness whole(64);
    whole.feed(stream);
    ASSERT_EQ(whole.out.buffers.size(), 2u);
    ASSERT_EQ(whole.out.shorts.size(), 4u);
    EXPECT_EQ(whole.out.shorts[0], 0x7F4090u);
    EXPECT_EQ(whole.out.shorts[1], 0x004190u);  // running status
    EXPECT_EQ(whole.out.shorts[2], 0x05C0u);
    EXPECT_EQ(whole.out.shorts[3], 0x06C0u);
    for (std::size_t a = 0; a <= stream.size(); ++a) {
        for (std::size_t b = a; b <= stream.size(); ++b) {
            Harness h(64);
            h.feed(Bytes(stream.begin(), stream.begin() + a));
            h.feed(Bytes(stream.begin() + a, stream.begin() + b));
            h.feed(Bytes(stream.begin() + b, stream.end()));
            EXPECT_EQ(h.out.buffers, whole.out.buffers) << "split at " << a << "," << b;
            EXPECT_EQ(h.out.shorts, whole.out.shorts) << "split at " << a << "," << b;
        }
    }
}

TEST(SysExJoinerTest, ByteAtATimeMatchesWhole) {
    std::mt19937 random(7);
    Bytes stream;
    for (int m = 0; m < 50; ++m) {
        stream.push_back(0xF0);
        const int length = static_cast<int>(random() % 200);
        for (int i = 0; i < length; ++i) {
            stream.push_back(static_cast<std::uint8_t>(random() & 0x7F));
        }
        stream.push_back(0xF7);
    }
    Harness whole(64);
    whole.feed(stream);
    Harness single(64);
    for (std::uint8_t byte : stream) {
        single.feed({byte});
    }
    EXPECT_EQ(single.out.buffers, whole.out.buffers);
    // Joining the pieces back gives the stream.
    Bytes joined;
    for (const auto& b : whole.out.buffers) {
        joined.insert(joined.end(), b.begin(), b.end());
    }
    EXPECT_EQ(joined, stream);
}

TEST(SysExJoinerTest, F7AloneInTheLastPiece) {
    Harness h(64);
    h.feed({0xF0, 0x01, 0x02});
    EXPECT_TRUE(h.out.buffers.empty());
    EXPECT_TRUE(h.joiner.inSysEx());
    EXPECT_EQ(h.joiner.recorded(), 3u);
    h.feed({0xF7});
    ASSERT_EQ(h.out.buffers.size(), 1u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x01, 0x02, 0xF7}));
    EXPECT_EQ(h.out.ends[0], SysExJoiner::BufferEnd::Complete);
}

TEST(SysExJoinerTest, RealTimeBytesInsideAreReportedApart) {
    Harness h(64);
    h.feed({0xF0, 0x01, 0xF8, 0x02, 0xFE, 0xFA, 0x03, 0xF7});
    ASSERT_EQ(h.out.buffers.size(), 1u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x01, 0x02, 0x03, 0xF7}));
    EXPECT_EQ(h.out.shorts, (std::vector<std::uint32_t>{0xF8, 0xFE, 0xFA}));
    EXPECT_EQ(h.out.shortLengths, (std::vector<std::uint8_t>{1, 1, 1}));
}

TEST(SysExJoinerTest, NewF0BeforeF7EndsTheOldMessage) {
    Harness h(64);
    h.feed({0xF0, 0x01, 0x02, 0xF0, 0x03, 0xF7});
    ASSERT_EQ(h.out.buffers.size(), 2u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x01, 0x02}));
    EXPECT_EQ(h.out.ends[0], SysExJoiner::BufferEnd::Interrupted);
    EXPECT_EQ(h.out.buffers[1], (Bytes{0xF0, 0x03, 0xF7}));
    EXPECT_EQ(h.out.ends[1], SysExJoiner::BufferEnd::Complete);
}

TEST(SysExJoinerTest, StatusByteInsideEndsTheMessageAndIsFramed) {
    Harness h(64);
    h.feed({0xF0, 0x01, 0x90, 0x40, 0x7F});
    ASSERT_EQ(h.out.buffers.size(), 1u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x01}));
    EXPECT_EQ(h.out.ends[0], SysExJoiner::BufferEnd::Interrupted);
    EXPECT_EQ(h.out.shorts, (std::vector<std::uint32_t>{0x7F4090}));
    EXPECT_FALSE(h.joiner.inSysEx());
    // System common ends it too.
    h.feed({0xF0, 0x05, 0xF3, 0x02});
    ASSERT_EQ(h.out.buffers.size(), 2u);
    EXPECT_EQ(h.out.buffers[1], (Bytes{0xF0, 0x05}));
    EXPECT_EQ(h.out.shorts.back(), 0x02F3u);
}

TEST(SysExJoinerTest, OverflowContinuesIntoTheNextBuffer) {
    Harness h(8);
    Bytes message{0xF0};
    for (int i = 0; i < 17; ++i) {
        message.push_back(static_cast<std::uint8_t>(i));
    }
    message.push_back(0xF7);  // 19 bytes: 8 + 8 + 3
    h.feed(message);
    ASSERT_EQ(h.out.buffers.size(), 3u);
    EXPECT_EQ(h.out.buffers[0].size(), 8u);
    EXPECT_EQ(h.out.ends[0], SysExJoiner::BufferEnd::Full);
    EXPECT_EQ(h.out.buffers[1].size(), 8u);
    EXPECT_EQ(h.out.ends[1], SysExJoiner::BufferEnd::Full);
    EXPECT_EQ(h.out.buffers[2], (Bytes{15, 16, 0xF7}));
    EXPECT_EQ(h.out.ends[2], SysExJoiner::BufferEnd::Complete);
}

TEST(SysExJoinerTest, MessageFillingTheBufferExactlyLeavesF7ForTheNext) {
    Harness h(4);
    h.feed({0xF0, 0x01, 0x02, 0x03, 0xF7});
    ASSERT_EQ(h.out.buffers.size(), 2u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x01, 0x02, 0x03}));
    EXPECT_EQ(h.out.buffers[1], (Bytes{0xF7}));
}

TEST(SysExJoinerTest, WithoutABufferTheMessageIsLostWhole) {
    Harness h(64, 0);
    h.feed({0xF0, 0x01, 0x02, 0xF7, 0x90, 0x40, 0x7F});
    EXPECT_TRUE(h.out.buffers.empty());
    EXPECT_EQ(h.joiner.droppedBytes(), 4u);
    EXPECT_EQ(h.out.shorts, (std::vector<std::uint32_t>{0x7F4090}));
}

TEST(SysExJoinerTest, BufferAttachedMidMessageDoesNotGetItsTail) {
    Harness h(64, 0);
    h.feed({0xF0, 0x01});
    h.buffersLeft = 1;
    h.feed({0x02, 0xF7, 0xF0, 0x09, 0xF7});
    // The first message lost its start: none of it is kept. The next is.
    ASSERT_EQ(h.out.buffers.size(), 1u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x09, 0xF7}));
}

TEST(SysExJoinerTest, OverflowWithNoSecondBufferDropsTheRest) {
    Harness h(4, 1);
    h.feed({0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7});
    ASSERT_EQ(h.out.buffers.size(), 1u);
    EXPECT_EQ(h.out.buffers[0], (Bytes{0xF0, 0x01, 0x02, 0x03}));
    EXPECT_EQ(h.joiner.droppedBytes(), 3u);
    EXPECT_FALSE(h.joiner.inSysEx());
}

TEST(SysExJoinerTest, ReleaseHandsBackWhatIsHeldAndDropsTheRest) {
    SysExJoiner joiner;
    Bytes buffer(16);
    joiner.attach(buffer.data(), buffer.size());
    SysExJoiner::Event event;
    const Bytes part{0xF0, 0x01, 0x02};
    EXPECT_EQ(joiner.feed(part.data(), part.size(), event), 3u);
    EXPECT_EQ(event.kind, SysExJoiner::EventKind::None);
    EXPECT_EQ(joiner.release(), 3u);
    EXPECT_FALSE(joiner.attached());
    Bytes next(16);
    joiner.attach(next.data(), next.size());
    const Bytes tail{0x03, 0xF7, 0xF0, 0x05, 0xF7};
    std::size_t done = joiner.feed(tail.data(), tail.size(), event);
    EXPECT_EQ(event.kind, SysExJoiner::EventKind::BufferDone);
    EXPECT_EQ(done, tail.size());
    EXPECT_EQ(Bytes(next.begin(), next.begin() + event.bytesRecorded), (Bytes{0xF0, 0x05, 0xF7}));
}

TEST(SysExJoinerTest, RunningStatusAndSystemCommon) {
    Harness h(16);
    h.feed(
        {0xB0, 0x07, 0x64, 0x0A, 0x40, 0xD0, 0x10, 0x11, 0xF2, 0x01, 0x02, 0x03, 0xF6, 0xF4, 0x05});
    EXPECT_EQ(h.out.shorts,
              (std::vector<std::uint32_t>{0x6407B0, 0x400AB0, 0x10D0, 0x11D0, 0x0201F2, 0xF6}));
    EXPECT_EQ(h.out.shortLengths, (std::vector<std::uint8_t>{3, 3, 2, 2, 3, 1}));
    // 0x03 after the song position has no status to belong to; 0x05 after
    // the undefined F4 neither.
    EXPECT_EQ(h.joiner.droppedBytes(), 2u);
}

TEST(SysExJoinerTest, StrayDataAndF7AreIgnored) {
    Harness h(16);
    h.feed({0x01, 0x02, 0xF7, 0x03});
    EXPECT_TRUE(h.out.buffers.empty());
    EXPECT_TRUE(h.out.shorts.empty());
}

TEST(SysExJoinerTest, RandomStreamsNeverOverrunAndAlwaysProgress) {
    std::mt19937 random(99);
    for (int round = 0; round < 200; ++round) {
        const std::size_t capacity = 1 + random() % 40;
        Harness h(capacity, random() % 2 == 0 ? 1000 : 3);
        Bytes stream(random() % 500);
        for (auto& b : stream) {
            b = static_cast<std::uint8_t>(random());
        }
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::size_t n = 1 + random() % 17;
            const std::size_t end = std::min(stream.size(), at + n);
            h.feed(Bytes(stream.begin() + at, stream.begin() + end));
            at = end;
        }
        for (const auto& b : h.out.buffers) {
            EXPECT_LE(b.size(), capacity);
            for (std::size_t i = 0; i < b.size(); ++i) {
                EXPECT_LT(b[i], 0xF8) << "real-time byte inside a buffer";
                if (i > 0) {
                    EXPECT_TRUE(b[i] < 0x80 || (b[i] == 0xF7 && i + 1 == b.size()));
                }
            }
        }
    }
}

}  // namespace
