// A plan that writes the BOOT region runs its BOOT rows only when the unit's
// BOOT stamp differs from the carried one.
#include "e2e_fixture.hpp"
#include "exchange.hpp"

namespace ql5::testing {
namespace {

using engine::FlashPlanRow;

// Erase and write BOOT, then six rows that do nothing.
constexpr std::array<FlashPlanRow, 8> kBootPlan = {{
    {engine::kOperationErase, 0x0, 0x4B000, 0},
    {engine::kOperationWrite, 0x0, 0, engine::kImageBoot},
    {0, 0x110000, 0, 0},
    {0, 0x110000, 0, 0},
    {0, 0x110000, 0, 0},
    {0, 0x110000, 0, 0},
    {0, 0x110000, 0, 0},
    {0, 0x110000, 0, 0},
}};

class BootRowsTest : public EngineOnUnit {
  protected:
    // Identification and the begin-update exchange, as the update worker
    // runs them before the plan.
    void identify() {
        ASSERT_EQ(engine::identifyDevice(st), 0);
        engine::stampModelId(st);
        engine::detail::beginExchange(st);
        ASSERT_EQ(engine::sendBeginUpdate(st), 0);
        const engine::detail::Reply r = engine::detail::awaitReply(st, st.timing.beginTimeoutMs);
        ASSERT_FALSE(r.timedOut);
        ASSERT_EQ(r.code, 0);
        unit->clearFlashLog();
    }
};

TEST_F(BootRowsTest, EqualBootStampSkipsTheRowsButCountsThem) {
    emulator::UnitConfig cfg;
    cfg.bootStamp = "1.00";  // what image 142 carries
    startWith(cfg);
    identify();
    EXPECT_EQ(engine::runFlashPlan(st, kBootPlan), 0);
    EXPECT_FALSE(unit->touched(0, 0x4B000));
    EXPECT_EQ(unit->counters().of(emulator::RequestKind::Read), 1U);
    EXPECT_EQ(window.callsStartingWith("step:").size(), 8U) << "skipped rows still show";
    EXPECT_EQ(window.callsStartingWith("step:").front(), "step:1/8");
}

TEST_F(BootRowsTest, OtherBootStampRunsTheRows) {
    startWith();  // BOOT 0.90
    identify();
    EXPECT_EQ(engine::runFlashPlan(st, kBootPlan), 0);
    EXPECT_TRUE(unit->differingBlocks(0, image(engine::kImageBoot)).empty());
    EXPECT_EQ(unit->stamps().boot, "1.00");
}

TEST_F(BootRowsTest, FailedBootStampReadIsReportedAndControlsComeBack) {
    startWith({}, "read#1:drop");
    identify();
    EXPECT_EQ(engine::runFlashPlan(st, kBootPlan), -1);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Transfer error occurred."});
    EXPECT_EQ(window.calls().back(), "restore");
    EXPECT_FALSE(unit->touched(0, 0x4B000));
}

}  // namespace
}  // namespace ql5::testing
