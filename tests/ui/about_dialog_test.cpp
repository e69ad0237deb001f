// The About box and the window's own menu entry that opens it.
#include <gtest/gtest.h>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/dialog/cwinapp.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "qt_harness.hpp"
#include "ui/CAboutDlg.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/instance.hpp"
#include "ui/resource.hpp"

namespace ql5 {
namespace {

// An application object in slot 3, as the third copy would have.
class SlotThreeApp : public dlg::CWinApp, public ui::InstanceSlotOwner {
  public:
    std::int32_t claimedSlot() const override { return 3; }
};

struct AboutSeen {
    bool opened = false;
    std::string title, text, selected;
    bool readOnly = false;
    int focused = 0;
};

// Fills seen from the About box and closes it with OK.
void lookAtAbout(dlg::CDialog& d, AboutSeen& seen) {
    auto& about = dynamic_cast<ui::CAboutDlg&>(d);
    seen.opened = true;
    seen.title = about.GetWindowText();
    seen.text = about.aboutText.GetWindowText();
    seen.readOnly = about.aboutText.isReadOnly();
    seen.focused = about.window()->focusedItem();
    auto* edit = test::control<QLineEdit>(about, ui::IDC_STATUS);
    if (edit != nullptr) {
        edit->selectAll();
        seen.selected = edit->selectedText().toStdString();
    }
    about.EndDialog(ui::IDOK);
}

class AboutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::qtFramework();
        mm::setDrivers({mm::virt::virtualDriver()});
    }
    void TearDown() override { dlg::setModalHook(nullptr); }
};

TEST_F(AboutTest, SystemCommandOpensTheBoxWithTheNameWhateverTheSlot) {
    SlotThreeApp app;
    ui::CKestUpdatorDlg main;
    AboutSeen seen;
    std::string mainTitle;
    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d == &main) {
            mainTitle = main.GetWindowText();
            // Low four bits are the platform's own and do not matter.
            main.dispatchMessage(dlg::WM_SYSCOMMAND, ui::kAboutCommandId | 0x3, 0);
            main.EndDialog(dlg::IDCANCEL);
        } else {
            lookAtAbout(d, seen);
        }
    });
    main.DoModal();
    EXPECT_EQ(mainTitle, "Tarvik QL-5 System v1.20 Updater (3)");
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(seen.title, "About Tarvik Dorn Series Updater");
    EXPECT_EQ(seen.text, "Tarvik QL-5 System v1.20 Updater");
    EXPECT_EQ(seen.selected, "Tarvik QL-5 System v1.20 Updater");
    EXPECT_TRUE(seen.readOnly);
    EXPECT_EQ(seen.focused, ui::IDOK);
}

TEST_F(AboutTest, TheWindowsContextMenuCarriesTheEntry) {
    ui::CKestUpdatorDlg main;
    AboutSeen seen;
    QStringList entries;
    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d != &main) {
            lookAtAbout(d, seen);
            return;
        }
        QWidget* w = test::control<QWidget>(main, ui::IDCANCEL)->window();
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr) return;
            for (QAction* a : menu->actions()) {
                if (a->isSeparator()) {
                    entries << QStringLiteral("-");
                    continue;
                }
                entries << a->text();
            }
            QAction* about = menu->actions().isEmpty() ? nullptr : menu->actions().last();
            menu->close();
            if (about != nullptr) about->trigger();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                w->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(w, &event);
        test::pumpFor(50);
        main.EndDialog(dlg::IDCANCEL);
    });
    main.DoModal();
    EXPECT_EQ(entries, (QStringList{"-", "About Tarvik Dorn Series Updater(&A)..."}));
    EXPECT_TRUE(seen.opened);
    EXPECT_EQ(seen.text, "Tarvik QL-5 System v1.20 Updater");
}

TEST_F(AboutTest, AWorkerGoesOnWhileTheBoxIsOpen) {
    emulator::UnitConfig cfg;
    emulator::VirtualUnit unit(cfg);
    ASSERT_TRUE(unit.setFaults("read#*:ignore", nullptr));
    ui::CKestUpdatorDlg main;
    main.state().timing = sync::Timing::forTests();
    bool restoredWhileOpen = false;
    bool busyWhenOpened = false;
    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d == &main) {
            test::control<QWidget>(main, ui::IDC_VERSIONCHECK)->setFocus();
            main.dispatchCommand(ui::IDC_VERSIONCHECK);
            busyWhenOpened = main.state().busy.load() == 1;
            main.dispatchMessage(dlg::WM_SYSCOMMAND, ui::kAboutCommandId, 0);
            main.EndDialog(dlg::IDCANCEL);
            return;
        }
        // The check's reads time out while the box is open; its end message
        // is handled and the controls come back meanwhile.
        restoredWhileOpen = test::waitUntil(
            [&] { return main.state().busy.load() == 0 && main.executeButton.IsWindowEnabled(); },
            5000);
        d.EndDialog(ui::IDOK);
    });
    main.DoModal();
    EXPECT_TRUE(busyWhenOpened);
    EXPECT_TRUE(restoredWhileOpen);
    EXPECT_TRUE(main.settleAfterClose(2000));
}

}  // namespace
}  // namespace ql5
