// The About box and the window's own menu entry that opens it.
#include <gtest/gtest.h>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QTimer>
#include <map>
#include <vector>

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
    Qt::WindowFlags flags;
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
        seen.flags = edit->window()->windowFlags();
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
    // A caption and a close button, nothing to minimise or maximise: the
    // window manager is asked (window type and hints) for no such buttons.
    EXPECT_EQ(seen.flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(seen.flags & Qt::CustomizeWindowHint);
    EXPECT_TRUE(seen.flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(seen.flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

// Right-clicking anywhere in the main window offers the entry: its
// background, the port lists, the read-only status line and step counter
// (which would otherwise show their own Copy / Select All menu), the buttons
// and the progress bar. The last place also opens the box through it.
TEST_F(AboutTest, RightClickAnywhereInTheWindowOffersTheEntry) {
    ui::CKestUpdatorDlg main;
    AboutSeen seen;
    const std::vector<int> places = {0,
                                     ui::IDC_MIDIIN,
                                     ui::IDC_MIDIOUT,
                                     ui::IDC_STATUS,
                                     ui::IDC_STEP,
                                     ui::IDC_PROGRESS,
                                     ui::IDC_RESCAN,
                                     ui::IDCANCEL,
                                     ui::IDC_VERSIONCHECK,
                                     ui::IDOK};
    std::map<int, QStringList> entries;
    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d != &main) {
            lookAtAbout(d, seen);
            return;
        }
        QWidget* window = test::control<QWidget>(main, ui::IDCANCEL)->window();
        for (const int place : places) {
            QWidget* w = place == 0 ? window : test::control<QWidget>(main, place);
            ASSERT_NE(w, nullptr) << place;
            const bool last = place == places.back();
            QTimer::singleShot(0, [&entries, place, last] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                if (menu == nullptr) return;
                for (QAction* a : menu->actions()) {
                    entries[place] << (a->isSeparator() ? QStringLiteral("-") : a->text());
                }
                QAction* about = menu->actions().isEmpty() ? nullptr : menu->actions().last();
                menu->close();
                if (last && about != nullptr) about->trigger();
            });
            const QPoint at(w->width() / 2, w->height() / 2);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
            QApplication::sendEvent(w, &event);
            test::pumpFor(20);
        }
        main.EndDialog(dlg::IDCANCEL);
    });
    main.DoModal();
    for (const int place : places) {
        EXPECT_EQ(entries[place], (QStringList{"-", "About Tarvik Dorn Series Updater(&A)..."}))
            << "right click on control " << place;
    }
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
