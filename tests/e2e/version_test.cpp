// Version checks against the virtual unit: the report, and the failures
// that show none.
#include <cstring>

#include "e2e_fixture.hpp"

namespace ql5::testing {
namespace {

class VersionCheckTest : public EngineOnUnit {
  protected:
    std::vector<std::string> reports() const { return window.callsStartingWith("report:"); }
    void expectPortsClosedAndControlsBack(int result) {
        EXPECT_FALSE(st.midiOut.isOpen());
        EXPECT_FALSE(st.midiIn.started());
        const std::vector<std::string> calls = window.calls();
        ASSERT_GE(calls.size(), 2U);
        EXPECT_EQ(calls.back(), "restore");
        EXPECT_NE(std::find(calls.begin(), calls.end(), "done:" + std::to_string(result)),
                  calls.end());
        EXPECT_EQ(st.busy.load(), 0);
    }
};

TEST_F(VersionCheckTest, OlderUnitShowsArrowsWhereVersionsDiffer) {
    startWith();  // 1.10 / 1.00 / 0.90
    engine::versionCheckWorker(st);
    EXPECT_EQ(reports(),
              std::vector<std::string>{
                  "report:SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t0.90 -> 1.00"});
    expectPortsClosedAndControlsBack(0);
    EXPECT_TRUE(window.errors().empty());
    EXPECT_EQ(unit->counters().of(emulator::RequestKind::Read), 3U);
    EXPECT_FALSE(unit->touched(0, engine::kFlashSize)) << "a check changes nothing";
}

TEST_F(VersionCheckTest, EqualStampsShowOnlyTheSystemArrow) {
    emulator::UnitConfig cfg;
    cfg.systemStamp = "1.20";
    cfg.bootStamp = "1.00";
    startWith(cfg);
    engine::versionCheckWorker(st);
    EXPECT_EQ(reports(), std::vector<std::string>{
                             "report:SYSTEM:\t\t1.20 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t1.00"});
}

TEST_F(VersionCheckTest, UnprintableStampsShowAsStars) {
    startWith();
    const std::uint8_t erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(unit->pokeFlash(engine::kStampSystemAddress, erased));
    const std::uint8_t shortText[4] = {'1', '.', '0', 0};
    ASSERT_TRUE(unit->pokeFlash(engine::kStampBootAddress, shortText));
    engine::versionCheckWorker(st);
    EXPECT_EQ(reports(),
              std::vector<std::string>{
                  "report:SYSTEM:\t\t*.** -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t*.** -> 1.00"});
}

TEST_F(VersionCheckTest, FailedPresetReadOnTheFirstCheckLeavesItsLineEmpty) {
    startWith({}, "read#2:code=4");
    engine::versionCheckWorker(st);
    EXPECT_EQ(reports(), std::vector<std::string>{
                             "report:SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t\nBOOT:\t\t0.90 -> 1.00"});
    expectPortsClosedAndControlsBack(0);
}

TEST_F(VersionCheckTest, FailedPresetReadKeepsTheEarlierCheck) {
    startWith({}, "read#5:drop");
    engine::versionCheckWorker(st);
    ASSERT_TRUE(openUnitPorts(st));
    st.busy.store(1);
    engine::versionCheckWorker(st);
    const std::vector<std::string> r = reports();
    ASSERT_EQ(r.size(), 2U);
    EXPECT_EQ(r[1], r[0]);
}

TEST_F(VersionCheckTest, LateReplyOfATimedOutReadDoesNotAnswerTheNext) {
    // The PRESET read times out; its reply, still on the way, carries the
    // PRESET stamp and must not be shown as BOOT's.
    startWith({}, "read#2:late=600ms");
    st.timing.readTimeoutMs = 300;
    engine::versionCheckWorker(st);
    EXPECT_EQ(reports(), std::vector<std::string>{
                             "report:SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t\nBOOT:\t\t0.90 -> 1.00"});
    expectPortsClosedAndControlsBack(0);
}

TEST_F(VersionCheckTest, FailedSystemReadShowsNoReport) {
    startWith({}, "read#1:drop");
    engine::versionCheckWorker(st);
    EXPECT_TRUE(reports().empty());
    EXPECT_TRUE(window.errors().empty());
    expectPortsClosedAndControlsBack(-1);
}

TEST_F(VersionCheckTest, FailedBootReadShowsNoReport) {
    startWith({}, "read#3:badcrc");
    engine::versionCheckWorker(st);
    EXPECT_TRUE(reports().empty());
    expectPortsClosedAndControlsBack(-1);
}

TEST_F(VersionCheckTest, IllegalDeviceIsReportedByIdentification) {
    emulator::UnitConfig cfg;
    cfg.identity = {0x6E, 0x00, 0x20, 0x00};
    startWith(cfg);
    engine::versionCheckWorker(st);
    EXPECT_EQ(window.errors(), std::vector<std::string>{"error:Illegal device connected."});
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(unit->counters().of(emulator::RequestKind::Read), 0U);
    EXPECT_FALSE(st.midiOut.isOpen());
}

TEST_F(VersionCheckTest, ClosingTheWindowDuringAReadEndsAtOnce) {
    startWith({}, "read#2:ignore");
    st.timing = sync::Timing{};
    std::thread worker([&] { engine::versionCheckWorker(st); });
    ASSERT_TRUE(unit->waitForRequests(emulator::RequestKind::Read, 2, std::chrono::seconds(10)));
    const auto t0 = std::chrono::steady_clock::now();
    engine::abortForClose(st);
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(reports().empty());
}

// The report's comparison rule, on texts no carried stamp could have.
TEST(VersionReport, ComparisonIsExactAndCaseSensitive) {
    engine::UpdateState st;
    st.deviceVersions = {"v1.a", "1.0a", "9.99"};
    st.carriedVersions = {"v1.A", "1.0A", ""};
    EXPECT_EQ(engine::versionReportText(st),
              "SYSTEM:\t\t9.99 -> \nPRESET:\t\t1.0a -> 1.0A\nBOOT:\t\tv1.a -> v1.A");
}

TEST(SanitizeVersionText, OnlyPrintableAsciiIsShown) {
    auto clean = [](const char* in) {
        char t[5];
        std::memcpy(t, in, 4);
        t[4] = 0;
        engine::sanitizeVersionText(t);
        return std::string(t);
    };
    EXPECT_EQ(clean("1.20"), "1.20");
    EXPECT_EQ(clean(" ~~ "), " ~~ ");
    EXPECT_EQ(clean("1.2\x7F"), "*.**");
    EXPECT_EQ(clean("\x1F.20"), "*.**");
    EXPECT_EQ(clean("1.\x80"
                    "0"),
              "*.**");
    EXPECT_EQ(clean("\xFF\xFF\xFF\xFF"), "*.**");
}

}  // namespace
}  // namespace ql5::testing
