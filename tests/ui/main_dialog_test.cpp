// The main window driven as a user drives it, on the offscreen platform,
// against in-process MIDI devices and the virtual unit.
#include <gtest/gtest.h>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <memory>
#include <regex>
#include <set>
#include <utility>
#include <vector>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "qt_harness.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"

namespace ql5 {
namespace {

using test::BoxRecorder;
using test::control;
using test::runWithin;
using test::waitUntil;

struct Controls {
    bool inList, outList, execute, exit, rescan, versionCheck;
    int busy;
    bool operator==(const Controls&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Controls& c) {
    return os << "{in " << c.inList << " out " << c.outList << " exec " << c.execute << " exit "
              << c.exit << " rescan " << c.rescan << " vc " << c.versionCheck << " busy " << c.busy
              << "}";
}

constexpr Controls kReady{true, true, true, true, true, true, 0};
constexpr Controls kNotReady{true, true, false, true, true, false, 0};
constexpr Controls kUpdating{false, false, false, false, false, false, 1};
constexpr Controls kChecking{false, false, false, true, false, false, 1};

Controls controlsOf(ui::CKestUpdatorDlg& d) {
    return Controls{d.inPortList.IsWindowEnabled(),
                    d.outPortList.IsWindowEnabled(),
                    d.executeButton.IsWindowEnabled(),
                    d.exitButton.IsWindowEnabled(),
                    d.rescanButton.IsWindowEnabled(),
                    d.versionCheckButton.IsWindowEnabled(),
                    d.state().busy.load()};
}

void click(ui::CKestUpdatorDlg& d, int id) {
    auto* b = control<QPushButton>(d, id);
    ASSERT_NE(b, nullptr);
    b->click();  // does nothing on a disabled button, as for a user
}

class MainDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::qtFramework();
        // Only in-process devices: whatever the machine has must not count.
        mm::setDrivers({mm::virt::virtualDriver()});
        dialog = std::make_unique<ui::CKestUpdatorDlg>();
        dialog->state().timing = sync::Timing::forTests();
    }
    void TearDown() override {
        ASSERT_TRUE(dialog->settleAfterClose(3000)) << "a worker did not return";
        dialog.reset();
        unit.reset();
    }

    std::unique_ptr<emulator::VirtualUnit> makeUnit(emulator::UnitConfig cfg = {}) {
        cfg.unplugAfterFinishMs = cfg.unplugAfterFinishMs ? cfg.unplugAfterFinishMs : 50;
        return std::make_unique<emulator::VirtualUnit>(std::move(cfg));
    }

