#include "platform/mm/input_loss.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ql5::mm::detail {
namespace {

// What the reporter did, in order: "push:<hex bytes>" or "report".
class Calls {
  public:
    void deliver(InputLossReporter& reporter, std::vector<std::uint8_t> bytes) {
        reporter.deliver(
            bytes.data(), bytes.size(),
            [this](const std::uint8_t* b, std::size_t n) {
                std::string text = "push:";
                for (std::size_t i = 0; i < n; ++i) {
                    char hex[4];
                    std::snprintf(hex, sizeof hex, "%02X", b[i]);
                    text += hex;
                }
                log.push_back(text);
            },
            [this] { log.push_back("report"); });
    }
    std::vector<std::string> log;
};

TEST(InputLossReporter, WithoutALossBytesPassWhole) {
    InputLossReporter reporter;
    Calls calls;
    calls.deliver(reporter, {0xF0, 0x01, 0xF7, 0x90, 0x40, 0x7F});
    const std::vector<std::string> expected = {"push:F001F790407F"};
    EXPECT_EQ(calls.log, expected);
    EXPECT_EQ(reporter.position(), 6u);
}

TEST(InputLossReporter, AMessageOpenWhereTheHoleStartsIsReportedBeforeItsEnd) {
    InputLossReporter reporter;
    Calls calls;
    calls.deliver(reporter, {0xF0, 0x01, 0x02});
    reporter.lostWithin(3, 5);
    calls.deliver(reporter, {0x03, 0x04, 0xF7});
    const std::vector<std::string> expected = {"push:F00102", "report", "push:0304F7"};
    EXPECT_EQ(calls.log, expected);
}

TEST(InputLossReporter, AMessageStartingInsideTheSpanIsReportedAfterItsF0) {
    InputLossReporter reporter;
    Calls calls;
    reporter.lostWithin(2, 4);
    calls.deliver(reporter, {0xF8, 0xF8, 0xF0, 0x01, 0xF7});
    const std::vector<std::string> expected = {"push:F8F8F0", "report", "push:01F7"};
    EXPECT_EQ(calls.log, expected);
}

TEST(InputLossReporter, MessagesOutsideTheSpanPassUntouched) {
    InputLossReporter reporter;
    Calls calls;
    reporter.lostWithin(7, 9);
    calls.deliver(reporter, {0xF0, 0x01, 0x02, 0xF7});  // 0-3
    calls.deliver(reporter, {0x90, 0x40, 0x7F});        // 4-6
    calls.deliver(reporter, {0xB0, 0x07, 0x7F});        // 7-9: the span, no SysEx in it
    calls.deliver(reporter, {0xF0, 0x05, 0xF7});        // 10-12
    for (const auto& call : calls.log) EXPECT_NE(call, "report");
    EXPECT_EQ(calls.log.size(), 4u);
}

TEST(InputLossReporter, ASpanAlreadyReachedReportsAnOpenMessageWithTheNextByte) {
    InputLossReporter reporter;
    Calls calls;
    calls.deliver(reporter, {0xF0, 0x01});
    reporter.lostWithin(0, 1);  // behind us: taken as "here"
    calls.deliver(reporter, {0x02, 0xF7});
    const std::vector<std::string> expected = {"push:F001", "report", "push:02F7"};
    EXPECT_EQ(calls.log, expected);
}

TEST(InputLossReporter, EveryMessageOpenInTheSpanIsReported) {
    InputLossReporter reporter;
    Calls calls;
    calls.deliver(reporter, {0xF0, 0x01});  // 0-1, open
    reporter.lostWithin(2, 6);
    // 2-3 end the open message, 4-6 a whole one inside the span, 7-9 one after it.
    calls.deliver(reporter, {0x02, 0xF7, 0xF0, 0x03, 0xF7, 0xF0, 0x04, 0xF7});
    const std::vector<std::string> expected = {"push:F001", "report", "push:02F7F0", "report",
                                               "push:03F7F004F7"};
    EXPECT_EQ(calls.log, expected);
}

TEST(InputLossReporter, SpansThatOverlapWidenTheSpan) {
    InputLossReporter reporter;
    Calls calls;
    reporter.lostWithin(4, 5);
    reporter.lostWithin(2, 3);
    calls.deliver(reporter, {0x00, 0x00, 0xF0, 0x01, 0x02, 0xF7, 0xF0, 0xF7});
    // F0 at 2 is inside the widened span [2, 5], the one at 6 is not.
    const std::vector<std::string> expected = {"push:0000F0", "report", "push:0102F7F0F7"};
    EXPECT_EQ(calls.log, expected);
}

}  // namespace
}  // namespace ql5::mm::detail
