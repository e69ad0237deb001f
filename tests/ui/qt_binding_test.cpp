// The Qt binding of the dialog seam: sizes from dialog units, the font,
// fixed size without minimise or maximise box, tab order, control styles,
// and calls carried from worker threads.
#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <thread>

#include "platform/dialog/controls.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "qt_harness.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"
#include "ui/templates.hpp"

namespace ql5 {
namespace {

class QtBindingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::qtFramework();
        mm::setDrivers({mm::virt::virtualDriver()});
    }
};

TEST_F(QtBindingTest, DialogUnitsFollowTheFontsBaseUnits) {
    const QFont font = ui::qt::dialogFont("MS UI Gothic", 9);
    // Where the Windows font is missing, a Japanese UI font of like metrics
    // stands in, not fontconfig's general default.
    const QString family = QFontInfo(font).family();
    EXPECT_TRUE(family == "MS UI Gothic" || family == "IPAPGothic" || family == "IPAGothic")
        << family.toStdString();
    const ui::qt::BaseUnits u = ui::qt::baseUnits(font);
    EXPECT_GE(u.x, 5);
    EXPECT_LE(u.x, 8);
    EXPECT_GE(u.y, 11);
    EXPECT_LE(u.y, 16);
    EXPECT_EQ(ui::qt::duToPxX(4, u), u.x);
    EXPECT_EQ(ui::qt::duToPxY(8, u), u.y);

    ui::CKestUpdatorDlg d;
    test::runWithin(d, [&] {
        QWidget* w = ui::qt::widgetOf(d.window());
        EXPECT_EQ(w->width(), ui::qt::duToPxX(239, u));
        EXPECT_EQ(w->height(), ui::qt::duToPxY(161, u));
        EXPECT_EQ(w->minimumSize(), w->maximumSize());
        EXPECT_FALSE(w->windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(w->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(w->windowFlags() & Qt::WindowCloseButtonHint);
        EXPECT_FALSE(w->windowIcon().isNull());
        EXPECT_EQ(w->font().pointSize(), 9);

        auto* execute = test::control<QPushButton>(d, ui::IDOK);
        EXPECT_EQ(execute->geometry(), QRect(ui::qt::duToPxX(119, u), ui::qt::duToPxY(138, u),
                                             ui::qt::duToPxX(50, u), ui::qt::duToPxY(16, u)));
        auto* status = test::control<QLineEdit>(d, ui::IDC_STATUS);
        EXPECT_EQ(status->geometry(), QRect(ui::qt::duToPxX(12, u), ui::qt::duToPxY(91, u),
                                            ui::qt::duToPxX(220, u), ui::qt::duToPxY(12, u)));
    });
}

TEST_F(QtBindingTest, ControlsHaveTheTemplatesStylesAndTabOrder) {
    ui::CKestUpdatorDlg d;
    test::runWithin(d, [&] {
        for (int id : {ui::IDC_STATUS, ui::IDC_STEP}) {
            auto* e = test::control<QLineEdit>(d, id);
            ASSERT_NE(e, nullptr);
            EXPECT_TRUE(e->isReadOnly());
            EXPECT_FALSE(e->hasFrame());
            // A read-only edit shows the dialog's background, not white.
            EXPECT_EQ(e->palette().color(QPalette::Base), e->palette().color(QPalette::Window));
        }
        for (int id : {ui::IDC_MIDIIN, ui::IDC_MIDIOUT}) {
            auto* c = test::control<QComboBox>(d, id);
            ASSERT_NE(c, nullptr);
            EXPECT_FALSE(c->isEditable());
        }
        auto* bar = test::control<QProgressBar>(d, ui::IDC_PROGRESS);
        EXPECT_FALSE(bar->isTextVisible());

        // The tab stops in template order.
        std::vector<int> order;
        QWidget* top = ui::qt::widgetOf(d.window());
        QWidget* w = test::control<QWidget>(d, ui::IDOK);
        do {
            if (w->focusPolicy() & Qt::TabFocus) {
                const QString name = w->objectName();
                if (name.startsWith("control")) order.push_back(name.mid(7).toInt());
            }
            w = w->nextInFocusChain();
        } while (w != test::control<QWidget>(d, ui::IDOK) && w != top);
        EXPECT_EQ(order, (std::vector<int>{1, 2, 1000, 1001, 1003, 1004, 1006, 1007}));
    });
}

TEST_F(QtBindingTest, FocusStartsOnTheFirstEnabledTabStop) {
    // Without the unit Execute is disabled: Exit is the first enabled one.
    ui::CKestUpdatorDlg d;
    int focused = -1;
    test::runWithin(d, [&] { focused = d.window()->focusedItem(); });
    EXPECT_EQ(focused, ui::IDCANCEL);
}

TEST_F(QtBindingTest, CallsFromWorkerThreadsAreCarriedToTheUiThread) {
    ui::CKestUpdatorDlg d;
    test::runWithin(d, [&] {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            for (int i = 0; i <= 100; ++i) {
                d.progressBar.SetPos(i);
                d.statusLine.SetWindowText("step " + std::to_string(i));
            }
            d.outPortList.ResetContent();
            d.outPortList.AddString("A");
            d.outPortList.AddString("B");
            d.outPortList.SetCurSel(1);
            done = true;
        });
        EXPECT_TRUE(test::waitUntil([&] { return done.load(); }, 5000));
        worker.join();
        EXPECT_EQ(d.progressBar.GetPos(), 100);
        EXPECT_EQ(d.statusLine.GetWindowText(), "step 100");
        EXPECT_EQ(d.outPortList.GetCount(), 2);
        EXPECT_EQ(d.outPortList.GetCurSel(), 1);
        // A position past the range is clamped, as the platform's bar does.
        d.progressBar.SetRange32(0, 10);
        d.progressBar.SetPos(25);
        EXPECT_EQ(d.progressBar.GetPos(), 10);
        // An entry that does not exist: CB_ERR and no selection.
        EXPECT_EQ(d.outPortList.SetCurSel(7), -1);
        EXPECT_EQ(d.outPortList.GetCurSel(), -1);
        char buf[4];
        d.outPortList.AddString("Longer name");
        EXPECT_EQ(d.outPortList.GetLBText(2, buf, sizeof buf), 3);
        EXPECT_STREQ(buf, "Lon");
        EXPECT_EQ(d.outPortList.GetLBText(9, buf, sizeof buf), -1);
    });
}