    std::unique_ptr<ui::CKestUpdatorDlg> dialog;
    std::unique_ptr<emulator::VirtualUnit> unit;
};

TEST_F(MainDialogTest, WithoutTheUnitExecuteAndVersionCheckAreDisabled) {
    runWithin(*dialog, [&] {
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
        EXPECT_EQ(dialog->inPortList.GetCount(), 0);
        EXPECT_EQ(dialog->outPortList.GetCount(), 0);
        EXPECT_EQ(dialog->GetWindowText(), "Tarvik QL-5 System v1.20 Updater");
        EXPECT_EQ(dialog->progressBar.GetRange(), (std::pair<std::int32_t, std::int32_t>{0, 100}));
        EXPECT_EQ(dialog->progressBar.GetPos(), 0);
        EXPECT_EQ(dialog->statusLine.GetWindowText(), "");
        EXPECT_EQ(dialog->stepCounter.GetWindowText(), "");
        EXPECT_TRUE(dialog->statusLine.isReadOnly());
        EXPECT_TRUE(dialog->stepCounter.isReadOnly());
    });
}

TEST_F(MainDialogTest, WithTheUnitBothPortsAreSelectedAndActionsEnabled) {
    auto other = mm::virt::VirtualDevice::create("Other Synth In", "Other Synth Out");
    other->plug();
    unit = makeUnit();
    runWithin(*dialog, [&] {
        EXPECT_EQ(controlsOf(*dialog), kReady);
        ASSERT_EQ(dialog->outPortList.GetCount(), 2);
        ASSERT_EQ(dialog->inPortList.GetCount(), 2);
        // Device order: the list position is the device index.
        EXPECT_EQ(dialog->outPortList.GetLBText(0), "Other Synth Out");
        EXPECT_EQ(dialog->inPortList.GetLBText(0), "Other Synth In");
        EXPECT_EQ(dialog->outPortList.GetCurSel(), 1);
        EXPECT_EQ(dialog->inPortList.GetCurSel(), 1);
    });
}

TEST_F(MainDialogTest, ChoosingEntriesByHandChangesNothingAndRescanReplacesTheChoice) {
    auto other = mm::virt::VirtualDevice::create("Other Synth In", "Other Synth Out");
    other->plug();
    runWithin(*dialog, [&] {
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
        EXPECT_EQ(dialog->inPortList.GetCurSel(), -1);
        control<QComboBox>(*dialog, ui::IDC_MIDIIN)->setCurrentIndex(0);
        control<QComboBox>(*dialog, ui::IDC_MIDIOUT)->setCurrentIndex(0);
        test::pumpFor(20);
        EXPECT_EQ(controlsOf(*dialog), kNotReady);

        // Plugging the unit in changes nothing until Rescan Device.
        unit = makeUnit();
        test::pumpFor(20);
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
        EXPECT_EQ(dialog->inPortList.GetCount(), 1);
        click(*dialog, ui::IDC_RESCAN);
        EXPECT_EQ(controlsOf(*dialog), kReady);
        EXPECT_EQ(dialog->inPortList.GetCurSel(), 1);
        EXPECT_EQ(dialog->outPortList.GetCurSel(), 1);

        // A choice by hand is replaced on the next scan; with the unit gone
        // no entry is selected.
        control<QComboBox>(*dialog, ui::IDC_MIDIIN)->setCurrentIndex(0);
        unit.reset();
        click(*dialog, ui::IDC_RESCAN);
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
        EXPECT_EQ(dialog->inPortList.GetCount(), 1);
        EXPECT_EQ(dialog->inPortList.GetCurSel(), -1);
        EXPECT_EQ(dialog->outPortList.GetCurSel(), -1);
    });
}

TEST_F(MainDialogTest, DiscoverySelectsTheLastMatchAndIsCaseSensitive) {
    auto first = mm::virt::VirtualDevice::create("tarvik ql-5 in", "My Tarvik QL-5 Out A");
    auto second = mm::virt::VirtualDevice::create("Other In", "Tarvik QL-5 Out B (2)");
    // 31 characters, listed whole.
    auto longName = mm::virt::VirtualDevice::create("Thirty-one chars Tarvik QL-5 xy", "Out");
    first->plug();
    second->plug();
    longName->plug();
    runWithin(*dialog, [&] {
        ASSERT_EQ(dialog->outPortList.GetCount(), 3);
        EXPECT_EQ(dialog->outPortList.GetCurSel(), 1);
        EXPECT_EQ(dialog->outPortList.GetLBText(1), "Tarvik QL-5 Out B (2)");
        EXPECT_EQ(dialog->inPortList.GetLBText(2), "Thirty-one chars Tarvik QL-5 xy");
        EXPECT_EQ(dialog->inPortList.GetCurSel(), 2);
        EXPECT_EQ(dialog->discoverPorts(), 1);

        // Output of the unit only: OUT selected, IN not, result 0.
        longName->unplug();
        EXPECT_EQ(dialog->discoverPorts(), 0);
        EXPECT_EQ(dialog->outPortList.GetCurSel(), 1);
        EXPECT_EQ(dialog->inPortList.GetCurSel(), -1);
    });
}

TEST_F(MainDialogTest, OpenPortsRefusesWhileBusy) {
    emulator::UnitConfig cfg;
    unit = makeUnit(cfg);
    ASSERT_TRUE(unit->setFaults("read#*:ignore", nullptr));
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        click(*dialog, ui::IDC_VERSIONCHECK);
        EXPECT_EQ(controlsOf(*dialog), kChecking);
        EXPECT_EQ(dialog->openPorts(), -1);
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.boxes()[0].text, "In Progress.");
        EXPECT_EQ(boxes.boxes()[0].caption, "Error");
        EXPECT_EQ(boxes.boxes()[0].type, 0x10u);
        EXPECT_EQ(controlsOf(*dialog), kChecking);
        // The check's reads time out; no report, the controls come back.
        EXPECT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 5000));
        EXPECT_EQ(controlsOf(*dialog), kReady);
        EXPECT_EQ(boxes.count(), 1u);
    });
}

