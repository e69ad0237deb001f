// Takes the pictures of the window for the documentation: the main window
// with the virtual unit (ready, and during an update), the About box, an
// error box and the version report. Usage: ql5_ui_screenshots <folder>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <memory>
#include <string>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "qt_harness.hpp"
#include "ui/CAboutDlg.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"

using namespace ql5;

namespace {

std::string folder;

void save(QWidget* w, const char* name) {
    const std::string path = folder + "/" + name;
    if (!w->grab().save(QString::fromStdString(path))) {
        std::fprintf(stderr, "could not write %s\n", path.c_str());
    } else {
        std::printf("%s\n", path.c_str());
    }
}

// Shows the box a message would show, takes its picture and closes it.
void pictureOfBox(QWidget* owner, const std::string& text, const std::string& caption,
                  dlg::UINT type, const char* name) {
    auto box = ui::qt::makeMessageBox(owner, text, caption, type);
    box->show();
    test::pumpFor(150);
    save(box.get(), name);
    box->close();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    folder = argv[1];
    test::qtFramework();
    mm::setDrivers({mm::virt::virtualDriver()});
    emulator::UnitConfig cfg;
    cfg.unplugAfterFinishMs = 60000;
    emulator::VirtualUnit unit(cfg);

    auto main = std::make_unique<ui::CKestUpdatorDlg>();
    main->state().timing = sync::Timing::forTests();
    QWidget* mainWidget = nullptr;

    // The report box, as the version check shows it.
    dlg::setMessageBoxHook([&](const dlg::MessageBoxRequest& r) {
        main->send([&](dlg::WindowImpl&) {
            pictureOfBox(mainWidget, r.text, r.caption, r.type, "version-report.png");
        });
        return dlg::IDOK;
    });

    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d != main.get()) {
            test::pumpFor(150);
            save(ui::qt::widgetOf(d.window()), "about-box.png");
            d.EndDialog(dlg::IDOK);
            return;
        }
        mainWidget = ui::qt::widgetOf(main->window());
        test::pumpFor(150);
        save(mainWidget, "main-window.png");

        main->dispatchMessage(dlg::WM_SYSCOMMAND, ui::kAboutCommandId, 0);

        main->dispatchCommand(ui::IDC_VERSIONCHECK);
        test::waitUntil([&] { return main->state().busy.load() == 0; }, 10000);

        pictureOfBox(mainWidget, engine::loadString(engine::IDS_TIMEOUT1),
                     engine::loadString(engine::IDS_ERROR_CAPTION), dlg::MB_OK | dlg::MB_ICONHAND,
                     "error-box.png");

        // Half way through the largest image.
        main->dispatchCommand(ui::IDOK);
        test::waitUntil(
            [&] {
                const auto range = main->progressBar.GetRange();
                return range.second > 10000000 && main->progressBar.GetPos() > range.second / 2;
            },
            60000);
        save(mainWidget, "main-window-updating.png");
        main->EndDialog(dlg::IDCANCEL);
    });
    main->DoModal();
    dlg::setModalHook(nullptr);
    dlg::setMessageBoxHook(nullptr);
    if (main->settleAfterClose(2000))
        main.reset();
    else
        main.release();  // a worker still uses it; the process ends now
    return 0;
}
