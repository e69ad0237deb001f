#include <gtest/gtest.h>

#include <random>
#include <string>

#include "emulator/fault_script.hpp"

namespace ql5::emulator {
namespace {

using T = FaultAction::Type;

FaultScript parseOk(std::string_view text) {
    std::string error;
    auto s = parseFaultScript(text, &error);
    EXPECT_TRUE(s.has_value()) << text << " -> " << error;
    return s.value_or(FaultScript{});
}

std::string parseError(std::string_view text) {
    std::string error;
    auto s = parseFaultScript(text, &error);
    EXPECT_FALSE(s.has_value()) << text;
    return error;
}

TEST(FaultScript, ParsesTheDocumentedExample) {
    const FaultScript s = parseOk(
        "write#3:drop; write#5-35:code=2; erase#1:late=200ms; read#*:badcrc; identity#1:twice; "
        "any#10:foreign");
    ASSERT_EQ(s.rules.size(), 6U);
    EXPECT_EQ(s.rules[0].kind, RequestKind::Write);
    EXPECT_EQ(s.rules[0].first, 3U);
    EXPECT_EQ(s.rules[0].last, 3U);
    EXPECT_EQ(s.rules[0].actions, (std::vector<FaultAction>{{T::Drop, 0, Placement::Before}}));
    EXPECT_EQ(s.rules[1].first, 5U);
    EXPECT_EQ(s.rules[1].last, 35U);
    EXPECT_EQ(s.rules[1].actions[0].type, T::Code);
    EXPECT_EQ(s.rules[1].actions[0].value, 2U);
    EXPECT_EQ(s.rules[2].kind, RequestKind::Erase);
    EXPECT_EQ(s.rules[2].actions[0].type, T::Late);
    EXPECT_EQ(s.rules[2].actions[0].value, 200U);
    EXPECT_EQ(s.rules[3].kind, RequestKind::Read);
    EXPECT_EQ(s.rules[3].first, 1U);
    EXPECT_EQ(s.rules[3].last, UINT64_MAX);
    EXPECT_EQ(s.rules[3].actions[0].type, T::BadCrc);
    EXPECT_EQ(s.rules[4].kind, RequestKind::Identity);
    EXPECT_EQ(s.rules[4].actions[0].type, T::Twice);
    EXPECT_EQ(s.rules[5].kind, RequestKind::Any);
    EXPECT_EQ(s.rules[5].actions[0].type, T::Foreign);
    EXPECT_EQ(s.rules[5].actions[0].placement, Placement::Before);
}

TEST(FaultScript, ParsesEveryActionWithOptionsAndSpacing) {
    const FaultScript s = parseOk(
        "  write # 7 - : lie , trunc = 9 ,nof7 ;read#2:malformed,realtime=inside,foreign=after;"
        "begin#1:vanish=before;finish#1:vanish;erase#2:late=2s,longerror;other#1:mute,ignore;"
        "write#1:trunc;any#4-4:realtime ; ;");
    ASSERT_EQ(s.rules.size(), 8U);
    EXPECT_EQ(s.rules[0].first, 7U);
    EXPECT_EQ(s.rules[0].last, UINT64_MAX);
    EXPECT_EQ(s.rules[0].actions, (std::vector<FaultAction>{{T::Lie, 0, Placement::Before},
                                                            {T::Truncate, 9, Placement::Before},
                                                            {T::NoF7, 0, Placement::Before}}));
    EXPECT_EQ(s.rules[1].actions[1], (FaultAction{T::RealTime, 0, Placement::Inside}));
    EXPECT_EQ(s.rules[1].actions[2], (FaultAction{T::Foreign, 0, Placement::After}));
    EXPECT_EQ(s.rules[2].actions[0], (FaultAction{T::Vanish, 0, Placement::Before}));
    EXPECT_EQ(s.rules[3].actions[0], (FaultAction{T::Vanish, 0, Placement::After}));
    EXPECT_EQ(s.rules[4].actions[0], (FaultAction{T::Late, 2000, Placement::Before}));
    EXPECT_EQ(s.rules[4].actions[1].type, T::LongError);
    EXPECT_EQ(s.rules[5].kind, RequestKind::Other);
    EXPECT_EQ(s.rules[5].actions[0].type, T::Mute);
    EXPECT_EQ(s.rules[5].actions[1].type, T::Ignore);
    EXPECT_EQ(s.rules[6].kind, RequestKind::Write);
    EXPECT_EQ(s.rules[6].actions[0], (FaultAction{T::Truncate, 0, Placement::Before}));
}

TEST(FaultScript, TwiceWithADelayShortAndFlip) {
    const FaultScript s =
        parseOk("write#5:twice=20ms; write#6:twice,flip; read#*:short; read#1:short=64");
    ASSERT_EQ(s.rules.size(), 4U);
    EXPECT_EQ(s.rules[0].actions[0], (FaultAction{T::Twice, 20, Placement::Before}));
    EXPECT_EQ(s.rules[1].actions[0], (FaultAction{T::Twice, 0, Placement::Before}));
    EXPECT_EQ(s.rules[1].actions[1].type, T::Flip);
    EXPECT_EQ(s.rules[2].actions[0], (FaultAction{T::Short, 256, Placement::Before}));
    EXPECT_EQ(s.rules[3].actions[0], (FaultAction{T::Short, 64, Placement::Before}));
    parseError("read#1:short=99999");
    parseError("write#1:twice=5m");
}

TEST(FaultScript, EmptyTextIsAnEmptyScript) {
    EXPECT_TRUE(parseOk("").empty());
    EXPECT_TRUE(parseOk("  ; ;").empty());
}

TEST(FaultScript, FormatRoundTrips) {
    const FaultScript s = parseOk(
        "write#3:drop; write#5-35:code=2; erase#1:late=200ms; read#*:badcrc,trunc=10; "
        "identity#1:twice; any#10-:foreign=after,realtime=inside; begin#2:vanish=before; "
        "write#4:twice=20ms,flip; read#2-:short; read#1:short=100");
    const std::string text = formatFaultScript(s);
    EXPECT_EQ(parseOk(text), s) << text;
}

TEST(FaultScript, ErrorsNameTheOffset) {
    EXPECT_EQ(parseError("wrote#3:drop"),
              "at 0: expected a request kind (identity, begin, write, finish, erase, read, other, "
              "any)");
    EXPECT_EQ(parseError("write3:drop"), "at 5: expected '#' after the request kind");
    EXPECT_EQ(parseError("write#:drop"), "at 6: expected a number");
    EXPECT_EQ(parseError("write#0:drop"), "at 6: ordinals count from 1");
    EXPECT_EQ(parseError("write#9-3:drop"), "at 8: range ends before it starts");
    EXPECT_EQ(parseError("write#3 drop"), "at 8: expected ':' before the actions");
    EXPECT_EQ(parseError("write#3:explode"), "at 8: unknown action 'explode'");
    EXPECT_EQ(parseError("write#3:code=200"), "at 15: number too large (at most 127)");
    EXPECT_EQ(parseError("write#3:code"), "at 12: code needs a value: code=2");
    EXPECT_EQ(parseError("write#3:late=5min"), "at 14: time unit must be ms or s");
    EXPECT_EQ(parseError("write#3:late=3601s"), "at 17: delay longer than an hour");
    EXPECT_EQ(parseError("write#3:foreign=inside"), "at 16: expected before or after");
    EXPECT_EQ(parseError("write#3:drop write#4:drop"), "at 13: expected ';' between rules");
    EXPECT_EQ(parseError("write#99999999999999999999:drop"),
              "at 18: number too large (at most 1000000000000)");
}

TEST(FaultScript, ErrorWithoutAnErrorStringStillFails) {
    EXPECT_FALSE(parseFaultScript("write#", nullptr).has_value());
}

TEST(FaultScript, GarbageNeverCrashesTheParser) {
    // Random bytes, and random cuts of valid scripts, must yield a script or
    // an error with a position, never anything else.
    std::mt19937 rng(12345);
    const std::string valid =
        "write#3:drop; write#5-35:code=2; erase#1:late=200ms; read#*:badcrc,trunc=4; "
        "identity#1:twice; any#10:foreign=after,realtime=inside";
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        if (i % 2 == 0) {
            const std::size_t n = rng() % 40;
            for (std::size_t k = 0; k < n; ++k) text.push_back(static_cast<char>(rng() % 256));
        } else {
            text = valid.substr(0, rng() % (valid.size() + 1));
            if (!text.empty() && rng() % 2 == 0)
                text[rng() % text.size()] = static_cast<char>(rng());
        }
        std::string error;
        const auto s = parseFaultScript(text, &error);
        if (!s) {
            ASSERT_EQ(error.rfind("at ", 0), 0U) << error;
        }
    }
}

TEST(FaultScript, RuleMatchingByKindOrdinalAndAny) {
    const FaultScript s = parseOk("write#5-7:drop; any#2:twice");
    EXPECT_FALSE(s.rules[0].matches(RequestKind::Write, 4, 100));
    EXPECT_TRUE(s.rules[0].matches(RequestKind::Write, 5, 100));
    EXPECT_TRUE(s.rules[0].matches(RequestKind::Write, 7, 1));
    EXPECT_FALSE(s.rules[0].matches(RequestKind::Write, 8, 5));
    EXPECT_FALSE(s.rules[0].matches(RequestKind::Erase, 6, 6));
    EXPECT_TRUE(s.rules[1].matches(RequestKind::Identity, 1, 2));
    EXPECT_FALSE(s.rules[1].matches(RequestKind::Identity, 2, 3));
}

}  // namespace
}  // namespace ql5::emulator