TEST_F(MainDialogTest, PortsThatCannotBeOpenedLeaveTheControlsAsTheyWere) {
    unit = makeUnit();
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        unit->device()->refuseOutputOpen(true);
        click(*dialog, ui::IDOK);
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.boxes()[0].text, "Can't open MIDI Out device.");
        EXPECT_EQ(boxes.boxes()[0].caption, "Error");
        EXPECT_EQ(controlsOf(*dialog), kReady);

        unit->device()->refuseOutputOpen(false);
        unit->device()->refuseInputOpen(true);
        click(*dialog, ui::IDC_VERSIONCHECK);
        ASSERT_EQ(boxes.count(), 2u);
        EXPECT_EQ(boxes.boxes()[1].text, "Can't open MIDI In device.");
        EXPECT_EQ(controlsOf(*dialog), kReady);
        EXPECT_TRUE(unit->device()->hostOutputOpen());
        EXPECT_FALSE(unit->device()->hostInputOpen());

        // The next command closes and reopens both ports.
        unit->device()->refuseInputOpen(false);
        click(*dialog, ui::IDC_VERSIONCHECK);
        EXPECT_EQ(controlsOf(*dialog), kChecking);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 10000));
        ASSERT_EQ(boxes.count(), 3u);
        EXPECT_EQ(boxes.boxes()[2].caption, "Version Information");
    });
}

TEST_F(MainDialogTest, AfterAFailedCheckTheActionsComeBackEvenWithTheUnitGone) {
    unit = makeUnit();
    // The unit is pulled out while it answers the PRESET read: the BOOT read
    // then fails and the check ends without a report.
    ASSERT_TRUE(unit->setFaults("read#2:vanish=before", nullptr));
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        click(*dialog, ui::IDC_VERSIONCHECK);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 10000));
        EXPECT_FALSE(unit->plugged());
        EXPECT_EQ(controlsOf(*dialog), kReady);
        click(*dialog, ui::IDC_RESCAN);
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
    });
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(MainDialogTest, WholeUpdateThroughTheWindow) {
    unit = makeUnit();
    BoxRecorder boxes;
    std::set<std::string> statusTexts, stepTexts;
    bool sawUpdating = false, sawWriteProgress = false;
    runWithin(*dialog, [&] {
        // Every status and step shown, also one that stood too briefly to be
        // seen by looking now and then (an erase under the test's short timing).
        for (auto [id, texts] :
             {std::pair{ui::IDC_STATUS, &statusTexts}, std::pair{ui::IDC_STEP, &stepTexts}}) {
            auto* edit = control<QLineEdit>(*dialog, id);
            ASSERT_NE(edit, nullptr);
            QObject::connect(edit, &QLineEdit::textChanged,
                             [texts](const QString& t) { texts->insert(t.toStdString()); });
        }
        ASSERT_EQ(controlsOf(*dialog), kReady);
        click(*dialog, ui::IDOK);
        sawUpdating = controlsOf(*dialog) == kUpdating;
        const bool done = waitUntil(
            [&] {
                const auto range = dialog->progressBar.GetRange();
                if (range.second > 100000 && dialog->progressBar.GetPos() > 0)
                    sawWriteProgress = true;
                // The controls are read before the status line: while it does
                // not say the update is complete, the worker had not begun to
                // restore them when they were read.
                const Controls now = controlsOf(*dialog);
                if (dialog->statusLine.GetWindowText() != "Version update completed." &&
                    !(now == kUpdating)) {
                    ADD_FAILURE() << "controls changed during the update: " << now;
                }
                // Done when the worker has returned: it restores the controls
                // and then disables the two actions.
                return !dialog->workerRunning();
            },
            120000);
        ASSERT_TRUE(done);
        EXPECT_EQ(dialog->statusLine.GetWindowText(), "Version update completed.");
        EXPECT_EQ(dialog->stepCounter.GetWindowText(), "8/8");
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
        const auto range = dialog->progressBar.GetRange();
        EXPECT_EQ(dialog->progressBar.GetPos(), range.second);
        // Execute had the focus and stays off: the keyboard goes on from
        // Rescan Device, not from the read-only status line.
        EXPECT_EQ(dialog->window()->focusedItem(), ui::IDC_RESCAN);

        // The unit comes back with what was written; Rescan Device finds it.
        unit->plug();
        click(*dialog, ui::IDC_RESCAN);
        EXPECT_EQ(controlsOf(*dialog), kReady);
        control<QPushButton>(*dialog, ui::IDC_VERSIONCHECK)->setFocus();
        click(*dialog, ui::IDC_VERSIONCHECK);
        EXPECT_NE(dialog->window()->focusedItem(), ui::IDC_VERSIONCHECK);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 10000));
        EXPECT_EQ(dialog->window()->focusedItem(), ui::IDC_VERSIONCHECK);
    });
    EXPECT_TRUE(sawUpdating);
    EXPECT_TRUE(sawWriteProgress);
    EXPECT_TRUE(statusTexts.count("Erasing Flash memory."));
    EXPECT_TRUE(statusTexts.count("PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER."));
    bool sawTransmit = false;
    const std::regex transmit("Data transmit  [1-9][0-9]* / [1-9][0-9]* ");
    for (const auto& s : statusTexts) sawTransmit = sawTransmit || std::regex_match(s, transmit);
    EXPECT_TRUE(sawTransmit);
    EXPECT_TRUE(stepTexts.count("0/8") + stepTexts.count("1/8") > 0);
    const auto all = boxes.boxes();
    ASSERT_EQ(all.size(), 1u) << "only the version report";
    EXPECT_EQ(all[0].caption, "Version Information");
    EXPECT_EQ(all[0].text, "SYSTEM:\t\t1.20 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t0.90 -> 1.00");
}

