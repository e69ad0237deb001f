// Instance slots across processes: each copy of the application claims the
// lowest free slot, shows it in its title, and a 21st copy is refused.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>
#include <vector>

#include "app/CKestUpdatorApp.hpp"
#include "platform/slots/named_marker.hpp"
#include "probe_process.hpp"
#include "ui/instance.hpp"

#ifndef QL5_APP_PROBE
#error "QL5_APP_PROBE must name the probe executable"
#endif

namespace ql5 {
namespace {

using instances::NamedMarker;
using test::ProbeProcess;

const std::string kProbe = QL5_APP_PROBE;
// This run's own slot namespace: copies of the program that others run on
// this machine, and parallel test runs, must not take our slots.
const std::string kScope = "slots-test-" + std::to_string(::getpid());

class Probe : public ProbeProcess {
  public:
    Probe() : ProbeProcess(kProbe, {{"QL5_PROBE_SCOPE", kScope}}) {}
};
const std::string kBase = "Tarvik QL-5 System v1.20 Updater";

std::string titleOf(ProbeProcess& p) {
    auto line = p.readUntil("TITLE\t", 20000);
    return line ? line->substr(6) : std::string("<no title>");
}

void endNormally(ProbeProcess& p) {
    p.closeInput();
    auto status = p.wait(5000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(InstanceSlots, CopiesTakeTheLowestFreeSlot) {
    Probe a;
    ASSERT_TRUE(a.started());
    EXPECT_EQ(titleOf(a), kBase);
    Probe b;
    EXPECT_EQ(titleOf(b), kBase + " (2)");
    Probe c;
    EXPECT_EQ(titleOf(c), kBase + " (3)");

    // Slots 1 and 3 taken: the next copy gets 2.
    endNormally(b);
    Probe d;
    EXPECT_EQ(titleOf(d), kBase + " (2)");

    // A killed copy's slot is free at once.
    a.kill();
    ASSERT_TRUE(a.wait(5000).has_value());
    Probe e;
    EXPECT_EQ(titleOf(e), kBase);

    endNormally(c);
    endNormally(d);
    endNormally(e);
}

TEST(InstanceSlots, TheTwentyFirstCopyIsRefusedWithoutAWindow) {
    // Nineteen slots held by this process stand for nineteen running copies;
    // a real copy takes the twentieth.
    NamedMarker::setScope(kScope);
    std::vector<NamedMarker> held;
    for (int n = 1; n <= 19; ++n) {
        held.push_back(NamedMarker::create(ui::instanceName(n)));
        ASSERT_EQ(held.back().outcome(), NamedMarker::Outcome::Created) << n;
    }
    Probe twentieth;
    EXPECT_EQ(titleOf(twentieth), kBase + " (20)");

    Probe refused;
    std::vector<std::string> lines;
    auto end = refused.readUntil("END", 20000, &lines);
    ASSERT_TRUE(end.has_value());
    ASSERT_EQ(lines.size(), 2u);
    // Captioned with the executable's file name without extension.
    const std::string exeName = kProbe.substr(kProbe.find_last_of('/') + 1);
    EXPECT_EQ(lines[0],
              "BOX\t" + exeName +
                  "\tIt is forbidden to launch more than 20 instance of this application.");
    auto status = refused.wait(5000);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));

    endNormally(twentieth);
    NamedMarker::setScope("");
}

TEST(NamedMarkers, ANameIsHeldOnceAndFreedOnClose) {
    NamedMarker first = NamedMarker::create("ql5 marker test");
    ASSERT_EQ(first.outcome(), NamedMarker::Outcome::Created);
    NamedMarker second = NamedMarker::create("ql5 marker test");
    EXPECT_EQ(second.outcome(), NamedMarker::Outcome::Existed);
    EXPECT_FALSE(second.held());
    NamedMarker other = NamedMarker::create("ql5 marker test 2");
    EXPECT_EQ(other.outcome(), NamedMarker::Outcome::Created);
    first.close();
    NamedMarker third = NamedMarker::create("ql5 marker test");
    EXPECT_EQ(third.outcome(), NamedMarker::Outcome::Created);
}

TEST(NamedMarkers, AMarkerOfAKilledProcessVanishes) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        NamedMarker m = NamedMarker::create("ql5 marker test killed");
        const char ok = m.outcome() == NamedMarker::Outcome::Created ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        for (;;) ::pause();
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_EQ(NamedMarker::create("ql5 marker test killed").outcome(),
              NamedMarker::Outcome::Existed);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(NamedMarker::create("ql5 marker test killed").outcome(),
              NamedMarker::Outcome::Created);
}

TEST(NamedMarkers, AnOverlongNameCountsAsTaken) {
    EXPECT_EQ(NamedMarker::create(std::string(200, 'x')).outcome(), NamedMarker::Outcome::Failed);
}

TEST(InstanceNames, AsTheTitlesShowThem) {
    EXPECT_EQ(ui::instanceName(1), kBase);
    EXPECT_EQ(ui::instanceName(2), kBase + " (2)");
    EXPECT_EQ(ui::instanceName(20), kBase + " (20)");
    EXPECT_EQ(app::instanceLimitMessage(),
              "It is forbidden to launch more than 20 instance of this application.");
}

TEST(AppName, IsTheExecutablesFileNameWithoutExtension) {
    app::CKestUpdatorApp probeApp;
    probeApp.setAppNameFromPath("/opt/tarvik/bin/ql5-updater");
    EXPECT_EQ(probeApp.appName(), "ql5-updater");
    probeApp.setAppNameFromPath("C:\\Tools\\KestUpdator.exe");
    EXPECT_EQ(probeApp.appName(), "KestUpdator");
}

}  // namespace
}  // namespace ql5
