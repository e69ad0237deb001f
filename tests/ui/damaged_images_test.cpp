// The window built over images of which one is damaged: Execute refuses
// before it opens a port, naming the image.
#include <gtest/gtest.h>
#include <QPushButton>

#include <memory>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "qt_harness.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"

namespace ql5 {
namespace {

TEST(DamagedImages, ExecuteNamesTheImageAndSendsNothing) {
    test::qtFramework();
    mm::setDrivers({mm::virt::virtualDriver()});
    emulator::UnitConfig cfg;
    auto unit = std::make_unique<emulator::VirtualUnit>(cfg);
    auto dialog = std::make_unique<ui::CKestUpdatorDlg>();
    dialog->state().timing = sync::Timing::forTests();
    test::BoxRecorder boxes;
    test::runWithin(*dialog, [&] {
        ASSERT_TRUE(dialog->executeButton.IsWindowEnabled());
        for (int i = 0; i < 2; ++i) {  // checked on every Execute, not only the first
            test::control<QPushButton>(*dialog, ui::IDOK)->click();
            ASSERT_EQ(boxes.count(), static_cast<std::size_t>(i + 1));
            EXPECT_EQ(boxes.boxes()[i].text,
                      "Firmware image 136 carried by this program is damaged. Nothing was sent "
                      "to the unit.");
            EXPECT_EQ(boxes.boxes()[i].caption, "Error");
        }
        EXPECT_TRUE(dialog->executeButton.IsWindowEnabled());
        EXPECT_TRUE(dialog->versionCheckButton.IsWindowEnabled());
        EXPECT_EQ(dialog->state().busy.load(), 0);
        EXPECT_FALSE(unit->device()->hostOutputOpen());
        EXPECT_FALSE(unit->device()->hostInputOpen());
    });
    EXPECT_EQ(unit->counters().of(emulator::RequestKind::Any), 0U);
    ASSERT_TRUE(dialog->settleAfterClose(3000));
    dialog.reset();
}

}  // namespace
}  // namespace ql5
