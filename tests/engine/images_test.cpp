#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/images.hpp"

namespace ql5::engine {
namespace {

std::string stampOf(std::uint32_t id, std::uint32_t offset) {
    char buf[5] = {};
    EXPECT_EQ(readResourceBytes(id, offset, 4, buf), 0);
    return std::string(buf);
}

TEST(Images, AllFiveCarriedWithTheirExactSizes) {
    EXPECT_EQ(loadImage(129).length, 562108);
    EXPECT_EQ(loadImage(133).length, 155648);
    EXPECT_EQ(loadImage(136).length, 14897152);
    EXPECT_EQ(loadImage(139).length, 4096);
    EXPECT_EQ(loadImage(142).length, 307200);
    for (std::uint32_t id : {129U, 133U, 136U, 139U, 142U}) {
        EXPECT_NE(loadImage(id).data, nullptr);
        const char* digest = embeddedDigest(id);
        ASSERT_NE(digest, nullptr);
        EXPECT_EQ(std::strlen(digest), 64U);
    }
}

TEST(Images, CarriedStamps) {
    EXPECT_EQ(stampOf(139, kStampSystemOffset), "1.20");
    EXPECT_EQ(stampOf(133, kStampPresetOffset), "1.00");
    EXPECT_EQ(stampOf(142, kStampBootOffset), "1.00");
}

TEST(Images, UnknownIdAndOutOfRangeReadsLeaveTheDestinationAlone) {
    char buf[5] = {'x', 'x', 'x', 'x', 0};
    EXPECT_EQ(readResourceBytes(130, 0, 4, buf), -1);
    EXPECT_STREQ(buf, "xxxx");
    EXPECT_EQ(loadImage(130).data, nullptr);
    EXPECT_EQ(loadImage(130).length, 0);
    EXPECT_EQ(embeddedDigest(130), nullptr);
    // Runs past the end by one byte.
    EXPECT_EQ(readResourceBytes(139, 4093, 4, buf), -1);
    EXPECT_STREQ(buf, "xxxx");
    // Offset + count would wrap around 32 bits.
    EXPECT_EQ(readResourceBytes(139, 0xFFFFFFFEU, 4, buf), -1);
    EXPECT_STREQ(buf, "xxxx");
    // The last four bytes are in range.
    EXPECT_EQ(readResourceBytes(139, 4092, 4, buf), 0);
}

TEST(Images, ImagesAreEmbeddedNotCopied) {
    // Two lookups give the very same read-only bytes.
    EXPECT_EQ(loadImage(136).data, loadImage(136).data);
}

int blockCount(std::int32_t length) { return (length + kBlockSize - 1) / kBlockSize; }

TEST(FlashPlan, BlockCountsPerImage) {
    const std::int32_t main = loadImage(kImageMain).length;
    EXPECT_EQ(blockCount(main), 138);
    EXPECT_EQ(main % kBlockSize, 956);
    EXPECT_EQ((blockCount(main) - 1) * kBlockSize, 561152);
    EXPECT_EQ(0x71000 + 561152, 0xFA000);
    EXPECT_EQ(blockCount(loadImage(kImagePreset).length), 38);
    EXPECT_EQ(blockCount(loadImage(kImageLarge).length), 3637);
    EXPECT_EQ(blockCount(loadImage(kImageSystem).length), 1);
    for (std::uint32_t id : {kImagePreset, kImageLarge, kImageSystem}) {
        EXPECT_EQ(loadImage(id).length % kBlockSize, 0) << id;
    }
}

TEST(FlashPlan, RowsInOrder) {
    const FlashPlanRow expected[8] = {
        {1, 0x110000, 0x1000, 0}, {1, 0x4B000, 0x26000, 0}, {2, 0x4B000, 0, 133},
        {1, 0x71000, 0x9F000, 0}, {2, 0x71000, 0, 129},     {1, 0x1CB000, 0xE35000, 0},
        {2, 0x1CB000, 0, 136},    {2, 0x110000, 0, 139},
    };
    for (std::size_t i = 0; i < FlashPlan.size(); ++i) {
        EXPECT_EQ(FlashPlan[i].operation, expected[i].operation) << i;
        EXPECT_EQ(FlashPlan[i].address, expected[i].address) << i;
        EXPECT_EQ(FlashPlan[i].size, expected[i].size) << i;
        EXPECT_EQ(FlashPlan[i].resourceId, expected[i].resourceId) << i;
    }
    ASSERT_EQ(KnownDeviceTable.size(), 1U);
    EXPECT_EQ(KnownDeviceTable[0], (std::array<std::uint8_t, 4>{0x6E, 0x00, 0x10, 0x00}));
}

bool overlaps(std::uint32_t a, std::uint32_t alen, std::uint32_t b, std::uint32_t blen) {
    return a < b + blen && b < a + alen;
}

TEST(FlashPlan, NeverTouchesBootNorTheGapAboveTheSystemBlock) {
    const std::uint32_t gapStart = kRegionSystem.start + kRegionSystem.size;
    const std::uint32_t gapSize = kRegionLarge.start - gapStart;
    for (const FlashPlanRow& row : FlashPlan) {
        std::uint32_t len = row.size;
        if (row.operation == kOperationWrite && len == 0) {
            len = static_cast<std::uint32_t>(loadImage(row.resourceId).length);
        }
        EXPECT_FALSE(overlaps(row.address, len, kRegionBoot.start, kRegionBoot.size))
            << std::hex << row.address;
        EXPECT_FALSE(overlaps(row.address, len, gapStart, gapSize)) << std::hex << row.address;
        EXPECT_LE(static_cast<std::uint64_t>(row.address) + len, kFlashSize);
        EXPECT_NE(row.address, 0U) << "the carried plan has no BOOT row";
    }
}

TEST(FlashPlan, EveryWrittenImageFitsARegionThatWasErasedBeforeIt) {
    for (std::size_t i = 0; i < FlashPlan.size(); ++i) {
        const FlashPlanRow& w = FlashPlan[i];
        if (w.operation != kOperationWrite) {
            continue;
        }
        const auto len = static_cast<std::uint32_t>(loadImage(w.resourceId).length);
        bool erasedBefore = false;
        for (std::size_t j = 0; j < i; ++j) {
            const FlashPlanRow& e = FlashPlan[j];
            if (e.operation == kOperationErase && w.address >= e.address &&
                w.address + len <= e.address + e.size) {
                erasedBefore = true;
            }
        }
        EXPECT_TRUE(erasedBefore) << "image " << w.resourceId;
    }
}

}  // namespace
}  // namespace ql5::engine