TEST_F(MainDialogTest, DoubtfulUpdateShowsItsReadBack) {
    // The unit repeats an acknowledgement late in the first image: the window
    // reads that image back before it finishes, and shows it doing so.
    unit = makeUnit();
    ASSERT_TRUE(unit->setFaults("write#5:twice=20ms", nullptr));
    BoxRecorder boxes;
    std::set<std::int32_t> totals;                            // the bytes in doubt, as shown
    std::vector<std::pair<std::int32_t, std::int32_t>> bars;  // the bar's range, the total shown
    const std::regex counts("Verifying written data  ([0-9]+) / ([0-9]+) ");
    runWithin(*dialog, [&] {
        click(*dialog, ui::IDOK);
        ASSERT_TRUE(waitUntil(
            [&] {
                const std::string text = dialog->statusLine.GetWindowText();
                std::smatch m;
                if (std::regex_match(text, m, counts)) {
                    const std::int32_t total = std::stoi(m[2]);
                    totals.insert(total);
                    // The bar is set before the first count is shown; once
                    // all is counted the next step may set it anew.
                    if (m[1] != m[2])
                        bars.emplace_back(dialog->progressBar.GetRange().second, total);
                }
                return !dialog->workerRunning();
            },
            120000));
        EXPECT_EQ(dialog->statusLine.GetWindowText(), "Version update completed.");
    });
    EXPECT_EQ(boxes.count(), 0u);
    // One read-back of the bytes in doubt: at least five blocks, at most the
    // first image, never the whole 15.6 MB; the bar counts the same bytes.
    ASSERT_EQ(totals.size(), 1u);
    EXPECT_GE(*totals.begin(), 5 * 4096);
    EXPECT_LE(*totals.begin(), 155648);
    for (const auto& [range, total] : bars) EXPECT_EQ(range, total);
}

TEST_F(MainDialogTest, VersionCheckShowsTheReportWhileTheControlsStayDisabled) {
    unit = makeUnit();
    BoxRecorder boxes;
    Controls whileShown{};
    boxes.onBox = [&](const dlg::MessageBoxRequest& r) {
        EXPECT_TRUE(r.onUiThread);
        whileShown = controlsOf(*dialog);
    };
    runWithin(*dialog, [&] {
        // The step counter and status line keep what an earlier run left.
        dialog->setStatusLine("kept");
        click(*dialog, ui::IDC_VERSIONCHECK);
        EXPECT_EQ(controlsOf(*dialog), kChecking);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 10000));
        EXPECT_EQ(controlsOf(*dialog), kReady);
        EXPECT_EQ(dialog->statusLine.GetWindowText(), "kept");
        EXPECT_FALSE(unit->device()->hostOutputOpen());
        EXPECT_FALSE(unit->device()->hostInputOpen());
    });
    ASSERT_EQ(boxes.count(), 1u);
    const auto box = boxes.boxes()[0];
    EXPECT_EQ(box.caption, "Version Information");
    EXPECT_EQ(box.type, 0x40u);
    EXPECT_EQ(box.ownerTitle, "Tarvik QL-5 System v1.20 Updater");
    EXPECT_EQ(box.text, "SYSTEM:\t\t1.10 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t0.90 -> 1.00");
    EXPECT_EQ(whileShown, kChecking);
}

