// The main window when starting a command fails underneath it, and a click
// that comes at the instant a finished update gives the controls back.
#include <gtest/gtest.h>
#include <QPushButton>

#include <atomic>
#include <memory>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/timer_hooks.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "platform/sync/sync.hpp"
#include "qt_harness.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"

namespace ql5 {
namespace {

using test::BoxRecorder;
using test::runWithin;
using test::waitUntil;

bool actionsReady(ui::CKestUpdatorDlg& d) {
    return d.inPortList.IsWindowEnabled() && d.outPortList.IsWindowEnabled() &&
           d.executeButton.IsWindowEnabled() && d.exitButton.IsWindowEnabled() &&
           d.rescanButton.IsWindowEnabled() && d.versionCheckButton.IsWindowEnabled() &&
           d.state().busy.load() == 0;
}

void click(ui::CKestUpdatorDlg& d, int id) {
    auto* b = test::control<QPushButton>(d, id);
    ASSERT_NE(b, nullptr);
    b->click();
}

// A user who clicks Execute at the moment the finished update restores the
// controls, before the worker disables Execute and Version Check again.
class ClickAsControlsComeBack : public ui::CKestUpdatorDlg {
  public:
    void restoreControls() override {
        ui::CKestUpdatorDlg::restoreControls();
        if (statusLine.GetWindowText() != "Version update completed." || clicked.exchange(true)) {
            return;
        }
        executeEnabledThen.store(executeButton.IsWindowEnabled());
        dlg::framework()->send([this] { dispatchCommand(ui::IDOK); });
    }
    std::atomic<bool> clicked{false};
    std::atomic<bool> executeEnabledThen{false};
};

class MainDialogFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::qtFramework();
        mm::setDrivers({mm::virt::virtualDriver()});
        emulator::UnitConfig cfg;
        cfg.unplugAfterFinishMs = 50;
        unit = std::make_unique<emulator::VirtualUnit>(cfg);
    }
    void TearDown() override {
        sync::failThreadStartsForTest(0);
        mm::setTimeSetEventRefused(false);
        if (dialog) {
            ASSERT_TRUE(dialog->settleAfterClose(3000)) << "a worker did not return";
        }
        dialog.reset();
        unit.reset();
    }
    template <typename D = ui::CKestUpdatorDlg>
    D& make() {
        auto d = std::make_unique<D>();
        D& ref = *d;
        dialog = std::move(d);
        dialog->state().timing = sync::Timing::forTests();
        return ref;
    }

    std::unique_ptr<ui::CKestUpdatorDlg> dialog;
    std::unique_ptr<emulator::VirtualUnit> unit;
};

TEST_F(MainDialogFaultsTest, AWorkerThreadThatCannotStartIsReportedAndTheControlsComeBack) {
    make();
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        for (const int command : {ui::IDOK, ui::IDC_VERSIONCHECK}) {
            const std::size_t before = boxes.count();
            sync::failThreadStartsForTest(1);
            click(*dialog, command);
            ASSERT_EQ(boxes.count(), before + 1);
            EXPECT_EQ(boxes.boxes().back().text, "Transfer error occurred.");
            EXPECT_EQ(boxes.boxes().back().caption, "Error");
            EXPECT_TRUE(actionsReady(*dialog)) << "command " << command;
            EXPECT_FALSE(dialog->workerRunning());
        }
        EXPECT_EQ(unit->counters().of(emulator::RequestKind::Any), 0U) << "nothing was sent";
        // The next try starts as usual.
        click(*dialog, ui::IDC_VERSIONCHECK);
        ASSERT_TRUE(
            waitUntil([&] { return !dialog->workerRunning() && actionsReady(*dialog); }, 10000));
    });
    ASSERT_EQ(boxes.count(), 3U);
    EXPECT_EQ(boxes.boxes()[2].caption, "Version Information");
}

TEST_F(MainDialogFaultsTest, ADispatcherTimerThatCannotStartIsReportedAndTheControlsComeBack) {
    // Refused from the window's start on: the timer it starts there is missing.
    mm::setTimeSetEventRefused(true);
    make();
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        EXPECT_EQ(dialog->state().timer.timerId(), 0U);
        click(*dialog, ui::IDOK);
        ASSERT_EQ(boxes.count(), 1U);
        EXPECT_EQ(boxes.boxes()[0].text, "Transfer error occurred.");
        EXPECT_TRUE(actionsReady(*dialog));
        EXPECT_FALSE(dialog->workerRunning());
        EXPECT_EQ(unit->counters().of(emulator::RequestKind::Any), 0U) << "nothing was sent";

        // Once the platform has timers again, the next command starts one.
        mm::setTimeSetEventRefused(false);
        click(*dialog, ui::IDC_VERSIONCHECK);
        EXPECT_NE(dialog->state().timer.timerId(), 0U);
        ASSERT_TRUE(
            waitUntil([&] { return !dialog->workerRunning() && actionsReady(*dialog); }, 10000));
    });
    ASSERT_EQ(boxes.count(), 2U);
    EXPECT_EQ(boxes.boxes()[1].caption, "Version Information");
}

TEST_F(MainDialogFaultsTest, AClickWhileTheFinishedUpdateGivesTheControlsBackStartsNothing) {
    auto& d = make<ClickAsControlsComeBack>();
    BoxRecorder boxes;
    runWithin(d, [&] {
        click(d, ui::IDOK);
        ASSERT_TRUE(waitUntil([&] { return !d.workerRunning(); }, 120000));
        test::pumpFor(100);  // a second worker, had one started, would be running now
        EXPECT_FALSE(d.workerRunning());
        EXPECT_EQ(d.statusLine.GetWindowText(), "Version update completed.");
        EXPECT_FALSE(d.executeButton.IsWindowEnabled());
        EXPECT_FALSE(d.versionCheckButton.IsWindowEnabled());
    });
    ASSERT_TRUE(d.clicked.load());
    // The button really was enabled at that instant: the click could land.
    EXPECT_TRUE(d.executeEnabledThen.load());
    EXPECT_EQ(boxes.count(), 0U);
    EXPECT_EQ(unit->counters().of(emulator::RequestKind::Identity), 1U);
}

}  // namespace
}  // namespace ql5
