// Closing the window while a worker waits: the process ends promptly and
// normally, and shows no message.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>

#include "probe_process.hpp"
#include "ui/resource.hpp"

namespace ql5 {
namespace {

using test::ProbeProcess;

struct Case {
    const char* name;
    const char* faults;
    int command;
    const char* closeAfter;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CloseProcessTest : public ::testing::TestWithParam<Case> {};

// Promptly: long before the wait it was in could have ended by itself (the
// shortest, a write's 32 sends of a second each, is over 30 s). How much
// under that is the machine's: an instrumented process that checks its heap
// at exit on a loaded machine can take more than a second.
TEST_P(CloseProcessTest, ProcessEndsPromptlyWithoutAMessage) {
    const Case& c = GetParam();
    ProbeProcess p(QL5_APP_PROBE,
                   {{"QL5_PROBE_FAULTS", c.faults},
                    {"QL5_PROBE_SCOPE", "close-test-" + std::to_string(::getpid())}});
    ASSERT_TRUE(p.started());
    std::vector<std::string> lines;
    ASSERT_TRUE(p.readUntil("TITLE\t", 20000, &lines));
    p.send("click " + std::to_string(c.command));
    p.send(std::string("close-after ") + c.closeAfter);
    ASSERT_TRUE(p.readUntil("CLOSING", 60000, &lines));
    const auto closing = std::chrono::steady_clock::now();
    const auto status = p.wait(10000);
    const auto took = std::chrono::steady_clock::now() - closing;
    ASSERT_TRUE(status.has_value()) << "still running ten seconds after the close";
    EXPECT_LT(took, std::chrono::milliseconds(10000));
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by a signal";
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    while (auto line = p.readLine(100)) lines.push_back(*line);
    for (const auto& l : lines) {
        EXPECT_NE(l.rfind("BOX", 0), 0u) << l;
        EXPECT_NE(l, "NOREQUEST");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, CloseProcessTest,
    ::testing::Values(Case{"Identity", "identity#*:ignore", ui::IDOK, "identity 1"},
                      Case{"Erase", "erase#*:ignore", ui::IDOK, "erase 1"},
                      Case{"Write", "write#2-:ignore", ui::IDOK, "write 2"},
                      Case{"Unplug", "", ui::IDOK, "finish 1"},
                      Case{"CheckRead", "read#*:ignore", ui::IDC_VERSIONCHECK, "read 1"},
                      Case{"CheckPresetRead", "read#2-:ignore", ui::IDC_VERSIONCHECK, "read 2"}),
    [](const auto& info) { return std::string(info.param.name); });

// A worker stuck in a send that the platform never finishes cannot return
// at once; the process still ends promptly, without running the destructors
// of what the worker uses.
TEST(CloseProcess, EndsPromptlyWhileAWorkerIsStuckInASend) {
    ProbeProcess p(QL5_APP_PROBE,
                   {{"QL5_PROBE_FAULTS", ""},
                    {"QL5_PROBE_HANG_SENDS", "1"},
                    {"QL5_PROBE_SCOPE", "close-test-" + std::to_string(::getpid())}});
    ASSERT_TRUE(p.started());
    std::vector<std::string> lines;
    ASSERT_TRUE(p.readUntil("TITLE\t", 20000, &lines));
    p.send("click " + std::to_string(ui::IDOK));
    // Closed once the identity request has reached the unit, so the worker
    // is inside the send that never finishes (a fixed sleep raced with the
    // image check that Execute now does first).
    p.send("close-after identity 1");
    ASSERT_TRUE(p.readUntil("CLOSING", 20000, &lines));
    const auto closing = std::chrono::steady_clock::now();
    // Before the send's own bound (5 s) could have ended it.
    const auto status = p.wait(3000);
    const auto took = std::chrono::steady_clock::now() - closing;
    ASSERT_TRUE(status.has_value()) << "still running after the close";
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by a signal";
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    while (auto line = p.readLine(100)) lines.push_back(*line);
    for (const auto& l : lines) {
        EXPECT_NE(l.rfind("BOX", 0), 0u) << l;
        // The shell did not return normally: it ended the process itself.
        EXPECT_NE(l, "END");
    }
}

}  // namespace
}  // namespace ql5
