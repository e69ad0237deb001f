// The built-in virtual unit of the application: listed only when asked for,
// updatable end to end, gone after the update and back with the new
// versions.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "probe_process.hpp"
#include "ui/resource.hpp"

namespace ql5 {
namespace {

using test::ProbeProcess;

struct State {
    bool execute = false, versionCheck = false;
    int busy = -1;
    std::string status, in, out;
};

State report(ProbeProcess& p) {
    p.send("report");
    State s;
    auto line = p.readUntil("STATE\t", 10000);
    if (!line) return s;
    std::vector<std::string> f;
    std::size_t start = 0;
    for (;;) {
        const auto tab = line->find('\t', start);
        f.push_back(
            line->substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() != 7) return s;
    s.execute = f[1] == "1";
    s.versionCheck = f[2] == "1";
    s.busy = std::stoi(f[3]);
    s.status = f[4];
    s.in = f[5];
    s.out = f[6];
    return s;
}

template <typename Pred>
bool poll(ProbeProcess& p, Pred pred, int ms, State* last = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        State s = report(p);
        if (last != nullptr) *last = s;
        if (pred(s)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

const std::string kScope = "virtual-unit-test-" + std::to_string(::getpid());

TEST(VirtualUnitOption, WithoutTheVariableNothingVirtualIsListed) {
    ProbeProcess p(QL5_APP_PROBE, {{"QL5_PROBE_SCOPE", kScope}});
    ASSERT_TRUE(p.readUntil("TITLE\t", 20000));
    const State s = report(p);
    EXPECT_FALSE(s.execute);
    EXPECT_FALSE(s.versionCheck);
    EXPECT_EQ(s.in, "");
    EXPECT_EQ(s.out, "");
    p.closeInput();
    EXPECT_TRUE(p.wait(5000).has_value());
}

TEST(VirtualUnitOption, UpdateUnplugReplugAndRescanWithTheNewVersions) {
    ProbeProcess p(QL5_APP_PROBE, {{"QL5_PROBE_SCOPE", kScope}, {"QL5_VIRTUAL_UNIT", "1"}});
    ASSERT_TRUE(p.readUntil("TITLE\t", 20000));
    State s = report(p);
    EXPECT_TRUE(s.execute);
    EXPECT_TRUE(s.versionCheck);
    EXPECT_EQ(s.in, "Tarvik QL-5 MIDI 1");
    EXPECT_EQ(s.out, "Tarvik QL-5 MIDI 1");

    p.send("click " + std::to_string(ui::IDOK));
    ASSERT_TRUE(poll(
        p, [](const State& st) { return st.busy == 0; }, 120000, &s));
    // The worker clears busy when it restores the controls, then disables the
    // two actions: look again once it has surely returned.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    s = report(p);
    EXPECT_EQ(s.status, "Version update completed.");
    EXPECT_FALSE(s.execute);
    const auto completed = std::chrono::steady_clock::now();

    // Unplugged 1.5 s after the finish; back about 3 s later.
    p.send("click " + std::to_string(ui::IDC_RESCAN));
    s = report(p);
    EXPECT_FALSE(s.execute) << "the unit should still be away";
    ASSERT_TRUE(poll(
        p,
        [&](const State& st) {
            if (st.execute) return true;
            p.send("click " + std::to_string(ui::IDC_RESCAN));
            return false;
        },
        10000, &s));
    EXPECT_GT(std::chrono::steady_clock::now() - completed, std::chrono::milliseconds(2000));

    p.send("click " + std::to_string(ui::IDC_VERSIONCHECK));
    auto box = p.readUntil("BOX\t", 20000);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(*box,
              "BOX\tVersion Information\tSYSTEM:\\t\\t1.20 -> "
              "1.20\\nPRESET:\\t\\t1.00\\nBOOT:\\t\\t0.90 -> 1.00");
    p.closeInput();
    const auto status = p.wait(5000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
}

}  // namespace
}  // namespace ql5
