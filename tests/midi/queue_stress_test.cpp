// One thread appends (the input callback, fed by a virtual device) while
// another drains (as the timer's dispatcher does): nothing may be lost,
// reordered, seen half-copied or freed twice. Meant to run under TSan and
// ASan as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "midi/CDxMMidiIn.hpp"
#include "virtual_fixture.hpp"

namespace {

using ql5::midi::CDxMMidiIn;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMessages = 100000;

// Message n: F0, n in three 7-bit bytes, a body whose length and bytes follow
// from n, F7.
Bytes messageFor(std::uint32_t n, std::mt19937& random) {
    std::uniform_int_distribution<int> length(0, 300);
    Bytes bytes{0xF0, static_cast<std::uint8_t>(n & 0x7F),
                static_cast<std::uint8_t>((n >> 7) & 0x7F),
                static_cast<std::uint8_t>((n >> 14) & 0x7F)};
    const int body = length(random);
    for (int i = 0; i < body; ++i) {
        bytes.push_back(static_cast<std::uint8_t>((n + i) & 0x7F));
    }
    bytes.push_back(0xF7);
    return bytes;
}

class QueueStressTest : public ql5::testing::VirtualOnly {};

TEST_F(QueueStressTest, HundredThousandMessagesArriveWholeAndInOrder) {
    auto unit = plugged("Tarvik QL-5", "Tarvik QL-5");
    CDxMMidiIn in;
    ASSERT_EQ(in.Open(), 1);

    std::atomic<std::uint32_t> checked{0};
    std::atomic<bool> failed{false};
    std::thread consumer([&] {
        std::mt19937 random(12345);  // the same sequence as the producer's
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(240);
        std::uint32_t next = 0;
        while (next < kMessages && std::chrono::steady_clock::now() < deadline) {
            auto view = in.FrontSysEx();
            if (!view) {
                std::this_thread::yield();
                continue;
            }
            const Bytes expected = messageFor(next, random);
            if (Bytes(view.data, view.data + view.length) != expected) {
                ADD_FAILURE() << "entry " << next << " differs (length " << view.length
                              << ", expected " << expected.size() << ")";
                failed = true;
                return;
            }
            in.RemoveFrontSysEx();
            checked.store(++next);
        }
    });

    std::mt19937 random(12345);
    for (std::uint32_t n = 0; n < kMessages; ++n) {
        const Bytes bytes = messageFor(n, random);
        unit->send(bytes.data(), bytes.size());
    }
    unit->flush();
    consumer.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(checked.load(), kMessages);
    EXPECT_FALSE(in.FrontSysEx());
    in.Close();
}

}  // namespace
