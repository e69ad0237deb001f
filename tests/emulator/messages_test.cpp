#include <gtest/gtest.h>

#include <vector>

#include "emulator/messages.hpp"
#include "protocol/codecs.hpp"

namespace ql5::emulator {
namespace {

const Bytes kEraseExample{0xF0, 0x52, 0x00, 0x6E, 0x0A, 0x00, 0x60, 0x12,
                          0x00, 0x00, 0x00, 0x40, 0x09, 0x00, 0x00, 0xF7};
const Bytes kWriteExample{0xF0, 0x52, 0x00, 0x6E, 0x02, 0x00, 0x00, 0x44, 0x00, 0x00,
                          0x01, 0x00, 0x40, 0x00, 0x52, 0x26, 0x16, 0x02, 0x0C, 0xF7};
const Bytes kReadExample{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x30, 0x60, 0x1F, 0x44,
                         0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7};

TEST(Messages, ClassifiesTheRequestsAndAnswers) {
    EXPECT_EQ(classify(kEraseExample), MessageKind::Erase);
    EXPECT_EQ(classify(kWriteExample), MessageKind::WriteBlock);
    EXPECT_EQ(classify(kReadExample), MessageKind::ReadMemory);
    EXPECT_EQ(classify(Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}), MessageKind::IdentityRequest);
    EXPECT_EQ(classify(Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x52, 0, 0, 0, 0, 0x31, 0x30, 0x30, 0x30,
                             0xF7}),
              MessageKind::IdentityReply);
    EXPECT_EQ(classify(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, 0x00, 0xF7}), MessageKind::Result);
    EXPECT_EQ(classify(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x01, 0xF7}), MessageKind::BeginUpdate);
    EXPECT_EQ(classify(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x04, 0xF7}), MessageKind::Finish);
    EXPECT_EQ(classify(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x05, 0xF7}), MessageKind::OtherMaker);
    EXPECT_EQ(classify(Bytes{0xF0, 0x43, 0x10, 0xF7}), MessageKind::Foreign);
    EXPECT_EQ(classify(Bytes{0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7}), MessageKind::OtherUniversal);
    EXPECT_EQ(classify(Bytes{0xF8}), MessageKind::RealTime);
    EXPECT_EQ(classify(Bytes{0x90, 0x40, 0x7F}), MessageKind::Short);
    EXPECT_EQ(classify(Bytes{0xF0, 0x52, 0x00, 0xF7}), MessageKind::Malformed);
    EXPECT_EQ(classify(Bytes{}), MessageKind::Malformed);
}

TEST(Messages, EraseExampleParsesToThePresetRegion) {
    std::uint8_t code = 99;
    const auto r = parseErase(kEraseExample, code);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(code, kResultOk);
    EXPECT_EQ(r->address, 0x4B000U);
    EXPECT_EQ(r->size, 0x26000U);
}

TEST(Messages, EraseRejectsWrongLengthHighBytesAndRangesPastTheFlash) {
    std::uint8_t code = 0;
    Bytes shortMsg(kEraseExample.begin(), kEraseExample.end() - 2);
    shortMsg.push_back(0xF7);
    EXPECT_FALSE(parseErase(shortMsg, code));
    EXPECT_EQ(code, kResultMalformed);
    Bytes high = kEraseExample;
    high[7] = 0x92;
    EXPECT_FALSE(parseErase(high, code));
    EXPECT_EQ(code, kResultMalformed);
    Bytes noF7 = kEraseExample;
    noF7.back() = 0x00;
    EXPECT_FALSE(parseErase(noF7, code));
    EXPECT_EQ(code, kResultMalformed);
    Bytes far = kEraseExample;
    protocol::septetsFromU32(0xFFF000, far.data() + 5);
    protocol::septetsFromU32(0x2000, far.data() + 10);
    EXPECT_FALSE(parseErase(far, code));
    EXPECT_EQ(code, kResultOutOfRange);
    protocol::septetsFromU32(0xFFFFFFFF, far.data() + 5);
    EXPECT_FALSE(parseErase(far, code));  // no wrap-around
    EXPECT_EQ(code, kResultOutOfRange);
}

