// Recovery after any interruption: an update is cut off at every erase and
// at points spread over the writes of every image, in the ways an update
// ends early (the unit vanishing before or after its answer, the window
// closing, the unit hanging); the unit is plugged in again in its update
// mode, a version check must give a sane report or fail quietly, and the
// update run again must complete with the images in flash.
#include <regex>
#include <thread>

#include "e2e_fixture.hpp"
#include "engine/images.hpp"

namespace ql5::testing {
namespace {

using emulator::RequestKind;

enum class Cut { VanishBefore, WindowCloses, UnitHangs, VanishAfter };

struct Point {
    RequestKind kind;
    std::uint64_t ordinal;
    Cut cut;
};

const char* kindName(RequestKind k) { return k == RequestKind::Erase ? "erase" : "write"; }

// Every erase, and for each image of the plan its first and last block and
// evenly spread blocks between, the ways to cut rotating over the points.
std::vector<Point> interruptionPoints() {
    std::vector<Point> points;
    std::uint64_t erases = 0;
    std::uint64_t blocksBefore = 0;
    for (const engine::FlashPlanRow& row : engine::FlashPlan) {
        if (row.operation == engine::kOperationErase) {
            points.push_back({RequestKind::Erase, ++erases, Cut::VanishBefore});
        } else if (row.operation == engine::kOperationWrite) {
            const std::uint64_t length =
                row.size != 0
                    ? row.size
                    : static_cast<std::uint64_t>(engine::loadImage(row.resourceId).length);
            const std::uint64_t blocks = (length + 4095) / 4096;
            const std::uint64_t n = std::min<std::uint64_t>(blocks, blocks > 1000 ? 22 : 10);
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t block = n == 1 ? 1 : 1 + i * (blocks - 1) / (n - 1);
                points.push_back({RequestKind::Write, blocksBefore + block, Cut::VanishBefore});
            }
            blocksBefore += blocks;
        }
    }
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i].cut = static_cast<Cut>(i % 4);
    }
    return points;
}