TEST_F(QtBindingTest, AMessageBoxFromAWorkerIsShownOnTheUiThreadOverTheWindow) {
    ui::CKestUpdatorDlg d;
    test::runWithin(d, [&] {
        std::atomic<int> answer{-1};
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool ownedByWindow = false, onUiThread = false, workerWaited = false, clicked = false;
        // The box runs its own modal loop on the UI thread; the user's part
        // is played by a timer that fires inside that loop.
        QTimer user;
        QObject::connect(&user, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || clicked) return;
            text = box->text();
            title = box->windowTitle();
            icon = box->icon();
            ownedByWindow = box->parentWidget() == ui::qt::widgetOf(d.window());
            onUiThread = QThread::currentThread() == QApplication::instance()->thread();
            workerWaited = answer.load() == -1;
            clicked = true;
            box->button(QMessageBox::Ok)->click();
        });
        user.start(20);
        std::thread worker([&] {
            answer = dlg::MessageBox(&d, "Transfer error occurred.", "Error",
                                     dlg::MB_OK | dlg::MB_ICONHAND);
        });
        EXPECT_TRUE(test::waitUntil([&] { return answer.load() != -1; }, 5000));
        user.stop();
        worker.join();
        EXPECT_TRUE(clicked);
        EXPECT_EQ(answer.load(), dlg::IDOK);
        EXPECT_EQ(text, "Transfer error occurred.");
        EXPECT_EQ(title, "Error");
        EXPECT_EQ(icon, QMessageBox::Critical);
        EXPECT_TRUE(ownedByWindow);
        EXPECT_TRUE(onUiThread);
        EXPECT_TRUE(workerWaited) << "the worker must wait until the box is closed";
    });
}

TEST_F(QtBindingTest, AWindowThatIsGoneIgnoresCallsAndMessageBoxes) {
    ui::CKestUpdatorDlg d;
    test::runWithin(d, [] {});
    EXPECT_FALSE(d.windowExists());
    d.statusLine.SetWindowText("late");
    EXPECT_EQ(d.statusLine.GetWindowText(), "");
    test::BoxRecorder boxes;
    d.showError(engine::IDS_TRANSFER_ERROR);
    EXPECT_EQ(boxes.count(), 0u);
    EXPECT_EQ(d.discoverPorts(), 0);
}

}  // namespace
}  // namespace ql5