TEST(Messages, WriteExampleCarriesTheByte80ForTheSystemBlock) {
    std::uint8_t code = 99;
    const auto r = parseWriteBlock(kWriteExample, code);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(code, kResultOk);
    EXPECT_EQ(r->address, 0x110000U);
    EXPECT_EQ(r->data, Bytes{0x80});
}

TEST(Messages, WriteRejectsEveryBrokenPart) {
    std::uint8_t code = 0;
    Bytes crc = kWriteExample;
    crc[14] ^= 0x01;
    EXPECT_FALSE(parseWriteBlock(crc, code));
    EXPECT_EQ(code, kResultCrcMismatch);

    Bytes lengthLies = kWriteExample;
    lengthLies[10] = 0x02;  // says two bytes, holds one
    EXPECT_FALSE(parseWriteBlock(lengthLies, code));
    EXPECT_EQ(code, kResultMalformed);

    Bytes extra = kWriteExample;
    extra.insert(extra.end() - 1, 0x00);  // one byte more than the packed length
    EXPECT_FALSE(parseWriteBlock(extra, code));
    EXPECT_EQ(code, kResultMalformed);

    Bytes high = kWriteExample;
    high[13] = 0x80;
    EXPECT_FALSE(parseWriteBlock(high, code));
    EXPECT_EQ(code, kResultMalformed);

    EXPECT_FALSE(parseWriteBlock(Bytes{0xF0, 0x52, 0x00, 0x6E, 0x02, 0xF7}, code));
    EXPECT_EQ(code, kResultMalformed);

    Bytes far = kWriteExample;
    protocol::septetsFromU32(0xFFFFFF, far.data() + 5);
    EXPECT_TRUE(parseWriteBlock(far, code));  // the very last byte is fine
    protocol::septetsFromU32(0x1000000, far.data() + 5);
    EXPECT_FALSE(parseWriteBlock(far, code));
    EXPECT_EQ(code, kResultOutOfRange);
}

TEST(Messages, ReadExampleAsksForTheSystemStamp) {
    std::uint8_t code = 99;
    const auto r = parseReadMemory(kReadExample, code);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->address, 0x110FE0U);
    EXPECT_EQ(r->length, 4U);
    Bytes otherKind = kReadExample;
    otherKind[5] = 0x31;
    EXPECT_FALSE(parseReadMemory(otherKind, code));
    EXPECT_EQ(code, kResultMalformed);
}

TEST(Messages, ReadReplyCarryingTheSystemStampMatchesTheDocumentedBytes) {
    const Bytes data{0x31, 0x2E, 0x32, 0x30};
    const Bytes reply = buildReadReply(0x6E, data);
    const Bytes expected{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                         0x00, 0x31, 0x2E, 0x32, 0x30, 0x10, 0x60, 0x5A, 0x7A, 0x06, 0xF7};
    EXPECT_EQ(reply, expected);
}

TEST(Messages, IdentityAndResultLayouts) {
    const std::array<std::uint8_t, 4> id{0x6E, 0x00, 0x10, 0x00};
    const std::array<std::uint8_t, 4> rev{'1', '0', '0', '0'};
    EXPECT_EQ(buildIdentityReply(id, rev), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x6E, 0x00,
                                                  0x10, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}));
    EXPECT_EQ(buildResult(0x6E, 11), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x00, 0x0B, 0xF7}));
    EXPECT_EQ(buildMakerCommand(0x6E, 0x05), (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x05, 0xF7}));
    EXPECT_EQ(buildIdentityRequest(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
}

TEST(Messages, EmptyReadReplyCarriesTheCrcOfNothing) {
    const Bytes reply = buildReadReply(0x6E, {});
    EXPECT_EQ(reply, (Bytes{0xF0, 0x52, 0x00, 0x6E, 0x60, 0x04, 0x30, 0x00, 0x00, 0x00, 0x00, 0x7F,
                            0x7F, 0x7F, 0x7F, 0x0F, 0xF7}));
}

}  // namespace
}  // namespace ql5::emulator
