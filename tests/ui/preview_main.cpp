// Shows a template as a bare dialog and saves a picture of it.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <QFontInfo>
#include <cstdio>

#include "platform/dialog/cdialog.hpp"
#include "ui/qt/qt_framework.hpp"
#include "ui/templates.hpp"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ql5::ui::qt::QtFramework fw;
    ql5::dlg::setFramework(&fw);
    {
        const QFont f = ql5::ui::qt::dialogFont("MS UI Gothic", 9);
        const auto u = ql5::ui::qt::baseUnits(f);
        std::fprintf(stderr, "font %s %d px, base units %d x %d\n",
                     QFontInfo(f).family().toUtf8().constData(), QFontInfo(f).pixelSize(), u.x, u.y);
    }
    const bool about = argc > 2 && std::string(argv[2]) == "about";
    ql5::dlg::CDialog dlg(about ? ql5::ui::aboutDialogTemplate() : ql5::ui::mainDialogTemplate(),
                          nullptr);
    ql5::dlg::setModalHook([&](ql5::dlg::CDialog& d) {
        QTimer::singleShot(200, [&d, argv] {
            ql5::ui::qt::widgetOf(d.window())->grab().save(argv[1]);
            d.EndDialog(1);
        });
    });
    dlg.DoModal();
    return 0;
}