// One program session on the unit: its own state, window and dispatcher.
struct Session {
    RecorderWindow window;
    engine::UpdateState st;
    explicit Session(sync::Timing timing) {
        st.window = &window;
        window.attach(&st);
        st.timing = timing;
        engine::startDispatcher(st);
        opened = openUnitPorts(st);
        st.busy.store(1);
        st.replyEvent.reset();
    }
    ~Session() {
        st.timer.Stop();
        st.midiOut.Close();
        st.midiIn.Close();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool opened = false;
};

// One case per way to cut, each over its share of the points, so that each
// stays within its time-out under the sanitizers.
class Recovery : public EngineOnUnit, public ::testing::WithParamInterface<Cut> {};

TEST(RecoveryPoints, EveryEraseAndOverFortyWritesSpreadOverEveryImage) {
    const std::vector<Point> points = interruptionPoints();
    EXPECT_EQ(points.size(), 47U);
    std::size_t erases = 0;
    for (const Point& p : points) {
        erases += p.kind == RequestKind::Erase ? 1 : 0;
    }
    EXPECT_EQ(erases, 4U);
    EXPECT_EQ(points.back().ordinal, 38U + 138U + 3637U + 1U) << "the last block of all";
}

TEST_P(Recovery, EveryInterruptedUpdateIsFinishedByRunningItAgain) {
    std::vector<Point> points;
    for (const Point& p : interruptionPoints()) {
        if (p.cut == GetParam()) {
            points.push_back(p);
        }
    }
    ASSERT_GE(points.size(), 11U);
    // A report of printable stamps or "*.**", a half-written stamp included.
    const std::regex sane(
        "report:SYSTEM:\t\t([ -~]{4}) -> 1\\.20\nPRESET:\t\t([ -~]{0,4})( -> 1\\.00)?\n"
        "BOOT:\t\t([ -~]{4})( -> 1\\.00)?");
    int reports = 0;
    std::string missed;  // the checks that read no stamps, and what they said
    // The check and the update run again must not fail on a loaded machine's
    // slowness: waits no slow machine runs out.
    const sync::Timing patient = patientTiming();
    for (const Point& p : points) {
        const std::string where = std::string(kindName(p.kind)) + "#" + std::to_string(p.ordinal) +
                                  " cut " + std::to_string(static_cast<int>(p.cut));
        SCOPED_TRACE(where);
        emulator::UnitConfig cfg;
        const char* action = p.cut == Cut::VanishBefore  ? "vanish=before"
                             : p.cut == Cut::VanishAfter ? "vanish=after"
                             : p.cut == Cut::UnitHangs   ? "mute"
                                                         : nullptr;
        std::string error;
        if (action != nullptr) {
            auto script =
                emulator::parseFaultScript(where.substr(0, where.find(' ')) + ":" + action, &error);
            ASSERT_TRUE(script.has_value()) << error;
            cfg.faults = *script;
        }
        unit = std::make_unique<emulator::VirtualUnit>(cfg);
        {
            // A unit that vanished or hangs is given up after short waits; a
            // window that closes needs none.
            sync::Timing t = shortTiming();
            if (p.cut != Cut::WindowCloses) {
                // Only the cut write's 32 waits are meant to run out; the
                // markers before it are answered, and a loaded machine
                // (TSan) must not fail them first.
                t.writeTimeoutMs = 25;
                t.eraseTimeoutMs = 1000;
                t.markerTimeoutMs = 2000;
                t.resendPauseMs = 2;
            }
            Session cut(t);
            ASSERT_TRUE(cut.opened);
            std::thread worker([&] { engine::updateWorker(cut.st); });
            if (p.cut == Cut::WindowCloses) {
                EXPECT_TRUE(unit->waitForRequests(p.kind, p.ordinal, std::chrono::seconds(60)));
                engine::abortForClose(cut.st);
            }
            worker.join();
            EXPECT_TRUE(cut.window.callsStartingWith("status:Version update completed.").empty());
            EXPECT_GE(unit->counters().of(p.kind), p.ordinal) << "the cut came where planned";
        }
        // Plugged in again in its update mode, the fault gone.
        unit->setFaults(emulator::FaultScript{});
        unit->unplug();
        unit->plug();
        {
            Session check(patient);
            ASSERT_TRUE(check.opened);
            engine::versionCheckWorker(check.st);
            const std::vector<std::string> report = check.window.callsStartingWith("report:");
            const std::vector<std::string> done = check.window.callsStartingWith("done:");
            ASSERT_EQ(done.size(), 1U);
            if (done[0] == "done:0") {
                ASSERT_EQ(report.size(), 1U);
                EXPECT_TRUE(std::regex_match(report[0], sane)) << report[0];
                ++reports;
            } else {
                EXPECT_EQ(done[0], "done:-1");
                EXPECT_TRUE(report.empty());
                missed += "\n" + where + ":";
                for (const std::string& c : check.window.calls()) missed += " [" + c + "]";
                // and the unit's last messages, which tell what answered
                const std::vector<emulator::TranscriptEntry> es = unit->transcript().entries();
                for (std::size_t i = es.size() > 12 ? es.size() - 12 : 0; i < es.size(); ++i) {
                    missed +=
                        "\n  " + emulator::Transcript::format(es[i], unit->transcript().origin());
                }
            }
        }
        {
            Session again(patient);
            ASSERT_TRUE(again.opened);
            engine::updateWorker(again.st);
            EXPECT_TRUE(again.window.errors().empty()) << again.window.errors().front();
            EXPECT_FALSE(
                again.window.callsStartingWith("status:Version update completed.").empty());
            EXPECT_EQ(again.window.calls().back(), "enable:0");
        }
        expectFlashHoldsTheImages();
        EXPECT_FALSE(unit->touchedOutsideRegions());
        if (HasFailure()) {
            break;  // one point's story is enough to read
        }
    }
    EXPECT_EQ(reports, static_cast<int>(points.size()))
        << "every check read the stamps; these did not:" << missed;
    std::printf("interruption points: %zu, version reports: %d\n", points.size(), reports);
}

std::string cutName(const ::testing::TestParamInfo<Cut>& i) {
    switch (i.param) {
        case Cut::VanishBefore:
            return "UnitVanishesBeforeAnswering";
        case Cut::WindowCloses:
            return "WindowCloses";
        case Cut::UnitHangs:
            return "UnitHangs";
        case Cut::VanishAfter:
            return "UnitVanishesAfterAnswering";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(EveryCut, Recovery,
                         ::testing::Values(Cut::VanishBefore, Cut::WindowCloses, Cut::UnitHangs,
                                           Cut::VanishAfter),
                         cutName);

}  // namespace
}  // namespace ql5::testing