TEST_F(MainDialogTest, FailedUpdateShowsTheErrorFromTheWorkerAndRestoresTheControls) {
    emulator::UnitConfig cfg;
    cfg.updateMode = false;
    unit = makeUnit(cfg);
    BoxRecorder boxes;
    Controls whileShown{};
    boxes.onBox = [&](const dlg::MessageBoxRequest& r) {
        EXPECT_FALSE(r.onUiThread);
        whileShown = controlsOf(*dialog);
    };
    runWithin(*dialog, [&] {
        ASSERT_EQ(dialog->window()->focusedItem(), ui::IDOK);
        click(*dialog, ui::IDOK);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 10000));
        EXPECT_EQ(controlsOf(*dialog), kReady);
        // Back on Execute, which started the run.
        EXPECT_EQ(dialog->window()->focusedItem(), ui::IDOK);
    });
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, "Please use the firmware update mode.");
    EXPECT_EQ(boxes.boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.boxes()[0].type, 0x10u);
    EXPECT_EQ(whileShown, kUpdating);
}

TEST_F(MainDialogTest, IdentityTimeoutShowsTimeOutError1) {
    unit = makeUnit();
    ASSERT_TRUE(unit->setFaults("identity#*:ignore", nullptr));
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        click(*dialog, ui::IDOK);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 10000));
        EXPECT_EQ(controlsOf(*dialog), kReady);
    });
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, "Time out error(1)");
}

// Closing the window during each kind of wait: the worker gives up without
// a message and returns promptly.
struct CloseCase {
    const char* name;
    const char* faults;
    int command;
    emulator::RequestKind waitFor;
    std::uint64_t ordinal;
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class CloseDuringWaitTest : public MainDialogTest,
                            public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseDuringWaitTest, EndsQuietlyAndPromptly) {
    const CloseCase& c = GetParam();
    emulator::UnitConfig cfg;
    cfg.unplugAfterFinishMs = 60000;  // the unplug wait lasts until the close
    unit = makeUnit(cfg);
    ASSERT_TRUE(unit->setFaults(c.faults, nullptr));
    // Production time-outs: only the close can end these waits in time.
    dialog->state().timing = sync::Timing{};
    dialog->state().timing.unplugPollMs = 50;
    BoxRecorder boxes;
    runWithin(*dialog, [&] {
        click(*dialog, c.command);
        ASSERT_TRUE(waitUntil([&] { return unit->counters().of(c.waitFor) >= c.ordinal; }, 60000));
        test::pumpFor(100);
        ASSERT_EQ(dialog->state().busy.load(), 1);
        // The window's close button, as the user presses it.
        test::control<QWidget>(*dialog, ui::IDCANCEL)->window()->close();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(dialog->settleAfterClose(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(boxes.count(), 0u);
    EXPECT_EQ(dialog->state().replyCode.load(), 255);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, CloseDuringWaitTest,
    ::testing::Values(
        CloseCase{"Identity", "identity#*:ignore", ui::IDOK, emulator::RequestKind::Identity, 1},
        CloseCase{"Begin", "begin#*:ignore", ui::IDOK, emulator::RequestKind::Begin, 1},
        CloseCase{"Erase", "erase#*:ignore", ui::IDOK, emulator::RequestKind::Erase, 1},
        CloseCase{"Write", "write#3-:ignore", ui::IDOK, emulator::RequestKind::Write, 3},
        CloseCase{"Finish", "finish#*:ignore", ui::IDOK, emulator::RequestKind::Finish, 1},
        CloseCase{"Unplug", "", ui::IDOK, emulator::RequestKind::Finish, 1},
        CloseCase{"CheckIdentity", "identity#*:ignore", ui::IDC_VERSIONCHECK,
                  emulator::RequestKind::Identity, 1},
        CloseCase{"CheckSystemRead", "read#*:ignore", ui::IDC_VERSIONCHECK,
                  emulator::RequestKind::Read, 1},
        CloseCase{"CheckPresetRead", "read#2-:ignore", ui::IDC_VERSIONCHECK,
                  emulator::RequestKind::Read, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ql5
