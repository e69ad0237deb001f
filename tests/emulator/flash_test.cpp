#include <gtest/gtest.h>

#include <vector>

#include "emulator/flash.hpp"

namespace ql5::emulator {
namespace {

TEST(Flash, StartsErasedAndErasesToFF) {
    Flash f;
    std::vector<std::uint8_t> b(4);
    ASSERT_TRUE(f.read(0x123456, b));
    EXPECT_EQ(b, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    f.fillPattern(7);
    ASSERT_TRUE(f.read(0x4B000, b));
    EXPECT_NE(b, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(f.erase(0x4B000, 0x26000));
    for (std::uint32_t a : {0x4B000U, 0x60000U, 0x70FFCU}) {
        ASSERT_TRUE(f.read(a, b));
        EXPECT_EQ(b, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF})) << std::hex << a;
    }
    // The bytes on either side keep their contents.
    std::vector<std::uint8_t> edge(1);
    ASSERT_TRUE(f.read(0x4AFFF, edge));
    EXPECT_EQ(edge[0], f.bytes()[0x4AFFF]);
    ASSERT_TRUE(f.read(0x71000, edge));
    EXPECT_EQ(edge[0], f.bytes()[0x71000]);
}

TEST(Flash, ProgrammingOverUnerasedBytesLeavesOldAndNew) {
    Flash f;
    const std::vector<std::uint8_t> first{0xF0, 0x0F, 0xAA};
    const std::vector<std::uint8_t> second{0x3C, 0x3C, 0xAA};
    ASSERT_TRUE(f.program(0x110000, first));
    ASSERT_TRUE(f.program(0x110000, second));
    std::vector<std::uint8_t> b(3);
    ASSERT_TRUE(f.read(0x110000, b));
    EXPECT_EQ(b, (std::vector<std::uint8_t>{0x30, 0x0C, 0xAA}));
    const auto over = f.writesOverUnerased();
    ASSERT_EQ(over.size(), 1U);
    EXPECT_EQ(over[0].address, 0x110000U);
    EXPECT_EQ(over[0].length, 3U);
    EXPECT_TRUE(over[0].corrupted);
}

TEST(Flash, RewritingTheSameBytesIsOverUnerasedButNotCorrupted) {
    Flash f;
    const std::vector<std::uint8_t> data{0x12, 0x34};
    ASSERT_TRUE(f.program(0x71000, data));
    ASSERT_TRUE(f.program(0x71000, data));
    const auto over = f.writesOverUnerased();
    ASSERT_EQ(over.size(), 1U);
    EXPECT_FALSE(over[0].corrupted);
    EXPECT_EQ(f.bytes()[0x71000], 0x12);
}

TEST(Flash, EraseAndProgramRefuseRangesPastTheEnd) {
    Flash f;
    const std::vector<std::uint8_t> data{1, 2};
    EXPECT_FALSE(f.program(0xFFFFFF, data));
    EXPECT_FALSE(f.erase(0xFFF000, 0x2000));
    EXPECT_FALSE(f.erase(0xFFFFFFFF, 2));
    EXPECT_TRUE(f.erase(0xFFF000, 0x1000));
    EXPECT_TRUE(f.program(0xFFFFFE, data));
    EXPECT_EQ(f.log().size(), 2U);
}

TEST(Flash, OutsidePartsFindTheGapAfterTheSystemBlock) {
    EXPECT_TRUE(Flash::insideKnownRegions(0x0, 0x111000));
    EXPECT_TRUE(Flash::insideKnownRegions(0x1CB000, 0xE35000));
    auto parts = Flash::outsideParts(0x110F00, 0x200);
    ASSERT_EQ(parts.size(), 1U);
    EXPECT_EQ(parts[0], (ByteRange{0x111000, 0x100}));
    parts = Flash::outsideParts(0x100000, 0x100000);
    ASSERT_EQ(parts.size(), 1U);
    EXPECT_EQ(parts[0], (ByteRange{0x111000, 0xBA000}));
    EXPECT_TRUE(Flash::outsideParts(0x4A000, 0x2000).empty());
}

TEST(Flash, RecordsWritesAndErasesOutsideTheRegions) {
    Flash f;
    const std::vector<std::uint8_t> data(16, 0);
    ASSERT_TRUE(f.program(0x110000, data));
    EXPECT_TRUE(f.writtenOutsideRegions().empty());
    ASSERT_TRUE(f.program(0x110FF8, data));  // runs 8 bytes past the SYSTEM block
    ASSERT_TRUE(f.erase(0x150000, 0x1000));
    ASSERT_TRUE(f.erase(0x151000, 0x1000));
    const auto w = f.writtenOutsideRegions();
    ASSERT_EQ(w.size(), 1U);
    EXPECT_EQ(w[0], (ByteRange{0x111000, 8}));
    const auto e = f.erasedOutsideRegions();
    ASSERT_EQ(e.size(), 1U);  // two touching erases merge
    EXPECT_EQ(e[0], (ByteRange{0x150000, 0x2000}));
    f.clearLog();
    EXPECT_TRUE(f.erasedOutsideRegions().empty());
}

TEST(Flash, MergeRangesJoinsOverlapsAndSorts) {
    const auto m = mergeRanges({{0x300, 0x10}, {0x100, 0x100}, {0x180, 0x100}, {0x500, 0}});
    ASSERT_EQ(m.size(), 2U);
    EXPECT_EQ(m[0], (ByteRange{0x100, 0x180}));
    EXPECT_EQ(m[1], (ByteRange{0x300, 0x10}));
}

}  // namespace
}  // namespace ql5::emulator
